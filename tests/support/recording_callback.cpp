#include "support/recording_callback.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>

namespace drvtest {

std::vector<Notification> OfKind(const std::vector<Notification>& all, int kind) {
    std::vector<Notification> matching;
    std::copy_if(all.begin(), all.end(), std::back_inserter(matching),
                 [kind](const Notification& n) { return n.kind == kind; });
    return matching;
}

void RecordingCallback::OnNotify(int kind, void* record) {
    Notification n;
    n.kind = kind;
    n.threadId = GetCurrentThreadId();
    n.tick = GetTickCount();
    if (kind == MOBILEDRV_NOTIFY_PROGRESS) {
        const auto* progress = static_cast<const _MOBILE_DRV_PROGRESS*>(record);
        n.name = progress->name;
        std::memcpy(n.status, progress->status, sizeof n.status);
        n.context = progress->context;
        n.bytes.assign(static_cast<const unsigned char*>(record),
                       static_cast<const unsigned char*>(record) + sizeof *progress);
    } else {
        const auto* result = static_cast<const _MOBILE_DRV_RESULT*>(record);
        n.name = result->name;
        n.targetPath = result->targetPath;
        n.context = result->context;
        n.bytes.assign(static_cast<const unsigned char*>(record),
                       static_cast<const unsigned char*>(record) + sizeof *result);
    }
    {
        std::lock_guard lock(mutex_);
        received_.push_back(n);
    }
    changed_.notify_all();
    if (onNotify) {
        onNotify(n);
    }
}

std::vector<Notification> RecordingCallback::All() {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<Notification> RecordingCallback::For(const std::wstring& name) {
    std::vector<Notification> matching;
    for (const Notification& n : All()) {
        if (n.name == name) {
            matching.push_back(n);
        }
    }
    return matching;
}

bool RecordingCallback::WaitFor(
    const std::function<bool(const std::vector<Notification>&)>& predicate, DWORD timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return predicate(received_); });
}

bool RecordingCallback::WaitForFinals(std::size_t count, DWORD timeoutMs) {
    return WaitFor(
        [count](const std::vector<Notification>& all) {
            std::size_t finals = 0;
            for (const Notification& n : all) {
                finals += n.kind == MOBILEDRV_NOTIFY_SUCCEEDED || n.kind == MOBILEDRV_NOTIFY_FAILED;
            }
            return finals >= count;
        },
        timeoutMs);
}

} // namespace drvtest
