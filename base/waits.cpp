#include "base/waits.h"

namespace {

// Waits up to `timeoutMs` for `event` (null: for the time alone), answering meanwhile the messages
// other threads send to this thread. WAIT_OBJECT_0 when the event was signalled, WAIT_TIMEOUT, or
// WAIT_FAILED when the wait itself failed.
DWORD WaitAnsweringSentMessages(HANDLE event, DWORD timeoutMs) {
    const DWORD count = event != nullptr ? 1 : 0;
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD left = timeoutMs;
        if (timeoutMs != INFINITE) {
            const DWORD elapsed = GetTickCount() - start;
            left = elapsed < timeoutMs ? timeoutMs - elapsed : 0;
        }
        // Wakes also for a sent message that was waiting before, which the thread may have seen
        // already (GetQueueStatus, a PeekMessage for other messages) without answering it.
        const DWORD wait =
            MsgWaitForMultipleObjectsEx(count, &event, left, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (wait != WAIT_OBJECT_0 + count) {
            return wait;
        }
        // Runs the window procedures of the messages sent to this thread; posted messages stay.
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

} // namespace

bool WaitStep(HANDLE stopEvent) {
    const DWORD wait = WaitAnsweringSentMessages(stopEvent, kWaitStepMs);
    if (wait == WAIT_OBJECT_0 && stopEvent != nullptr) {
        return false;
    }
    if (wait == WAIT_FAILED) {
        Sleep(kWaitStepMs);
    }
    return true;
}

bool ReplyToWaitingSender() {
    if ((InSendMessageEx(nullptr) & (ISMEX_SEND | ISMEX_REPLIED)) != ISMEX_SEND) {
        return false;
    }
    return ReplyMessage(0) != FALSE;
}
