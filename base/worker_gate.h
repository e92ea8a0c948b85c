// Counts the task workers of every downloader in the module (g_workerGate), with a wait until none
// runs. A shutdown waits for its own downloader's workers instead, so that one downloader's Uninit
// is not held up by another's.
#pragma once

#include "base/timing.h"

#include <windows.h>

#include <cstdint>

// The count saturates: it stays between 0 and kLimit, so it tracks up to ten workers exactly.
// It changes by interlocked compare-and-exchange alone, so no failing system call can leave it
// locked or stale: Enter and Leave always count. WaitIdle watches the module stop event.
class CWorkerGate {
public:
    static constexpr std::int32_t kLimit = 10;

    // `stopEvent` is watched, not owned.
    explicit CWorkerGate(HANDLE stopEvent) noexcept : stopEvent_(stopEvent) {}
    CWorkerGate(const CWorkerGate&) = delete;
    CWorkerGate& operator=(const CWorkerGate&) = delete;

    void Enter(std::int32_t n);
    // Always nonzero: the count was changed.
    BOOL Leave(std::int32_t n);
    // Returns once the count is 0, or once `timeoutMs` have passed (tested every kWaitStepMs), or
    // when the stop event is signalled. The caller does not learn which. A wait on the stop
    // event that fails is taken as a plain step of kWaitStepMs. Answers the messages sent to
    // the calling thread meanwhile (base/waits.h).
    void WaitIdle(DWORD timeoutMs);

    // The count as it stands (for diagnostics and tests).
    std::int32_t Count() const;

private:
    // Adds `n` to the count, kept between 0 and kLimit.
    void Add(std::int32_t n);

    HANDLE stopEvent_;
    mutable volatile LONG count_ = 0;
};

// The module's one gate, created right after g_hStopEvent and freed right after it is closed.
extern CWorkerGate* g_workerGate;
