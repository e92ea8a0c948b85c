// bench_drvdown: measures MobileDrvDown.dll on this machine, each figure in the same run as its
// reference, the sides taking turns, so that the noise of a shared machine falls on both. The
// library and the stand-in engine are laid out in a tree of the test support, and the engine is
// driven and read through drvtest::StandIn: the same file the library loads.
//
//   bench_drvdown --server URL --paced-server URL --paced-rate BYTES_PER_SECOND --www DIR
//                 --file NAME [--repeat N] [--rounds N] [--notify-rounds N] [--cpu-seconds S]
//
// --server serves the folder --www, which holds the large file --file, on 127.0.0.1; the paced
// server serves the same folder at --paced-rate. --repeat: rounds of figures 1 and 2; --rounds:
// rounds over the task counts (figures 3, 5, 6); --notify-rounds: rounds of figure 4. Output:
// tab-separated rows for bench/side_by_side.py; progress on standard error. bench/run.sh runs it.
#include "MobileDrvDown.h"
#include "base/timing.h"
#include "base/unique_handle.h"
#include "engine_abi/engine_abi.h"
#include "standin_engine/status_values.h"
#include "support/process_handles.h"
#include "support/standin.h"
#include "support/test_tree.h"

#include <windows.h>
#include <tlhelp32.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using drvtest::StandIn;
using drvtest::TestTree;
using unique_hinternet = unique_any<close_traits<HINTERNET, &WinHttpCloseHandle>>;

constexpr double kMiB = 1024.0 * 1024.0;
// What a final state may take beyond one poll to reach OnNotify: the query, the notification's
// dispatch and the lateness of a timed wait on a loaded machine.
constexpr DWORD kNotifySlackMs = 20;
// Host threads that add tasks at once: AddTask pauses on its caller's thread.
constexpr std::size_t kAdderThreads = 20;
constexpr std::size_t kTaskCounts[] = {1, 10, 100, 300};

std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    return buffer;
}

void Progress(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

struct Summary {
    double median = 0, min = 0, max = 0;
    std::size_t count = 0;
};

Summary Summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t count = samples.size(), middle = count / 2;
    if (count == 0) {
        return {};
    }
    return {count % 2 != 0 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2,
            samples.front(), samples.back(), count};
}

void Heading(int figure, const std::string& title) {
    std::printf("@heading\t%d\t%s\n", figure, title.c_str());
}

// A row of the table; `met`, when given, is the verdict on the goal.
void Row(int figure, const std::string& name, const std::string& median, const std::string& spread,
         const std::string& goal = "", std::optional<bool> met = {}) {
    std::printf("@row\t%d\t%s\t%s\t%s\t%s\t%s\n", figure, name.c_str(), median.c_str(),
                spread.c_str(), goal.c_str(), met ? (*met ? "ok" : "MISSED") : "");
    std::fflush(stdout);
}

// A row of samples: the median and min .. max, each printed with `format` (one double).
void Row(int figure, const std::string& name, const Summary& summary, const char* format,
         const std::string& goal = "", std::optional<bool> met = {}) {
    Row(figure, name + Format(" (n=%zu)", summary.count), Format(format, summary.median),
        Format(format, summary.min) + " .. " + Format(format, summary.max), goal, met);
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// User and kernel time of every thread of this process so far, in seconds.
double ProcessCpuSeconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](FILETIME t) {
        return ULARGE_INTEGER{{t.dwLowDateTime, t.dwHighDateTime}}.QuadPart;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

double Handles() {
    return drvtest::ProcessHandleCount();
}

// Threads of this process, from a system snapshot.
DWORD ThreadCount() {
    // Closed like a file; INVALID_HANDLE_VALUE when none was taken.
    const unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    DWORD count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    }
    return count;
}

// Tests `condition` every 10 ms until it holds; false when it did not within `timeoutMs`.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const double deadline = Now() + timeoutMs / 1000.0;
    while (!condition()) {
        if (Now() > deadline) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

DWORD WINAPI RunBody(void* body) {
    (*static_cast<const std::function<void()>*>(body))();
    return 0;
}

// Runs `body` on `count` threads at once and returns when every one has ended. The threads are
// made with CreateThread, like the library's workers: such a thread leaves no handle or cached
// object behind once it has ended and its handle is closed.
void RunOnThreads(std::size_t count, const std::function<void()>& body) {
    std::vector<unique_handle> threads;
    for (std::size_t i = 0; i < count; ++i) {
        unique_handle thread(CreateThread(nullptr, 0, &RunBody,
                                          const_cast<std::function<void()>*>(&body), 0, nullptr));
        if (!thread) {
            break;
        }
        threads.push_back(std::move(thread));
    }
    for (const unique_handle& thread : threads) {
        WaitForSingleObject(thread.get(), INFINITE);
    }
    if (threads.size() != count) {
        throw std::runtime_error("CreateThread failed");
    }
}

// Counts progress notifications and keeps each final one: the task's number (its name), the
// kind, and the tick taken first thing in OnNotify.
class Callback final : public IMobileDrvDownCallback {
public:
    struct Final {
        int task, kind;
        DWORD tick;
    };

    // Room for `finals` final notifications, taken now: in figure 7 they arrive while the process
    // has no address space left.
    explicit Callback(std::size_t finals = 64) { finals_.reserve(finals); }

    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override {
        const DWORD tick = GetTickCount();
        if (kind == MOBILEDRV_NOTIFY_PROGRESS) {
            progress.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const int task = _wtoi(static_cast<const _MOBILE_DRV_RESULT*>(record)->name);
        std::lock_guard lock(mutex_);
        finals_.push_back({task, kind, tick});
    }

    // The final notifications so far, once there are `count` of them or `timeoutMs` has passed.
    // The wait polls: a condition variable would hold objects of the system until it goes.
    std::vector<Final> Finals(std::size_t count, DWORD timeoutMs) {
        WaitUntil(
            [&] {
                std::lock_guard lock(mutex_);
                return finals_.size() >= count;
            },
            timeoutMs);
        std::lock_guard lock(mutex_);
        return finals_;
    }

    std::atomic<uint64_t> progress{0};

private:
    std::mutex mutex_;
    std::vector<Final> finals_;
};

struct ReleaseDownloader {
    void operator()(IMobileDrvDown* downloader) const { downloader->Release(); }
};
using Downloader = std::unique_ptr<IMobileDrvDown, ReleaseDownloader>;

// A task's parameter record as a host fills it; the name is the task's number.
void FillTask(_MOBILE_DRV_TASK& record, int number, const std::wstring& url,
              const std::wstring& target) {
    record = _MOBILE_DRV_TASK{};
    wcsncpy(record.name, std::to_wstring(number).c_str(), MOBILEDRV_NAME_CHARS - 1);
    wcsncpy(record.url, url.c_str(), MOBILEDRV_TEXT_CHARS - 1);
    wcsncpy(record.targetPath, target.c_str(), MOBILEDRV_TEXT_CHARS - 1);
}

struct Options {
    std::wstring server, pacedServer, www, file;
    int pacedRate, repeat, rounds, notifyRounds, cpuSeconds;
};

template <class Fn>
Fn Export(HMODULE module, const char* name) {
    if (const Fn function = drvtest::GetProc<Fn>(module, name)) {
        return function;
    }
    throw std::runtime_error(std::string("missing export ") + name);
}

TestTree& LaidOut(TestTree& tree) {
    tree.InstallLibrary();
    tree.InstallEngine();
    tree.MakeDir(L"out");
    return tree;
}

struct Bench {
    using CreateInstanceFn = IMobileDrvDown*(__stdcall*)(int, int*);
    using DownLoadFileFn = int(__stdcall*)(const wchar_t*, const wchar_t*);

    explicit Bench(Options opts) : options(std::move(opts)), engine(LaidOut(tree)) {}

    Options options;
    TestTree tree;  // bin\MobileDrvDown.dll, Tolvek.dll, out\ for the downloaded files
    StandIn engine; // loaded before the library, whose loads then map the very same module
    HMODULE library = tree.LoadLibraryFromTree();
    CreateInstanceFn createInstance = Export<CreateInstanceFn>(library, "CreateInstance");
    DownLoadFileFn downLoadFile = Export<DownLoadFileFn>(library, "DownLoadFile");
    PPInit2Fn ppInit2 = Export<PPInit2Fn>(engine.Module(), kEngineExportNames[kPPInit2]);
    PPStartTaskExFn ppStartTaskEx =
        Export<PPStartTaskExFn>(engine.Module(), kEngineExportNames[kPPStartTaskEx]);
    PPQueryTaskExFn ppQueryTaskEx =
        Export<PPQueryTaskExFn>(engine.Module(), kEngineExportNames[kPPQueryTaskEx]);
    PPCloseFn ppClose = Export<PPCloseFn>(engine.Module(), kEngineExportNames[kPPClose]);
    std::wstring url = options.server + L"/" + options.file; // the large file
    uint64_t size = std::filesystem::file_size(options.www + L"\\" + options.file);

    std::wstring Out(const std::wstring& name) const { return tree.Path(L"out\\" + name); }

    // A new downloader initialised with `callback`; with `handlesBeforeInit`, the process's
    // handle count between CreateInstance and Init (the downloader holds its own until Release).
    Downloader Ready(Callback& callback, double* handlesBeforeInit = nullptr) const {
        int version = 0;
        Downloader downloader(createInstance(MOBILEDRV_INTERFACE_VERSION, &version));
        if (downloader && handlesBeforeInit != nullptr) {
            *handlesBeforeInit = Handles();
        }
        if (!downloader || !downloader->Init(&callback)) {
            throw std::runtime_error("CreateInstance or Init failed");
        }
        return downloader;
    }

    void UseRealTransfers() {
        engine.Reset();
        engine.UseRealTransfers();
    }
    // Every transfer started from now on answers each query with `state` for ever.
    void UseScriptedState(int32_t state) {
        engine.Reset();
        engine.SetDefaultScript({drvtest::QueryStep(state, 0)});
    }
};

// Removes a downloaded file after checking that it has every byte.
void CheckAndRemove(const std::wstring& path, uint64_t size, const char* what) {
    std::error_code error;
    const auto written = static_cast<uint64_t>(std::filesystem::file_size(path, error));
    std::filesystem::remove(path, error);
    if (written != size) {
        throw std::runtime_error(std::string(what) + " wrote " + std::to_string(written) + " of " +
                                 std::to_string(size) + " bytes");
    }
}

// What DownLoadFile does, without the library: PPInit2, PPStartTaskEx, PPQueryTaskEx every
// `pollMs` until the state is final, PPClose. Returns the wall seconds of it all and sets
// `engineMs` to the transfer's own time (its elapsed milliseconds at the final state).
double DriveEngine(const Bench& b, const std::wstring& target, DWORD pollMs, double& engineMs) {
    const double start = Now();
    PP_TASK_STATUS status{};
    if (b.ppInit2(L"MobileDrvDownBench", 0, 0)) {
        if (const uint32_t handle =
                b.ppStartTaskEx(b.url.c_str(), target.c_str(), 0, 0, 0, 0, 0, 0)) {
            for (;;) {
                Sleep(pollMs);
                status = PP_TASK_STATUS{};
                if (b.ppQueryTaskEx(handle, &status) && !IsRunningState(status.state)) {
                    break;
                }
            }
        }
    }
    b.ppClose();
    const double seconds = Now() - start;
    if (status.state != standin::kStateFinished) {
        throw std::runtime_error("the engine driven directly did not finish its transfer");
    }
    engineMs = status.values[standin::kValueElapsedMs];
    return seconds;
}

// GET the large file through WinHTTP (no proxy, as the engine does for loopback hosts), reading
// 1 MiB at a time and writing it to `target`; seconds until the handles and the file are closed.
double BareWinHttpLoop(const Bench& b, const std::wstring& target) {
    const auto port = static_cast<INTERNET_PORT>(std::stoi(b.options.server.substr(17)));
    const std::wstring path = L"/" + b.options.file;
    std::vector<char> buffer(1 << 20);
    const double start = Now();
    {
        const unique_hfile file(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        const unique_hinternet session(
            WinHttpOpen(L"MobileDrvDownBench/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        const unique_hinternet connection(
            session ? WinHttpConnect(session.get(), L"127.0.0.1", port, 0) : nullptr);
        const unique_hinternet request(
            connection ? WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                       : nullptr);
        DWORD code = 0;
        DWORD size = sizeof code;
        if (!file || !request ||
            !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !WinHttpReceiveResponse(request.get(), nullptr) ||
            !WinHttpQueryHeaders(
                request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX) ||
            code != 200) {
            throw std::runtime_error("the bare WinHTTP loop got no response");
        }
        DWORD read = 0;
        DWORD written = 0;
        while (WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                               &read) &&
               read > 0 && WriteFile(file.get(), buffer.data(), read, &written, nullptr) &&
               written == read) {
        }
    }
    const double seconds = Now() - start;
    CheckAndRemove(target, b.size, "the bare WinHTTP loop");
    return seconds;
}

// Runs both sides of round `round`, each side first in every other round.
void InTurn(int round, const std::function<void()>& first, const std::function<void()>& second) {
    (round % 2 == 0 ? first : second)();
    (round % 2 == 0 ? second : first)();
}

// The library's side holds an engine instance of its own during the call, so that the library's
// PPClose is not the last one and the finished transfer still answers a query for its own time.
// The figure is also taken against that transfer's time, since transfer times vary much more from
// one transfer to the next than the library costs.
void EndToEnd(Bench& b) {
    struct Outcome {
        double seconds = 0, engineMs = 0;
    };
    const std::wstring target = b.Out(L"e2e.bin");
    const auto library = [&] {
        b.UseRealTransfers();
        if (!b.ppInit2(L"MobileDrvDownBench", 0, 0)) {
            throw std::runtime_error("PPInit2 failed");
        }
        const double start = Now();
        const bool ok = b.downLoadFile(b.url.c_str(), target.c_str()) != 0;
        const double seconds = Now() - start;
        const std::vector<drvtest::EngineCall> starts = b.engine.Calls("PPStartTaskEx");
        PP_TASK_STATUS status{};
        const bool queried = starts.size() == 1 && b.ppQueryTaskEx(starts[0].handle, &status) &&
                             status.state == standin::kStateFinished;
        b.ppClose();
        CheckAndRemove(target, b.size, "DownLoadFile");
        if (!ok || !queried) {
            throw std::runtime_error("DownLoadFile failed or its transfer did not tell its time");
        }
        return Outcome{seconds, static_cast<double>(status.values[standin::kValueElapsedMs])};
    };
    const auto direct = [&] {
        b.UseRealTransfers();
        Outcome outcome;
        outcome.seconds = DriveEngine(b, target, 10, outcome.engineMs);
        CheckAndRemove(target, b.size, "the engine driven directly");
        return outcome;
    };

    Progress("figure 1: DownLoadFile against the engine driven directly (warming up)");
    library();
    direct();
    std::vector<double> raw, adjusted, own, seconds[2];
    const double poll = kBlockingPollIntervalMs / 1000.0;
    for (int round = 0; round < b.options.repeat; ++round) {
        Outcome lib, dir;
        InTurn(
            round, [&] { lib = library(); }, [&] { dir = direct(); });
        raw.push_back(lib.seconds / dir.seconds);
        adjusted.push_back((lib.seconds - poll) / dir.seconds);
        // Driving the engine directly for DownLoadFile's own transfer would have taken that
        // transfer's time plus what the direct side spent beyond its transfer.
        own.push_back((lib.seconds - poll) /
                      (lib.engineMs / 1000 + dir.seconds - dir.engineMs / 1000));
        seconds[0].push_back(lib.seconds);
        seconds[1].push_back(dir.seconds);
        Progress(Format("  %d/%d: DownLoadFile %.3f s (engine %.0f ms), direct %.3f s (engine "
                        "%.0f ms)",
                        round + 1, b.options.repeat, lib.seconds, lib.engineMs, dir.seconds,
                        dir.engineMs));
    }
    const Summary adjustedSummary = Summarize(adjusted);
    const Summary ownSummary = Summarize(own);
    Heading(1, Format("DownLoadFile of the %.0f MiB file over loopback HTTP, against the engine "
                      "driven directly with 10 ms polls (time ratios, per round)",
                      static_cast<double>(b.size) / kMiB));
    Row(1, "DownLoadFile / direct, raw", Summarize(raw), "%.3f", "<= 1.05 + 200 ms",
        adjustedSummary.median <= 1.05);
    Row(1, "(DownLoadFile - 200 ms) / direct", adjustedSummary, "%.3f", "<= 1.05",
        adjustedSummary.median <= 1.05);
    Row(1, "the same against DownLoadFile's own transfer", ownSummary, "%.3f", "<= 1.05",
        ownSummary.median <= 1.05);
    Row(1, "DownLoadFile, s", Summarize(seconds[0]), "%.3f");
    Row(1, "direct, PPInit2..PPClose, s", Summarize(seconds[1]), "%.3f");
}

void Throughput(Bench& b) {
    const std::wstring target = b.Out(L"throughput.bin");
    const auto engine = [&] {
        b.UseRealTransfers();
        double engineMs = 0;
        DriveEngine(b, target, 10, engineMs);
        CheckAndRemove(target, b.size, "the engine");
        return engineMs / 1000;
    };
    Progress("figure 2: engine throughput against a bare WinHTTP loop (warming up)");
    engine();
    BareWinHttpLoop(b, target);
    std::vector<double> ratios, engineRates, loopRates;
    for (int round = 0; round < b.options.repeat; ++round) {
        double engineSeconds = 0, loopSeconds = 0;
        InTurn(
            round, [&] { engineSeconds = engine(); },
            [&] { loopSeconds = BareWinHttpLoop(b, target); });
        ratios.push_back(loopSeconds / engineSeconds);
        engineRates.push_back(static_cast<double>(b.size) / kMiB / engineSeconds);
        loopRates.push_back(static_cast<double>(b.size) / kMiB / loopSeconds);
        Progress(Format("  %d/%d: engine %.3f s, bare loop %.3f s", round + 1, b.options.repeat,
                        engineSeconds, loopSeconds));
    }
    const Summary ratio = Summarize(ratios);
    Heading(2, "Stand-in engine throughput, same file, same Wine (throughput ratio per round; the "
               "engine's time is its own elapsed ms, and it writes the file)");
    Row(2, "engine / bare WinHTTP loop, 1 MiB reads, file written", ratio, "%.3f", ">= 0.9",
        ratio.median >= 0.9);
    Row(2, "engine, MiB/s", Summarize(engineRates), "%.0f");
    Row(2, "bare WinHTTP loop, 1 MiB reads, file written, MiB/s", Summarize(loopRates), "%.0f");
}

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
            FillTask(record, task, b.options.pacedServer + L"/" + nameOf(task), target);
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
    const DWORD threadsBefore = ThreadCount();
    const double handlesBefore = Handles();
    {
        Callback callback;
        Downloader downloader = b.Ready(callback);
        for (int round = 0; round < rounds; ++round) {
            runRound(*downloader, callback, round, true);
        }
    }
    // Every transfer has ended; the handles that remain are what the finished tasks left behind.
    WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 30000);
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

// Adds `count` tasks from up to kAdderThreads host threads at once; returns how many were taken.
// The threads start a share of AddTask's pause apart, so that the workers' polls spread over the
// interval instead of waking in batches. With `refused`, the threads stop once an AddTask has
// returned 0, and `refused` tells how many did.
std::size_t AddTasks(IMobileDrvDown& downloader, std::size_t count, const Bench& b,
                     std::size_t* refused = nullptr) {
    const std::size_t adders = std::min(count, kAdderThreads);
    std::atomic<std::size_t> started{0}, next{0}, taken{0}, refusals{0};
    RunOnThreads(adders, [&] {
        Sleep(static_cast<DWORD>(started++ * kAddTaskPauseMs / adders));
        auto record = std::make_unique<_MOBILE_DRV_TASK>();
        for (std::size_t i = next++; i < count && (refused == nullptr || refusals == 0);
             i = next++) {
            // Scripted transfers never connect; the address is loopback all the same.
            FillTask(*record, static_cast<int>(i), L"http://127.0.0.1:1/scripted",
                     b.Out(L"scripted-" + std::to_wstring(i) + L".bin"));
            ++(downloader.AddTask(record.get()) != 0 ? taken : refusals);
        }
    });
    if (refused != nullptr) {
        *refused = refusals;
    }
    return taken;
}

struct TaskSet {
    double uninitMs = 0, handlesLeft = 0, cpuPercent = 0, progressPerSecond = 0;
};

// One downloader with `count` running tasks (scripted: state 5 for ever): the CPU their polls take
// over `cpuSeconds` (none for 0), how long Uninit takes, and the handles left after it.
TaskSet RunTasks(Bench& b, std::size_t count, int cpuSeconds) {
    b.UseScriptedState(standin::kStateConnecting);
    Callback callback;
    const DWORD threadsBefore = ThreadCount();
    double handlesBefore = 0;
    Downloader downloader = b.Ready(callback, &handlesBefore);
    if (AddTasks(*downloader, count, b) != count ||
        !b.engine.WaitForCalls("PPStartTaskEx", static_cast<uint32_t>(count), 60000)) {
        throw std::runtime_error("not every task started its transfer");
    }
    // Every worker past its first poll.
    Sleep(kTaskPollIntervalMs * 3 / 2);
    TaskSet set;
    if (cpuSeconds > 0) {
        const uint64_t progressBefore = callback.progress;
        const double cpuBefore = ProcessCpuSeconds();
        const double start = Now();
        Sleep(static_cast<DWORD>(cpuSeconds) * 1000);
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        const double wall = Now() - start;
        set.cpuPercent = cpu / wall * 100;
        set.progressPerSecond = static_cast<double>(callback.progress - progressBefore) / wall;
    }
    const double start = Now();
    downloader->Uninit();
    set.uninitMs = (Now() - start) * 1000;
    if (!WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 30000)) {
        throw std::runtime_error("worker threads still run 30 s after Uninit");
    }
    set.handlesLeft = Handles() - handlesBefore;
    return set;
}

void RunningTasks(Bench& b) {
    constexpr std::size_t kSizes = std::size(kTaskCounts);
    std::vector<double> uninitMs[kSizes], handlesLeft[kSizes], cpu, progress;
    for (int round = 0; round < b.options.rounds; ++round) {
        for (std::size_t i = 0; i < kSizes; ++i) {
            // Rounds go up and down the sizes in turn; the largest also measures the CPU.
            const std::size_t index = round % 2 == 0 ? i : kSizes - 1 - i;
            const int cpuSeconds = index == kSizes - 1 ? b.options.cpuSeconds : 0;
            const TaskSet set = RunTasks(b, kTaskCounts[index], cpuSeconds);
            uninitMs[index].push_back(set.uninitMs);
            handlesLeft[index].push_back(set.handlesLeft);
            if (cpuSeconds > 0) {
                cpu.push_back(set.cpuPercent);
                progress.push_back(set.progressPerSecond);
            }
            Progress(Format("figures 3, 5, 6: %zu running task(s): Uninit %.0f ms, handles %+.0f%s",
                            kTaskCounts[index], set.uninitMs, set.handlesLeft,
                            cpuSeconds > 0 ? Format(", CPU %.2f %%", set.cpuPercent).c_str() : ""));
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
    const Summary cpuSummary = Summarize(cpu);
    Heading(5, Format("CPU while %zu tasks poll for %d s (GetProcessTimes delta / wall time, "
                      "percent of one core)",
                      kTaskCounts[kSizes - 1], b.options.cpuSeconds));
    Row(5, "this process, library's tasks, %", cpuSummary, "%.2f", "< 1", cpuSummary.median < 1);
    Row(5, "progress notifications per second", Summarize(progress), "%.0f");
    Heading(6, "Handles left behind (the process's handle count against one taken before)");
    for (std::size_t i = 0; i < kSizes; ++i) {
        const Summary summary = Summarize(handlesLeft[i]);
        Row(6,
            Format("handles after Uninit - before Init, %zu task(s), workers ended",
                   kTaskCounts[i]),
            summary, "%+.0f", "= 0", summary.min == 0 && summary.max == 0);
    }
}

// Each task has a worker thread of its own, and a thread takes address space (its stack, the
// program's default stack reserve, and what the system maps for a thread besides), so the user
// address space of the process is what runs out. Tasks are added until an AddTask returns 0,
// while every PPQueryTaskEx waits inside the engine, so that no task can end. Then the engine
// answers state 1: every task taken must end with exactly one success notification, and after
// Uninit and Release the process must hold the handles it held before.
void TasksAtOnce(Bench& b) {
    // More tasks than 4 GiB holds stacks of 1 MiB: the address space runs out first.
    constexpr std::size_t kMostTasks = 8192;
    const auto* image = reinterpret_cast<const char*>(GetModuleHandleW(nullptr));
    const auto& headers = *reinterpret_cast<const IMAGE_NT_HEADERS*>(
        image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    const bool aware = (headers.FileHeader.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE) != 0;
    Heading(7, Format("Tasks running at once in a 32-bit host before AddTask returns 0 (x86 only; "
                      "scripted engine that holds every query; the exe: default stack reserve "
                      "%.0f KiB, %slarge-address-aware)",
                      static_cast<double>(headers.OptionalHeader.SizeOfStackReserve) / 1024,
                      aware ? "" : "not "));
    b.UseScriptedState(standin::kStateFinished);
    b.engine.SetDelay("PPQueryTaskEx", INFINITE);
    const DWORD threadsBefore = ThreadCount();
    const double handlesBefore = Handles();
    Callback callback(kMostTasks);
    Downloader downloader = b.Ready(callback);
    Progress("figure 7: adding running tasks until AddTask returns 0");
    std::size_t refused = 0;
    const std::size_t taken = AddTasks(*downloader, kMostTasks, b, &refused);
    // Each worker queries its transfer a poll interval after starting it, and that query stays in
    // the engine.
    b.engine.WaitForCalls("PPQueryTaskEx", static_cast<uint32_t>(taken), 30000);
    const uint32_t waiting = b.engine.CallCount("PPQueryTaskEx");
    b.engine.ReleaseDelays();
    callback.Finals(taken, 60000);
    downloader->Uninit();
    downloader.reset();
    const bool workersEnded = WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 30000);
    const double handlesLeft = Handles() - handlesBefore;
    std::map<int, int> successes; // by task
    std::size_t others = 0;
    for (const Callback::Final& final : callback.Finals(0, 0)) {
        if (final.kind == MOBILEDRV_NOTIFY_SUCCEEDED) {
            ++successes[final.task];
        } else {
            ++others;
        }
    }
    const auto once = static_cast<std::size_t>(std::count_if(
        successes.begin(), successes.end(), [](const auto& task) { return task.second == 1; }));

    Row(7, "tasks running when AddTask first returned 0", Format("%zu", taken), "(once)");
    Row(7, "of them, tasks whose worker waited in its first engine query", Format("%u", waiting),
        "(once)");
    Row(7, Format("AddTask returned 0 past the limit (calls that did: %zu)", refused),
        refused > 0 ? "yes" : "no", "(once)", "yes", refused > 0 && taken < kMostTasks);
    Row(7,
        Format("tasks with one success notification after state 1 (more: %zu, other kinds: %zu)",
               successes.size() - once, others),
        Format("%zu of %zu", once, taken), "(once)", "all",
        once == taken && successes.size() == taken && others == 0);
    Row(7, "handles after Uninit and Release - before CreateInstance, workers ended",
        Format("%+.0f", handlesLeft), "(once)", "= 0", workersEnded && handlesLeft == 0);
}

Options ParseOptions(int argc, wchar_t** argv) {
    std::map<std::wstring, std::wstring> given;
    for (int i = 1; i + 1 < argc; i += 2) {
        given[argv[i]] = argv[i + 1];
    }
    // Each option is taken out once read: what is left is unknown.
    const auto text = [&](const wchar_t* name) {
        auto node = given.extract(name);
        return node ? node.mapped() : std::wstring();
    };
    const auto number = [&](const wchar_t* name, int fallback) {
        const std::wstring value = text(name);
        return value.empty() ? fallback : std::max(1, std::stoi(value));
    };
    const Options o{.server = text(L"--server"),
                    .pacedServer = text(L"--paced-server"),
                    .www = text(L"--www"),
                    .file = text(L"--file"),
                    .pacedRate = number(L"--paced-rate", 0),
                    .repeat = number(L"--repeat", 9),
                    .rounds = number(L"--rounds", 3),
                    .notifyRounds = number(L"--notify-rounds", 2),
                    .cpuSeconds = number(L"--cpu-seconds", 10)};
    const std::wstring loopback = L"http://127.0.0.1:";
    if (argc % 2 == 0 || !given.empty() || o.server.rfind(loopback, 0) != 0 ||
        o.pacedServer.rfind(loopback, 0) != 0 || o.pacedRate <= 1 || o.www.empty() ||
        o.file.empty()) {
        throw std::invalid_argument(
            "usage: bench_drvdown --server http://127.0.0.1:PORT --paced-server "
            "http://127.0.0.1:PORT --paced-rate BYTES_PER_SECOND --www DIR --file NAME "
            "[--repeat N] [--rounds N] [--notify-rounds N] [--cpu-seconds S]");
    }
    return o;
}

int Run(int argc, wchar_t** argv) {
    Bench bench(ParseOptions(argc, argv));
    const double start = Now();
    EndToEnd(bench);
    Throughput(bench);
    NotifyLatency(bench);
    RunningTasks(bench);
    // Last: it takes this process's address space to the end.
    if constexpr (sizeof(void*) == 4) {
        TasksAtOnce(bench);
    }
    std::printf("@note\tmeasured in %.0f s; %d rounds per ratio, the sides taking turns\n",
                Now() - start, bench.options.repeat);
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
