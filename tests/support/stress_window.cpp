#include "support/stress_window.h"

#include "base/unique_handle.h"

namespace drvtest {

namespace {

constexpr wchar_t kClass[] = L"DrvDownStressWindow";

} // namespace

StressWindow::StressWindow(Handler handler, Body body) : handler_(std::move(handler)) {
    // Lives until the thread has set it: the constructor waits for that.
    const unique_handle readyEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE ready = readyEvent.get();
    thread_ = HostThread([this, body = std::move(body), ready] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &StressWindow::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClass;
        RegisterClassW(&windowClass); // fails harmlessly when already registered
        HWND window = CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      windowClass.hInstance, nullptr);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        window_ = window;
        SetEvent(ready);
        body(*this);
        window_ = nullptr;
        DestroyWindow(window);
        Pump(0);
    });
    WaitForSingleObject(ready, INFINITE);
}

void StressWindow::Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        const DWORD spent = GetTickCount() - start;
        if (spent >= ms) {
            break;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - spent, QS_ALLINPUT);
    } while (true);
}

LRESULT CALLBACK StressWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<StressWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && message >= WM_APP) {
        self->handler_(message, wParam, lParam);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace drvtest
