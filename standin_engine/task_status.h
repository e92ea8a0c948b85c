// The status record PPQueryTaskEx fills for one transfer: 1608 bytes, the task state at byte 44.
#pragma once

#include <cstddef>
#include <cstdint>

namespace standin {

struct TaskStatus {
    uint32_t values[6]; // bytes 0..23: the first six reported values
    uint8_t reserved1[12];
    uint32_t value7; // byte 36: the seventh reported value
    uint32_t reserved2;
    int32_t state; // 1 finished, 5/6/7 running, anything else failed
    uint8_t reserved3[1560];
};
static_assert(sizeof(TaskStatus) == 1608);
static_assert(offsetof(TaskStatus, value7) == 36);
static_assert(offsetof(TaskStatus, state) == 44);

// The states a real transfer reports. The public header documents the same numbers for hosts.
inline constexpr int32_t kStateFinished = 1;    // the file is complete under the target's name
inline constexpr int32_t kStateUnreachable = 2; // no connection, no response, no source file
inline constexpr int32_t kStateHttpError = 3;   // the final response was not 2xx
inline constexpr int32_t kStateWriteFailed = 4; // the target's folder could not take the file
inline constexpr int32_t kStateConnecting = 5;  // connecting and waiting for the response
inline constexpr int32_t kStateReceiving = 6;   // bytes are arriving
inline constexpr int32_t kStateFinishing = 7;   // all bytes are in; checking and moving the file
inline constexpr int32_t kStateInterrupted = 8; // the source broke off or delivered a wrong length

// The seven values of a real transfer, by their index in the reported order (values[0..5], then
// value7).
inline constexpr size_t kValueTotalLow = 0;     // announced size in bytes, low half (0: unknown)
inline constexpr size_t kValueTotalHigh = 1;    // announced size, high half
inline constexpr size_t kValueReceivedLow = 2;  // bytes received so far, low half
inline constexpr size_t kValueReceivedHigh = 3; // bytes received so far, high half
inline constexpr size_t kValueSpeed = 4;        // bytes per second lately
inline constexpr size_t kValueElapsedMs = 5;    // milliseconds since the start
inline constexpr size_t kValueHttpStatus = 6;   // the final HTTP status code (0: none yet, file)

} // namespace standin
