#include "downloader/task_list.h"

#include <shlwapi.h>

int TaskList::AppendTask(TaskHandle task) {
    LockGuard lock(lock_);
    return tasks_.push_back(std::move(task)) ? 1 : 0;
}

int TaskList::RemoveTask(const _MOBILE_DRV_TASK* task) {
    LockGuard lock(lock_);
    return EraseListed(task) ? 1 : 0;
}

int TaskList::CancelTask(const wchar_t* name) {
    // Signalled under the lock: a worker decides its task's end under the same lock, so a task is
    // either cancelled here or has ended and is not found.
    LockGuard lock(lock_);
    const TaskHandle* task = FindFirst(name);
    if (task == nullptr || CancelEventOf(task->get()) == nullptr) {
        return 0;
    }
    SetEvent(CancelEventOf(task->get()));
    return 1;
}

bool TaskList::EndTask(const _MOBILE_DRV_TASK* task) {
    LockGuard lock(lock_);
    if (IsSignalled(CancelEventOf(task))) {
        return false;
    }
    // The worker still holds the task; the list's reference goes.
    EraseListed(task);
    return true;
}

void TaskList::CancelAllTasks() {
    // Declared before the lock, so released after it: the last release of a task frees its
    // record, which is no work to do while holding the list lock.
    HeapArray<TaskHandle> cancelled;
    LockGuard lock(lock_);
    for (const TaskHandle& task : tasks_) {
        if (HANDLE event = CancelEventOf(task.get())) {
            SetEvent(event);
        }
    }
    cancelled.swap(tasks_);
}

const TaskHandle* TaskList::FindFirst(const wchar_t* name) const {
    for (const TaskHandle& task : tasks_) {
        if (StrCmpIW(task->name, name) == 0) {
            return &task;
        }
    }
    return nullptr;
}

bool TaskList::EraseListed(const _MOBILE_DRV_TASK* task) {
    for (std::size_t i = 0; i < tasks_.size(); ++i) {
        if (tasks_[i].get() == task) {
            // Later entries move up one place.
            tasks_.erase(i);
            return true;
        }
    }
    return false;
}
