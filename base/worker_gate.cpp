#include "base/worker_gate.h"

CWorkerGate::CWorkerGate(HANDLE stopEvent)
    : lockEvent_(CreateEventW(nullptr, FALSE, TRUE, nullptr)), stopEvent_(stopEvent) {}

bool CWorkerGate::Lock(DWORD timeoutMs) {
    if (!lockEvent_) {
        return false;
    }
    if (stopEvent_ == nullptr) {
        return WaitForSingleObject(lockEvent_.get(), timeoutMs) == WAIT_OBJECT_0;
    }
    // The lock event comes first: when both are signalled the wait reports the lock, so a
    // signalled stop event only makes an attempt fail while someone else holds the lock.
    const HANDLE events[2] = {lockEvent_.get(), stopEvent_};
    return WaitForMultipleObjects(2, events, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

BOOL CWorkerGate::Unlock() {
    return SetEvent(lockEvent_.get());
}

void CWorkerGate::Enter(std::int32_t n) {
    if (!Lock(INFINITE)) {
        return;
    }
    count_ = count_ + n > limit_ ? limit_ : count_ + n;
    Unlock();
}

BOOL CWorkerGate::Leave(std::int32_t n) {
    if (!Lock(INFINITE)) {
        return FALSE;
    }
    count_ = count_ - n < 0 ? 0 : count_ - n;
    return Unlock();
}

void CWorkerGate::WaitIdle(DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    if (!Lock(timeoutMs)) {
        return;
    }
    for (;;) {
        const bool idle = count_ == 0;
        Unlock();
        if (idle) {
            return;
        }
        if (stopEvent_ == nullptr) {
            Sleep(kGateStepMs);
        } else if (WaitForSingleObject(stopEvent_, kGateStepMs) != WAIT_TIMEOUT) {
            return;
        }
        // Unsigned difference: correct across the wrap of the tick count.
        if (GetTickCount() - start >= timeoutMs) {
            return;
        }
        if (!Lock(timeoutMs)) {
            return;
        }
    }
}

std::int32_t CWorkerGate::Count() {
    if (!Lock(INFINITE)) {
        return 0;
    }
    const std::int32_t count = count_;
    Unlock();
    return count;
}
