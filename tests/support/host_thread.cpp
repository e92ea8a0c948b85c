#include "support/host_thread.h"

#include <process.h>

#include <memory>
#include <stdexcept>

namespace drvtest {

namespace {

unsigned __stdcall Run(void* argument) {
    const std::unique_ptr<std::function<void()>> body(
        static_cast<std::function<void()>*>(argument));
    (*body)();
    return 0;
}

} // namespace

HostThread::HostThread(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    const uintptr_t thread = _beginthreadex(nullptr, 0, &Run, owned.get(), 0, nullptr);
    if (thread == 0) {
        throw std::runtime_error("no thread could be started");
    }
    owned.release(); // the thread owns it now
    thread_ = unique_handle(reinterpret_cast<HANDLE>(thread));
}

HostThread& HostThread::operator=(HostThread&& other) noexcept {
    if (this != &other) {
        Join();
        thread_ = std::move(other.thread_);
    }
    return *this;
}

void HostThread::Join() {
    if (thread_) {
        WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    }
}

} // namespace drvtest
