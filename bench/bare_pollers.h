// The reference for the CPU of running tasks: threads that do what a task's worker does between
// two notifications, without the library.
#pragma once

#include "bench/bench.h"
#include "base/unique_handle.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace bench {

// `count` threads, each waiting up to the task poll interval on an event of its own (as a worker
// waits on its task's cancel event) and then querying a transfer of its own with PPQueryTaskEx,
// started at the moments AddTasks would start the workers of as many tasks. The transfers are
// started on an engine instance of their own; the engine must answer scripted running states.
class BarePollers {
public:
    BarePollers(const Bench& b, std::size_t count);
    // Stops and waits for the threads, then closes the engine instance.
    ~BarePollers();
    BarePollers(const BarePollers&) = delete;
    BarePollers& operator=(const BarePollers&) = delete;

    // Queries made so far, by all threads.
    const std::atomic<uint64_t>& Queries() const { return queries_; }

private:
    struct Poller {
        BarePollers* owner;
        uint32_t handle;
        unique_handle event; // manual-reset, set to stop
    };
    static DWORD WINAPI Poll(void* poller);
    void Stop();

    const Bench& b_;
    std::atomic<uint64_t> queries_{0};
    std::vector<std::unique_ptr<Poller>> pollers_;
    std::vector<unique_handle> threads_;
};

} // namespace bench
