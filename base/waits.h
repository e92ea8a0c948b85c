// The waits of a shutdown. A host may shut a downloader down on a thread that owns windows while a
// notification, on a worker, sends that thread a message (SendMessage) and waits for the answer:
// every wait of a shutdown therefore answers the messages other threads send to its thread, as
// the system's own waits of a window thread do. Posted messages stay queued for the host's loop.
#pragma once

#include "base/timing.h"

#include <windows.h>

// When the calling thread is answering a message another thread sent (SendMessage, and waits for
// the answer) and has not answered it yet, answers it now with 0, so that the sender runs on
// while this thread goes on with the handler; false when there was none to answer.
bool ReplyToWaitingSender();

// One step of kWaitStepMs of a wait that tests a condition between its steps, answering the
// messages other threads send to this thread meanwhile; false when `stopEvent` (if any) is
// signalled. A step whose wait fails is still a step: it sleeps instead.
bool WaitStep(HANDLE stopEvent);

// Tests `done` at once and then after every step (WaitStep) until it holds, `timeoutMs` have
// passed (INFINITE: no limit) or `stopEvent` is signalled. Returns whether `done` held.
template <class Done>
bool WaitUntil(Done done, DWORD timeoutMs, HANDLE stopEvent = nullptr) {
    const DWORD start = GetTickCount();
    while (!done()) {
        // Unsigned difference: correct across the wrap of the tick count.
        if (!WaitStep(stopEvent) ||
            (timeoutMs != INFINITE && GetTickCount() - start >= timeoutMs)) {
            return false;
        }
    }
    return true;
}
