#include "standin_engine/load_log.h"

#include "base/locks.h"
#include "base/unique_handle.h"

#include <string>

namespace standin {

namespace {

// Up to the longest path Windows accepts.
constexpr DWORD kPathCapacity = 32768;

std::string ToUtf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    return utf8;
}

} // namespace

void AppendLoadLogLine(HMODULE module) {
    std::wstring logPath(kPathCapacity, L'\0');
    const DWORD logLength =
        GetEnvironmentVariableW(L"STANDIN_LOAD_LOG", logPath.data(), kPathCapacity);
    if (logLength == 0 || logLength >= kPathCapacity) {
        return;
    }
    logPath.resize(logLength);

    std::wstring modulePath(kPathCapacity, L'\0');
    modulePath.resize(GetModuleFileNameW(module, modulePath.data(), kPathCapacity));

    const std::string line = "attach " + ToUtf8(modulePath) + "\r\n";
    // FILE_APPEND_DATA alone makes each write land at the end, also with other writers.
    unique_hfile file(CreateFileW(logPath.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return;
    }
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

} // namespace standin
