// The transfers the figures compare: the stand-in engine driven directly, bare WinHTTP loops in
// this process, and native curl, which the shell that started the program runs.
#pragma once

#include "bench/bench.h"

#include <windows.h>

#include <string>

namespace bench {

// What DownLoadFile does, without the library: PPInit2, PPStartTaskEx, PPQueryTaskEx every
// `pollMs` until the state is final, PPClose. Returns the wall seconds of it all and sets
// `engineMs` to the transfer's own time (its elapsed milliseconds at the final state).
double DriveEngine(const Bench& b, const std::wstring& target, DWORD pollMs, double& engineMs);

enum class ReadPattern {
    // WinHttpReadData asks for the whole 1 MiB buffer, and each read is written to the file.
    WholeBuffer,
    // WinHttpQueryDataAvailable first, then WinHttpReadData of what it reports, into a 1 MiB
    // buffer written out whenever it is full: the stand-in engine's way of reading.
    AvailableFirst,
};

// GET the large file through WinHTTP (no proxy, as the engine does for loopback hosts) into
// `target`; seconds until the handles and the file are closed. Checks and removes the file.
double BareWinHttpLoop(const Bench& b, const std::wstring& target, ReadPattern pattern);

// Native curl of the large file from the same server, written to a file: the program prints
// "@curl" and the shell answers with curl's own time (bench/run.sh). Seconds.
double CurlSeconds();

} // namespace bench
