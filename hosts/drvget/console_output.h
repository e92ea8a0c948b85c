// Text output of drvget: UTF-16 to a console (with lines redrawn in place), UTF-8 to anything
// else, and the numbers of a progress line in human units.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace drvget {

class Output {
public:
    // Writes to standard output, or to standard error when `errors`.
    explicit Output(bool errors = false);

    bool IsConsole() const { return console_; }
    void Line(std::wstring_view text);
    // On a console, replaces the block of lines the previous call drew (the first call draws it
    // below the cursor); elsewhere writes nothing, since progress is shown line by line there.
    void Redraw(const std::vector<std::wstring>& lines);
    // Ends the block: later output goes below it.
    void EndBlock() { blockTop_ = -1; }

private:
    void Write(std::wstring_view text);

    HANDLE handle_;
    bool console_ = false;
    SHORT blockTop_ = -1; // console row of the block's first line; -1 when there is none
    size_t blockLines_ = 0;
};

// "512 B", "4.0 KiB", "12.3 MiB", "1.20 GiB".
std::wstring FormatBytes(uint64_t bytes);
// "0:07", "12:34", "1:02:03".
std::wstring FormatDuration(uint64_t seconds);

} // namespace drvget
