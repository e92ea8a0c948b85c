// What the stand-in engine reports for one transfer: the state and the seven values of each
// status query. The library gives them no meaning of its own and passes the values on unchanged
// in _MOBILE_DRV_PROGRESS.status[0..6]; these are the stand-in's, for the hosts, tests and
// benchmark of this repository (docs/standin-engine.md describes them for readers). Only states
// 1 (finished) and 5, 6, 7 (running) mean something to the library (engine_abi/engine_abi.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace standin {

// States:
inline constexpr std::int32_t kStateFinished = 1;    // the complete file is under the target's name
inline constexpr std::int32_t kStateUnreachable = 2; // no connection, no response, no source file
inline constexpr std::int32_t kStateHttpError = 3;   // the final response was not 2xx (value 6)
inline constexpr std::int32_t kStateWriteFailed = 4; // the target's folder could not take the file
inline constexpr std::int32_t kStateConnecting = 5;  // connecting and waiting for the response
inline constexpr std::int32_t kStateReceiving = 6;   // bytes are arriving (to a temporary file)
inline constexpr std::int32_t kStateFinishing = 7;   // all bytes are in; checked and moved in place
inline constexpr std::int32_t kStateInterrupted = 8; // the source broke off or sent a wrong length

// The seven values, by their index in the reported order (PP_TASK_STATUS values[0..5], then
// value36) and so in _MOBILE_DRV_PROGRESS.status. Sizes are 64-bit over two values, low first.
inline constexpr std::size_t kValueTotalLow = 0;     // announced size in bytes (0: unknown)
inline constexpr std::size_t kValueTotalHigh = 1;    // announced size, high half
inline constexpr std::size_t kValueReceivedLow = 2;  // bytes received so far; never decreases
inline constexpr std::size_t kValueReceivedHigh = 3; // bytes received so far, high half
inline constexpr std::size_t kValueSpeed = 4;        // bytes per second over the last 1 to 2 s
inline constexpr std::size_t kValueElapsedMs = 5;    // milliseconds since the start
inline constexpr std::size_t kValueHttpStatus = 6;   // final HTTP status (0: none yet, or a file)

// The 64-bit number whose low half is values[lowIndex] and whose high half follows it.
inline std::uint64_t Combined(const unsigned* values, std::size_t lowIndex) {
    return (static_cast<std::uint64_t>(values[lowIndex + 1]) << 32) | values[lowIndex];
}

} // namespace standin
