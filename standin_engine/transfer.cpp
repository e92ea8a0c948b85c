#include "standin_engine/transfer.h"

#include "standin_engine/real_transfer.h"
#include "standin_engine/scripted_transfer.h"

namespace standin {

std::shared_ptr<Transfer> StartTransfer(TransferMode mode, const TransferRequest& request,
                                        Script script) {
    if (mode == TransferMode::Scripted) {
        if (!script.startSucceeds) {
            return nullptr;
        }
        return std::make_shared<ScriptedTransfer>(std::move(script.steps));
    }
    // A real transfer needs a source it can read and a file to write.
    if (request.target.empty()) {
        return nullptr;
    }
    std::unique_ptr<Source> source = MakeHttpSource(request.url);
    if (source == nullptr) {
        source = MakeFileSource(request.url);
    }
    if (source == nullptr) {
        return nullptr;
    }
    return RealTransfer::Start(std::move(source), request.target);
}

} // namespace standin
