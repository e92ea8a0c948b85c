// drvget: downloads files through MobileDrvDown.dll the way a host application does.
//
//   drvget URL TARGET [URL TARGET ...]   named tasks, all at once, with live progress
//   drvget --blocking URL TARGET         one blocking DownLoadFile call
//   drvget --help
// It builds on the package alone (MobileDrvDown.h, MobileDrvDownHost.h and the import library),
// as a host team's program does.
#include "MobileDrvDownHost.h"

#include "console_output.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace {

using drvget::FormatBytes;
using drvget::FormatDuration;
using drvget::Output;

// Exit codes.
constexpr int kExitSucceeded = 0;    // every download succeeded
constexpr int kExitFailed = 1;       // at least one download failed
constexpr int kExitUsage = 2;        // the command line was wrong
constexpr int kExitNoDownloader = 3; // the library or its engine could not be started
constexpr int kExitCancelled = 4;    // Ctrl+C (or the console closing) cancelled the downloads

struct CloseHandleDeleter {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using unique_handle = std::unique_ptr<void, CloseHandleDeleter>;

// The runtime drvget carries has no std::mutex (Windows thread model); a slim lock serves.
class LockGuard {
public:
    explicit LockGuard(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~LockGuard() { ReleaseSRWLockExclusive(&lock_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    SRWLOCK& lock_;
};

// The library reports a running task about once a second. A task it has said nothing about for
// this long is one it dropped without a word, such as one whose transfer the engine refused to
// start (an unsupported URL).
constexpr ULONGLONG kSilenceLimitMs = 15000;
// How often a console's progress lines are redrawn.
constexpr DWORD kRedrawMs = 250;

const wchar_t kUsage[] =
    L"drvget: downloads files through MobileDrvDown.dll, as phone-management applications do.\n"
    L"\n"
    L"usage:\n"
    L"  drvget URL TARGET [URL TARGET ...]\n"
    L"      Downloads each URL into its TARGET file, all at the same time, showing the progress\n"
    L"      of each: percent, bytes, speed and time left. The folder of a TARGET must exist; an\n"
    L"      existing file there is replaced. Ctrl+C cancels every download.\n"
    L"  drvget --blocking URL TARGET\n"
    L"      Downloads one URL with the library's blocking call: no progress, and Ctrl+C ends\n"
    L"      the program without waiting for the download.\n"
    L"  drvget --help\n"
    L"\n"
    L"URLs: http://, https:// and file:// (the stand-in engine's); the engine decides.\n"
    L"\n"
    L"Progress: how long each task has run, and the engine's seven status values as the\n"
    L"library passes them on; MobileDrvDown.h gives them no meaning, so drvget shows them\n"
    L"as they are.\n"
    L"\n"
    L"The download engine Tolvek.dll must be in the parent folder of the folder that holds\n"
    L"drvget.exe and MobileDrvDown.dll:\n"
    L"  <app>\\bin\\drvget.exe  <app>\\bin\\MobileDrvDown.dll  <app>\\Tolvek.dll\n"
    L"\n"
    L"exit codes:\n"
    L"  0  every download succeeded\n"
    L"  1  at least one download failed\n"
    L"  2  wrong command line\n"
    L"  3  the downloader could not start (engine missing, refused, or not loadable)\n"
    L"  4  cancelled (Ctrl+C)\n"
    L"  0xE0DD0001  the library found the engine file damaged and ended the program\n";

// Shared with the console control handler, which Windows calls on a thread of its own.
struct Control {
    std::atomic<bool> cancelled{false};
    unique_handle wake{CreateEventW(nullptr, FALSE, FALSE, nullptr)};    // something changed
    unique_handle finished{CreateEventW(nullptr, TRUE, FALSE, nullptr)}; // cleanup is done
};
Control g_control;

BOOL WINAPI OnConsoleControl(DWORD type) {
    g_control.cancelled = true;
    SetEvent(g_control.wake.get());
    // When the console closes, the process ends as soon as this returns: let the downloads be
    // cancelled first.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(g_control.finished.get(), 5000);
    }
    return TRUE;
}

// The library's engine-load failure arrives as an exception in Microsoft's format that C++ code
// built with GCC cannot catch; it ends here, with a message and the documented exit code.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    constexpr DWORD kMicrosoftCppException = 0xE06D7363;
    if (record->ExceptionCode == kMicrosoftCppException && record->NumberParameters >= 3 &&
        record->ExceptionInformation[1] != 0) {
        const auto* thrown =
            reinterpret_cast<const wchar_t* const*>(record->ExceptionInformation[1]);
        Output(true).Line(L"drvget: the library could not load the engine (" +
                          std::wstring(*thrown != nullptr ? *thrown : L"?") + L")");
        ExitProcess(kExitNoDownloader);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return path;
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    full.resize(length < size ? length : 0);
    return full.empty() ? path : full;
}

std::wstring FileName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Where the library looks for the engine: the parent folder of its own folder.
std::wstring ExpectedEnginePath() {
    wchar_t path[MAX_PATH] = {};
    HMODULE library = GetModuleHandleW(L"MobileDrvDown.dll");
    GetModuleFileNameW(library, path, MAX_PATH);
    std::wstring folder(path);
    for (int level = 0; level < 2; ++level) {
        const size_t slash = folder.find_last_of(L'\\');
        folder = slash == std::wstring::npos ? L"." : folder.substr(0, slash);
    }
    return folder + L"\\Tolvek.dll";
}

uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

enum class Outcome { Running, Succeeded, Failed, Cancelled };

struct Task {
    std::wstring name; // the library's name of the task; how it is cancelled
    std::wstring url;
    std::wstring target; // full path
    // What the notifications said; guarded by the TaskBoard's lock.
    Outcome outcome = Outcome::Running;
    unsigned status[7] = {};
    unsigned progressRecords = 0;
    ULONGLONG startTick = 0;
    ULONGLONG lastWordTick = 0;
    bool droppedSilently = false;
};

// The host's notification object: records what the library says about each task. Notifications
// arrive on the tasks' worker threads; the main thread reads copies.
class TaskBoard final : public IMobileDrvDownCallback {
public:
    explicit TaskBoard(std::vector<Task> tasks) : tasks_(std::move(tasks)) {}

    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override {
        // Every record begins with the task's name.
        const wchar_t* name = static_cast<const wchar_t*>(record);
        {
            LockGuard lock(lock_);
            Task* task = Find(name);
            if (task == nullptr || task->outcome != Outcome::Running) {
                return;
            }
            task->lastWordTick = GetTickCount64();
            if (kind == MOBILEDRV_NOTIFY_PROGRESS) {
                const auto* progress = static_cast<const _MOBILE_DRV_PROGRESS*>(record);
                std::copy(progress->status, progress->status + 7, task->status);
                ++task->progressRecords;
            } else {
                task->outcome =
                    kind == MOBILEDRV_NOTIFY_SUCCEEDED ? Outcome::Succeeded : Outcome::Failed;
            }
        }
        SetEvent(g_control.wake.get());
    }

    std::vector<Task> Snapshot() {
        LockGuard lock(lock_);
        return tasks_;
    }

    void Started(size_t index) {
        LockGuard lock(lock_);
        tasks_[index].startTick = tasks_[index].lastWordTick = GetTickCount64();
    }

    void End(size_t index, Outcome outcome) {
        LockGuard lock(lock_);
        if (tasks_[index].outcome == Outcome::Running) {
            tasks_[index].outcome = outcome;
        }
    }

    // Fails the running tasks the library has been silent about for too long; returns their
    // names, for cancelling whatever may be left of them.
    std::vector<std::wstring> FailSilentTasks() {
        LockGuard lock(lock_);
        std::vector<std::wstring> silent;
        const ULONGLONG now = GetTickCount64();
        for (Task& task : tasks_) {
            if (task.outcome == Outcome::Running && task.lastWordTick != 0 &&
                now - task.lastWordTick > kSilenceLimitMs) {
                task.outcome = Outcome::Failed;
                task.droppedSilently = true;
                silent.push_back(task.name);
            }
        }
        return silent;
    }

private:
    Task* Find(const wchar_t* name) {
        for (Task& task : tasks_) {
            if (task.name == name) {
                return &task;
            }
        }
        return nullptr;
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<Task> tasks_;
};

// The seven values as the engine reported them last.
std::wstring EngineStatus(const Task& task) {
    std::wstring text = L"engine status";
    for (const unsigned value : task.status) {
        text += L" " + std::to_wstring(value);
    }
    return text;
}

std::wstring ProgressLine(const Task& task) {
    std::wstring line = L"[" + task.name + L"] " + FileName(task.target) + L"  ";
    switch (task.outcome) {
    case Outcome::Succeeded:
        return line + L"done";
    case Outcome::Failed:
        return line + L"failed";
    case Outcome::Cancelled:
        return line + L"cancelled";
    case Outcome::Running:
        break;
    }
    line += L"running " + FormatDuration((GetTickCount64() - task.startTick) / 1000) + L"  ";
    return line + (task.progressRecords == 0 ? L"starting" : EngineStatus(task));
}

std::wstring ResultLine(const Task& task) {
    std::wstring line = L"[" + task.name + L"] ";
    switch (task.outcome) {
    case Outcome::Succeeded:
        return line + L"done: " + task.target + L" (" + FormatBytes(FileSize(task.target)) + L")";
    case Outcome::Failed:
        line += L"FAILED: " + task.url;
        if (task.progressRecords != 0) {
            line += L" (last " + EngineStatus(task) + L")";
        }
        if (task.droppedSilently) {
            line += L" (the library stopped reporting it; the engine may not take this URL)";
        }
        return line;
    case Outcome::Cancelled:
    case Outcome::Running:
        break;
    }
    return line + L"cancelled: " + task.url;
}

int RunTasks(std::vector<Task> tasks) {
    Output out;
    Output errors(true);
    TaskBoard board(std::move(tasks));
    const size_t count = board.Snapshot().size();

    int version = 0;
    mobiledrv::unique_downloader downloader(CreateInstance(MOBILEDRV_INTERFACE_VERSION, &version));
    if (!downloader) {
        errors.Line(L"drvget: the library (interface " + std::to_wstring(version) +
                    L") offers no downloader");
        return kExitNoDownloader;
    }
    if (downloader->Init(&board) != 1) {
        errors.Line(L"drvget: the downloader could not start: the engine must be " +
                    ExpectedEnginePath() + L", and it must initialise");
        return kExitNoDownloader;
    }

    const std::vector<Task> planned = board.Snapshot();
    for (size_t i = 0; i < count && !g_control.cancelled; ++i) {
        _MOBILE_DRV_TASK record =
            mobiledrv::TaskRecord(planned[i].name, planned[i].url, planned[i].target);
        if (!out.IsConsole()) {
            out.Line(L"[" + planned[i].name + L"] " + planned[i].url + L" -> " + planned[i].target);
        }
        if (downloader->AddTask(&record) == 1) {
            board.Started(i);
        } else {
            board.End(i, Outcome::Failed);
        }
    }

    std::vector<unsigned> printedRecords(count, 0);
    std::vector<bool> printedEnd(count, false);
    for (;;) {
        WaitForSingleObject(g_control.wake.get(), kRedrawMs);
        for (const std::wstring& name : board.FailSilentTasks()) {
            downloader->CancelTask(name.c_str());
        }
        const std::vector<Task> now = board.Snapshot();
        if (out.IsConsole()) {
            std::vector<std::wstring> lines;
            for (const Task& task : now) {
                lines.push_back(ProgressLine(task));
            }
            out.Redraw(lines);
        } else {
            // Elsewhere one line per progress record and one when a task ends.
            for (size_t i = 0; i < count; ++i) {
                const bool ended = now[i].outcome != Outcome::Running;
                if ((!ended && now[i].progressRecords != printedRecords[i]) ||
                    (ended && !printedEnd[i])) {
                    out.Line(ProgressLine(now[i]));
                    printedRecords[i] = now[i].progressRecords;
                    printedEnd[i] = ended;
                }
            }
        }
        const bool allEnded = std::all_of(now.begin(), now.end(), [](const Task& task) {
            return task.outcome != Outcome::Running;
        });
        if (allEnded || g_control.cancelled) {
            break;
        }
    }

    if (g_control.cancelled) {
        const std::vector<Task> now = board.Snapshot();
        for (size_t i = 0; i < count; ++i) {
            if (now[i].outcome == Outcome::Running) {
                downloader->CancelTask(now[i].name.c_str());
                board.End(i, Outcome::Cancelled);
            }
        }
    }
    // No notification begins after Uninit: the board's state is final from here on.
    downloader->Uninit();
    downloader.reset();

    const std::vector<Task> ended = board.Snapshot();
    if (out.IsConsole()) {
        std::vector<std::wstring> lines;
        for (const Task& task : ended) {
            lines.push_back(ProgressLine(task));
        }
        out.Redraw(lines);
        out.EndBlock();
    }
    size_t succeeded = 0;
    for (const Task& task : ended) {
        out.Line(ResultLine(task));
        succeeded += task.outcome == Outcome::Succeeded;
    }
    out.Line(std::to_wstring(succeeded) + L" of " + std::to_wstring(count) +
             L" downloads succeeded" + (g_control.cancelled ? L" (cancelled)" : L""));
    if (g_control.cancelled) {
        return kExitCancelled;
    }
    return succeeded == count ? kExitSucceeded : kExitFailed;
}

struct BlockingCall {
    std::wstring url;
    std::wstring target;
    int result = 0;
};

DWORD WINAPI BlockingThread(void* argument) {
    auto* call = static_cast<BlockingCall*>(argument);
    call->result = DownLoadFile(call->url.c_str(), call->target.c_str());
    return 0;
}

int RunBlocking(const std::wstring& url, const std::wstring& target) {
    Output out;
    out.Line(L"downloading " + url + L" -> " + target + L" (blocking, no progress)");
    // The call runs on a thread of its own, so that Ctrl+C can still end the program cleanly.
    BlockingCall call{url, target};
    unique_handle thread(CreateThread(nullptr, 0, BlockingThread, &call, 0, nullptr));
    if (!thread) {
        call.result = DownLoadFile(url.c_str(), target.c_str());
    } else {
        const HANDLE waits[] = {thread.get(), g_control.wake.get()};
        while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            if (g_control.cancelled) {
                // The blocking call cannot be cancelled; the process ends around it.
                out.Line(L"cancelled");
                ExitProcess(kExitCancelled);
            }
        }
    }
    if (call.result != 1) {
        out.Line(L"FAILED: " + url);
        return kExitFailed;
    }
    out.Line(L"done: " + target + L" (" + FormatBytes(FileSize(target)) + L")");
    return kExitSucceeded;
}

int Run(int argc, wchar_t** argv) {
    bool blocking = false;
    std::vector<std::wstring> operands;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
            Output().Line(kUsage);
            return kExitSucceeded;
        }
        if (argument == L"--blocking") {
            blocking = true;
        } else if (argument.rfind(L"--", 0) == 0) {
            Output(true).Line(L"drvget: unknown option " + argument + L" (see drvget --help)");
            return kExitUsage;
        } else {
            operands.push_back(argument);
        }
    }
    if (operands.empty() || operands.size() % 2 != 0 || (blocking && operands.size() != 2)) {
        Output(true).Line(blocking ? L"drvget: --blocking takes one URL and one TARGET"
                                   : L"drvget: give URL TARGET pairs (see drvget --help)");
        return kExitUsage;
    }

    SetUnhandledExceptionFilter(OnUnhandledException);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (blocking) {
        return RunBlocking(operands[0], FullPath(operands[1]));
    }
    std::vector<Task> tasks;
    for (size_t i = 0; i < operands.size(); i += 2) {
        Task task;
        task.name = std::to_wstring(i / 2 + 1);
        task.url = operands[i];
        // The library and its engine may run in another current folder: full paths only.
        task.target = FullPath(operands[i + 1]);
        tasks.push_back(std::move(task));
    }
    return RunTasks(std::move(tasks));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const int code = Run(argc, argv);
    SetEvent(g_control.finished.get());
    return code;
}
