// Text between the wide strings of Windows and the narrow ones of test output, command lines and
// logs. The text that crosses is ASCII (paths in the temporary folder, names, numbers); anything
// else narrows to '?'.
#pragma once

#include <string>
#include <string_view>

namespace drvtest {

inline std::string Narrow(std::wstring_view text) {
    std::string narrow;
    for (const wchar_t c : text) {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

inline std::wstring Wide(std::string_view text) {
    return std::wstring(text.begin(), text.end());
}

} // namespace drvtest
