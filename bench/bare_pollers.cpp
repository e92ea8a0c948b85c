#include "bench/bare_pollers.h"

#include "base/timing.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace bench {

BarePollers::BarePollers(const Bench& b, std::size_t count) : b_(b) {
    if (!b_.ppInit2(L"MobileDrvDownBench", 0, 0)) {
        throw std::runtime_error("PPInit2 failed for the bare pollers");
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::wstring target = b_.Out(L"poller-" + std::to_wstring(i) + L".bin");
        auto poller = std::make_unique<Poller>(Poller{
            this,
            b_.ppStartTaskEx(L"http://127.0.0.1:1/scripted", target.c_str(), 0, 0, 0, 0, 0, 0),
            static_cast<DWORD>(i * kTaskPollIntervalMs / count),
            unique_handle(CreateEventW(nullptr, TRUE, FALSE, nullptr))});
        unique_handle thread;
        if (poller->handle != 0 && poller->event) {
            thread.reset(CreateThread(nullptr, 0, &Poll, poller.get(), 0, nullptr));
        }
        if (!thread) {
            pollers_.push_back(std::move(poller)); // stopped with the others
            Stop();
            throw std::runtime_error("a bare poller did not start");
        }
        pollers_.push_back(std::move(poller));
        threads_.push_back(std::move(thread));
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
    for (DWORD wait = poller.firstWaitMs;
         WaitForSingleObject(poller.event.get(), wait) == WAIT_TIMEOUT;
         wait = kTaskPollIntervalMs) {
        std::memset(&status, 0, sizeof status);
        poller.owner->b_.ppQueryTaskEx(poller.handle, &status);
        poller.owner->queries_.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

} // namespace bench
