// A thread of the test acting for the host: a plain Windows thread, as a host built with
// Microsoft's compiler starts.
//
// Tests that count the process's handles use it instead of std::thread. Under MinGW's posix
// thread model every std::thread goes through the thread library, and when std::threads start and
// end at the same time that library creates, at a random moment, one event that it keeps for the
// life of the process (seen: never more than one, over 1800 threads). A handle count taken around
// std::threads would see it now and then, a handle neither the library nor the test owns.
#pragma once

#include "base/unique_handle.h"

#include <functional>

namespace drvtest {

class HostThread {
public:
    HostThread() = default;
    // Starts a thread that runs `body`; throws std::runtime_error when none can be started.
    explicit HostThread(std::function<void()> body);
    // Waits for the thread to end.
    ~HostThread() { Join(); }
    HostThread(HostThread&&) noexcept = default;
    HostThread& operator=(HostThread&& other) noexcept;
    HostThread(const HostThread&) = delete;
    HostThread& operator=(const HostThread&) = delete;

    // Waits for the thread to end and closes its handle; nothing when there is none.
    void Join();

private:
    unique_handle thread_;
};

} // namespace drvtest
