// Timing helpers of the benchmark: wall time, the CPU time of this process and of its wineserver,
// turns between two sides, threads started and waited for, and the counts of this process's
// threads and handles.
#pragma once

#include "support/process_handles.h"
#include "support/wait.h"

#include <windows.h>

#include <cstddef>
#include <functional>

namespace bench {

double Now();

// CPU seconds so far.
struct CpuTime {
    // Of the threads this process runs now. With this process's Unix pid they come from Linux's
    // per-thread run times (nanoseconds), which go with a thread when it ends; without it, this
    // is `all`.
    double process = 0;
    // Of every thread this process ever ran, from GetProcessTimes (Wine counts 10 ms ticks).
    double all = 0;
    // Of the wineserver that serves this process (nanoseconds); below 0 when not known.
    double server = -1;
};

void UseUnixPid(DWORD pid);
// True when `process` times are the precise ones.
bool PreciseCpu();
CpuTime TakeCpu();

// Runs both sides of round `round`, each side first in every other round.
void InTurn(int round, const std::function<void()>& first, const std::function<void()>& second);

// Runs `body` on `count` threads at once and returns when every one has ended. The threads are
// made with CreateThread, like the library's workers: such a thread leaves no handle or cached
// object behind once it has ended and its handle is closed.
void RunOnThreads(std::size_t count, const std::function<void()>& body);

using drvtest::PollUntil;
using drvtest::ThreadCount;
double Handles();

} // namespace bench
