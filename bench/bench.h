// What every figure of bench_drvdown shares: its options, the tree with the library and the
// stand-in engine, the engine's entry points, the host's notification object and the task
// records a host fills.
#pragma once

#include "MobileDrvDownHost.h"
#include "base/locks.h"
#include "engine_abi/engine_abi.h"
#include "support/standin.h"
#include "support/test_tree.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

// Host threads that add tasks at once: AddTask pauses on its caller's thread.
constexpr std::size_t kAdderThreads = 20;
constexpr std::size_t kTaskCounts[] = {1, 10, 100, 300};

struct Options {
    std::wstring server, pacedServer, www, file;
    int pacedRate, repeat, rounds, notifyRounds, cpuSeconds;
    bool curl;     // the shell that started the program times native curl (see CurlSeconds)
    DWORD unixPid; // this process's Unix pid, for precise CPU times; 0 when not given
    int only;      // the one figure to run (its first figure for a group); 0: all
};

Options ParseOptions(int argc, wchar_t** argv);

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

    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override;

    // The final notifications so far, once there are `count` of them or `timeoutMs` has passed.
    // The wait polls: a condition variable would hold objects of the system until it goes.
    std::vector<Final> Finals(std::size_t count, DWORD timeoutMs);

    std::atomic<uint64_t> progress{0};

private:
    // A lock that owns no object of the system: a std::mutex keeps an event from its first
    // contention until it goes, which a handle count taken meanwhile would see.
    SlimLock lock_;
    std::vector<Final> finals_;
};

template <class Fn>
Fn Export(HMODULE module, const char* name) {
    if (const Fn function = drvtest::GetProc<Fn>(module, name)) {
        return function;
    }
    throw std::runtime_error(std::string("missing export ") + name);
}

drvtest::TestTree& LaidOut(drvtest::TestTree& tree);

struct Bench {
    explicit Bench(Options opts);

    Options options;
    drvtest::TestTree tree;  // bin\MobileDrvDown.dll, Tolvek.dll, out\ for the downloaded files
    drvtest::StandIn engine; // loaded before the library, whose loads then map the same module
    HMODULE library = tree.LoadLibraryFromTree();
    mobiledrv::CreateInstanceFn createInstance =
        Export<mobiledrv::CreateInstanceFn>(library, "CreateInstance");
    mobiledrv::DownLoadFileFn downLoadFile =
        Export<mobiledrv::DownLoadFileFn>(library, "DownLoadFile");
    PPInit2Fn ppInit2 = Export<PPInit2Fn>(engine.Module(), kEngineExportNames[kPPInit2]);
    PPStartTaskExFn ppStartTaskEx =
        Export<PPStartTaskExFn>(engine.Module(), kEngineExportNames[kPPStartTaskEx]);
    PPQueryTaskExFn ppQueryTaskEx =
        Export<PPQueryTaskExFn>(engine.Module(), kEngineExportNames[kPPQueryTaskEx]);
    PPCloseFn ppClose = Export<PPCloseFn>(engine.Module(), kEngineExportNames[kPPClose]);
    std::wstring url = options.server + L"/" + options.file; // the large file
    uint64_t size;

    std::wstring Out(const std::wstring& name) const { return tree.Path(L"out\\" + name); }

    // A new downloader initialised with `callback`; with `handlesBeforeInit`, the process's
    // handle count between CreateInstance and Init (the downloader holds its own until Release).
    mobiledrv::unique_downloader Ready(Callback& callback,
                                       double* handlesBeforeInit = nullptr) const;

    void UseRealTransfers();
    // Every transfer started from now on answers each query with `state` for ever.
    void UseScriptedState(int32_t state);
};

// Removes a downloaded file after checking that it has every byte.
void CheckAndRemove(const std::wstring& path, uint64_t size, const char* what);

// Adds `count` tasks from up to kAdderThreads host threads at once; returns how many were taken.
// The threads start a share of AddTask's pause apart, so that the workers' polls spread over the
// interval instead of waking in batches. With `refused`, the threads stop once an AddTask has
// returned 0, and `refused` tells how many did.
std::size_t AddTasks(IMobileDrvDown& downloader, std::size_t count, const Bench& b,
                     std::size_t* refused = nullptr);

} // namespace bench
