// The task record the library keeps for each asynchronous download.
#pragma once

#include "MobileDrvDown.h"
#include "base/unique_handle.h"
#include "base/heap.h"
#include "base/shared_handle.h"

#include <cstddef>
#include <utility>

using TaskHandle = shared_handle<_MOBILE_DRV_TASK>;

// Freeing a task record closes its cancel event: the record owns the event, so the event stays
// valid for as long as anybody (the list, the worker, CancelTask) holds a reference to the task.
template <>
inline void dispose_record<_MOBILE_DRV_TASK>(_MOBILE_DRV_TASK* task) {
    const unique_handle cancelEvent(std::exchange(task->cancelEvent, nullptr));
    HeapDelete(task);
}

inline HANDLE CancelEventOf(const _MOBILE_DRV_TASK* task) {
    return static_cast<HANDLE>(task->cancelEvent);
}

// Only a signal is a cancel: a test that fails says nothing of the host's wish.
inline bool IsSignalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// Record layouts hosts rely on, byte for byte.
static_assert(offsetof(_MOBILE_DRV_TASK, name) == 0);
static_assert(offsetof(_MOBILE_DRV_TASK, url) == 1024);
static_assert(offsetof(_MOBILE_DRV_TASK, targetPath) == 5120);
static_assert(offsetof(_MOBILE_DRV_TASK, context) == 9216);
static_assert(offsetof(_MOBILE_DRV_TASK, owner) == 9216);
static_assert(offsetof(_MOBILE_DRV_TASK, cancelEvent) == 9216 + sizeof(void*));
static_assert(sizeof(_MOBILE_DRV_TASK) == 9216 + 2 * sizeof(void*));
static_assert(sizeof(_MOBILE_DRV_PROGRESS) == 1056);
static_assert(offsetof(_MOBILE_DRV_PROGRESS, status) == 1024);
static_assert(offsetof(_MOBILE_DRV_PROGRESS, context) == 1052);
static_assert(sizeof(_MOBILE_DRV_RESULT) == 5124);
static_assert(offsetof(_MOBILE_DRV_RESULT, targetPath) == 1024);
static_assert(offsetof(_MOBILE_DRV_RESULT, context) == 5120);
#if defined(__i386__)
static_assert(sizeof(_MOBILE_DRV_TASK) == 9224);
static_assert(offsetof(_MOBILE_DRV_TASK, cancelEvent) == 9220);
#endif
