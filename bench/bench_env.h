// What the benchmark runs against: a tree laid out the way a host installs the library, the
// library loaded from it, and the stand-in engine loaded from the same file the library loads, so
// that the benchmark shares the engine's state (its mode, scripts, log) and can also drive it
// directly.
#pragma once

#include "MobileDrvDown.h"
#include "engine_abi/engine_abi.h"
#include "standin_engine/standin_control.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace bench {

// A module loaded by full path, freed when the owner goes.
class LoadedModule {
public:
    explicit LoadedModule(const std::wstring& path);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    HMODULE Get() const { return module_; }
    // The export `name` as a function of type Fn; throws when it is missing.
    template <class Fn>
    Fn Bind(const char* name) const {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(Resolve(name)));
    }

private:
    FARPROC Resolve(const char* name) const;
    HMODULE module_;
};

// <work>\tree\bin\MobileDrvDown.dll and <work>\tree\Tolvek.dll, copied from the program's own
// folder (the build's bin folder), and <work>\out for the files the downloads write.
struct Tree {
    std::wstring root;
    std::wstring out;

    static Tree LayOut(const std::wstring& work);
    std::wstring LibraryPath() const { return root + L"\\bin\\MobileDrvDown.dll"; }
    std::wstring EnginePath() const { return root + L"\\Tolvek.dll"; }
    std::wstring OutFile(const std::wstring& name) const { return out + L"\\" + name; }
};

// The call PPStartTaskEx made for one target, as the engine's log holds it.
struct StartCall {
    uint32_t handle = 0;
    DWORD tickCalled = 0;
    DWORD tickReturned = 0;
};

// The stand-in engine: its control exports and the four engine operations a host of the engine
// calls, bound by name.
class Engine {
public:
    explicit Engine(const std::wstring& path);

    // Empties the log, forgets every transfer (stopping running ones) and selects real transfers.
    void ResetForRealTransfers();
    // Empties the log, forgets every transfer and makes every transfer started from now on
    // answer each query with `state` for ever.
    void ResetForScriptedState(int32_t state);
    // Makes every PPQueryTaskEx from now on wait inside the engine until ReleaseQueries (or a
    // reset): the transfers stay running and answer nothing meanwhile.
    void HoldQueries() const;
    void ReleaseQueries() const;
    uint32_t CallCount(const char* exportName) const;
    StandInCounters Counters() const;
    // The last PPStartTaskEx call whose target was `target`; false when the log has none.
    bool FindStart(const std::wstring& target, StartCall& call) const;

    bool Init() const;
    uint32_t StartTask(const std::wstring& url, const std::wstring& target) const;
    bool Query(uint32_t handle, PP_TASK_STATUS& status) const;
    void Close() const;

private:
    LoadedModule module_;
    PPInit2Fn init_;
    PPStartTaskExFn start_;
    PPQueryTaskExFn query_;
    PPCloseFn close_;
    decltype(&StandIn_Reset) reset_;
    decltype(&StandIn_SetMode) setMode_;
    decltype(&StandIn_SetDefaultScript) setDefaultScript_;
    decltype(&StandIn_SetDelay) setDelay_;
    decltype(&StandIn_ReleaseDelays) releaseDelays_;
    decltype(&StandIn_LogCount) logCount_;
    decltype(&StandIn_CallCount) callCount_;
    decltype(&StandIn_GetLogEntry) getLogEntry_;
    decltype(&StandIn_GetCounters) getCounters_;
};

// The library: CreateInstance and DownLoadFile, bound by name.
class Library {
public:
    explicit Library(const std::wstring& path);

    // A new downloader (the caller ends it with Release); throws when none is made.
    IMobileDrvDown* Create() const;
    bool DownLoadFile(const std::wstring& url, const std::wstring& target) const;

private:
    using CreateInstanceFn = IMobileDrvDown*(__stdcall*)(int, int*);
    using DownLoadFileFn = int(__stdcall*)(const wchar_t*, const wchar_t*);

    LoadedModule module_;
    CreateInstanceFn createInstance_;
    DownLoadFileFn downLoadFile_;
};

// Folder of the running program.
std::wstring ProgramFolder();
// Size of a file in bytes; 0 when it does not exist.
uint64_t FileSize(const std::wstring& path);
// Creates or truncates `path` and gives it `size` bytes without writing them (read back as
// zeros).
void MakeFileOfSize(const std::wstring& path, uint64_t size);
std::string Narrow(const std::wstring& text);

} // namespace bench
