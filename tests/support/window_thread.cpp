#include "support/window_thread.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace drvtest {

namespace {

constexpr UINT kRunPosted = WM_APP + 0x100;
constexpr UINT kRunSent = WM_APP + 0x101;
constexpr wchar_t kClassName[] = L"DrvDownTestWindowThread";

void RunWork(LPARAM work) {
    const std::unique_ptr<std::function<void()>> owned(
        reinterpret_cast<std::function<void()>*>(work));
    (*owned)();
}

} // namespace

LRESULT CALLBACK WindowThread::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == kRunPosted || message == kRunSent) {
        RunWork(l);
        return 1;
    }
    return DefWindowProcW(window, message, w, l);
}

WindowThread::WindowThread()
    : desktop_(CreateDesktopW((L"drvtest-window-" + std::to_wstring(GetCurrentProcessId())).c_str(),
                              nullptr, nullptr, 0, GENERIC_ALL, nullptr)),
      ready_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!desktop_ || !ready_) {
        throw std::runtime_error("no desktop or event for the window thread");
    }
    thread_ = HostThread([this] { Loop(); });
    WaitForSingleObject(ready_.get(), INFINITE);
    if (window_ == nullptr) {
        thread_.Join();
        throw std::runtime_error("the window thread has no window");
    }
}

WindowThread::~WindowThread() {
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    thread_.Join();
}

void WindowThread::Loop() {
    threadId_ = GetCurrentThreadId();
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    if (SetThreadDesktop(desktop_.get())) {
        RegisterClassW(&windowClass); // a second window thread finds the class registered
        window_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    }
    SetEvent(ready_.get());
    if (window_ == nullptr) {
        return;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    DestroyWindow(window_);
}

void WindowThread::Post(std::function<void()> work) {
    auto owned = std::make_unique<std::function<void()>>(std::move(work));
    if (PostMessageW(window_, kRunPosted, 0, reinterpret_cast<LPARAM>(owned.get()))) {
        owned.release(); // the window procedure owns it now
    }
}

bool WindowThread::Send(std::function<void()> work, DWORD timeoutMs) {
    // The window procedure frees the work, which a timed-out call can no longer do.
    auto owned = std::make_unique<std::function<void()>>(std::move(work));
    DWORD_PTR answer = 0;
    const LRESULT sent =
        SendMessageTimeoutW(window_, kRunSent, 0, reinterpret_cast<LPARAM>(owned.release()),
                            SMTO_NORMAL, timeoutMs, &answer);
    return sent != 0;
}

} // namespace drvtest
