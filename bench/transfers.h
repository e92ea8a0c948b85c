// The transfers the library's figures are compared with: the stand-in engine driven directly, a
// bare WinHTTP read loop, and native curl, which the shell that started this program runs.
#pragma once

#include "bench/bench_env.h"

#include <cstdint>
#include <optional>
#include <string>

namespace bench {

struct TransferResult {
    bool ok = false;
    double seconds = 0;     // wall time of the whole call
    uint64_t bytes = 0;     // bytes received (bare loop) or reported received (engine)
    uint64_t reads = 0;     // bare loop only: WinHttpReadData calls that returned bytes
    uint32_t engineMs = 0;  // engine only: its own elapsed time at the final state (value 5)
    int32_t finalState = 0; // engine only
};

// PPInit2, PPStartTaskEx, PPQueryTaskEx every `pollMs` until the state is final, PPClose: what
// the library's blocking download does, without the library.
TransferResult DriveEngineDirectly(const Engine& engine, const std::wstring& url,
                                   const std::wstring& target, DWORD pollMs);

enum class ReadPattern {
    // WinHttpReadData asks for 1 MiB each time.
    WholeBuffer,
    // WinHttpQueryDataAvailable first, then WinHttpReadData for what it reported (at most
    // 1 MiB): the stand-in engine's way of reading.
    AvailableFirst,
};

// GET `url` through WinHTTP (no proxy, as the engine does for loopback hosts) and read the body
// into a 1 MiB buffer; with a `target`, each read is also written to that file.
TransferResult BareWinHttpLoop(const std::wstring& url, const std::wstring* target,
                               ReadPattern pattern = ReadPattern::WholeBuffer);

// Asks the shell that started this program to fetch the file with native curl and to time it:
// prints the line "@curl" on standard output and reads back one line with the microseconds the
// shell measured. Empty when the shell did not answer with a number.
std::optional<double> CurlSecondsFromShell();

} // namespace bench
