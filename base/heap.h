// Memory from the process heap without C++ exceptions: an allocation that fails yields null,
// and nothing on that path needs the runtime's exception machinery or its threading layer, both
// of which need memory themselves (a host short of memory would be ended by the second failure).
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

// A new T built from `args` in memory of the process heap; null when the memory cannot be had.
template <class T, class... Args>
T* HeapNew(Args&&... args) noexcept {
    static_assert(alignof(T) <= MEMORY_ALLOCATION_ALIGNMENT);
    static_assert(std::is_nothrow_constructible_v<T, Args...>);
    void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(T));
    return memory != nullptr ? ::new (memory) T(std::forward<Args>(args)...) : nullptr;
}

// Destroys and frees what HeapNew made; nothing for null.
template <class T>
void HeapDelete(T* object) noexcept {
    if (object != nullptr) {
        object->~T();
        HeapFree(GetProcessHeap(), 0, const_cast<std::remove_const_t<T>*>(object));
    }
}

template <class T>
struct HeapDeleter {
    void operator()(T* object) const noexcept { HeapDelete(object); }
};

// Sole owner of an object that HeapNew made.
template <class T>
using heap_ptr = std::unique_ptr<T, HeapDeleter<T>>;

// A growable array in memory of the process heap whose growth reports failure instead of
// throwing. Its capacity doubles, starting at 1. Elements must be nothrow-movable.
template <class T>
class HeapArray {
public:
    HeapArray() = default;
    ~HeapArray() { Release(); }
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;
    HeapArray(HeapArray&& other) noexcept { swap(other); }

    // Storage for exactly `count` elements built from nothing (zero-filled for plain data); false
    // when the memory cannot be had.
    bool resize(std::size_t count) noexcept {
        clear();
        return reserve(count) && (FillDefault(count), true);
    }

    // Appends `value`; false, with nothing changed, when the memory cannot be had.
    bool push_back(T value) noexcept {
        if (size_ == capacity_ && !reserve(capacity_ == 0 ? 1 : 2 * capacity_)) {
            return false;
        }
        ::new (data_ + size_) T(std::move(value));
        ++size_;
        return true;
    }

    // Removes the element at `index`; later elements move up one place.
    void erase(std::size_t index) noexcept {
        for (std::size_t i = index; i + 1 < size_; ++i) {
            data_[i] = std::move(data_[i + 1]);
        }
        data_[--size_].~T();
    }

    void clear() noexcept {
        while (size_ > 0) {
            data_[--size_].~T();
        }
    }

    void swap(HeapArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t index) const noexcept { return data_[index]; }
    T* begin() const noexcept { return data_; }
    T* end() const noexcept { return data_ + size_; }

private:
    bool reserve(std::size_t capacity) noexcept {
        static_assert(std::is_nothrow_move_constructible_v<T>);
        if (capacity <= capacity_) {
            return true;
        }
        if (capacity > static_cast<std::size_t>(-1) / sizeof(T)) {
            return false;
        }
        T* grown = static_cast<T*>(HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(T)));
        if (grown == nullptr) {
            return false;
        }
        for (std::size_t i = 0; i < size_; ++i) {
            ::new (grown + i) T(std::move(data_[i]));
            data_[i].~T();
        }
        if (data_ != nullptr) {
            HeapFree(GetProcessHeap(), 0, data_);
        }
        data_ = grown;
        capacity_ = capacity;
        return true;
    }
    void FillDefault(std::size_t count) noexcept {
        for (; size_ < count; ++size_) {
            ::new (data_ + size_) T();
        }
    }
    void Release() noexcept {
        clear();
        if (data_ != nullptr) {
            HeapFree(GetProcessHeap(), 0, data_);
        }
        data_ = nullptr;
        capacity_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};
