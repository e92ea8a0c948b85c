#include "downloader/transfer_poll.h"

#include "base/files.h"

#include <cstring>

TransferPoll::TransferPoll(const EngineApi& engine, const wchar_t* url, const wchar_t* targetPath)
    : engine_(engine) {
    ClearTargetFile(targetPath);
    handle_ = engine_.PPStartTaskEx(url, targetPath);
}

void TransferPoll::Remove() {
    engine_.PPRemoveTask(handle_);
    engine_.PPCloseHandle(handle_);
}

bool TransferPoll::Query() {
    // Zero-filled every time: an engine may leave fields it does not report untouched.
    std::memset(&status_, 0, sizeof status_);
    return engine_.PPQueryTaskEx(handle_, &status_);
}

TransferState TransferPoll::Interpret(std::int32_t state) {
    if (state == kTaskStateFinished) {
        return TransferState::Succeeded;
    }
    return IsRunningState(state) ? TransferState::Running : TransferState::Failed;
}
