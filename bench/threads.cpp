#include "bench/threads.h"

#include <stdexcept>

namespace bench {

HostThread::HostThread(std::function<void()> body)
    : body_(std::move(body)),
      thread_(CreateThread(nullptr, 0, &HostThread::Main, this, 0, nullptr)) {
    if (!thread_.Valid()) {
        throw std::runtime_error("CreateThread failed");
    }
}

HostThread::~HostThread() {
    WaitForSingleObject(thread_.Get(), INFINITE);
}

DWORD WINAPI HostThread::Main(void* self) {
    static_cast<HostThread*>(self)->body_();
    return 0;
}

void RunOnThreads(std::size_t count, const std::function<void()>& body) {
    // Each thread is waited for as its owner goes, also when a later one cannot be made.
    std::vector<std::unique_ptr<HostThread>> threads;
    for (std::size_t i = 0; i < count; ++i) {
        threads.push_back(std::make_unique<HostThread>(body));
    }
}

} // namespace bench
