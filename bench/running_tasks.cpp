// Figures 3, 5 and 6: downloaders with 1 .. 300 running tasks (scripted engine): how long Uninit
// takes, the CPU the largest set takes while it polls, against bare pollers that do the same waits
// and queries without the library, just before and just after, and the handles left after Uninit.
#include "base/timing.h"
#include "bench/bare_pollers.h"
#include "bench/clock.h"
#include "bench/figures.h"
#include "bench/table.h"
#include "standin_engine/status_values.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <vector>

namespace bench {

namespace {

// The CPU of this process and of its wineserver over `seconds` of wall time, in percent of one
// core, and how often `events` grew per second meanwhile.
struct CpuShare {
    double process = 0, server = -1, eventsPerSecond = 0;
};

CpuShare MeasureCpu(int seconds, const std::atomic<uint64_t>& events) {
    const uint64_t eventsBefore = events;
    const CpuTime before = TakeCpu();
    const double start = Now();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const CpuTime after = TakeCpu();
    const double wall = Now() - start;
    CpuShare share;
    share.process = (after.process - before.process) / wall * 100;
    if (before.server >= 0 && after.server >= 0) {
        share.server = (after.server - before.server) / wall * 100;
    }
    share.eventsPerSecond = static_cast<double>(events - eventsBefore) / wall;
    return share;
}

struct TaskSet {
    double uninitMs = 0, handlesLeft = 0;
    CpuShare cpu;
};

// One downloader with `count` running tasks (scripted: state 5 for ever): the CPU their polls take
// over `cpuSeconds` (none for 0), how long Uninit takes, and the handles left after it.
TaskSet RunTasks(Bench& b, std::size_t count, int cpuSeconds) {
    b.UseScriptedState(standin::kStateConnecting);
    Callback callback;
    const int threadsBefore = ThreadCount();
    double handlesBefore = 0;
    auto downloader = b.Ready(callback, &handlesBefore);
    if (AddTasks(*downloader, count, b) != count ||
        !b.engine.WaitForCalls("PPStartTaskEx", static_cast<uint32_t>(count), 60000)) {
        throw std::runtime_error("not every task started its transfer");
    }
    // Every worker past its first poll.
    Sleep(kTaskPollIntervalMs * 3 / 2);
    TaskSet set;
    if (cpuSeconds > 0) {
        set.cpu = MeasureCpu(cpuSeconds, callback.progress);
    }
    const double start = Now();
    downloader->Uninit();
    set.uninitMs = (Now() - start) * 1000;
    if (!PollUntil([&] { return ThreadCount() <= threadsBefore; }, 30000)) {
        throw std::runtime_error("worker threads still run 30 s after Uninit");
    }
    set.handlesLeft = Handles() - handlesBefore;
    return set;
}

// The same number of bare pollers, past their first poll like the tasks, over the same time.
CpuShare RunBarePollers(Bench& b, std::size_t count, int cpuSeconds) {
    b.UseScriptedState(standin::kStateConnecting);
    const BarePollers pollers(b, count);
    Sleep(kTaskPollIntervalMs * 3 / 2);
    return MeasureCpu(cpuSeconds, pollers.Queries());
}

} // namespace

void RunningTasks(Bench& b) {
    constexpr std::size_t kSizes = std::size(kTaskCounts);
    constexpr std::size_t kLargest = kTaskCounts[kSizes - 1];
    std::vector<double> uninitMs[kSizes], handlesLeft[kSizes], ratio, libraryCpu, bareCpu,
        libraryServer, bareServer, progress, queries;
    bool serverCpu = true;
    for (int round = 0; round < b.options.rounds; ++round) {
        for (std::size_t i = 0; i < kSizes; ++i) {
            // Rounds go up and down the sizes in turn; the largest also measures the CPU, against
            // bare pollers.
            const std::size_t index = round % 2 == 0 ? i : kSizes - 1 - i;
            const bool cpu = index == kSizes - 1;
            TaskSet set;
            CpuShare bare;
            if (cpu) {
                // The bare pollers run half the time just before the tasks and half just after,
                // so that a load that rises or falls meanwhile weighs on both sides alike.
                const int half = std::max(1, b.options.cpuSeconds / 2);
                const CpuShare before = RunBarePollers(b, kLargest, half);
                set = RunTasks(b, kTaskCounts[index], b.options.cpuSeconds);
                const CpuShare after = RunBarePollers(b, kLargest, half);
                bare.process = (before.process + after.process) / 2;
                bare.server = before.server >= 0 && after.server >= 0
                                  ? (before.server + after.server) / 2
                                  : -1;
                bare.eventsPerSecond = (before.eventsPerSecond + after.eventsPerSecond) / 2;
            } else {
                set = RunTasks(b, kTaskCounts[index], 0);
            }
            uninitMs[index].push_back(set.uninitMs);
            handlesLeft[index].push_back(set.handlesLeft);
            if (cpu) {
                ratio.push_back(set.cpu.process / bare.process);
                libraryCpu.push_back(set.cpu.process);
                bareCpu.push_back(bare.process);
                serverCpu = serverCpu && set.cpu.server >= 0 && bare.server >= 0;
                libraryServer.push_back(set.cpu.server);
                bareServer.push_back(bare.server);
                progress.push_back(set.cpu.eventsPerSecond);
                queries.push_back(bare.eventsPerSecond);
            }
            Progress(Format(
                "figures 3, 5, 6: %zu running task(s): Uninit %.0f ms, handles %+.0f%s",
                kTaskCounts[index], set.uninitMs, set.handlesLeft,
                cpu ? Format(", CPU %.3f %% (bare pollers %.3f %%)", set.cpu.process, bare.process)
                          .c_str()
                    : ""));
        }
    }
    Heading(3,
            Format("Uninit with N running tasks (scripted: state 5 for ever; tasks added from up "
                   "to %zu host threads at once; %d run(s) per N)",
                   kAdderThreads, b.options.rounds));
    for (std::size_t i = 0; i < kSizes; ++i) {
        const Summary summary = Summarize(uninitMs[i]);
        Row(3, Format("Uninit, %zu task(s), ms", kTaskCounts[i]), summary, "%.0f", "<= 1200",
            summary.max <= 1200);
    }
    const Summary ratioSummary = Summarize(ratio);
    Heading(5, Format("CPU while %zu tasks poll for %d s, against %zu bare pollers (the same "
                      "waits and engine queries, no library) for half that time just before and "
                      "just after (CPU time / wall time, "
                      "percent of one core; %s)",
                      kLargest, b.options.cpuSeconds, kLargest,
                      PreciseCpu() ? "Linux's run times of every thread"
                                   : "GetProcessTimes, 10 ms ticks"));
    Row(5, "library's tasks / bare pollers, this process's CPU", ratioSummary, "%.3f", "<= 1.1",
        ratioSummary.median <= 1.1);
    Row(5, "this process, library's tasks, %", Summarize(libraryCpu), "%.2f");
    Row(5, "this process, bare pollers, %", Summarize(bareCpu), "%.2f");
    if (serverCpu) {
        Row(5, "its wineserver, library's tasks, %", Summarize(libraryServer), "%.2f");
        Row(5, "its wineserver, bare pollers, %", Summarize(bareServer), "%.2f");
    }
    Row(5, "progress notifications per second", Summarize(progress), "%.0f");
    Row(5, "bare pollers' queries per second", Summarize(queries), "%.0f");
    Heading(6, "Handles left behind (the process's handle count against one taken before)");
    for (std::size_t i = 0; i < kSizes; ++i) {
        const Summary summary = Summarize(handlesLeft[i]);
        Row(6,
            Format("handles after Uninit - before Init, %zu task(s), workers ended",
                   kTaskCounts[i]),
            summary, "%+.0f", "= 0", summary.min == 0 && summary.max == 0);
    }
}

} // namespace bench
