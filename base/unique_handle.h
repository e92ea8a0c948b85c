// One owner type for every kind of Windows handle: unique_any<Traits> holds one value of the
// kind, closes it when it goes, and is moved, never copied. The traits say what the kind's
// invalid value is and how a valid one is closed, so the owner of each kind is one alias below
// (or, for kinds only one place uses, beside that place).
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
    explicit operator bool() const noexcept { return value_ != Traits::Invalid(); }

    // Closes the value held, if valid, and holds `value` instead.
    void reset(value_type value = Traits::Invalid()) noexcept {
        const value_type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) {
            Traits::Close(old);
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
    static void Close(T value) noexcept { static_cast<void>(CloseFn(value)); }
};

inline HANDLE InvalidHandleValue() noexcept {
    return INVALID_HANDLE_VALUE;
}
inline DWORD NoTlsIndex() noexcept {
    return TLS_OUT_OF_INDEXES;
}

// Kernel objects whose creation yields null on failure: events, threads, processes.
using unique_handle = unique_any<close_traits<HANDLE, &CloseHandle>>;
// Files opened with CreateFileW, which yields INVALID_HANDLE_VALUE on failure.
using unique_hfile = unique_any<close_traits<HANDLE, &CloseHandle, &InvalidHandleValue>>;
// A reference on a loaded module.
using unique_hmodule = unique_any<close_traits<HMODULE, &FreeLibrary>>;
// A thread-local slot of the operating system.
using unique_tls_index = unique_any<close_traits<DWORD, &TlsFree, &NoTlsIndex>>;
// A search begun with FindFirstFileW.
using unique_find_handle = unique_any<close_traits<HANDLE, &FindClose, &InvalidHandleValue>>;
