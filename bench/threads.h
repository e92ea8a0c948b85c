// Host threads for the benchmark, made with CreateThread: the library's own workers are Windows
// threads too, and a thread made this way leaves no handle or cached object behind once it has
// been waited for and its handle closed.
#pragma once

#include "bench/win_handle.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace bench {

// A running thread that calls `body` once; the owner waits for it to end before it goes.
class HostThread {
public:
    explicit HostThread(std::function<void()> body);
    ~HostThread();
    HostThread(const HostThread&) = delete;
    HostThread& operator=(const HostThread&) = delete;

private:
    static DWORD WINAPI Main(void* self);

    std::function<void()> body_;
    OwnedHandle thread_;
};

// Runs `body` on `count` threads at once and returns when every one has ended.
void RunOnThreads(std::size_t count, const std::function<void()>& body);

} // namespace bench
