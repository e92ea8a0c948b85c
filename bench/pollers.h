// The reference for the cost of running tasks: threads that do what a task's worker does between
// two notifications, without the library.
#pragma once

#include "bench/bench_env.h"
#include "bench/threads.h"
#include "bench/win_handle.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace bench {

// `count` threads, each waiting 1000 ms on an event at a time (as a worker waits on its cancel
// event) and then querying a transfer of its own through PPQueryTaskEx. Their first waits are
// shortened so that their polls spread evenly over the second. The transfers are started on an
// engine instance of their own; set the engine to scripted transfers first.
class ReferencePollers {
public:
    ReferencePollers(const Engine& engine, std::size_t count);
    // Stops and waits for the threads, then closes the engine instance.
    ~ReferencePollers();
    ReferencePollers(const ReferencePollers&) = delete;
    ReferencePollers& operator=(const ReferencePollers&) = delete;

    uint64_t Queries() const { return queries_.load(); }

private:
    void Poll(uint32_t handle, DWORD firstWaitMs);

    const Engine& engine_;
    OwnedHandle stop_; // manual-reset event
    std::atomic<uint64_t> queries_{0};
    std::vector<std::unique_ptr<HostThread>> threads_;
};

} // namespace bench
