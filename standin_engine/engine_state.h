// The state the engine's exports share within one loaded copy of the DLL: the transfer mode, the
// scripts, the transfers by handle, the counters, the call log and the scripted delays. Every
// export may run on any thread; one lock guards all of it, and no call holds that lock while it
// waits for a delay or while a transfer starts, reports, stops or is waited for.
#pragma once

#include <atomic>

#include "engine_abi/engine_abi.h"
#include "base/locks.h"
#include "standin_engine/standin_control.h"
#include "standin_engine/transfer.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// What a call passes, as the log records it.
struct CallArguments {
    uint32_t handle = 0;
    std::span<const uint32_t> integers{};
    const wchar_t* text1 = nullptr;
    const wchar_t* text2 = nullptr;
};

class EngineState {
public:
    EngineState() = default;
    ~EngineState();
    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;

    // Names one entry of the call log; an entry from before a Reset names nothing.
    struct CallTicket {
        uint64_t generation = 0;
        size_t index = 0;
    };
    // The call log: BeginCall adds an entry and tells the delay the call must wait; EndCall
    // completes the entry.
    // The delay is looked up together with the release generations it belongs to, so a
    // ReleaseDelays (or a ReleaseDelay of the export) between the lookup and the wait still ends
    // the wait.
    struct Delay {
        DWORD ms = 0;
        uint64_t generation = 0;       // of ReleaseDelays
        std::string exportName;        // empty: released by ReleaseDelays alone
        uint64_t exportGeneration = 0; // of ReleaseDelay(exportName)
    };
    CallTicket BeginCall(std::string_view exportName, const CallArguments& arguments, Delay& delay);
    void EndCall(const CallTicket& ticket, uint32_t result, uint32_t handle);
    // Waits up to `delay.ms` (INFINITE: for ever) unless the delays, or the export's, are released
    // meanwhile.
    void WaitDelay(const Delay& delay);

    // A thread starting in the process waits here, unlogged, while kStandInThreadAttach is
    // delayed.
    void HoldThreadAttach();

    // The engine's own operations.
    bool Init();
    void Close();
    uint32_t StartTask(const wchar_t* url, const wchar_t* target);
    bool QueryTask(uint32_t handle, PP_TASK_STATUS& status);
    bool RemoveTask(uint32_t handle);
    bool CloseTaskHandle(uint32_t handle);

    // The control interface (see standin_control.h).
    void Reset();
    void SetMode(TransferMode mode);
    void SetInitResult(bool result);
    void PushScript(Script script);
    void SetDefaultScript(Script script);
    void SetNextHandle(uint32_t handle);
    bool SetDelay(std::string_view exportName, DWORD ms);
    void ReleaseDelays();
    // Removes the delay of one export and wakes the calls of it that wait in one; the others wait
    // on.
    void ReleaseDelay(std::string_view exportName);
    uint32_t LogCount();
    uint32_t CallCount(const char* exportName);
    bool GetLogEntry(uint32_t index, StandInLogEntry& entry);
    StandInCounters Counters();

private:
    struct LogRecord {
        std::string exportName;
        DWORD threadId = 0;
        DWORD tickCalled = 0;
        DWORD tickReturned = 0;
        bool returned = false;
        uint32_t handle = 0;
        uint32_t result = 0;
        std::vector<uint32_t> integers;
        std::wstring text1;
        std::wstring text2;
    };
    struct TaskEntry {
        std::shared_ptr<Transfer> transfer;
        bool removed = false; // PPRemoveTask came; the handle waits for PPCloseHandle
    };

    static Script DefaultScript();
    // Real transfers unless the environment asks for scripted ones (see StandIn_SetMode).
    static TransferMode InitialMode();
    uint32_t AllocateHandleLocked();
    // Takes every transfer out of the handle table and the retired list, for stopping (and
    // waiting for) once the lock is released.
    std::vector<std::shared_ptr<Transfer>> TakeTransfersLocked();

    SlimLock lock_;
    TransferMode mode_ = InitialMode();
    bool initResult_ = true;
    Script defaultScript_ = DefaultScript();
    std::deque<Script> scripts_;
    std::map<uint32_t, TaskEntry> tasks_;
    // Transfers whose handles were closed while they may still run code of their own, kept so
    // that the last PPClose can wait for them; idle ones are dropped as others arrive.
    std::vector<std::shared_ptr<Transfer>> retired_;
    uint32_t nextHandle_ = 1;
    uint32_t initCalls_ = 0;
    uint32_t closeCalls_ = 0;
    uint32_t liveInstances_ = 0;
    std::map<std::string, DWORD, std::less<>> delays_;
    std::vector<LogRecord> log_;
    uint64_t logGeneration_ = 0; // counts the Resets, which empty the log

    // Delayed calls wait on their own lock (with its condition variable), never on lock_.
    SlimLock delayLock_;
    std::atomic<uint64_t> releaseGeneration_{0};
    // Under delayLock_: how often each export's delay was released by itself.
    std::map<std::string, uint64_t, std::less<>> exportReleases_;
};

// The one state of this loaded copy of the DLL.
EngineState& Engine();

} // namespace standin
