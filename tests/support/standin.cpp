#include "support/standin.h"

#include "support/wait.h"

#include <memory>
#include <stdexcept>

namespace drvtest {

namespace {

template <class Fn>
Fn Bind(HMODULE module, const char* name) {
    Fn function = GetProc<Fn>(module, name);
    if (function == nullptr) {
        throw std::runtime_error(std::string("the stand-in engine lacks ") + name);
    }
    return function;
}

} // namespace

Names NamesOf(const std::vector<EngineCall>& calls) {
    Names names;
    for (const EngineCall& call : calls) {
        names.push_back(call.name);
    }
    return names;
}

StandIn::StandIn(TestTree& tree, std::wstring_view relative)
    : module_(tree.LoadFromTree(relative)),
      reset_(Bind<decltype(reset_)>(module_, "StandIn_Reset")),
      setMode_(Bind<decltype(setMode_)>(module_, "StandIn_SetMode")),
      setInitResult_(Bind<decltype(setInitResult_)>(module_, "StandIn_SetInitResult")),
      pushScript_(Bind<decltype(pushScript_)>(module_, "StandIn_PushScript")),
      setDefaultScript_(Bind<decltype(setDefaultScript_)>(module_, "StandIn_SetDefaultScript")),
      setNextHandle_(Bind<decltype(setNextHandle_)>(module_, "StandIn_SetNextHandle")),
      setDelay_(Bind<decltype(setDelay_)>(module_, "StandIn_SetDelay")),
      releaseDelays_(Bind<decltype(releaseDelays_)>(module_, "StandIn_ReleaseDelays")),
      releaseDelay_(Bind<decltype(releaseDelay_)>(module_, "StandIn_ReleaseDelay")),
      logCount_(Bind<decltype(logCount_)>(module_, "StandIn_LogCount")),
      callCount_(Bind<decltype(callCount_)>(module_, "StandIn_CallCount")),
      getLogEntry_(Bind<decltype(getLogEntry_)>(module_, "StandIn_GetLogEntry")),
      getCounters_(Bind<decltype(getCounters_)>(module_, "StandIn_GetCounters")) {
    // A freshly loaded engine moves real bytes; the library's tests script its answers.
    setMode_(kStandInScripted);
}

void StandIn::PushScript(const std::vector<StandInStep>& steps) {
    pushScript_(1, steps.data(), static_cast<uint32_t>(steps.size()));
}

void StandIn::SetDefaultScript(const std::vector<StandInStep>& steps) {
    setDefaultScript_(1, steps.data(), static_cast<uint32_t>(steps.size()));
}

void StandIn::SetDelay(const char* exportName, DWORD ms) {
    if (setDelay_(exportName, ms) == 0) {
        throw std::invalid_argument(std::string("not an engine export: ") + exportName);
    }
}

EngineCall StandIn::Entry(uint32_t index) const {
    // The record holds two 2049-unit strings: too big for the stack of a test thread.
    auto raw = std::make_unique<StandInLogEntry>();
    if (getLogEntry_(index, raw.get()) == 0) {
        throw std::out_of_range("no stand-in log entry " + std::to_string(index));
    }
    return EngineCall{.name = raw->exportName,
                      .threadId = raw->threadId,
                      .tickCalled = raw->tickCalled,
                      .tickReturned = raw->tickReturned,
                      .returned = raw->returned != 0,
                      .handle = raw->handle,
                      .result = raw->result,
                      .args = std::vector<uint32_t>(raw->args, raw->args + raw->argCount),
                      .text1 = raw->text1,
                      .text2 = raw->text2};
}

std::vector<EngineCall> StandIn::Log() const {
    std::vector<EngineCall> log;
    const uint32_t count = LogCount();
    for (uint32_t i = 0; i < count; ++i) {
        log.push_back(Entry(i));
    }
    return log;
}

std::vector<EngineCall> StandIn::Calls(std::string_view exportName) const {
    std::vector<EngineCall> calls;
    for (auto& call : Log()) {
        if (call.name == exportName) {
            calls.push_back(std::move(call));
        }
    }
    return calls;
}

bool StandIn::WaitForCalls(const char* exportName, uint32_t count, DWORD timeoutMs) const {
    return WaitUntil([&] { return CallCount(exportName) >= count; }, timeoutMs);
}

StandInCounters StandIn::Counters() const {
    StandInCounters counters{};
    getCounters_(&counters);
    return counters;
}

} // namespace drvtest
