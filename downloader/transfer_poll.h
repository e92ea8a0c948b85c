// One transfer of the engine, polled to its end: what the task workers and the blocking downloads
// share.
#pragma once

#include "engine/engine_api.h"

#include <cstdint>

// What a status the engine reported means to the library.
enum class TransferState { Running, Succeeded, Failed };

class TransferPoll {
public:
    // Clears the target file and asks the engine to start the transfer.
    TransferPoll(const EngineApi& engine, const wchar_t* url, const wchar_t* targetPath);
    TransferPoll(const TransferPoll&) = delete;
    TransferPoll& operator=(const TransferPoll&) = delete;

    // False when the engine did not start it: there is nothing to poll or remove.
    bool Started() const { return handle_ != 0; }

    // Each round, `wait()` spends one interval and says whether to go on; false ends the poll, the
    // transfer left to the caller. Then the engine fills a zero-filled status: a query it fails is
    // tried again after the next wait; otherwise `onStatus(state, status)` says whether to go on.
    template <class Wait, class OnStatus>
    void Run(Wait wait, OnStatus onStatus) {
        while (wait()) {
            if (Query() && !onStatus(Interpret(status_.state), status_)) {
                return;
            }
        }
    }

    // Takes the transfer back from the engine (PPRemoveTask, then PPCloseHandle). A transfer that
    // ended by its state is left alone: its handle stays with the engine until PPClose.
    void Remove();

private:
    bool Query();
    static TransferState Interpret(std::int32_t state);

    const EngineApi& engine_;
    std::uint32_t handle_ = 0;
    PP_TASK_STATUS status_;
};
