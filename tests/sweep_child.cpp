// One case of the failure sweep, in a process of its own so that a crash or a hang of the library
// is a finding rather than the end of the test program:
//   sweep_child <scenario> count            runs the scenario twice without failure and prints
//                                           "count <import> <calls>" for the first run
//   sweep_child <scenario> <import> <k>     the k-th call of <import> fails in the first run
// Every check that does not hold prints "finding <what>". The second run is the identical call
// with the failure gone: it must succeed. The scenarios are the table at the end.
#include "MobileDrvDownHost.h"
#include "support/import_faults.h"
#include "support/process_handles.h"
#include "support/test_tree.h"
#include "support/text.h"
#include "support/wait.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace drvtest;
using namespace mobiledrv;

namespace {

constexpr DWORD kCallLimitMs = 60000;   // a call that takes longer hangs
constexpr DWORD kSettleMs = 5000;       // threads and handles left over get this long to go
constexpr DWORD kFinalsLimitMs = 20000; // a taken task must have ended by then
// The longest an Uninit or Release may take when no worker is held by the engine: the 10 s wait
// is only for a worker that never leaves, and no sweep scenario holds one.
constexpr DWORD kShutdownWithoutHeldWorkerMs = 8000;
constexpr int kTasks = 3;

std::vector<std::string> g_findings;

void Finding(const std::string& what) {
    std::printf("finding %s\n", what.c_str());
    std::fflush(stdout);
    g_findings.push_back(what);
}

// --- a call on a thread of its own, which the engine-load exception ends without unwinding ---

DWORD g_guardedThread = 0;
volatile LONG g_raised = 0;

LONG CALLBACK EndGuardedThreadOnEngineLoadException(EXCEPTION_POINTERS* exception) {
    if (exception->ExceptionRecord->ExceptionCode == 0xE06D7363 &&
        GetCurrentThreadId() == g_guardedThread) {
        InterlockedExchange(&g_raised, 1);
        ExitThread(0);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI RunGuarded(void* body) {
    (*static_cast<std::function<void()>*>(body))();
    return 0;
}

// Runs `body`; true when it raised the engine-load exception. A hang ends the case.
bool Guarded(const char* what, std::function<void()> body) {
    InterlockedExchange(&g_raised, 0);
    DWORD id = 0;
    const unique_handle thread(CreateThread(nullptr, 0, &RunGuarded, &body, CREATE_SUSPENDED, &id));
    g_guardedThread = id;
    ResumeThread(thread.get());
    if (WaitForSingleObject(thread.get(), kCallLimitMs) != WAIT_OBJECT_0) {
        Finding(std::string("hang: ") + what + " did not return");
        std::fflush(stdout);
        ExitProcess(0);
    }
    return g_raised != 0;
}

// --- what a case looks at ---

struct Snapshot {
    std::map<std::wstring, int> handles = CountByType(ProcessHandles());
    int threads = ThreadCount();
};

// Handles of each type that a load and unload of the engine file leaves in the process by itself,
// without the library: the engine's own residue, which a scenario (one engine load) may leave
// too. Printed when there is any, so that it stays in sight.
std::map<std::wstring, int> g_engineResidue;

void MeasureEngineResidue(const std::wstring& enginePath) {
    // The first load also makes what the process keeps for good once the engine's own
    // dependencies have been loaded (the window station, registry keys); the second shows what
    // every load leaves.
    FreeLibrary(LoadLibraryW(enginePath.c_str()));
    const Snapshot before;
    FreeLibrary(LoadLibraryW(enginePath.c_str()));
    for (const auto& [type, count] : Snapshot().handles) {
        const auto was = before.handles.find(type);
        const int delta = count - (was != before.handles.end() ? was->second : 0);
        if (delta > 0) {
            g_engineResidue[type] = delta;
            std::printf("engine residue per load: +%d %s handle\n", delta, Narrow(type).c_str());
        }
    }
}

// What grew since `before`, beyond the engine's own residue.
std::string GrowthSince(const Snapshot& before) {
    const Snapshot now;
    std::string growth;
    for (const auto& [type, count] : now.handles) {
        const auto was = before.handles.find(type);
        const auto residue = g_engineResidue.find(type);
        const int delta = count - (was != before.handles.end() ? was->second : 0) -
                          (residue != g_engineResidue.end() ? residue->second : 0);
        if (delta > 0) {
            growth += " +" + std::to_string(delta) + " " + Narrow(type) + " handle";
        }
    }
    if (now.threads > before.threads) {
        growth += " +" + std::to_string(now.threads - before.threads) + " thread";
    }
    return growth;
}

// The same once workers still on their way out have had their time.
std::string Growth(const Snapshot& before) {
    std::string growth;
    PollUntil([&] { return (growth = GrowthSince(before)).empty(); }, kSettleMs, 50);
    return growth;
}

// --- the host's side ---

// Counts the final notifications of the tasks "t0".."t2"; Windows primitives only, so that the
// callback itself leaves nothing per worker thread.
class FinalCounter final : public IMobileDrvDownCallback {
public:
    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override {
        if (kind != MOBILEDRV_NOTIFY_SUCCEEDED && kind != MOBILEDRV_NOTIFY_FAILED) {
            return;
        }
        const auto* result = static_cast<const _MOBILE_DRV_RESULT*>(record);
        for (int i = 0; i < kTasks; ++i) {
            if (std::wcscmp(result->name, Name(i).c_str()) == 0) {
                InterlockedIncrement(&finals[i][kind]);
            }
        }
    }
    static std::wstring Name(int i) { return L"t" + std::to_wstring(i); }
    int Finals(int i) const { return static_cast<int>(finals[i][0] + finals[i][1]); }

    volatile LONG finals[kTasks][2] = {};
};

struct Case {
    TestTree tree;
    std::wstring url;
    HMODULE library = nullptr;
    const ImportFaults* faults = nullptr;

    std::wstring Target(const std::wstring& name) const { return tree.Path(L"out\\" + name); }

    // The engine-load exception is the documented result only when the engine file could not
    // be opened, read or mapped.
    void Raised(const char* call) const {
        const ImportFailure* armed = faults->Armed();
        if (!(faults->Fired() && armed != nullptr && armed->engineFileIo)) {
            Finding(std::string(call) + " raised the engine-load exception");
        }
    }

    // DownLoadFile, its result checked: true when it returned 1.
    bool DownLoadFile(const std::wstring& target) const {
        const auto download = GetProc<DownLoadFileFn>(library, "DownLoadFile");
        int result = -1;
        if (Guarded("DownLoadFile", [&] { result = download(url.c_str(), target.c_str()); })) {
            Raised("DownLoadFile");
            return false;
        }
        if (result != 0 && result != 1) {
            Finding("DownLoadFile returned " + std::to_string(result));
        }
        return result == 1;
    }

    // A downloader through `body` (told whether Init succeeded), from CreateInstance to Release,
    // with its Release timed. True when every call succeeded.
    bool
    WithDownloader(const std::function<bool(IMobileDrvDown&, FinalCounter&, bool)>& body) const {
        int version = 0;
        unique_downloader downloader(GetProc<CreateInstanceFn>(library, "CreateInstance")(
            MOBILEDRV_INTERFACE_VERSION, &version));
        if (!downloader) {
            return false;
        }
        FinalCounter callback;
        int init = -1;
        bool ok = false;
        if (Guarded("Init", [&] { init = downloader->Init(&callback); })) {
            Raised("Init");
        } else if (init != 0 && init != 1) {
            Finding("Init returned " + std::to_string(init));
        } else {
            ok = body(*downloader, callback, init == 1) && init == 1;
        }
        const DWORD start = GetTickCount();
        Guarded("Release", [&] { downloader.reset(); });
        if (GetTickCount() - start > kShutdownWithoutHeldWorkerMs) {
            Finding("Release waited " + std::to_string(GetTickCount() - start) + " ms");
        }
        for (int i = 0; i < kTasks; ++i) {
            if (callback.Finals(i) > 1) {
                Finding("task " + Narrow(FinalCounter::Name(i)) + " had " +
                        std::to_string(callback.Finals(i)) + " final notifications");
            }
        }
        return ok;
    }

    // Adds the tasks t0..t{count-1}; which ones were taken.
    std::vector<bool> AddTasks(IMobileDrvDown& downloader, int count) const {
        std::vector<bool> taken;
        for (int i = 0; i < count; ++i) {
            auto task =
                TaskRecord(FinalCounter::Name(i), url, Target(FinalCounter::Name(i) + L".bin"));
            const int result = downloader.AddTask(&task);
            if (result != 0 && result != 1) {
                Finding("AddTask returned " + std::to_string(result));
            }
            taken.push_back(result == 1);
        }
        return taken;
    }
};

// --- the scenarios: each runs its calls once and says whether all of them succeeded ---

bool DownLoadFileOnce(Case& c) {
    return c.DownLoadFile(c.Target(L"pkg.bin"));
}

bool TasksToTheirEnd(Case& c) {
    return c.WithDownloader([&](IMobileDrvDown& downloader, FinalCounter& callback, bool ready) {
        // Without an engine (a failed Init) a taken task ends without notification.
        std::vector<bool> taken = c.AddTasks(downloader, kTasks);
        for (int i = 0; i < kTasks; ++i) {
            taken[i] = taken[i] && ready;
        }
        PollUntil(
            [&] {
                for (int i = 0; i < kTasks; ++i) {
                    if (taken[i] && callback.Finals(i) == 0) {
                        return false;
                    }
                }
                return true;
            },
            kFinalsLimitMs);
        const DWORD uninitStart = GetTickCount();
        downloader.Uninit();
        if (GetTickCount() - uninitStart > kShutdownWithoutHeldWorkerMs) {
            Finding("Uninit waited " + std::to_string(GetTickCount() - uninitStart) + " ms");
        }
        bool ok = true;
        for (int i = 0; i < kTasks; ++i) {
            const int finals = callback.Finals(i);
            if (finals != (taken[i] ? 1 : 0)) {
                Finding("task " + Narrow(FinalCounter::Name(i)) +
                        (taken[i] ? " taken" : " refused or without engine") + " had " +
                        std::to_string(finals) + " final notifications");
            }
            ok = ok && taken[i] && callback.finals[i][MOBILEDRV_NOTIFY_SUCCEEDED] == 1;
        }
        return ok;
    });
}

bool DownloadNowOnce(Case& c) {
    return c.WithDownloader([&](IMobileDrvDown& downloader, FinalCounter&, bool) {
        const int result = downloader.DownloadNow(c.url.c_str(), c.Target(L"pkg.bin").c_str());
        if (result != 0 && result != 1) {
            Finding("DownloadNow returned " + std::to_string(result));
        }
        return result == 1;
    });
}

bool DownloadNowOverExistingTarget(Case& c) {
    c.tree.WriteFile(L"out\\pkg.bin", "an older download");
    return DownloadNowOnce(c);
}

// Release follows the cancel at once; WithDownloader checks afterwards that no task had more than
// one final notification. A task AddTask refused is nowhere to be found.
bool AddAndCancel(Case& c) {
    return c.WithDownloader([&](IMobileDrvDown& downloader, FinalCounter&, bool) {
        const bool taken = c.AddTasks(downloader, 1)[0];
        const int cancelled = downloader.CancelTask(FinalCounter::Name(0).c_str());
        if (cancelled != 0 && cancelled != 1) {
            Finding("CancelTask returned " + std::to_string(cancelled));
        }
        if (!taken && cancelled != 0) {
            Finding("CancelTask found a task that AddTask refused");
        }
        return taken && cancelled == 1;
    });
}

struct Scenario {
    const char* name;
    const wchar_t* library;
    const wchar_t* engine;
    bool (*run)(Case&);
};

const Scenario kScenarios[] = {
    {"downloadfile", L"MobileDrvDown.dll", L"Tolvek.dll", &DownLoadFileOnce},
    {"tasks", L"MobileDrvDown.dll", L"Tolvek.dll", &TasksToTheirEnd},
    {"downloadnow", L"MobileDrvDown.dll", L"Tolvek.dll", &DownloadNowOnce},
    {"cancel", L"MobileDrvDown.dll", L"Tolvek.dll", &AddAndCancel},
    {"downloadnow_existing", L"MobileDrvDown.dll", L"Tolvek.dll", &DownloadNowOverExistingTarget},
    {"signed_downloadfile", L"DrvDownSigned.dll", L"signing\\Tolvek_signedA.dll",
     &DownLoadFileOnce},
};

// The files in out\: only targets and their put-aside names.
void CheckFiles(const Case& c) {
    for (const std::wstring& file : c.tree.FilesIn(L"out")) {
        const std::wstring name = file[0] == L'~' ? file.substr(1) : file;
        if (name != L"pkg.bin" && !(name.size() == 6 && name.compare(0, 1, L"t") == 0 &&
                                    name.compare(2, 4, L".bin") == 0)) {
            Finding("file left: " + Narrow(file));
        }
    }
}

// One run of the scenario, with everything it must leave as it found.
bool RunChecked(const Scenario& scenario, Case& c) {
    const Snapshot before;
    const bool ok = scenario.run(c);
    if (GetModuleHandleW(c.tree.Path(L"Tolvek.dll").c_str()) != nullptr) {
        Finding("the engine is still loaded");
    }
    const std::string growth = Growth(before);
    if (!growth.empty()) {
        Finding("left behind:" + growth);
    }
    CheckFiles(c);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    const Scenario* scenario = nullptr;
    for (const Scenario& s : kScenarios) {
        scenario = argc >= 3 && std::strcmp(argv[1], s.name) == 0 ? &s : scenario;
    }
    const bool counting = argc == 3 && std::strcmp(argv[2], "count") == 0;
    if (scenario == nullptr || (!counting && argc != 4)) {
        std::fprintf(stderr, "usage: sweep_child <scenario> count | <scenario> <import> <k>\n");
        return 2;
    }
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    AddVectoredExceptionHandler(1, &EndGuardedThreadOnEngineLoadException);

    // DRVDOWN_SWEEP_LIBRARY: another build of the library in the same place (the negative control).
    const char* library = std::getenv("DRVDOWN_SWEEP_LIBRARY");
    Case c;
    c.tree.InstallLibrary(library != nullptr ? Wide(library) : std::wstring(scenario->library));
    c.tree.InstallEngine(scenario->engine);
    c.tree.MakeDir(L"out");
    c.tree.WriteFile(L"source.bin", std::string(64 * 1024, 'p'));
    c.url = L"file:///" + c.tree.Path(L"source.bin");

    MakeMessageQueue();
    MeasureEngineResidue(c.tree.Path(L"Tolvek.dll"));
    ImportFaults faults(c.tree.Path(L"bin\\MobileDrvDown.dll"));
    c.faults = &faults;
    for (const std::string& name : faults.Unclassified()) {
        Finding("import without a failure entry: " + name);
    }
    if (!counting) {
        faults.Arm(argv[2], static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    }

    c.library = faults.Load();
    if (c.library == nullptr) {
        if (!faults.Fired()) {
            Finding("the library did not load, error " + std::to_string(GetLastError()));
        }
    } else {
        RunChecked(*scenario, c);
    }
    const bool fired = faults.Fired();
    const auto counts = faults.Counts();
    faults.Disarm();

    // The identical call once more, the failure gone.
    if (c.library == nullptr) {
        c.library = faults.Load();
    }
    if (c.library == nullptr) {
        Finding("the library did not load without the failure");
    } else if (!RunChecked(*scenario, c)) {
        Finding("the next identical call failed");
    }

    // The last module reference goes with the host's own.
    if (c.library != nullptr) {
        FreeLibrary(c.library);
        const std::wstring path = c.tree.Path(L"bin\\MobileDrvDown.dll");
        if (!PollUntil([&] { return GetModuleHandleW(path.c_str()) == nullptr; }, kSettleMs)) {
            Finding("the library stays loaded after the host's FreeLibrary");
        }
    }
    if (counting) {
        for (const auto& [name, calls] : counts) {
            std::printf("count %s %u\n", name.c_str(), calls);
        }
    }
    std::printf("%s\n", counting ? "counted" : fired ? "fired" : "not reached");
    std::fflush(stdout);
    return g_findings.empty() ? 0 : 1;
}
