// A host's notification object that records every notification it receives.
#pragma once

#include "MobileDrvDown.h"

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace drvtest {

struct Notification {
    int kind = -1;
    DWORD threadId = 0;
    DWORD tick = 0;
    std::wstring name;
    std::wstring targetPath;     // kinds 0 and 1
    unsigned int status[7] = {}; // kind 2
    int context = 0;
    std::vector<unsigned char> bytes; // the whole record as received
};

// The notifications of one kind, in their order.
std::vector<Notification> OfKind(const std::vector<Notification>& all, int kind);

class RecordingCallback : public IMobileDrvDownCallback {
public:
    void MOBILEDRV_THISCALL OnNotify(int kind, void* record) override;

    std::vector<Notification> All();
    std::vector<Notification> For(const std::wstring& name);
    // Waits until `predicate` holds for the notifications so far; false on time-out.
    bool WaitFor(const std::function<bool(const std::vector<Notification>&)>& predicate,
                 DWORD timeoutMs);
    // Waits until at least `count` final (kind 0 or 1) notifications arrived.
    bool WaitForFinals(std::size_t count, DWORD timeoutMs);

    // Runs inside OnNotify, after the notification was recorded.
    std::function<void(const Notification&)> onNotify;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Notification> received_;
};

} // namespace drvtest
