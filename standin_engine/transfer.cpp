#include "standin_engine/scripted_transfer.h"
#include "standin_engine/transfer.h"

namespace standin {

std::shared_ptr<Transfer> StartTransfer(const TransferRequest& /*request*/, Script script) {
    if (!script.startSucceeds) {
        return nullptr;
    }
    return std::make_shared<ScriptedTransfer>(std::move(script.steps));
}

} // namespace standin
