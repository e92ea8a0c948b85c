// One transfer of the engine, behind an interface so that different ways of moving (or pretending
// to move) bytes can serve the same handle table. Every transfer is scripted today.
#pragma once

#include "standin_engine/standin_control.h"
#include "standin_engine/task_status.h"

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

// A started transfer. Its methods may be called from any thread, also at the same time; an
// implementation guards its own state.
class Transfer {
public:
    virtual ~Transfer() = default;
    // Fills `status` and returns true, or returns false when there is nothing to report.
    virtual bool Query(TaskStatus& status) = 0;
    // Ends the transfer; later queries return false. Called more than once is harmless.
    virtual void Stop() = 0;
};

// Starts the transfer that the request and its script describe; null when it does not start.
// This is the one place that chooses how a transfer is carried out.
std::shared_ptr<Transfer> StartTransfer(const TransferRequest& request, Script script);

} // namespace standin
