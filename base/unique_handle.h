// One owner type for every kind of Windows handle: unique_any<Traits> holds one value of the
// kind, closes it when it goes, and is moved, never copied. The traits say which values of the
// kind are invalid and how a valid one is closed, so the owner of each kind is one alias, defined
// once: below for the kinds of the core system DLLs, in crypt_handles.h for the cryptography's
// and in network_handles.h for WinHTTP's and Winsock's.
#pragma once

#include <windows.h>

#include <utility>

template <class Traits>
class unique_any {
public:
    using value_type = typename Traits::value_type;

    unique_any() noexcept = default;
    explicit unique_any(value_type value) noexcept : value_(value) {}
    ~unique_any() { reset(); }
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;

    value_type get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return Traits::IsValid(value_); }

    // Closes the value held, if valid, and holds `value` instead. The caller's last error
    // survives the close: in `owner.reset(CreateX(...))` the old value is closed after CreateX
    // has failed, and an owner may go out of scope between a failed call and the reading of its
    // error; either way the error read is the failed call's, whatever the close set.
    void reset(value_type value = Traits::Invalid()) noexcept {
        const value_type old = std::exchange(value_, value);
        if (Traits::IsValid(old)) {
            const DWORD lastError = GetLastError();
            Traits::Close(old);
            SetLastError(lastError);
        }
    }
    // Gives the value up without closing it: the caller owns it now.
    [[nodiscard]] value_type release() noexcept { return std::exchange(value_, Traits::Invalid()); }
    // For functions that return a new value through a pointer: closes the value held first.
    value_type* put() noexcept {
        reset();
        return &value_;
    }

private:
    value_type value_ = Traits::Invalid();
};

// The usual traits: a value type, the function that closes a value (its result, if any, is
// ignored), and the function that yields the invalid value (zero unless said otherwise).
template <class T>
T ZeroValue() noexcept {
    return T{};
}
template <class T, auto CloseFn, T (*InvalidFn)() = &ZeroValue<T>>
struct close_traits {
    using value_type = T;
    static T Invalid() noexcept { return InvalidFn(); }
    static bool IsValid(T value) noexcept { return value != InvalidFn(); }
    static void Close(T value) noexcept { static_cast<void>(CloseFn(value)); }
};

inline HANDLE InvalidHandleValue() noexcept {
    return INVALID_HANDLE_VALUE;
}
inline DWORD NoTlsIndex() noexcept {
    return TLS_OUT_OF_INDEXES;
}

// Handles of the kinds whose creation yields INVALID_HANDLE_VALUE on failure. Null is no handle
// of theirs either (a handle field that was never filled in), so neither value is ever closed; an
// empty owner holds INVALID_HANDLE_VALUE.
template <auto CloseFn>
struct file_handle_traits : close_traits<HANDLE, CloseFn, &InvalidHandleValue> {
    static bool IsValid(HANDLE value) noexcept {
        return value != nullptr && value != INVALID_HANDLE_VALUE;
    }
};

// Kernel objects whose creation yields null on failure: events, threads, processes.
using unique_handle = unique_any<close_traits<HANDLE, &CloseHandle>>;
// Files opened with CreateFileW, and snapshots of CreateToolhelp32Snapshot.
using unique_hfile = unique_any<file_handle_traits<&CloseHandle>>;
// A search begun with FindFirstFileW.
using unique_find_handle = unique_any<file_handle_traits<&FindClose>>;
// A reference on a loaded module.
using unique_hmodule = unique_any<close_traits<HMODULE, &FreeLibrary>>;
// A thread-local slot of the operating system.
using unique_tls_index = unique_any<close_traits<DWORD, &TlsFree, &NoTlsIndex>>;
// A window station and a desktop.
using unique_hwinsta = unique_any<close_traits<HWINSTA, &CloseWindowStation>>;
using unique_hdesk = unique_any<close_traits<HDESK, &CloseDesktop>>;
