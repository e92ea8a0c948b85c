// One transfer of the engine, behind an interface so that different ways of moving (or pretending
// to move) bytes can serve the same handle table: scripted transfers answer from a test's script,
// real ones move the bytes of their URL.
#pragma once

#include "standin_engine/standin_control.h"
#include "engine_abi/engine_abi.h"
#include "standin_engine/status_values.h"

#include <memory>
#include <string>
#include <vector>

namespace standin {

struct TransferRequest {
    std::wstring url;
    std::wstring target;
};

// What the test said about one transfer: whether it starts, and what its queries answer.
struct Script {
    bool startSucceeds = true;
    std::vector<StandInStep> steps{};
};

enum class TransferMode { Scripted, Real };

// A started transfer. Its methods may be called from any thread, also at the same time; an
// implementation guards its own state.
class Transfer {
public:
    virtual ~Transfer() = default;
    // Fills `status` and returns true, or returns false when there is nothing to report.
    virtual bool Query(PP_TASK_STATUS& status) = 0;
    // Ends the transfer; later queries return false. Called more than once is harmless. Returns
    // at once: work the transfer still does on a thread of its own ends soon after.
    virtual void Stop() = 0;
    // True once the transfer runs no code of its own any more.
    virtual bool Idle() { return true; }
    // Waits until the transfer is idle.
    virtual void WaitUntilIdle() {}
};

// Starts the transfer that the request describes, scripted by `script` or real; null when it
// does not start. This is the one place that chooses how a transfer is carried out.
std::shared_ptr<Transfer> StartTransfer(TransferMode mode, const TransferRequest& request,
                                        Script script);

} // namespace standin
