// A host's window thread: a thread of its own with one message-only window and a message loop.
// Work handed to it runs on that thread as a host's window procedure would run it: posted (from
// the loop) or sent (from whatever the thread is doing, also from inside a wait that answers
// sent messages).
#pragma once

#include "base/unique_handle.h"
#include "support/host_thread.h"

#include <windows.h>

#include <functional>

namespace drvtest {

class WindowThread {
public:
    // Starts the thread and waits until its window exists; throws std::runtime_error when the
    // thread, its desktop or its window cannot be had.
    WindowThread();
    // Ends the loop and waits for the thread.
    ~WindowThread();
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    HWND Window() const { return window_; }
    DWORD ThreadId() const { return threadId_; }

    // Runs `work` on the window thread from its message loop; returns at once.
    void Post(std::function<void()> work);
    // Runs `work` on the window thread as the handler of a message sent to its window and
    // returns once the window has answered it (SendMessage); false when no answer came within
    // `timeoutMs`. The answer may come before `work` has returned (ReplyMessage).
    bool Send(std::function<void()> work, DWORD timeoutMs = INFINITE);

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
    void Loop();

    // The window lives on a desktop of its own: on the shared one, Wine's desktop process,
    // started for a first window, would inherit the test runner's output pipe.
    unique_hdesk desktop_;
    unique_handle ready_;
    HWND window_ = nullptr;
    DWORD threadId_ = 0;
    HostThread thread_;
};

} // namespace drvtest
