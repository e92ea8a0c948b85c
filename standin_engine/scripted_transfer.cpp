#include "standin_engine/scripted_transfer.h"

#include "base/locks.h"
#include "base/unique_handle.h"

#include <algorithm>

namespace standin {

ScriptedTransfer::ScriptedTransfer(std::vector<StandInStep> steps) : steps_(std::move(steps)) {
    if (steps_.empty()) {
        steps_.push_back(StandInStep{.result = 1, .state = kStateFinished, .repeat = 0});
    }
}

bool ScriptedTransfer::Query(PP_TASK_STATUS& status) {
    LockGuard lock(lock_);
    if (stopped_) {
        return false;
    }
    const StandInStep step = steps_[step_];
    // A step with repeat 0 never hands over; the last step answers every query after it.
    if (step.repeat != 0 && ++answered_ >= step.repeat && step_ + 1 < steps_.size()) {
        ++step_;
        answered_ = 0;
    }
    if (step.result == 0) {
        return false;
    }
    std::copy(step.values, step.values + 6, status.values);
    status.value36 = step.values[6];
    status.state = step.state;
    return true;
}

void ScriptedTransfer::Stop() {
    LockGuard lock(lock_);
    stopped_ = true;
}

} // namespace standin
