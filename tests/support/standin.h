// Test-side control of the stand-in engine. StandIn loads <tree>\Tolvek.dll by its full path, the
// same file the library under test loads, so both share the engine's state: a test scripts what
// the engine answers and afterwards reads what the library asked it.
#pragma once

#include "engine_abi/engine_abi.h"
#include "standin_engine/standin_control.h"
#include "support/test_tree.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace drvtest {

// The URL of scripted transfers. Were one ever to run for real, this address stays on the machine.
inline constexpr wchar_t kUrl[] = L"http://127.0.0.1:9/pkg.zip";

// The engine's entry points as tests call them directly: the status record as raw bytes, so
// tests read its offsets themselves.
using PPQueryBytesFn = unsigned char(__cdecl*)(uint32_t handle, void* status);

// One query step: PPQueryTaskEx returns true with this state and these seven values.
inline StandInStep QueryStep(int32_t state, uint32_t repeat = 1,
                             const std::array<uint32_t, 7>& values = {}) {
    StandInStep step{.result = 1, .state = state, .repeat = repeat};
    std::copy(values.begin(), values.end(), step.values);
    return step;
}

// One query step on which PPQueryTaskEx returns false and leaves the record alone.
inline StandInStep FalseQueryStep(uint32_t repeat = 1) {
    return StandInStep{.result = 0, .state = 0, .repeat = repeat};
}

// One logged call of an engine export.
struct EngineCall {
    std::string name;
    DWORD threadId = 0;
    DWORD tickCalled = 0;
    DWORD tickReturned = 0;
    bool returned = false;
    uint32_t handle = 0; // the handle argument; for PPStartTaskEx the handle returned
    uint32_t result = 0;
    std::vector<uint32_t> args;
    std::wstring text1; // client id or URL
    std::wstring text2; // target path
};

// The export names of `calls`, in their order.
using Names = std::vector<std::string>;
Names NamesOf(const std::vector<EngineCall>& calls);

class StandIn {
public:
    // Loads the engine file already installed as `relative` in the tree (by default Tolvek.dll)
    // and switches it to scripted transfers.
    explicit StandIn(TestTree& tree, std::wstring_view relative = L"Tolvek.dll");

    HMODULE Module() const { return module_; }

    // The helper switches its engine to scripted transfers; this switches it to real ones, which
    // move the bytes of their URLs.
    void UseRealTransfers() { setMode_(kStandInReal); }
    void Reset() { reset_(); }
    void SetInitResult(bool result) { setInitResult_(result ? 1 : 0); }
    // Queues the script of the next transfer to start.
    void PushScript(const std::vector<StandInStep>& steps);
    void PushFailingStart() { pushScript_(0, nullptr, 0); }
    // What transfers answer when no script is queued.
    void SetDefaultScript(const std::vector<StandInStep>& steps);
    void SetDefaultFailingStart() { setDefaultScript_(0, nullptr, 0); }
    void SetNextHandle(uint32_t handle) { setNextHandle_(handle); }
    // Delays every later call of the export by `ms` (INFINITE: until ReleaseDelays); throws for a
    // name that is not an engine export.
    void SetDelay(const char* exportName, DWORD ms);
    void ReleaseDelays() { releaseDelays_(); }
    // Releases the calls held in the delay of one export alone and removes that delay.
    void ReleaseDelay(const char* exportName) { releaseDelay_(exportName); }

    uint32_t LogCount() const { return logCount_(); }
    EngineCall Entry(uint32_t index) const;
    std::vector<EngineCall> Log() const;
    // The logged calls of one export, oldest first.
    std::vector<EngineCall> Calls(std::string_view exportName) const;
    uint32_t CallCount(const char* exportName) const { return callCount_(exportName); }
    // Waits until the export has been called at least `count` times; false on time-out.
    bool WaitForCalls(const char* exportName, uint32_t count, DWORD timeoutMs) const;

    StandInCounters Counters() const;

private:
    HMODULE module_;
    decltype(&StandIn_Reset) reset_;
    decltype(&StandIn_SetMode) setMode_;
    decltype(&StandIn_SetInitResult) setInitResult_;
    decltype(&StandIn_PushScript) pushScript_;
    decltype(&StandIn_SetDefaultScript) setDefaultScript_;
    decltype(&StandIn_SetNextHandle) setNextHandle_;
    decltype(&StandIn_SetDelay) setDelay_;
    decltype(&StandIn_ReleaseDelays) releaseDelays_;
    decltype(&StandIn_ReleaseDelay) releaseDelay_;
    decltype(&StandIn_LogCount) logCount_;
    decltype(&StandIn_CallCount) callCount_;
    decltype(&StandIn_GetLogEntry) getLogEntry_;
    decltype(&StandIn_GetCounters) getCounters_;
};

} // namespace drvtest
