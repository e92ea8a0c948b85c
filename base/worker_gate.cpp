#include "base/worker_gate.h"

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
    const DWORD start = GetTickCount();
    while (Count() != 0) {
        if (stopEvent_ == nullptr) {
            Sleep(kGateStepMs);
        } else if (const DWORD wait = WaitForSingleObject(stopEvent_, kGateStepMs);
                   wait == WAIT_OBJECT_0) {
            return;
        } else if (wait != WAIT_TIMEOUT) {
            Sleep(kGateStepMs);
        }
        // Unsigned difference: correct across the wrap of the tick count.
        if (GetTickCount() - start >= timeoutMs) {
            return;
        }
    }
}

std::int32_t CWorkerGate::Count() const {
    return InterlockedCompareExchange(&count_, 0, 0);
}
