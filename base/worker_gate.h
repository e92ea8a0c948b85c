// Counts running task workers so that a shutdown can wait for them, with a time limit.
#pragma once

#include "base/timing.h"
#include "base/unique_handle.h"

#include <windows.h>

#include <cstdint>

// The count saturates: it stays between 0 and kLimit, so it tracks up to ten workers exactly.
// An auto-reset event serves as the lock (signalled = free); every lock attempt also watches the
// module stop event. The lock is not re-entrant and is never held while waiting or sleeping.
class CWorkerGate {
public:
    static constexpr std::int32_t kLimit = 10;

    // `stopEvent` is watched, not owned. A gate whose lock event could not be created refuses
    // every lock attempt: Enter and Leave change nothing and WaitIdle returns at once.
    explicit CWorkerGate(HANDLE stopEvent);
    CWorkerGate(const CWorkerGate&) = delete;
    CWorkerGate& operator=(const CWorkerGate&) = delete;

    void Enter(std::int32_t n);
    // Nonzero when the count was changed and the lock released; 0 when taking the lock failed.
    BOOL Leave(std::int32_t n);
    // Returns once the count is 0, or once `timeoutMs` have passed (tested every kGateStepMs), or
    // when the stop event is signalled. The caller does not learn which.
    void WaitIdle(DWORD timeoutMs);

    // The count as it stands (for diagnostics and tests); takes the lock.
    std::int32_t Count();

private:
    bool Lock(DWORD timeoutMs);
    BOOL Unlock();

    unique_handle lockEvent_;
    HANDLE stopEvent_;
    std::int32_t count_ = 0;
    std::int32_t limit_ = kLimit;
};

// The module's one gate, created right after g_hStopEvent and freed right after it is closed.
extern CWorkerGate* g_workerGate;
