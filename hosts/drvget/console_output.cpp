#include "console_output.h"

#include <algorithm>
#include <cwchar>

namespace drvget {

Output::Output(bool errors) : handle_(GetStdHandle(errors ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE)) {
    DWORD mode = 0;
    console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE &&
               GetConsoleMode(handle_, &mode) != FALSE;
}

void Output::Write(std::wstring_view text) {
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE || text.empty()) {
        return;
    }
    DWORD written = 0;
    if (console_) {
        WriteConsoleW(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(std::max(bytes, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes,
                        nullptr, nullptr);
    WriteFile(handle_, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void Output::Line(std::wstring_view text) {
    std::wstring line(text);
    line += L'\n';
    Write(line);
}

void Output::Redraw(const std::vector<std::wstring>& lines) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!console_ || !GetConsoleScreenBufferInfo(handle_, &info)) {
        return;
    }
    // One column is left free: a line that fills the width would wrap.
    const size_t width = static_cast<size_t>(std::max<SHORT>(info.dwSize.X - 1, 1));
    if (blockTop_ < 0 || lines.size() != blockLines_) {
        // Room for the block first, so that a buffer scrolling at its bottom cannot move it.
        Write(std::wstring(lines.size(), L'\n'));
        GetConsoleScreenBufferInfo(handle_, &info);
        blockTop_ = static_cast<SHORT>(info.dwCursorPosition.Y - static_cast<SHORT>(lines.size()));
        blockTop_ = std::max<SHORT>(blockTop_, 0);
        blockLines_ = lines.size();
    }
    SetConsoleCursorPosition(handle_, COORD{0, blockTop_});
    std::wstring text;
    for (const std::wstring& line : lines) {
        std::wstring shown = line.substr(0, width);
        shown.resize(width, L' ');
        text += shown + L'\n';
    }
    Write(text);
}

std::wstring FormatBytes(uint64_t bytes) {
    static const wchar_t* const kUnits[] = {L"KiB", L"MiB", L"GiB", L"TiB"};
    if (bytes < 1024) {
        return std::to_wstring(bytes) + L" B";
    }
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    wchar_t text[32];
    std::swprintf(text, std::size(text), value < 10.0 ? L"%.2f %ls" : L"%.1f %ls", value,
                  kUnits[unit]);
    return text;
}

std::wstring FormatDuration(uint64_t seconds) {
    wchar_t text[32];
    if (seconds >= 3600) {
        std::swprintf(text, std::size(text), L"%llu:%02llu:%02llu", seconds / 3600,
                      seconds / 60 % 60, seconds % 60);
    } else {
        std::swprintf(text, std::size(text), L"%llu:%02llu", seconds / 60, seconds % 60);
    }
    return text;
}

} // namespace drvget
