// Figure 8: what a long-running host keeps growing. Four things a host does again and again, each
// measured after a warm-up of its own: loading and unloading the library, DownLoadFile, whole
// downloader cycles, and tasks on one downloader that lives throughout, with bare pollers as the
// reference of the last; the process's handles, threads, heap bytes in use and private bytes
// after them, every thread of theirs ended, against before.
#include "bench/bare_pollers.h"
#include "bench/clock.h"
#include "bench/figures.h"
#include "bench/table.h"
#include "standin_engine/status_values.h"

#include <psapi.h>

#include <atomic>
#include <functional>
#include <stdexcept>

namespace bench {

namespace {

// The process's private bytes: its commit charge, which Windows reports as PagefileUsage and
// PrivateUsage alike (Wine 8 only as the first).
double PrivateBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PagefileUsage);
}

// Bytes in use in every heap of the process: what it allocated and has not freed, whatever the
// heaps keep committed for later.
double HeapBytesInUse() {
    HANDLE heaps[256];
    const DWORD count = GetProcessHeaps(256, heaps);
    double bytes = 0;
    for (DWORD i = 0; i < count && i < 256; ++i) {
        if (!HeapLock(heaps[i])) {
            continue;
        }
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
                bytes += entry.cbData;
            }
        }
        HeapUnlock(heaps[i]);
    }
    return bytes;
}

struct Counts {
    double handles, threads, heapBytes, privateBytes;
};

Counts Take() {
    return {Handles(), static_cast<double>(ThreadCount()), HeapBytesInUse(), PrivateBytes()};
}

// Runs `batch` (which does `count` / `rounds` of the thing) twice to warm up, then `rounds` times,
// and reports what grew from after the warm-up to after the last round, every worker ended. The
// engine's call log is emptied after each batch: it keeps every call, which is the stand-in's
// memory, not the library's.
void Soak(Bench& b, const std::string& what, int count, int rounds,
          const std::function<void(int)>& batch) {
    Progress("figure 8: " + what);
    const auto run = [&] {
        batch(count / rounds);
        b.engine.Reset();
    };
    run();
    run();
    const Counts before = Take();
    const double start = Now();
    for (int round = 0; round < rounds; ++round) {
        run();
    }
    // The library's worker threads end a moment after their task.
    PollUntil([&] { return ThreadCount() <= before.threads; }, 30000);
    const Counts after = Take();
    const std::string done = Format("%s, %d times (%.0f s)", what.c_str(), count, Now() - start);
    const auto row = [&](const char* name, double grown, const char* goal) {
        Row(8, done + ": " + name, Format("%+.0f", grown), "(once)", goal, grown <= 0);
    };
    row("handles", after.handles - before.handles, "= 0");
    row("threads", after.threads - before.threads, "= 0");
    row("heap bytes in use", after.heapBytes - before.heapBytes, "= 0");
    row("private KiB", (after.privateBytes - before.privateBytes) / 1024, "= 0");
}

} // namespace

void SoakFigure(Bench& b) {
    constexpr int kTimes = 300;
    constexpr int kRounds = 3;
    Heading(8, "What a long-running host keeps growing (scripted engine: state 1 at the first "
               "query; after a warm-up of two rounds, the process's handles, threads, bytes in "
               "use in its heaps and private bytes (commit charge), every worker ended, against "
               "before)");
    b.UseScriptedState(standin::kStateFinished);

    // A copy of the library of its own, so that each LoadLibrary maps it and FreeLibrary unmaps
    // it (the benchmark's own copy stays loaded throughout).
    drvtest::TestTree tree;
    tree.InstallLibrary();
    const std::wstring library = tree.Path(L"bin\\MobileDrvDown.dll");
    Soak(b, "LoadLibrary and FreeLibrary of the library", kTimes, kRounds, [&](int count) {
        for (int i = 0; i < count; ++i) {
            const HMODULE module = LoadLibraryW(library.c_str());
            if (module == nullptr || !FreeLibrary(module)) {
                throw std::runtime_error("the library's copy did not load and unload");
            }
        }
    });

    // DownLoadFile from a few host threads at once; each call takes its 200 ms poll.
    constexpr std::size_t kHosts = 6;
    std::atomic<int> failed{0};
    Soak(b, "DownLoadFile", kTimes, kRounds, [&](int count) {
        std::atomic<int> next{0};
        RunOnThreads(kHosts, [&] {
            for (int i = next++; i < count; i = next++) {
                failed += b.downLoadFile(drvtest::kUrl,
                                         b.Out(L"soak-" + std::to_wstring(i) + L".bin").c_str())
                              ? 0
                              : 1;
            }
        });
    });

    // CreateInstance, Init, three tasks to their end, Uninit and Release, from a few host threads
    // at once; each cycle takes the tasks' first poll and AddTask's pauses.
    Soak(b, "downloader cycles (CreateInstance, Init, 3 tasks to their end, Uninit, Release)",
         kTimes, kRounds, [&](int count) {
             std::atomic<int> next{0};
             RunOnThreads(kHosts * 4, [&] {
                 auto record = std::make_unique<_MOBILE_DRV_TASK>();
                 for (int i = next++; i < count; i = next++) {
                     Callback callback;
                     auto downloader = b.Ready(callback);
                     for (int task = 0; task < 3; ++task) {
                         *record = mobiledrv::TaskRecord(
                             std::to_wstring(task), drvtest::kUrl,
                             b.Out(L"cycle-" + std::to_wstring(i * 3 + task) + L".bin"));
                         downloader->AddTask(record.get());
                     }
                     failed += callback.Finals(3, 30000).size() == 3 ? 0 : 1;
                     downloader->Uninit();
                 }
             });
         });

    // Tasks on one downloader that lives through the warm-up and every round, and their
    // reference: as many bare pollers (a thread that waits a poll interval on an event of its own
    // and queries a transfer, no library), started and ended the same way.
    {
        Callback callback(kTimes * 4);
        auto downloader = b.Ready(callback);
        std::size_t ended = 0;
        Soak(b, "tasks on one long-lived downloader", kTimes * 2, kRounds, [&](int count) {
            ended += AddTasks(*downloader, static_cast<std::size_t>(count), b);
            failed += callback.Finals(ended, 60000).size() == ended ? 0 : 1;
        });
    }
    Soak(b, "reference: bare pollers started as the tasks are, each ending after its first query",
         kTimes * 2, kRounds, [&](int count) {
             const BarePollers pollers(b, static_cast<std::size_t>(count));
             PollUntil([&] { return pollers.Queries() >= static_cast<uint64_t>(count); }, 30000);
         });
    Row(8, "DownLoadFile calls, cycles and task batches that did not succeed",
        Format("%d", failed.load()), "(once)", "= 0", failed == 0);
}

} // namespace bench
