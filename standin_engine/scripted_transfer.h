// A transfer that moves nothing and answers each query from its script.
#pragma once

#include "base/locks.h"
#include "standin_engine/transfer.h"

#include <windows.h>

namespace standin {

class ScriptedTransfer final : public Transfer {
public:
    // With no steps, every query answers true with the finished state.
    explicit ScriptedTransfer(std::vector<StandInStep> steps);

    bool Query(PP_TASK_STATUS& status) override;
    void Stop() override;

private:
    SlimLock lock_;
    std::vector<StandInStep> steps_;
    size_t step_ = 0;
    uint32_t answered_ = 0; // queries the current step has answered so far
    bool stopped_ = false;
};

} // namespace standin
