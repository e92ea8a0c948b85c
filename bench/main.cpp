// bench_drvdown: measures MobileDrvDown.dll on this machine, each figure in the same run as its
// reference, the sides taking turns, so that the noise of a shared machine falls on both. The
// library and the stand-in engine are laid out in a tree of the test support, and the engine is
// driven and read through drvtest::StandIn: the same file the library loads.
//
//   bench_drvdown --server URL --paced-server URL --paced-rate BYTES_PER_SECOND --www DIR
//                 --file NAME [--repeat N] [--rounds N] [--notify-rounds N] [--cpu-seconds S]
//                 [--curl] [--unix-pid PID] [--only N]
//
// --server serves the folder --www, which holds the large file --file, on 127.0.0.1; the paced
// server serves the same folder at --paced-rate. --repeat: rounds of figures 1 and 2; --rounds:
// rounds over the task counts (figures 3, 5, 6); --notify-rounds: rounds of figure 4. --curl: the
// shell that started the program answers "@curl" lines with native curl's seconds for the large
// file (figure 2). --unix-pid: this process's pid under Linux, whose per-thread run times give
// precise CPU times. --only N: figure N alone (3 for 3, 5 and 6; 4 for 4 and its handle row).
// Figure 8, the soak, runs before figure 7, which takes the address space to its end.
// Output: tab-separated rows for bench/side_by_side.py; progress on standard error. bench/run.sh
// runs it.
#include "bench/bench.h"
#include "bench/clock.h"
#include "bench/figures.h"
#include "bench/table.h"
#include "support/process_handles.h"

#include <cstdio>
#include <exception>

namespace {

int Run(int argc, wchar_t** argv) {
    using namespace bench;
    Bench bench(ParseOptions(argc, argv));
    // The handle counts of the figures are taken around shutdowns on this thread.
    drvtest::MakeMessageQueue();
    UseUnixPid(bench.options.unixPid);
    const double start = Now();
    const auto wanted = [&](int figure) {
        return bench.options.only == 0 || bench.options.only == figure;
    };
    if (wanted(1)) {
        EndToEnd(bench);
    }
    if (wanted(2)) {
        Throughput(bench);
    }
    if (wanted(4)) {
        NotifyLatency(bench);
    }
    if (wanted(3)) {
        RunningTasks(bench);
    }
    if (wanted(8)) {
        SoakFigure(bench);
    }
    // Last: it takes this process's address space to the end.
    if (sizeof(void*) == 4 && wanted(7)) {
        TasksAtOnce(bench);
    }
    Note(Format("measured in %.0f s; %d rounds per ratio, the sides taking turns", Now() - start,
                bench.options.repeat));
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_drvdown: %s\n", error.what());
        return 1;
    }
}
