#include "bench/bare_pollers.h"

#include "base/timing.h"
#include "bench/clock.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

namespace bench {

BarePollers::BarePollers(const Bench& b, std::size_t count) : b_(b) {
    if (!b_.ppInit2(L"MobileDrvDownBench", 0, 0)) {
        throw std::runtime_error("PPInit2 failed for the bare pollers");
    }
    // Started the way AddTasks adds tasks: from up to kAdderThreads threads a share of AddTask's
    // pause apart, each pausing as AddTask does after a start, so that the polls fall at the same
    // moments of the interval as the workers' polls.
    const std::size_t starters = std::min(count, kAdderThreads);
    std::atomic<std::size_t> started{0}, next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    RunOnThreads(starters, [&] {
        Sleep(static_cast<DWORD>(started++ * kAddTaskPauseMs / starters));
        for (std::size_t i = next++; i < count && !failed; i = next++) {
            const std::wstring target = b_.Out(L"poller-" + std::to_wstring(i) + L".bin");
            auto poller = std::make_unique<Poller>(
                Poller{this, b_.ppStartTaskEx(drvtest::kUrl, target.c_str(), 0, 0, 0, 0, 0, 0),
                       unique_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr))});
            unique_handle thread;
            if (poller->handle != 0 && poller->event) {
                thread.reset(CreateThread(nullptr, 0, &Poll, poller.get(), 0, nullptr));
            }
            failed = failed || !thread;
            {
                std::lock_guard lock(mutex);
                pollers_.push_back(std::move(poller));
                if (thread) {
                    threads_.push_back(std::move(thread));
                }
            }
            Sleep(kAddTaskPauseMs);
        }
    });
    if (failed) {
        Stop();
        throw std::runtime_error("a bare poller did not start");
    }
}

BarePollers::~BarePollers() {
    Stop();
}

void BarePollers::Stop() {
    for (const auto& poller : pollers_) {
        if (poller->event) {
            SetEvent(poller->event.get());
        }
    }
    for (const unique_handle& thread : threads_) {
        WaitForSingleObject(thread.get(), INFINITE);
    }
    threads_.clear();
    pollers_.clear();
    b_.ppClose();
}

DWORD WINAPI BarePollers::Poll(void* argument) {
    Poller& poller = *static_cast<Poller*>(argument);
    PP_TASK_STATUS status;
    while (WaitForSingleObject(poller.event.get(), kTaskPollIntervalMs) == WAIT_TIMEOUT) {
        std::memset(&status, 0, sizeof status);
        poller.owner->b_.ppQueryTaskEx(poller.handle, &status);
        poller.owner->queries_.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

} // namespace bench
