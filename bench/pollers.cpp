#include "bench/pollers.h"

#include <stdexcept>

namespace bench {

namespace {

constexpr DWORD kPollMs = 1000;

} // namespace

ReferencePollers::ReferencePollers(const Engine& engine, std::size_t count)
    : engine_(engine), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!stop_.Valid() || !engine_.Init()) {
        throw std::runtime_error("cannot start the reference pollers");
    }
    try {
        for (std::size_t i = 0; i < count; ++i) {
            const uint32_t handle =
                engine_.StartTask(L"http://127.0.0.1:1/reference", L"reference");
            const auto firstWaitMs = static_cast<DWORD>(i * kPollMs / count);
            threads_.push_back(std::make_unique<HostThread>(
                [this, handle, firstWaitMs] { Poll(handle, firstWaitMs); }));
        }
    } catch (...) {
        // The threads made so far are stopped and waited for as the members go.
        SetEvent(stop_.Get());
        engine_.Close();
        throw;
    }
}

ReferencePollers::~ReferencePollers() {
    SetEvent(stop_.Get());
    threads_.clear();
    engine_.Close();
}

void ReferencePollers::Poll(uint32_t handle, DWORD firstWaitMs) {
    PP_TASK_STATUS status{};
    for (DWORD wait = firstWaitMs; WaitForSingleObject(stop_.Get(), wait) == WAIT_TIMEOUT;
         wait = kPollMs) {
        engine_.Query(handle, status);
        queries_.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace bench
