#include "standin_engine/scripted_transfer.h"

#include "standin_engine/win_raii.h"

#include <algorithm>

namespace standin {

ScriptedTransfer::ScriptedTransfer(std::vector<StandInStep> steps) : steps_(std::move(steps)) {
    if (steps_.empty()) {
        steps_.push_back(StandInStep{.result = 1, .state = kStateFinished, .repeat = 0});
    }
}

bool ScriptedTransfer::Query(TaskStatus& status) {
    ExclusiveLock lock(lock_);
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
    status.value7 = step.values[6];
    status.state = step.state;
    return true;
}

void ScriptedTransfer::Stop() {
    ExclusiveLock lock(lock_);
    stopped_ = true;
}

} // namespace standin
