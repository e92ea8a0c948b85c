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

inline constexpr int32_t kStateFinished = 1;

} // namespace standin
