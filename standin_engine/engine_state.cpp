#include "standin_engine/engine_state.h"

#include "base/locks.h"
#include "base/unique_handle.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace standin {

namespace {

std::wstring CopyText(const wchar_t* text) {
    if (text == nullptr) {
        return {};
    }
    return std::wstring(text, wcsnlen(text, kStandInMaxText));
}

void StopAll(const std::vector<std::shared_ptr<Transfer>>& transfers) {
    for (const auto& transfer : transfers) {
        transfer->Stop();
    }
}

void WaitUntilAllIdle(const std::vector<std::shared_ptr<Transfer>>& transfers) {
    for (const auto& transfer : transfers) {
        transfer->WaitUntilIdle();
    }
}

} // namespace

namespace {

// Made when the module is loaded, not on first use: a function-local static would be guarded by
// the C++ runtime's static mutex, whose semaphore the runtime never closes, one per load of the
// engine.
EngineState g_engine;

} // namespace

EngineState& Engine() {
    return g_engine;
}

EngineState::~EngineState() {
    // Runs when the module is unloaded: no transfer thread runs then, since each one holds a
    // reference on the module, or the process is ending and its threads are gone.
    std::vector<std::shared_ptr<Transfer>> stopping;
    {
        LockGuard lock(lock_);
        stopping = TakeTransfersLocked();
    }
    StopAll(stopping);
}

TransferMode EngineState::InitialMode() {
    wchar_t value[16] = {};
    const DWORD length = GetEnvironmentVariableW(L"STANDIN_TRANSFERS", value, 16);
    return length > 0 && length < 16 && _wcsicmp(value, L"scripted") == 0 ? TransferMode::Scripted
                                                                          : TransferMode::Real;
}

Script EngineState::DefaultScript() {
    return Script{.startSucceeds = true,
                  .steps = {StandInStep{.result = 1, .state = kStateFinished, .repeat = 0}}};
}

EngineState::CallTicket EngineState::BeginCall(std::string_view exportName,
                                               const CallArguments& arguments, Delay& delay) {
    LogRecord record;
    record.exportName = exportName;
    record.threadId = GetCurrentThreadId();
    record.tickCalled = GetTickCount();
    record.handle = arguments.handle;
    record.integers.assign(arguments.integers.begin(), arguments.integers.end());
    record.text1 = CopyText(arguments.text1);
    record.text2 = CopyText(arguments.text2);

    LockGuard lock(lock_);
    const auto found = delays_.find(exportName);
    delay.ms = found != delays_.end() ? found->second : 0;
    delay.generation = releaseGeneration_.load();
    delay.exportName = exportName;
    {
        LockGuard released(delayLock_);
        const auto count = exportReleases_.find(exportName);
        delay.exportGeneration = count != exportReleases_.end() ? count->second : 0;
    }
    log_.push_back(std::move(record));
    return CallTicket{.generation = logGeneration_, .index = log_.size() - 1};
}

void EngineState::EndCall(const CallTicket& ticket, uint32_t result, uint32_t handle) {
    LockGuard lock(lock_);
    // A Reset while the call ran has emptied the log; the call then leaves no trace.
    if (ticket.generation != logGeneration_) {
        return;
    }
    LogRecord& record = log_[ticket.index];
    record.returned = true;
    record.tickReturned = GetTickCount();
    record.result = result;
    record.handle = handle;
}

void EngineState::WaitDelay(const Delay& delay) {
    const DWORD ms = delay.ms;
    if (ms == 0) {
        return;
    }
    LockGuard lock(delayLock_);
    const auto released = [&] {
        if (delay.generation != releaseGeneration_) {
            return true;
        }
        const auto count = exportReleases_.find(delay.exportName);
        return count != exportReleases_.end() && count->second != delay.exportGeneration;
    };
    const DWORD start = GetTickCount();
    while (!released()) {
        DWORD remaining = INFINITE;
        if (ms != INFINITE) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= ms) {
                return;
            }
            remaining = ms - elapsed;
        }
        delayLock_.Wait(remaining);
    }
}

void EngineState::HoldThreadAttach() {
    Delay delay;
    {
        LockGuard lock(lock_);
        const auto found = delays_.find(std::string_view(kStandInThreadAttach));
        if (found == delays_.end()) {
            return;
        }
        delay.ms = found->second;
        delay.generation = releaseGeneration_.load();
        delay.exportName = kStandInThreadAttach;
        LockGuard released(delayLock_);
        const auto count = exportReleases_.find(delay.exportName);
        delay.exportGeneration = count != exportReleases_.end() ? count->second : 0;
    }
    WaitDelay(delay);
}

// Each load of the engine calls PPInit2 once and PPClose once, whatever PPInit2 returned: an
// instance lives from its PPInit2 to its PPClose.
bool EngineState::Init() {
    LockGuard lock(lock_);
    ++initCalls_;
    ++liveInstances_;
    return initResult_;
}

void EngineState::Close() {
    std::vector<std::shared_ptr<Transfer>> stopping;
    {
        LockGuard lock(lock_);
        ++closeCalls_;
        // The last instance ends every transfer and releases every handle, those of finished
        // transfers too: a host closes only the handles of transfers it cancelled. A PPClose
        // without a PPInit2 (an engine that lacks it) closes no instance.
        if (liveInstances_ > 0 && --liveInstances_ == 0) {
            stopping = TakeTransfersLocked();
        }
    }
    // Once no transfer runs code of this module any more, the host may unload it.
    StopAll(stopping);
    WaitUntilAllIdle(stopping);
}

uint32_t EngineState::StartTask(const wchar_t* url, const wchar_t* target) {
    TransferMode mode;
    Script script;
    {
        LockGuard lock(lock_);
        mode = mode_;
        // Real transfers leave the queued scripts to the scripted ones.
        if (mode == TransferMode::Scripted) {
            if (scripts_.empty()) {
                script = defaultScript_;
            } else {
                script = std::move(scripts_.front());
                scripts_.pop_front();
            }
        }
    }
    auto transfer = StartTransfer(
        mode, TransferRequest{.url = CopyText(url), .target = CopyText(target)}, std::move(script));
    if (transfer == nullptr) {
        return 0;
    }
    LockGuard lock(lock_);
    const uint32_t handle = AllocateHandleLocked();
    tasks_.emplace(handle, TaskEntry{.transfer = std::move(transfer)});
    return handle;
}

bool EngineState::QueryTask(uint32_t handle, PP_TASK_STATUS& status) {
    std::shared_ptr<Transfer> transfer;
    {
        LockGuard lock(lock_);
        const auto found = tasks_.find(handle);
        if (found == tasks_.end() || found->second.removed) {
            return false;
        }
        transfer = found->second.transfer;
    }
    return transfer->Query(status);
}

bool EngineState::RemoveTask(uint32_t handle) {
    std::shared_ptr<Transfer> transfer;
    {
        LockGuard lock(lock_);
        const auto found = tasks_.find(handle);
        if (found == tasks_.end() || found->second.removed) {
            return false;
        }
        found->second.removed = true;
        transfer = found->second.transfer;
    }
    transfer->Stop();
    return true;
}

bool EngineState::CloseTaskHandle(uint32_t handle) {
    std::shared_ptr<Transfer> transfer;
    {
        LockGuard lock(lock_);
        const auto found = tasks_.find(handle);
        if (found == tasks_.end()) {
            return false;
        }
        transfer = found->second.transfer;
        tasks_.erase(found);
        std::erase_if(retired_, [](const auto& retired) { return retired->Idle(); });
        retired_.push_back(transfer);
    }
    transfer->Stop();
    return true;
}

void EngineState::Reset() {
    std::vector<std::shared_ptr<Transfer>> stopping;
    {
        LockGuard lock(lock_);
        stopping = TakeTransfersLocked();
        initResult_ = true;
        defaultScript_ = DefaultScript();
        scripts_.clear();
        nextHandle_ = 1;
        initCalls_ = 0;
        closeCalls_ = 0;
        liveInstances_ = 0;
        log_.clear();
        ++logGeneration_;
        mode_ = TransferMode::Scripted;
    }
    StopAll(stopping);
    ReleaseDelays();
    WaitUntilAllIdle(stopping);
}

void EngineState::SetMode(TransferMode mode) {
    LockGuard lock(lock_);
    mode_ = mode;
}

void EngineState::SetInitResult(bool result) {
    LockGuard lock(lock_);
    initResult_ = result;
}

void EngineState::PushScript(Script script) {
    LockGuard lock(lock_);
    scripts_.push_back(std::move(script));
}

void EngineState::SetDefaultScript(Script script) {
    LockGuard lock(lock_);
    defaultScript_ = std::move(script);
}

void EngineState::SetNextHandle(uint32_t handle) {
    LockGuard lock(lock_);
    nextHandle_ = handle;
}

bool EngineState::SetDelay(std::string_view exportName, DWORD ms) {
    if (exportName != kStandInThreadAttach &&
        std::find(kEngineExportNames.begin(), kEngineExportNames.end(), exportName) ==
            kEngineExportNames.end()) {
        return false;
    }
    LockGuard lock(lock_);
    if (ms == 0) {
        delays_.erase(std::string(exportName));
    } else {
        delays_[std::string(exportName)] = ms;
    }
    return true;
}

void EngineState::ReleaseDelays() {
    {
        LockGuard lock(lock_);
        delays_.clear();
    }
    LockGuard lock(delayLock_);
    ++releaseGeneration_;
    delayLock_.WakeAll();
}

void EngineState::ReleaseDelay(std::string_view exportName) {
    {
        LockGuard lock(lock_);
        const auto found = delays_.find(exportName);
        if (found != delays_.end()) {
            delays_.erase(found);
        }
    }
    LockGuard lock(delayLock_);
    ++exportReleases_[std::string(exportName)];
    delayLock_.WakeAll();
}

uint32_t EngineState::LogCount() {
    LockGuard lock(lock_);
    return static_cast<uint32_t>(log_.size());
}

uint32_t EngineState::CallCount(const char* exportName) {
    LockGuard lock(lock_);
    if (exportName == nullptr) {
        return static_cast<uint32_t>(log_.size());
    }
    return static_cast<uint32_t>(std::count_if(log_.begin(), log_.end(), [&](const auto& record) {
        return record.exportName == exportName;
    }));
}

bool EngineState::GetLogEntry(uint32_t index, StandInLogEntry& entry) {
    LockGuard lock(lock_);
    if (index >= log_.size()) {
        return false;
    }
    const LogRecord& record = log_[index];
    entry = StandInLogEntry{};
    record.exportName.copy(entry.exportName, sizeof(entry.exportName) - 1);
    entry.threadId = record.threadId;
    entry.tickCalled = record.tickCalled;
    entry.tickReturned = record.tickReturned;
    entry.returned = record.returned ? 1 : 0;
    entry.handle = record.handle;
    entry.result = record.result;
    entry.argCount = static_cast<uint32_t>(std::min(record.integers.size(), std::size(entry.args)));
    std::copy_n(record.integers.begin(), entry.argCount, entry.args);
    record.text1.copy(entry.text1, kStandInMaxText);
    record.text2.copy(entry.text2, kStandInMaxText);
    return true;
}

StandInCounters EngineState::Counters() {
    LockGuard lock(lock_);
    return StandInCounters{.initCalls = initCalls_,
                           .closeCalls = closeCalls_,
                           .liveInstances = liveInstances_,
                           .liveHandles = static_cast<uint32_t>(tasks_.size()),
                           .queuedScripts = static_cast<uint32_t>(scripts_.size())};
}

uint32_t EngineState::AllocateHandleLocked() {
    // Handles are never 0 and never one that is still in use; the counter may wrap.
    while (nextHandle_ == 0 || tasks_.contains(nextHandle_)) {
        ++nextHandle_;
    }
    return nextHandle_++;
}

std::vector<std::shared_ptr<Transfer>> EngineState::TakeTransfersLocked() {
    std::vector<std::shared_ptr<Transfer>> transfers = std::move(retired_);
    retired_.clear();
    for (const auto& [handle, task] : tasks_) {
        transfers.push_back(task.transfer);
    }
    tasks_.clear();
    return transfers;
}

} // namespace standin
