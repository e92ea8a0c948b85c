// The downloader's named tasks, in the order they were added, under a lock of their own.
#pragma once

#include "base/heap.h"
#include "base/locks.h"
#include "downloader/drv_task.h"

// Each operation takes the list lock for its own scan or change, and none calls out while holding
// it. The list holds one reference to each task; a worker holds another.
class TaskList {
public:
    TaskList() = default;
    TaskList(const TaskList&) = delete;
    TaskList& operator=(const TaskList&) = delete;

    // Appends a copy of `task`; 0 when memory for the list is short.
    int AppendTask(TaskHandle task);
    // Removes exactly this task, wherever it stands (names repeat); 1 if it was listed.
    int RemoveTask(const _MOBILE_DRV_TASK* task);
    // Signals the cancel event of the first task of that name (letter case ignored), under the
    // list lock; 1 when there was one to signal. A task whose end has been decided is no longer
    // listed.
    int CancelTask(const wchar_t* name);
    // Decides the end of a task: false when it has been cancelled; otherwise it leaves the list
    // under the lock, so that no cancel signals it any more while its end is told.
    bool EndTask(const _MOBILE_DRV_TASK* task);
    // Signals every task's cancel event, first to last, and empties the list.
    void CancelAllTasks();

private:
    // The first task of that name, or null. Called under the lock.
    const TaskHandle* FindFirst(const wchar_t* name) const;
    // Removes the entry of exactly this task, if listed. Called under the lock.
    bool EraseListed(const _MOBILE_DRV_TASK* task);

    CriticalSection lock_;
    HeapArray<TaskHandle> tasks_;
};
