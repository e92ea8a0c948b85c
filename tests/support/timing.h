// Time checks that hold on a busy machine, against the library's timing (base/timing.h). A single
// measurement can be late by however long the scheduler keeps a thread waiting, so upper bounds
// are checked on the median of several gaps or the best of several tries; lower bounds need no
// such help (a timed wait never ends early).
#pragma once

#include "base/timing.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace drvtest {

// The least that ticks read around a timed wait of `waitMs` can show: a tenth less, at least one
// step of the tick count (up to 16 ms on Windows), for the rounding of timers and tick counts.
constexpr DWORD AtLeast(DWORD waitMs) {
    return waitMs - std::max<DWORD>(waitMs / 10, 16);
}

// The most that the median of many waits of `waitMs` may read: a late thread stretches a gap or
// two, a wrong interval moves the median.
constexpr DWORD MedianAtMost(DWORD waitMs) {
    return waitMs + waitMs / 2;
}

// The most that a single measurement of what takes `waitMs` may read on a busy machine, where a
// ready thread can be kept waiting for seconds: it tells "within a step or two" only from "ran on
// towards a limit far above it" (the benchmark gives the precise figures).
constexpr DWORD AtMost(DWORD waitMs) {
    return waitMs + 3000;
}

// The middle value (the upper middle one of an even count); 0 for none.
inline DWORD Median(std::vector<DWORD> values) {
    if (values.empty()) {
        return 0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The shortest time, in ms, that `run` took over `tries` runs.
template <class Run>
DWORD FastestOf(int tries, Run run) {
    DWORD fastest = MAXDWORD;
    for (int i = 0; i < tries; ++i) {
        const DWORD begin = GetTickCount();
        run();
        fastest = std::min<DWORD>(fastest, GetTickCount() - begin);
    }
    return fastest;
}

} // namespace drvtest
