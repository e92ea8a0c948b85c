// Figure 4: from the engine's final state to OnNotify, over real transfers from the paced server;
// and the handles those finished transfers leave behind (a row of figure 6).
#include "base/timing.h"
#include "bench/clock.h"
#include "bench/figures.h"
#include "bench/table.h"
#include "standin_engine/status_values.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace bench {

namespace {

// What a final state may take beyond one poll to reach OnNotify: the query, the notification's
// dispatch and the lateness of a timed wait on a loaded machine.
constexpr DWORD kNotifySlackMs = 20;

} // namespace

// The engine knows when its transfer ended: its start (the PPStartTaskEx call in its log) plus its
// elapsed milliseconds at the final state. The files come from the paced server, in sizes that
// make the transfers end at moments spread over the worker's poll. A first round with a
// downloader of its own warms up what the process creates once, before the handle baseline.
void NotifyLatency(Bench& b) {
    constexpr int kFiles = 8;
    const int rounds = b.options.notifyRounds;
    const double rate = b.options.pacedRate;
    const auto nameOf = [](int task) { return L"notify-" + std::to_wstring(task) + L".bin"; };
    // File i of round r takes (i + 1/4 + r / (2 rounds)) / 8 of a poll interval to send.
    const auto bytesOf = [&](int task) {
        const double share = (task % kFiles + 0.25 + 0.5 * (task / kFiles) / rounds) / kFiles;
        return static_cast<uint64_t>(share * rate * kTaskPollIntervalMs / 1000);
    };
    for (int task = 0; task < rounds * kFiles; ++task) {
        const std::filesystem::path path = b.options.www + L"\\" + nameOf(task);
        std::ofstream(path).close();
        std::filesystem::resize_file(path, bytesOf(task));
    }
    b.UseRealTransfers();
    _MOBILE_DRV_TASK record;
    std::vector<double> latencies, durations;
    // Runs the tasks of one round one at a time, each file in turn from the first or the last.
    const auto runRound = [&](IMobileDrvDown& downloader, Callback& callback, int round,
                              bool measured) {
        for (int i = 0; i < kFiles; ++i) {
            const int task = round * kFiles + (round % 2 == 0 ? i : kFiles - 1 - i);
            const std::wstring target = b.Out(nameOf(task));
            record = mobiledrv::TaskRecord(std::to_wstring(task),
                                           b.options.pacedServer + L"/" + nameOf(task), target);
            const std::size_t before = callback.Finals(0, 0).size();
            if (!downloader.AddTask(&record)) {
                throw std::runtime_error("AddTask refused a task");
            }
            const std::vector<Callback::Final> finals = callback.Finals(before + 1, 60000);
            if (finals.size() != before + 1 || finals.back().task != task ||
                finals.back().kind != MOBILEDRV_NOTIFY_SUCCEEDED) {
                throw std::runtime_error("a task did not end with a success notification");
            }
            const std::vector<drvtest::EngineCall> starts = b.engine.Calls("PPStartTaskEx");
            const auto start = std::find_if(starts.rbegin(), starts.rend(),
                                            [&](const auto& call) { return call.text2 == target; });
            PP_TASK_STATUS status{};
            if (start == starts.rend() || !b.ppQueryTaskEx(start->handle, &status) ||
                status.state != standin::kStateFinished) {
                throw std::runtime_error("the engine no longer reports a finished transfer");
            }
            CheckAndRemove(target, bytesOf(task), "a task");
            // The transfer's clock starts inside the PPStartTaskEx call: taking the call's
            // beginning puts the end no later than it was, so the latency is not understated.
            const DWORD elapsed = status.values[standin::kValueElapsedMs];
            const auto latency =
                static_cast<int32_t>(finals.back().tick - start->tickCalled - elapsed);
            if (measured) {
                latencies.push_back(latency);
                durations.push_back(elapsed);
            }
            Progress(Format("  task %d: transfer %lu ms, OnNotify %ld ms after its end%s", task,
                            elapsed, static_cast<long>(latency), measured ? "" : " (warm-up)"));
        }
    };

    Progress(Format("figure 4: engine's final state to OnNotify (%d tasks, files sent at %.1f "
                    "MiB/s; a warm-up round first)",
                    rounds * kFiles, rate / kMiB));
    {
        Callback callback;
        runRound(*b.Ready(callback), callback, 0, false);
    }
    const int threadsBefore = ThreadCount();
    const double handlesBefore = Handles();
    {
        Callback callback;
        auto downloader = b.Ready(callback);
        for (int round = 0; round < rounds; ++round) {
            runRound(*downloader, callback, round, true);
        }
    }
    // Every transfer has ended; the handles that remain are what the finished tasks left behind.
    PollUntil([&] { return ThreadCount() <= threadsBefore; }, 30000);
    const double handlesLeft = Handles() - handlesBefore;
    for (int task = 0; task < rounds * kFiles; ++task) {
        std::filesystem::remove(b.options.www + L"\\" + nameOf(task));
    }

    const Summary latency = Summarize(latencies);
    Heading(4, Format("Engine's final state to OnNotify (real HTTP transfers at %.1f MiB/s, one at "
                      "a time, ending across the worker's %lu ms poll)",
                      rate / kMiB, kTaskPollIntervalMs));
    Row(4, "latency, ms", latency, "%.0f",
        Format("<= %lu + %lu", kTaskPollIntervalMs, kNotifySlackMs),
        latency.max <= kTaskPollIntervalMs + kNotifySlackMs);
    Row(4, "transfer durations, ms", Summarize(durations), "%.0f");
    Row(6,
        Format("handles after %zu finished real transfers, Uninit and Release - before "
               "CreateInstance (after a warm-up round)",
               latencies.size()),
        Format("%+.0f", handlesLeft), "(once)", "= 0", handlesLeft == 0);
}

} // namespace bench
