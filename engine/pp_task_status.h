// The status record the engine fills for one transfer.
#pragma once

#include <cstddef>
#include <cstdint>

// 1608 bytes, little-endian, filled by PPQueryTaskEx and only read by the library. The callers
// zero it before every query. The seven values are the engine's; the library passes them on to
// the host's progress notifications unchanged.
struct PP_TASK_STATUS {
    std::uint32_t value0;
    std::uint32_t value4;
    std::uint32_t value8;
    std::uint32_t value12;
    std::uint32_t value16;
    std::uint32_t value20;
    std::uint8_t unread24[12];
    std::uint32_t value36;
    std::uint32_t unread40;
    std::int32_t state;
    std::uint8_t unread48[1560];
};

static_assert(sizeof(PP_TASK_STATUS) == 1608);
static_assert(offsetof(PP_TASK_STATUS, value0) == 0);
static_assert(offsetof(PP_TASK_STATUS, value20) == 20);
static_assert(offsetof(PP_TASK_STATUS, value36) == 36);
static_assert(offsetof(PP_TASK_STATUS, state) == 44);

// Task states as the library reads them.
inline constexpr std::int32_t kTaskStateFinished = 1;

// States 5, 6 and 7 mean the transfer is still running; every other state but 1 is a failure.
constexpr bool IsRunningState(std::int32_t state) {
    return state >= 5 && state <= 7;
}
