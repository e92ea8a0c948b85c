#include "bench/clock.h"

#include "base/unique_handle.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

DWORD g_unixPid = 0;

// The first number of a small text file (a /proc entry of Linux), or -1 when it cannot be read.
double FirstNumber(const std::wstring& path) {
    const unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
    char text[128] = {};
    DWORD got = 0;
    if (!file || !ReadFile(file.get(), text, sizeof text - 1, &got, nullptr) || got == 0) {
        return -1;
    }
    return static_cast<double>(std::strtoull(text, nullptr, 10));
}

// Nanoseconds on a CPU of every thread of the Unix process `pid` (its /proc task entries, read
// through the drive Wine maps to the root).
double TaskRunSeconds(DWORD pid) {
    const std::wstring folder = L"Z:\\proc\\" + std::to_wstring(pid) + L"\\task\\";
    WIN32_FIND_DATAW found;
    const unique_find_handle search(FindFirstFileW((folder + L"*").c_str(), &found));
    if (!search) {
        return -1;
    }
    double ns = 0;
    do {
        if (found.cFileName[0] != L'.') {
            // A thread that ended since the listing counts nothing.
            const double taskNs = FirstNumber(folder + found.cFileName + L"\\schedstat");
            ns += taskNs > 0 ? taskNs : 0;
        }
    } while (FindNextFileW(search.get(), &found));
    return ns / 1e9;
}

double ProcessTimesSeconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](FILETIME t) {
        return ULARGE_INTEGER{{t.dwLowDateTime, t.dwHighDateTime}}.QuadPart;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

// Wine's server opens files for its clients, so /proc/self there names the wineserver. That holds
// only when /proc/self/stat does not name this process itself.
bool ServerOpensFiles() {
    static const bool opens =
        g_unixPid != 0 && FirstNumber(L"Z:\\proc\\self\\stat") > 0 &&
        FirstNumber(L"Z:\\proc\\self\\stat") != static_cast<double>(g_unixPid);
    return opens;
}

} // namespace

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void UseUnixPid(DWORD pid) {
    // Only a pid whose task list this program can read is used.
    g_unixPid = pid;
    if (pid != 0 && TaskRunSeconds(pid) < 0) {
        g_unixPid = 0;
    }
}

bool PreciseCpu() {
    return g_unixPid != 0;
}

CpuTime TakeCpu() {
    CpuTime time;
    time.all = ProcessTimesSeconds();
    time.process = g_unixPid != 0 ? TaskRunSeconds(g_unixPid) : time.all;
    if (ServerOpensFiles()) {
        const double ns = FirstNumber(L"Z:\\proc\\self\\schedstat");
        time.server = ns >= 0 ? ns / 1e9 : -1;
    }
    return time;
}

void InTurn(int round, const std::function<void()>& first, const std::function<void()>& second) {
    (round % 2 == 0 ? first : second)();
    (round % 2 == 0 ? second : first)();
}

namespace {

DWORD WINAPI RunBody(void* body) {
    (*static_cast<const std::function<void()>*>(body))();
    return 0;
}

} // namespace

void RunOnThreads(std::size_t count, const std::function<void()>& body) {
    std::vector<unique_handle> threads;
    for (std::size_t i = 0; i < count; ++i) {
        unique_handle thread(CreateThread(nullptr, 0, &RunBody,
                                          const_cast<std::function<void()>*>(&body), 0, nullptr));
        if (!thread) {
            break;
        }
        threads.push_back(std::move(thread));
    }
    for (const unique_handle& thread : threads) {
        WaitForSingleObject(thread.get(), INFINITE);
    }
    if (threads.size() != count) {
        throw std::runtime_error("CreateThread failed");
    }
}

double Handles() {
    return drvtest::ProcessHandleCount();
}

} // namespace bench
