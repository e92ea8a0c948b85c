// The engine's 33 exports and the StandIn_ control exports. Each engine export logs its call,
// waits the delay scripted for it, does its work and completes the log entry with its result.
// The .def file maps exported names that begin with underscores to the Engine_ functions.
#include "standin_engine/engine_state.h"
#include "standin_engine/standin_control.h"

#include <cstdint>

using standin::CallArguments;
using standin::Engine;
using standin::EngineState;

namespace {

class Call {
public:
    explicit Call(std::string_view exportName, const CallArguments& arguments = {})
        : handle_(arguments.handle) {
        EngineState::Delay delay;
        ticket_ = Engine().BeginCall(exportName, arguments, delay);
        Engine().WaitDelay(delay);
    }

    template <class T>
    T Return(T result) {
        Engine().EndCall(ticket_, static_cast<uint32_t>(result), handle_);
        return result;
    }
    // For PPStartTaskEx, whose result is the handle the log records.
    uint32_t ReturnHandle(uint32_t handle) {
        handle_ = handle;
        return Return(handle);
    }

private:
    EngineState::CallTicket ticket_;
    uint32_t handle_;
};

standin::Script MakeScript(uint32_t startSucceeds, const StandInStep* steps, uint32_t count) {
    standin::Script script{.startSucceeds = startSucceeds != 0};
    if (script.startSucceeds && steps != nullptr) {
        script.steps.assign(steps, steps + count);
    }
    return script;
}

} // namespace

// The six operations the library uses.

extern "C" bool __cdecl Engine_PPInit2(const wchar_t* clientId, uint32_t first, uint32_t second) {
    const uint32_t integers[] = {first, second};
    Call call("PPInit2", {.integers = integers, .text1 = clientId});
    return call.Return(Engine().Init());
}

extern "C" uint32_t __cdecl Engine_PPStartTaskEx(const wchar_t* url, const wchar_t* targetPath,
                                                 uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
                                                 uint32_t a5, uint32_t a6) {
    const uint32_t integers[] = {a1, a2, a3, a4, a5, a6};
    Call call("PPStartTaskEx", {.integers = integers, .text1 = url, .text2 = targetPath});
    return call.ReturnHandle(Engine().StartTask(url, targetPath));
}

extern "C" bool __cdecl Engine_PPQueryTaskEx(uint32_t handle, void* status) {
    Call call("PPQueryTaskEx", {.handle = handle});
    if (status == nullptr) {
        return call.Return(false);
    }
    return call.Return(Engine().QueryTask(handle, *static_cast<PP_TASK_STATUS*>(status)));
}

extern "C" int __cdecl Engine_PPRemoveTask(uint32_t handle) {
    Call call("PPRemoveTask", {.handle = handle});
    return call.Return(Engine().RemoveTask(handle) ? 1 : 0);
}

extern "C" int __cdecl Engine_PPCloseHandle(uint32_t handle) {
    Call call("PPCloseHandle", {.handle = handle});
    return call.Return(Engine().CloseTaskHandle(handle) ? 1 : 0);
}

extern "C" int __cdecl Engine_PPClose() {
    Call call("PPClose");
    Engine().Close();
    return call.Return(0);
}

// The exports the library binds but never calls: logged, and they do nothing else.

#define STANDIN_STUB(exportName, function)                                                         \
    extern "C" int __cdecl function() {                                                            \
        return Call(exportName).Return(0);                                                         \
    }

STANDIN_STUB("PPInit", Engine_PPInit)
STANDIN_STUB("PPSetConfig", Engine_PPSetConfig)
STANDIN_STUB("PPGetConfig", Engine_PPGetConfig)
STANDIN_STUB("PPDownload", Engine_PPDownload)
STANDIN_STUB("PPStopTask", Engine_PPStopTask)
STANDIN_STUB("PPRestart", Engine_PPRestart)
STANDIN_STUB("PPStopSeed", Engine_PPStopSeed)
STANDIN_STUB("PPQueryTask", Engine_PPQueryTask)
STANDIN_STUB("PPStartTask", Engine_PPStartTask)
STANDIN_STUB("_GetTasks", Engine_GetTasks)
STANDIN_STUB("_StartRun", Engine_StartRun)
STANDIN_STUB("_StopRun", Engine_StopRun)
STANDIN_STUB("_Run", Engine_Run)
STANDIN_STUB("_EnableP2P", Engine_EnableP2P)
STANDIN_STUB("_SetKeep", Engine_SetKeep)
STANDIN_STUB("_SetKeepEx", Engine_SetKeepEx)
STANDIN_STUB("_IsStopped", Engine_IsStopped)
STANDIN_STUB("_PPQueryTask2", Engine_PPQueryTask2)
STANDIN_STUB("__PPSetModulePath2", Engine_PPSetModulePath2)
STANDIN_STUB("StartLan", Engine_StartLan)
STANDIN_STUB("StopLan", Engine_StopLan)
STANDIN_STUB("_PPQueryIPPort", Engine_PPQueryIPPort)
STANDIN_STUB("_PPSetLocalLog", Engine_PPSetLocalLog)
STANDIN_STUB("_P2SPUpdateRegInfo", Engine_P2SPUpdateRegInfo)
STANDIN_STUB("_P2SPCheckProxy", Engine_P2SPCheckProxy)
STANDIN_STUB("_P2SPCancelCheckProxy", Engine_P2SPCancelCheckProxy)
STANDIN_STUB("_P2SPSetOption", Engine_P2SPSetOption)

#undef STANDIN_STUB

// The control interface.

void __cdecl StandIn_Reset() {
    Engine().Reset();
}

uint32_t __cdecl StandIn_SetMode(uint32_t mode) {
    switch (mode) {
    case kStandInScripted:
        Engine().SetMode(standin::TransferMode::Scripted);
        return 1;
    case kStandInReal:
        Engine().SetMode(standin::TransferMode::Real);
        return 1;
    default:
        return 0;
    }
}

void __cdecl StandIn_SetInitResult(uint32_t result) {
    Engine().SetInitResult(result != 0);
}

void __cdecl StandIn_PushScript(uint32_t startSucceeds, const StandInStep* steps, uint32_t count) {
    Engine().PushScript(MakeScript(startSucceeds, steps, count));
}

void __cdecl StandIn_SetDefaultScript(uint32_t startSucceeds, const StandInStep* steps,
                                      uint32_t count) {
    Engine().SetDefaultScript(MakeScript(startSucceeds, steps, count));
}

void __cdecl StandIn_SetNextHandle(uint32_t handle) {
    Engine().SetNextHandle(handle);
}

uint32_t __cdecl StandIn_SetDelay(const char* exportName, uint32_t ms) {
    return exportName != nullptr && Engine().SetDelay(exportName, ms) ? 1 : 0;
}

void __cdecl StandIn_ReleaseDelays() {
    Engine().ReleaseDelays();
}

void __cdecl StandIn_ReleaseDelay(const char* exportName) {
    if (exportName != nullptr) {
        Engine().ReleaseDelay(exportName);
    }
}

uint32_t __cdecl StandIn_LogCount() {
    return Engine().LogCount();
}

uint32_t __cdecl StandIn_CallCount(const char* exportName) {
    return Engine().CallCount(exportName);
}

uint32_t __cdecl StandIn_GetLogEntry(uint32_t index, StandInLogEntry* entry) {
    return entry != nullptr && Engine().GetLogEntry(index, *entry) ? 1 : 0;
}

void __cdecl StandIn_GetCounters(StandInCounters* counters) {
    if (counters != nullptr) {
        *counters = Engine().Counters();
    }
}
