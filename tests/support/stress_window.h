// A host thread that owns a window and answers its messages: the thread runs `body`, which calls
// Pump to answer what was sent and posted to the window meanwhile; `handler` answers each message
// of WM_APP and above on that thread. The window goes before the thread ends, so that senders
// find no window instead of a thread that no longer answers.
#pragma once

#include "support/host_thread.h"

#include <windows.h>

#include <atomic>
#include <functional>

namespace drvtest {

class StressWindow {
public:
    using Handler = std::function<void(UINT message, WPARAM, LPARAM)>;
    using Body = std::function<void(StressWindow&)>;

    StressWindow(Handler handler, Body body);
    ~StressWindow() { thread_.Join(); }

    // The window; null before it exists and once it has gone.
    HWND Window() const { return window_.load(); }
    // Answers the window's messages for `ms` milliseconds (at least one look); on its thread.
    void Pump(DWORD ms);

private:
    static LRESULT CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);

    Handler handler_;
    std::atomic<HWND> window_{nullptr};
    HostThread thread_;
};

} // namespace drvtest
