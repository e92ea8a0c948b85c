// The figures of bench_drvdown, each in a file of its own, in the order the program runs them.
#pragma once

#include "bench/bench.h"

namespace bench {

void EndToEnd(Bench& b);      // figure 1 (end_to_end.cpp)
void Throughput(Bench& b);    // figure 2 (throughput.cpp)
void NotifyLatency(Bench& b); // figure 4 and the handles after real transfers (notify_latency.cpp)
void RunningTasks(Bench& b);  // figures 3, 5 and 6 (running_tasks.cpp)
void TasksAtOnce(Bench& b);   // figure 7, x86 only (tasks_at_once.cpp)
void SoakFigure(Bench& b);    // figure 8 (soak.cpp)

} // namespace bench
