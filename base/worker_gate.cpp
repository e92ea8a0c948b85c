#include "base/worker_gate.h"

#include "base/waits.h"

#include <cstdint>

void CWorkerGate::Add(std::int32_t n) {
    for (LONG seen = count_;;) {
        const std::int64_t sum = std::int64_t{seen} + n;
        const LONG next = static_cast<LONG>(sum > kLimit ? kLimit : sum < 0 ? 0 : sum);
        const LONG before = InterlockedCompareExchange(&count_, next, seen);
        if (before == seen) {
            return;
        }
        seen = before;
    }
}

void CWorkerGate::Enter(std::int32_t n) {
    Add(n);
}

BOOL CWorkerGate::Leave(std::int32_t n) {
    Add(n == INT32_MIN ? INT32_MAX : -n);
    return TRUE;
}

void CWorkerGate::WaitIdle(DWORD timeoutMs) {
    WaitUntil([this] { return Count() == 0; }, timeoutMs, stopEvent_);
}

std::int32_t CWorkerGate::Count() const {
    return InterlockedCompareExchange(&count_, 0, 0);
}
