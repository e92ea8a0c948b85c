// bench_drvdown: measures MobileDrvDown.dll under the conditions of this machine and prints one
// table. Each figure compares the library with a reference measured in the same run, side by
// side and alternately, so that the noise of a shared machine falls on both.
//
//   bench_drvdown --server URL --paced-server URL --paced-rate BYTES_PER_SECOND --www DIR
//                 --file NAME --work DIR [--repeat N] [--rounds N] [--notify-rounds N]
//                 [--cpu-seconds S] [--curl] [--wineserver-pid PID] [--rows]
//
// --server: a loopback HTTP server (http://127.0.0.1:PORT) of the folder --www, which holds the
// large file --file; --paced-server: one of the same folder that sends at --paced-rate. --work: a
// folder for the library's tree and the downloaded files. --repeat: rounds of each ratio;
// --rounds: rounds over the task counts; --notify-rounds: rounds of the notification latency.
// --curl: the shell that started the program answers "@curl" lines (see CurlSecondsFromShell).
// --wineserver-pid: the Unix process whose CPU time is reported beside this one's. --rows: the
// table as tab-separated rows, which bench/side_by_side.py puts beside those of the other
// architecture. bench/run.sh sets it all up.
#include "standin_engine/status_values.h"
#include "bench/bench_env.h"
#include "bench/pollers.h"
#include "bench/probes.h"
#include "bench/report.h"
#include "bench/threads.h"
#include "bench/transfers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

constexpr double kMiB = 1024.0 * 1024.0;
// The blocking download queries the engine every 200 ms, a task's worker every 1000 ms.
constexpr double kBlockingPollSeconds = 0.2;
constexpr double kTaskPollMs = 1000;
// What a final state may take beyond one poll to reach OnNotify: the query, the notification's
// dispatch and the lateness of a timed wait on a loaded machine.
constexpr double kNotifySlackMs = 20;
// Host threads that add tasks at once: AddTask pauses 100 ms on its caller's thread.
constexpr std::size_t kAdderThreads = 20;
constexpr std::size_t kAddTaskPauseMs = 100;
constexpr std::size_t kTaskCounts[] = {1, 10, 100, 300};

struct Options {
    std::wstring server;
    std::wstring www;
    std::wstring file;
    std::wstring work;
    int repeat = 7;
    int rounds = 3;
    int notifyRounds = 2;
    std::wstring pacedServer; // serves the same folder at pacedRate bytes per second
    uint64_t pacedRate = 0;
    DWORD cpuSeconds = 10;
    bool curl = false;
    DWORD wineserverPid = 0;
    bool rows = false; // prints the table as tab-separated rows (Table::PrintRows)
};

void Progress(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void Progress(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

std::string Verdict(bool met) {
    return met ? "ok" : "MISSED";
}

// Ends a downloader with Release.
struct ReleaseDownloader {
    void operator()(IMobileDrvDown* downloader) const { downloader->Release(); }
};
using DownloaderPtr = std::unique_ptr<IMobileDrvDown, ReleaseDownloader>;

// The host's notification object: counts progress notifications and keeps the tick of each final
// one, taken first thing in OnNotify.
class BenchCallback final : public IMobileDrvDownCallback {
public:
    struct Final {
        std::wstring name;
        int kind = -1;
        DWORD tick = 0;
    };

    // Room for `expectedFinals` final notifications, taken now: a notification must not need
    // memory where the process may have none left.
    explicit BenchCallback(std::size_t expectedFinals = 0) { finals_.reserve(expectedFinals); }

    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override {
        const DWORD tick = GetTickCount();
        if (kind == MOBILEDRV_NOTIFY_PROGRESS) {
            progress_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const auto* result = static_cast<const _MOBILE_DRV_RESULT*>(record);
        if (workerStack_ == 0) {
            workerStack_ = CurrentStackAllocation();
        }
        std::lock_guard lock(mutex_);
        finals_.push_back({result->name, kind, tick});
        changed_.notify_all();
    }

    uint64_t ProgressCount() const { return progress_.load(); }
    // The stack allocation of the first worker thread that sent a final notification, in bytes.
    uint64_t WorkerStack() const { return workerStack_.load(); }
    std::size_t FinalCount() {
        std::lock_guard lock(mutex_);
        return finals_.size();
    }
    std::vector<Final> Finals() {
        std::lock_guard lock(mutex_);
        return finals_;
    }

    // The final notification of the task `name`; empty when none came within `timeoutMs`.
    std::optional<Final> WaitFinal(const std::wstring& name, DWORD timeoutMs) {
        std::unique_lock lock(mutex_);
        std::optional<Final> found;
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            const auto it = std::find_if(finals_.begin(), finals_.end(),
                                         [&](const Final& final) { return final.name == name; });
            if (it != finals_.end()) {
                found = *it;
            }
            return found.has_value();
        });
        return found;
    }

private:
    std::atomic<uint64_t> progress_{0};
    std::atomic<uint64_t> workerStack_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Final> finals_;
};

template <std::size_t N>
void CopyText(wchar_t (&field)[N], const std::wstring& text) {
    const std::size_t length = std::min(text.size(), N - 1);
    std::copy_n(text.data(), length, field);
    field[length] = L'\0';
}

// Everything the figures share.
struct Bench {
    Options options;
    Tree tree;
    Engine engine;
    Library library;
    std::wstring url;  // the large file over HTTP
    uint64_t size = 0; // its size

    explicit Bench(Options opts)
        : options(std::move(opts)), tree(Tree::LayOut(options.work)),
          // The engine first: the library's loads then map the very same module.
          engine(tree.EnginePath()), library(tree.LibraryPath()),
          url(options.server + L"/" + options.file),
          size(FileSize(options.www + L"\\" + options.file)) {
        if (size == 0) {
            throw std::runtime_error("the served file is missing or empty");
        }
    }
};

// Removes the downloaded file, after checking that the download succeeded with every byte.
void CheckDownload(bool ok, const std::wstring& target, uint64_t size, const char* what) {
    const uint64_t written = FileSize(target);
    DeleteFileW(target.c_str());
    if (!ok || written != size) {
        throw std::runtime_error(Format("%s failed (%llu of %llu bytes)", what,
                                        static_cast<unsigned long long>(written),
                                        static_cast<unsigned long long>(size)));
    }
}

// Tests `condition` every 10 ms until it holds; false when it did not within `timeoutMs`.
bool WaitUntil(const auto& condition, DWORD timeoutMs) {
    const double deadline = Now() + timeoutMs / 1000.0;
    while (!condition()) {
        if (Now() > deadline) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

// Figure 1: DownLoadFile against the engine driven directly, same file; the direct side polls
// every 10 ms. Transfer times vary much more from one transfer to the next than the library
// costs, so the figure is also taken against DownLoadFile's own transfer: the benchmark holds an
// engine instance of its own during the call, so that the library's PPClose is not the last one
// and the finished transfer still answers a query for its elapsed time afterwards. A second
// direct side polls every 200 ms, as DownLoadFile does.
void EndToEnd(Bench& bench, Table& table) {
    enum Side { kLibrary, kDirect, kDirectSlow, kSides };
    const std::wstring targets[kSides] = {bench.tree.OutFile(L"e2e-library.bin"),
                                          bench.tree.OutFile(L"e2e-direct.bin"),
                                          bench.tree.OutFile(L"e2e-direct-slow.bin")};
    struct Outcome {
        double seconds = 0;
        double engineMs = 0; // the engine's own elapsed time for the transfer
    };
    const auto run = [&](Side side) {
        const std::wstring& target = targets[side];
        DeleteFileW(target.c_str());
        bench.engine.ResetForRealTransfers();
        Outcome outcome;
        if (side == kLibrary) {
            if (!bench.engine.Init()) {
                throw std::runtime_error("PPInit2 failed");
            }
            const double start = Now();
            const bool ok = bench.library.DownLoadFile(bench.url, target);
            outcome.seconds = Now() - start;
            StartCall call;
            PP_TASK_STATUS status{};
            const bool queried = bench.engine.FindStart(target, call) &&
                                 bench.engine.Query(call.handle, status) &&
                                 status.state == standin::kStateFinished;
            bench.engine.Close();
            CheckDownload(ok, target, bench.size, "DownLoadFile");
            if (!queried) {
                throw std::runtime_error("DownLoadFile's transfer did not report its time");
            }
            outcome.engineMs = status.values[standin::kValueElapsedMs];
        } else {
            const TransferResult result =
                DriveEngineDirectly(bench.engine, bench.url, target, side == kDirect ? 10 : 200);
            CheckDownload(result.ok, target, bench.size, "the directly driven engine");
            outcome = {.seconds = result.seconds, .engineMs = static_cast<double>(result.engineMs)};
        }
        return outcome;
    };

    Progress("figure 1: DownLoadFile against the engine driven directly (warming up)");
    for (int side = 0; side < kSides; ++side) {
        run(static_cast<Side>(side));
    }
    std::vector<double> seconds[kSides], engineMs[kSides], raw, adjusted, sameTransfer, beyond,
        sameSchedule;
    for (int rep = 0; rep < bench.options.repeat; ++rep) {
        Outcome now[kSides];
        // Each repetition starts with another side.
        for (int i = 0; i < kSides; ++i) {
            const int side = (i + rep) % kSides;
            now[side] = run(static_cast<Side>(side));
            seconds[side].push_back(now[side].seconds);
            engineMs[side].push_back(now[side].engineMs);
        }
        const Outcome& library = now[kLibrary];
        const Outcome& direct = now[kDirect];
        raw.push_back(library.seconds / direct.seconds);
        adjusted.push_back((library.seconds - kBlockingPollSeconds) / direct.seconds);
        // What driving the engine directly would have taken for DownLoadFile's own transfer:
        // that transfer's time plus what the direct side spent beyond its transfer.
        const double directOverhead = direct.seconds - direct.engineMs / 1000;
        sameTransfer.push_back((library.seconds - kBlockingPollSeconds) /
                               (library.engineMs / 1000 + directOverhead));
        beyond.push_back(library.seconds * 1000 - library.engineMs);
        sameSchedule.push_back(library.seconds / now[kDirectSlow].seconds);
        Progress("  %d/%d: DownLoadFile %.3f s (engine %.0f ms), direct %.3f s (engine %.0f ms), "
                 "direct with 200 ms polls %.3f s (engine %.0f ms)",
                 rep + 1, bench.options.repeat, library.seconds, library.engineMs, direct.seconds,
                 direct.engineMs, now[kDirectSlow].seconds, now[kDirectSlow].engineMs);
    }

    const Summary adjustedSummary = Summarize(adjusted);
    const Summary sameTransferSummary = Summarize(sameTransfer);
    const bool met = adjustedSummary.median <= 1.05;
    table.Heading(1, Format("DownLoadFile of the %.0f MiB file over loopback HTTP, against the "
                            "engine driven directly (time ratios, per round)",
                            static_cast<double>(bench.size) / kMiB));
    table.AddSummary("DownLoadFile / direct (10 ms polls), raw", Summarize(raw), "%.3f",
                     "<= 1.05 + 200 ms", Verdict(met));
    table.AddSummary("(DownLoadFile - 200 ms) / direct (10 ms polls)", adjustedSummary, "%.3f",
                     "<= 1.05", Verdict(met));
    table.AddSummary("the same against DownLoadFile's own transfer", sameTransferSummary, "%.3f",
                     "<= 1.05", Verdict(sameTransferSummary.median <= 1.05));
    table.AddSummary("DownLoadFile beyond its own transfer's time, ms", Summarize(beyond), "%.0f",
                     "", "info");
    table.AddSummary("DownLoadFile / direct with 200 ms polls (same schedule)",
                     Summarize(sameSchedule), "%.3f", "", "info");
    table.AddSummary("DownLoadFile, s", Summarize(seconds[kLibrary]), "%.3f");
    table.AddSummary("direct, PPInit2..PPClose, 10 ms polls, s", Summarize(seconds[kDirect]),
                     "%.3f");
    table.AddSummary("direct, PPInit2..PPClose, 200 ms polls, s", Summarize(seconds[kDirectSlow]),
                     "%.3f");
    table.AddSummary("engine's own transfer time, DownLoadFile, ms", Summarize(engineMs[kLibrary]),
                     "%.0f");
    table.AddSummary("engine's own transfer time, direct 10 ms polls, ms",
                     Summarize(engineMs[kDirect]), "%.0f");
    table.AddSummary("engine's own transfer time, direct 200 ms polls, ms",
                     Summarize(engineMs[kDirectSlow]), "%.0f");
}

// Figure 2: the engine's throughput against bare WinHTTP loops and native curl, same file.
void Throughput(Bench& bench, Table& table) {
    const std::wstring engineTarget = bench.tree.OutFile(L"tp-engine.bin");
    const std::wstring loopTarget = bench.tree.OutFile(L"tp-loop.bin");
    enum Side { kEngine, kLoop, kLoopWriting, kLoopAvailable, kCurl };
    std::vector<Side> sides = {kEngine, kLoop, kLoopWriting, kLoopAvailable};
    if (bench.options.curl) {
        sides.push_back(kCurl);
    }
    uint64_t availableReads = 0; // reads of the loop that reads what is available, all rounds

    // Seconds for the whole file; the engine's are its own elapsed time at the final state.
    const auto run = [&](Side side) -> double {
        switch (side) {
        case kEngine: {
            DeleteFileW(engineTarget.c_str());
            bench.engine.ResetForRealTransfers();
            const TransferResult result =
                DriveEngineDirectly(bench.engine, bench.url, engineTarget, 10);
            CheckDownload(result.ok, engineTarget, bench.size, "the engine's transfer");
            return result.engineMs / 1000.0;
        }
        case kLoop:
        case kLoopAvailable: {
            const TransferResult result = BareWinHttpLoop(
                bench.url, nullptr,
                side == kLoop ? ReadPattern::WholeBuffer : ReadPattern::AvailableFirst);
            if (!result.ok || result.bytes != bench.size) {
                throw std::runtime_error("a bare WinHTTP loop failed");
            }
            if (side == kLoopAvailable) {
                availableReads += result.reads;
            }
            return result.seconds;
        }
        case kLoopWriting: {
            DeleteFileW(loopTarget.c_str());
            const TransferResult result = BareWinHttpLoop(bench.url, &loopTarget);
            CheckDownload(result.ok && result.bytes == bench.size, loopTarget, bench.size,
                          "the bare WinHTTP loop writing the file");
            return result.seconds;
        }
        case kCurl:
            if (const std::optional<double> seconds = CurlSecondsFromShell()) {
                return *seconds;
            }
            throw std::runtime_error("the shell did not time curl");
        }
        return 0;
    };

    Progress("figure 2: engine throughput against bare WinHTTP loops and curl (warming up)");
    for (Side side : sides) {
        run(side);
    }
    availableReads = 0;
    std::vector<std::vector<double>> seconds(sides.size());
    std::vector<std::vector<double>> ratios(sides.size()); // engine throughput / side's
    for (int rep = 0; rep < bench.options.repeat; ++rep) {
        // Each repetition starts with another side.
        std::vector<double> now(sides.size());
        for (std::size_t i = 0; i < sides.size(); ++i) {
            const std::size_t index = (i + static_cast<std::size_t>(rep)) % sides.size();
            now[index] = run(sides[index]);
            seconds[index].push_back(now[index]);
        }
        for (std::size_t index = 1; index < sides.size(); ++index) {
            ratios[index].push_back(now[index] / now[kEngine]);
        }
        Progress("  %d/%d: engine %.3f s, loop %.3f s, loop writing %.3f s, loop reading what is "
                 "available %.3f s%s",
                 rep + 1, bench.options.repeat, now[kEngine], now[kLoop], now[kLoopWriting],
                 now[kLoopAvailable],
                 bench.options.curl ? Format(", curl %.3f s", now[kCurl]).c_str() : "");
    }

    const auto mibPerSecond = [&](const std::vector<double>& times) {
        std::vector<double> rates;
        for (double t : times) {
            rates.push_back(static_cast<double>(bench.size) / kMiB / t);
        }
        return Summarize(rates);
    };
    const Summary writing = Summarize(ratios[kLoopWriting]);
    table.Heading(2, "Stand-in engine throughput, same file, same Wine (throughput ratios, per "
                     "round; the engine's time is its own elapsed ms, and it writes the file)");
    table.AddSummary("engine / bare WinHTTP loop, 1 MiB reads, file written", writing, "%.3f",
                     ">= 0.9", Verdict(writing.median >= 0.9));
    table.AddSummary("engine / bare WinHTTP loop, 1 MiB reads, no file", Summarize(ratios[kLoop]),
                     "%.3f", "", "info");
    table.AddSummary("engine / bare loop reading what QueryDataAvailable reports, no file",
                     Summarize(ratios[kLoopAvailable]), "%.3f", "", "info");
    if (bench.options.curl) {
        table.AddSummary("engine / native curl -o /dev/null (shell-timed)",
                         Summarize(ratios[kCurl]), "%.3f", "reference", "ref.");
    }
    table.AddSummary("engine, MiB/s", mibPerSecond(seconds[kEngine]), "%.0f");
    table.AddSummary("bare WinHTTP loop, 1 MiB reads, file written, MiB/s",
                     mibPerSecond(seconds[kLoopWriting]), "%.0f");
    table.AddSummary("bare WinHTTP loop, 1 MiB reads, no file, MiB/s", mibPerSecond(seconds[kLoop]),
                     "%.0f");
    table.AddSummary("bare loop reading what is available, no file, MiB/s",
                     mibPerSecond(seconds[kLoopAvailable]), "%.0f");
    table.Add({.figure = "bare loop reading what is available: bytes per read, KiB",
               .median = Format(
                   "%.1f", static_cast<double>(bench.size) * bench.options.repeat /
                               static_cast<double>(std::max<uint64_t>(availableReads, 1)) / 1024),
               .spread = "(mean)"});
    if (bench.options.curl) {
        table.AddSummary("native curl (process start included), MiB/s",
                         mibPerSecond(seconds[kCurl]), "%.0f");
    }
}

// Figure 4: from the moment the engine's transfer ended to the OnNotify that reports it. The
// engine knows when its transfer ended: its start (the PPStartTaskEx call in its log) plus its
// elapsed milliseconds at the final state. The files come from a server that sends them at a
// fixed rate, in sizes that make the transfers end at moments spread over the worker's 1000 ms
// poll.
void NotifyLatency(Bench& bench, Table& table) {
    constexpr int kFiles = 8;
    const int rounds = bench.options.notifyRounds;
    const double rate = static_cast<double>(bench.options.pacedRate);
    // Transfer times of (i + 1/4 + r/(2*rounds)) * 125 ms for i = 0..7 in round r.
    const auto bytesOf = [&](int round, int file) {
        const double share = (file + 0.25 + 0.5 * round / rounds) / kFiles;
        return static_cast<uint64_t>(share * rate * kTaskPollMs / 1000);
    };
    std::vector<std::wstring> names;
    for (int round = 0; round < rounds; ++round) {
        for (int file = 0; file < kFiles; ++file) {
            names.push_back(L"notify-" + std::to_wstring(round) + L"-" + std::to_wstring(file) +
                            L".bin");
            MakeFileOfSize(bench.options.www + L"\\" + names.back(), bytesOf(round, file));
        }
    }
    bench.engine.ResetForRealTransfers();
    const DWORD threadsBefore = ThreadCount();
    const DWORD handlesBefore = HandleCount();
    BenchCallback callback;
    DownloaderPtr downloader(bench.library.Create());
    if (!downloader->Init(&callback)) {
        throw std::runtime_error("Init failed");
    }

    Progress("figure 4: engine's final state to OnNotify (%d tasks, files sent at %.1f MiB/s)",
             kFiles * rounds, rate / kMiB);
    std::vector<double> latencies, durations;
    auto record = std::make_unique<_MOBILE_DRV_TASK>();
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < kFiles; ++i) {
            const int file = round % 2 == 0 ? i : kFiles - 1 - i;
            const std::wstring& name = names[static_cast<std::size_t>(round * kFiles + file)];
            const std::wstring target = bench.tree.OutFile(name);
            DeleteFileW(target.c_str());
            *record = _MOBILE_DRV_TASK{};
            CopyText(record->name, name);
            CopyText(record->url, bench.options.pacedServer + L"/" + name);
            CopyText(record->targetPath, target);
            if (!downloader->AddTask(record.get())) {
                throw std::runtime_error("AddTask refused a task");
            }
            const std::optional<BenchCallback::Final> final = callback.WaitFinal(name, 60000);
            if (!final || final->kind != MOBILEDRV_NOTIFY_SUCCEEDED) {
                throw std::runtime_error("a task did not end with a success notification");
            }
            StartCall start;
            PP_TASK_STATUS status{};
            if (!bench.engine.FindStart(target, start) ||
                !bench.engine.Query(start.handle, status) ||
                status.state != standin::kStateFinished) {
                throw std::runtime_error("the engine no longer reports a finished transfer");
            }
            // The transfer's clock starts inside the PPStartTaskEx call; taking the call's
            // beginning puts the end no later than it was, so the latency is not understated.
            const DWORD endTick = start.tickCalled + status.values[standin::kValueElapsedMs];
            const double latency = static_cast<double>(static_cast<int32_t>(final->tick - endTick));
            latencies.push_back(latency);
            durations.push_back(status.values[standin::kValueElapsedMs]);
            CheckDownload(true, target, bytesOf(round, file), "a task");
            Progress("  task %s: transfer %u ms, OnNotify %.0f ms after its end",
                     Narrow(name).c_str(), status.values[standin::kValueElapsedMs], latency);
        }
    }
    downloader.reset();
    // Every transfer has ended; the handles that remain are what the finished tasks left behind.
    WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 30000);
    const double handlesLeft = static_cast<double>(HandleCount()) - handlesBefore;
    const double engineHandlesLeft = bench.engine.Counters().liveHandles;
    const double closeCalls = bench.engine.CallCount("PPCloseHandle");
    for (const std::wstring& name : names) {
        DeleteFileW((bench.options.www + L"\\" + name).c_str());
    }

    const Summary summary = Summarize(latencies);
    table.Heading(4, Format("Engine's final state to OnNotify (real HTTP transfers at %.1f MiB/s, "
                            "one at a time, ending across the worker's 1000 ms poll)",
                            rate / kMiB));
    table.AddSummary("latency, ms", summary, "%.0f",
                     Format("<= %.0f + %.0f", kTaskPollMs, kNotifySlackMs),
                     Verdict(summary.max <= kTaskPollMs + kNotifySlackMs));
    table.AddSummary("transfer durations, ms", Summarize(durations), "%.0f");
    table.Add({.figure = Format("handles after the %zu finished tasks, Uninit and Release - "
                                "before CreateInstance",
                                latencies.size()),
               .median = Format("%+.0f", handlesLeft),
               .spread = "(once)",
               .goal = "= 0",
               .verdict = Verdict(handlesLeft == 0)});
    table.Add({.figure = Format("engine transfer handles left open (PPCloseHandle calls: %.0f)",
                                closeCalls),
               .median = Format("%.0f", engineHandlesLeft),
               .spread = "(once)",
               .verdict = "info"});
}

// CPU time this process (and its wineserver) used over `seconds`, and how many events
// `countEvents` saw meanwhile.
struct CpuWindow {
    double percent = 0;
    std::optional<double> wineserverPercent{};
    double eventsPerSecond = 0;
};

CpuWindow MeasureCpu(const Options& options, DWORD seconds, const auto& countEvents) {
    const auto serverSeconds = [&]() -> std::optional<double> {
        if (options.wineserverPid == 0) {
            return std::nullopt;
        }
        return UnixProcessCpuSeconds(options.wineserverPid);
    };
    const std::optional<double> serverBefore = serverSeconds();
    const uint64_t eventsBefore = countEvents();
    const double cpuBefore = ProcessCpuSeconds();
    const double start = Now();
    Sleep(seconds * 1000);
    const double cpuAfter = ProcessCpuSeconds();
    const double wall = Now() - start;
    const uint64_t eventsAfter = countEvents();
    const std::optional<double> serverAfter = serverSeconds();

    CpuWindow window{.percent = (cpuAfter - cpuBefore) / wall * 100,
                     .eventsPerSecond = static_cast<double>(eventsAfter - eventsBefore) / wall};
    if (serverBefore && serverAfter) {
        window.wineserverPercent = (*serverAfter - *serverBefore) / wall * 100;
    }
    return window;
}

// One downloader with `count` running tasks (scripted: state 5 for ever): what they cost, what
// polling costs, and how long Uninit takes.
struct TaskSet {
    double uninitMs = 0;
    double lastWorkerMs = 0;    // from the Uninit call until the last worker thread had ended
    double workersAtReturn = 0; // worker threads still there when Uninit returned
    double privatePerTask = 0;  // bytes
    double handlesPerTask = 0;
    double handlesAtReturn = 0; // against before CreateInstance
    double handlesSettled = 0;  // the same once every worker has ended
    std::optional<CpuWindow> cpu;
};

// The same number of reference pollers (see ReferencePollers) in place of the library's tasks.
struct ReferenceSet {
    double privatePerThread = 0;
    double handlesPerThread = 0;
    CpuWindow cpu;
};

// Adds `count` tasks from up to kAdderThreads host threads at once and returns how many were
// taken. The threads start 100 ms / kAdderThreads apart, so that the workers' 1000 ms polls
// spread evenly over the second instead of waking in batches. With `refused`, the threads stop
// once an AddTask has returned 0, and `refused` tells how many did.
std::size_t AddTasks(IMobileDrvDown& downloader, std::size_t count, const Tree& tree,
                     std::size_t* refused = nullptr) {
    const std::size_t adders = std::min(count, kAdderThreads);
    std::atomic<std::size_t> started{0};
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> taken{0};
    std::atomic<std::size_t> refusals{0};
    RunOnThreads(adders, [&] {
        Sleep(static_cast<DWORD>(started++ * kAddTaskPauseMs / adders));
        auto record = std::make_unique<_MOBILE_DRV_TASK>();
        for (std::size_t i = next++; i < count && (refused == nullptr || refusals == 0);
             i = next++) {
            *record = _MOBILE_DRV_TASK{};
            CopyText(record->name, L"scripted-" + std::to_wstring(i));
            // Scripted transfers never connect; the address is loopback all the same.
            CopyText(record->url, L"http://127.0.0.1:1/scripted-" + std::to_wstring(i));
            CopyText(record->targetPath, tree.OutFile(L"scripted-" + std::to_wstring(i) + L".bin"));
            if (downloader.AddTask(record.get()) != 0) {
                ++taken;
            } else {
                ++refusals;
            }
        }
    });
    if (refused != nullptr) {
        *refused = refusals;
    }
    return taken;
}

// Long enough for every worker (or reference poller) to have passed its first 1000 ms poll.
constexpr DWORD kSettleMs = 1500;

TaskSet RunTaskSet(Bench& bench, std::size_t count, DWORD cpuSeconds) {
    TaskSet set;
    bench.engine.ResetForScriptedState(standin::kStateConnecting);
    BenchCallback callback;
    const DWORD threadsBefore = ThreadCount();
    const DWORD handlesBefore = HandleCount();

    DownloaderPtr downloader(bench.library.Create());
    if (!downloader->Init(&callback)) {
        throw std::runtime_error("Init failed");
    }
    const uint64_t privateReady = PrivateBytes();
    const DWORD handlesReady = HandleCount();
    if (AddTasks(*downloader, count, bench.tree) != count ||
        !WaitUntil([&] { return bench.engine.CallCount("PPStartTaskEx") >= count; }, 60000)) {
        throw std::runtime_error("not every task started its transfer");
    }
    Sleep(kSettleMs);
    set.privatePerTask = (static_cast<double>(PrivateBytes()) - privateReady) / count;
    set.handlesPerTask = (static_cast<double>(HandleCount()) - handlesReady) / count;
    if (cpuSeconds > 0) {
        set.cpu = MeasureCpu(bench.options, cpuSeconds, [&] { return callback.ProgressCount(); });
    }

    const double start = Now();
    downloader->Uninit();
    set.uninitMs = (Now() - start) * 1000;
    set.workersAtReturn = static_cast<double>(ThreadCount()) - threadsBefore;
    set.handlesAtReturn = static_cast<double>(HandleCount()) - handlesBefore;
    if (!WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 30000)) {
        throw std::runtime_error("worker threads still run 30 s after Uninit");
    }
    set.lastWorkerMs = (Now() - start) * 1000;
    set.handlesSettled = static_cast<double>(HandleCount()) - handlesBefore;
    return set;
}

ReferenceSet RunReferenceSet(Bench& bench, std::size_t count, DWORD cpuSeconds) {
    ReferenceSet set;
    bench.engine.ResetForScriptedState(standin::kStateConnecting);
    const uint64_t privateBefore = PrivateBytes();
    const DWORD handlesBefore = HandleCount();
    ReferencePollers pollers(bench.engine, count);
    Sleep(kSettleMs);
    set.privatePerThread = (static_cast<double>(PrivateBytes()) - privateBefore) / count;
    set.handlesPerThread = (static_cast<double>(HandleCount()) - handlesBefore) / count;
    set.cpu = MeasureCpu(bench.options, cpuSeconds, [&] { return pollers.Queries(); });
    return set;
}

// Uninit of a downloader that has no tasks while another downloader of the process has `busyTasks`
// running tasks (scripted: state 5 for ever). Uninit waits for the workers of every downloader.
double UninitBesideBusyDownloader(Bench& bench, std::size_t busyTasks) {
    bench.engine.ResetForScriptedState(standin::kStateConnecting);
    BenchCallback busyCallback;
    BenchCallback idleCallback;
    DownloaderPtr busy(bench.library.Create());
    DownloaderPtr idle(bench.library.Create());
    if (!busy->Init(&busyCallback) || !idle->Init(&idleCallback) ||
        AddTasks(*busy, busyTasks, bench.tree) != busyTasks) {
        throw std::runtime_error("cannot set up two downloaders");
    }
    const double start = Now();
    idle->Uninit();
    return (Now() - start) * 1000;
}

// Figures 3, 5 and 6, from the same downloaders: rounds over the task counts; with the largest
// count, the reference pollers run right before or after the library's tasks, in turn.
void RunningTasks(Bench& bench, Table& table) {
    constexpr std::size_t kLargest = std::size(kTaskCounts) - 1;
    const std::size_t largestCount = kTaskCounts[kLargest];
    const DWORD cpuSeconds = bench.options.cpuSeconds;
    std::vector<std::vector<TaskSet>> sets(std::size(kTaskCounts));
    std::vector<ReferenceSet> references;
    const auto runReference = [&] {
        Progress("  reference: %zu threads waiting 1000 ms and querying the engine, for %lu s",
                 largestCount, cpuSeconds);
        references.push_back(RunReferenceSet(bench, largestCount, cpuSeconds));
        const ReferenceSet& set = references.back();
        Progress("  %.1f KiB and %.2f handles per thread, CPU %.2f %%", set.privatePerThread / 1024,
                 set.handlesPerThread, set.cpu.percent);
    };
    for (int round = 0; round < bench.options.rounds; ++round) {
        for (std::size_t i = 0; i < std::size(kTaskCounts); ++i) {
            // Rounds go up and down the sizes in turn.
            const std::size_t index = round % 2 == 0 ? i : kLargest - i;
            const std::size_t count = kTaskCounts[index];
            const bool largest = index == kLargest;
            Progress("figures 3, 5, 6: round %d/%d, %zu running task(s)%s", round + 1,
                     bench.options.rounds, count,
                     largest ? Format(", polling for %lu s", cpuSeconds).c_str() : "");
            if (largest && round % 2 == 1) {
                runReference();
            }
            const TaskSet set = RunTaskSet(bench, count, largest ? cpuSeconds : 0);
            Progress("  Uninit %.0f ms (%.0f worker threads left; the last ended after %.0f ms), "
                     "%.1f KiB and %.2f handles per task, handles %+.0f when Uninit returned, "
                     "%+.0f once the workers ended%s",
                     set.uninitMs, set.workersAtReturn, set.lastWorkerMs, set.privatePerTask / 1024,
                     set.handlesPerTask, set.handlesAtReturn, set.handlesSettled,
                     set.cpu ? Format(", CPU %.2f %%", set.cpu->percent).c_str() : "");
            sets[index].push_back(set);
            if (largest && round % 2 == 0) {
                runReference();
            }
        }
    }

    constexpr std::size_t kBusyTasks = 5;
    Progress("figure 3: Uninit of a downloader without tasks beside one with %zu running tasks",
             kBusyTasks);
    const double besideBusyMs = UninitBesideBusyDownloader(bench, kBusyTasks);
    Progress("  Uninit %.0f ms", besideBusyMs);

    const auto cpuPercent = [](const TaskSet& s) {
        return s.cpu ? std::optional<double>(s.cpu->percent) : std::nullopt;
    };
    const auto kib = [](double bytes) { return bytes / 1024; };

    table.Heading(3, Format("Uninit with N running tasks (scripted: state 5 for ever; tasks added "
                            "from up to %zu host threads at once; %d run(s) per N)",
                            kAdderThreads, bench.options.rounds));
    for (std::size_t i = 0; i < std::size(kTaskCounts); ++i) {
        const Summary summary = SummarizeOver(sets[i], &TaskSet::uninitMs);
        table.AddSummary(Format("Uninit, %zu task(s), ms", kTaskCounts[i]), summary, "%.0f",
                         "<= 1200", Verdict(summary.max <= 1200));
    }
    for (std::size_t i = 0; i < std::size(kTaskCounts); ++i) {
        table.AddSummary(
            Format("worker threads left when Uninit returned, %zu task(s)", kTaskCounts[i]),
            SummarizeOver(sets[i], &TaskSet::workersAtReturn), "%.0f", "", "info");
    }
    table.AddSummary(
        Format("Uninit call until the last worker had ended, %zu tasks, ms", largestCount),
        SummarizeOver(sets[kLargest], &TaskSet::lastWorkerMs), "%.0f", "", "info");
    table.Add({.figure = Format("Uninit of a 2nd downloader without tasks while the 1st has %zu "
                                "running, ms",
                                kBusyTasks),
               .median = Format("%.0f", besideBusyMs),
               .spread = "(once)",
               .verdict = "info"});

    const Summary cpu = SummarizeOver(sets[kLargest], cpuPercent);
    table.Heading(5, Format("CPU while %zu tasks poll for %lu s (GetProcessTimes delta / wall "
                            "time, percent of one core)",
                            largestCount, cpuSeconds));
    table.AddSummary("this process, library's tasks, %", cpu, "%.2f", "< 1",
                     Verdict(cpu.median < 1.0));
    table.AddSummary("this process, reference pollers (no library), %",
                     SummarizeOver(references, [](const ReferenceSet& s) { return s.cpu.percent; }),
                     "%.2f", "", "info");
    if (bench.options.wineserverPid != 0) {
        table.AddSummary("its wineserver (a Unix process), library's tasks, %",
                         SummarizeOver(sets[kLargest],
                                       [](const TaskSet& s) {
                                           return s.cpu ? s.cpu->wineserverPercent : std::nullopt;
                                       }),
                         "%.2f", "", "info");
        table.AddSummary(
            "its wineserver (a Unix process), reference pollers, %",
            SummarizeOver(references,
                          [](const ReferenceSet& s) { return s.cpu.wineserverPercent; }),
            "%.2f", "", "info");
    }
    // Per round: what a poll of the library's tasks costs beyond a reference poller's.
    std::vector<double> extraPerPoll, extraMemory;
    for (std::size_t r = 0; r < std::min(sets[kLargest].size(), references.size()); ++r) {
        const TaskSet& library = sets[kLargest][r];
        const ReferenceSet& reference = references[r];
        if (library.cpu && library.cpu->eventsPerSecond > 0) {
            extraPerPoll.push_back((library.cpu->percent - reference.cpu.percent) / 100 * 1e6 /
                                   library.cpu->eventsPerSecond);
        }
        extraMemory.push_back(kib(library.privatePerTask - reference.privatePerThread));
    }
    table.AddSummary("library's CPU beyond the reference, per poll, us", Summarize(extraPerPoll),
                     "%.1f", "", "info");
    table.AddSummary("progress notifications per second",
                     SummarizeOver(sets[kLargest],
                                   [](const TaskSet& s) {
                                       return s.cpu ? std::optional<double>(s.cpu->eventsPerSecond)
                                                    : std::nullopt;
                                   }),
                     "%.0f", "", "info");

    table.Heading(6, "Memory and handles of running tasks (private bytes and handle count: see "
                     "bench/RESULTS.md for what Wine reports)");
    for (std::size_t i = 1; i < std::size(kTaskCounts); ++i) {
        table.AddSummary(
            Format("private bytes per running task, %zu tasks, KiB", kTaskCounts[i]),
            SummarizeOver(sets[i], [&](const TaskSet& s) { return kib(s.privatePerTask); }), "%.1f",
            "", "info");
    }
    table.AddSummary(
        Format("private bytes per reference poller, %zu threads, KiB", largestCount),
        SummarizeOver(references, [&](const ReferenceSet& s) { return kib(s.privatePerThread); }),
        "%.1f", "", "info");
    table.AddSummary(
        Format("private bytes per task beyond a reference poller, %zu, KiB", largestCount),
        Summarize(extraMemory), "%.1f", "", "info");
    for (std::size_t i = 1; i < std::size(kTaskCounts); ++i) {
        table.AddSummary(Format("handles per running task, %zu tasks", kTaskCounts[i]),
                         SummarizeOver(sets[i], &TaskSet::handlesPerTask), "%.2f", "", "info");
    }
    table.AddSummary(Format("handles per reference poller, %zu threads", largestCount),
                     SummarizeOver(references, &ReferenceSet::handlesPerThread), "%.2f", "",
                     "info");
    for (std::size_t i = 0; i < std::size(kTaskCounts); ++i) {
        const Summary settled = SummarizeOver(sets[i], &TaskSet::handlesSettled);
        table.AddSummary(Format("handles after Uninit - before Init, %zu task(s), workers ended",
                                kTaskCounts[i]),
                         settled, "%+.0f", "= 0", Verdict(settled.min == 0 && settled.max == 0));
    }
    for (std::size_t i = 0; i < std::size(kTaskCounts); ++i) {
        table.AddSummary(
            Format("handles when Uninit returned - before Init, %zu task(s)", kTaskCounts[i]),
            SummarizeOver(sets[i], &TaskSet::handlesAtReturn), "%+.0f", "", "info");
    }
}

// Figure 7, for a 32-bit process only: how many tasks run at once before AddTask returns 0. Each
// task has a worker thread of its own, and a thread takes address space: its stack (the program's
// default stack reserve) and what the system maps for a thread besides, so the user address space
// of the process is what runs out. Tasks are added from kAdderThreads host threads
// until an AddTask returns 0, while every PPQueryTaskEx waits inside the engine, so that no task
// can end. Then the engine answers state 1: every task taken must end with exactly one success
// notification, and after Uninit and Release the process must hold the handles it held before.
void TasksAtOnce(Bench& bench, Table& table) {
    // More tasks than 4 GiB holds stacks of 1 MiB: the address space runs out first.
    constexpr std::size_t kMostTasks = 8192;
    const auto* image = reinterpret_cast<const char*>(GetModuleHandleW(nullptr));
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    const double stackReserveKiB =
        static_cast<double>(headers->OptionalHeader.SizeOfStackReserve) / 1024;
    const bool largeAddressAware =
        (headers->FileHeader.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE) != 0;

    bench.engine.ResetForScriptedState(standin::kStateFinished);
    bench.engine.HoldQueries();
    const DWORD threadsBefore = ThreadCount();
    const DWORD handlesBefore = HandleCount();
    BenchCallback callback(kMostTasks);
    DownloaderPtr downloader(bench.library.Create());
    if (!downloader->Init(&callback)) {
        throw std::runtime_error("Init failed");
    }
    const AddressSpace before = UserAddressSpace();
    Progress("figure 7: adding running tasks from %zu host threads until AddTask returns 0 "
             "(default stack reserve %.0f KiB, %.0f MiB committed of %.0f MiB)",
             kAdderThreads, stackReserveKiB, static_cast<double>(before.committed) / kMiB,
             static_cast<double>(before.total) / kMiB);
    std::size_t refused = 0;
    const double start = Now();
    const std::size_t taken = AddTasks(*downloader, kMostTasks, bench.tree, &refused);
    const double addSeconds = Now() - start;
    // Each worker queries its transfer 1000 ms after starting it, and that query stays inside the
    // engine.
    WaitUntil([&] { return bench.engine.CallCount("PPQueryTaskEx") >= taken; }, 30000);
    const uint32_t waiting = bench.engine.CallCount("PPQueryTaskEx");
    const double workers = static_cast<double>(ThreadCount()) - threadsBefore;
    const AddressSpace atLimit = UserAddressSpace();
    const double committedPerTask =
        (static_cast<double>(atLimit.committed) - static_cast<double>(before.committed)) /
        static_cast<double>(std::max<std::size_t>(taken, 1));
    Progress("  %zu tasks taken in %.1f s, %zu AddTask calls returned 0; %u queries waiting, %.0f "
             "threads more, %.0f KiB committed per task",
             taken, addSeconds, refused, waiting, workers, committedPerTask / 1024);

    bench.engine.ReleaseQueries();
    WaitUntil([&] { return callback.FinalCount() >= taken; }, 60000);
    downloader->Uninit();
    downloader.reset();
    const bool workersEnded = WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 30000);
    const double handlesLeft = static_cast<double>(HandleCount()) - handlesBefore;
    const AddressSpace after = UserAddressSpace();
    std::map<std::wstring, std::size_t> successes; // by task name
    std::size_t others = 0;
    for (const BenchCallback::Final& final : callback.Finals()) {
        if (final.kind == MOBILEDRV_NOTIFY_SUCCEEDED) {
            ++successes[final.name];
        } else {
            ++others;
        }
    }
    const auto once = std::count_if(successes.begin(), successes.end(),
                                    [](const auto& task) { return task.second == 1; });
    Progress("  %zu tasks with one success notification, %zu with more, %zu other notifications; "
             "handles %+.0f",
             static_cast<std::size_t>(once), successes.size() - once, others, handlesLeft);

    const auto mib = [](uint64_t bytes) {
        return Format("%.0f", static_cast<double>(bytes) / kMiB);
    };
    const auto add = [&](std::string figure, std::string value, std::string goal = "",
                         std::string verdict = "info") {
        table.Add({.figure = std::move(figure),
                   .median = std::move(value),
                   .spread = "(once)",
                   .goal = std::move(goal),
                   .verdict = std::move(verdict)});
    };
    table.Heading(7, Format("Tasks running at once in a 32-bit host before AddTask returns 0 (x86 "
                            "only; scripted engine that holds every query; the exe: default stack "
                            "reserve %.0f KiB, %s; user address space %.0f MiB)",
                            stackReserveKiB,
                            largeAddressAware ? "large-address-aware" : "not large-address-aware",
                            static_cast<double>(before.total) / kMiB));
    add("tasks running when AddTask first returned 0", Format("%zu", taken));
    add("of them, tasks whose worker waited in its first engine query", Format("%u", waiting));
    add("threads of the process then, beyond before CreateInstance", Format("%.0f", workers));
    add("address space committed before the first task, MiB", mib(before.committed));
    add("address space committed per running task, KiB", Format("%.0f", committedPerTask / 1024));
    add("of it, a worker thread's stack allocation (seen from the thread), KiB",
        Format("%.0f", static_cast<double>(callback.WorkerStack()) / 1024));
    add("address space committed after Release - before the first task, MiB",
        Format("%+.0f",
               (static_cast<double>(after.committed) - static_cast<double>(before.committed)) /
                   kMiB));
    add(Format("time to add them from %zu host threads, s", kAdderThreads),
        Format("%.1f", addSeconds));
    add(Format("AddTask returned 0 past the limit (calls that did: %zu)", refused),
        refused > 0 ? "yes" : "no", "yes", Verdict(refused > 0 && taken < kMostTasks));
    add(Format("tasks with one success notification after state 1 (more: %zu, other kinds: %zu)",
               successes.size() - once, others),
        Format("%zu of %zu", static_cast<std::size_t>(once), taken), "all",
        Verdict(static_cast<std::size_t>(once) == taken && successes.size() == taken &&
                others == 0));
    add("handles after Uninit and Release - before CreateInstance, workers ended",
        Format("%+.0f", handlesLeft), "= 0", Verdict(workersEnded && handlesLeft == 0));
}

Options ParseOptions(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        const auto value = [&]() -> std::wstring {
            if (i + 1 >= argc) {
                throw std::invalid_argument("missing value after " + Narrow(name));
            }
            return argv[++i];
        };
        if (name == L"--server") {
            options.server = value();
        } else if (name == L"--www") {
            options.www = value();
        } else if (name == L"--file") {
            options.file = value();
        } else if (name == L"--work") {
            options.work = value();
        } else if (name == L"--repeat") {
            options.repeat = std::max(1, std::stoi(value()));
        } else if (name == L"--rounds") {
            options.rounds = std::max(1, std::stoi(value()));
        } else if (name == L"--notify-rounds") {
            options.notifyRounds = std::max(1, std::stoi(value()));
        } else if (name == L"--cpu-seconds") {
            options.cpuSeconds = static_cast<DWORD>(std::max(1, std::stoi(value())));
        } else if (name == L"--paced-server") {
            options.pacedServer = value();
        } else if (name == L"--paced-rate") {
            options.pacedRate = std::stoull(value());
        } else if (name == L"--rows") {
            options.rows = true;
        } else if (name == L"--curl") {
            options.curl = true;
        } else if (name == L"--wineserver-pid") {
            options.wineserverPid = static_cast<DWORD>(std::stoul(value()));
        } else {
            throw std::invalid_argument("unknown option " + Narrow(name));
        }
    }
    if (options.server.rfind(L"http://127.0.0.1:", 0) != 0 ||
        options.pacedServer.rfind(L"http://127.0.0.1:", 0) != 0 || options.pacedRate == 0 ||
        options.www.empty() || options.file.empty() || options.work.empty()) {
        throw std::invalid_argument(
            "usage: bench_drvdown --server http://127.0.0.1:PORT --paced-server "
            "http://127.0.0.1:PORT --paced-rate BYTES_PER_SECOND --www DIR --file NAME --work DIR "
            "[--repeat N] [--rounds N] [--notify-rounds N] [--cpu-seconds S] [--curl] "
            "[--wineserver-pid PID] [--rows]");
    }
    return options;
}

int Run(int argc, wchar_t** argv) {
    Bench bench(ParseOptions(argc, argv));
    Table table;
    const double start = Now();
    EndToEnd(bench, table);
    Throughput(bench, table);
    NotifyLatency(bench, table);
    RunningTasks(bench, table);
    // Last: it takes this process's address space to the end.
    if constexpr (sizeof(void*) == 4) {
        TasksAtOnce(bench, table);
    }
    table.Note(Format("measured in %.0f s; %d repetitions per ratio, alternating the sides",
                      Now() - start, bench.options.repeat));
    if (bench.options.rows) {
        table.PrintRows(stdout);
    } else {
        table.Print(stdout);
    }
    return 0;
}

} // namespace

} // namespace bench

int wmain(int argc, wchar_t** argv) {
    try {
        return bench::Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_drvdown: %s\n", error.what());
        return 1;
    }
}
