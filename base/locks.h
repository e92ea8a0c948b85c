// Owning wrappers for the Windows locks the library uses, and the guard that holds one for a
// scope. (The library links no C++ runtime, and the C++ headers it compiles against, of GCC's
// Windows thread model, have no <mutex> guards; both locks still meet the standard's Lockable
// requirements.)
#pragma once

#include <windows.h>

// Holds `lock` from its construction to the end of its scope.
template <class Lock>
class LockGuard {
public:
    explicit LockGuard(Lock& lock) : lock_(lock) { lock_.lock(); }
    ~LockGuard() { lock_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Lock& lock_;
};

// A critical section that lives as long as its owner.
class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&section_); }
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// A slim reader/writer lock used exclusively, with a condition variable to wait on under it.
class SlimLock {
public:
    SlimLock() = default;
    SlimLock(const SlimLock&) = delete;
    SlimLock& operator=(const SlimLock&) = delete;

    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    // Waits, the lock held by the caller, until WakeAll is called or `timeoutMs` have passed;
    // false on the time-out. (Like any condition variable, it may also wake for nothing.)
    bool Wait(DWORD timeoutMs = INFINITE) {
        return SleepConditionVariableSRW(&condition_, &lock_, timeoutMs, 0) != FALSE;
    }
    void WakeAll() { WakeAllConditionVariable(&condition_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};
