// Reference-counted handles through which the library shares records between threads: task
// records between the task list and the workers, a downloader's state and an engine instance
// between the host's calls and the workers. Counts change only by interlocked increment and
// decrement, so copies of one handle may be made and released on different threads at once; a
// single handle object is used by one thread. Records and blocks live in the process heap and
// their allocation never throws.
#pragma once

#include "base/heap.h"

#include <windows.h>

#include <utility>

// Control block base: the use count and the operation that frees the owned object. There is no
// virtual destructor; after dispose the block itself is freed.
class ref_count {
public:
    ref_count() = default;
    ref_count(const ref_count&) = delete;
    ref_count& operator=(const ref_count&) = delete;

    virtual void dispose() = 0;

    void add_ref() { InterlockedIncrement(&use_count_); }
    // Drops one reference; the last one disposes of the object and frees the block.
    void release() {
        if (InterlockedDecrement(&use_count_) == 0) {
            dispose();
            destroy();
        }
    }
    LONG use_count() const { return InterlockedCompareExchange(&use_count_, 0, 0); }

protected:
    ~ref_count() = default;
    virtual void destroy() = 0;

private:
    mutable volatile LONG use_count_ = 1;
};

// The control block for one record of type T: holds the record and frees it in dispose.
// dispose_record<T> says how a record is freed (the task record also closes its cancel event).
template <class T>
void dispose_record(T* record) {
    HeapDelete(record);
}

template <class T>
class ref_count_impl final : public ref_count {
public:
    explicit ref_count_impl(T* record) noexcept : record_(record) {}

    void dispose() override {
        if (record_ != nullptr) {
            dispose_record(record_);
            record_ = nullptr;
        }
    }

private:
    void destroy() override { HeapDelete(this); }

    T* record_;
};

// Owner of one reference on a control block, or of none.
template <class T>
class shared_count {
public:
    shared_count() = default;
    explicit shared_count(ref_count* block) noexcept : block_(block) {}
    virtual ~shared_count() {
        if (block_ != nullptr) {
            block_->release();
        }
    }
    shared_count(const shared_count& other) noexcept : block_(other.block_) {
        if (block_ != nullptr) {
            block_->add_ref();
        }
    }
    shared_count(shared_count&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    shared_count& operator=(shared_count&& other) noexcept {
        if (this != &other) {
            shared_count(std::move(other)).swap(*this);
        }
        return *this;
    }
    void swap(shared_count& other) noexcept { std::swap(block_, other.block_); }
    shared_count& operator=(const shared_count& other) noexcept {
        if (other.block_ != block_) {
            if (other.block_ != nullptr) {
                other.block_->add_ref();
            }
            if (block_ != nullptr) {
                block_->release();
            }
            block_ = other.block_;
        }
        return *this;
    }

    ref_count* block() const { return block_; }

private:
    ref_count* block_ = nullptr;
};

// A counted reference to a record: the count followed by a plain pointer to the record.
template <class T>
class shared_handle {
public:
    shared_handle() = default;
    shared_handle(const shared_handle&) noexcept = default;
    shared_handle& operator=(const shared_handle&) noexcept = default;
    shared_handle(shared_handle&& other) noexcept
        : count_(std::move(other.count_)), record_(std::exchange(other.record_, nullptr)) {}
    shared_handle& operator=(shared_handle&& other) noexcept {
        if (this != &other) {
            count_ = std::move(other.count_);
            record_ = std::exchange(other.record_, nullptr);
        }
        return *this;
    }

    // Allocates a record built from `args` (value-initialised, so zero-filled for plain data,
    // without any) and its control block; an empty handle when memory is short.
    template <class... Args>
    static shared_handle make(Args&&... args) noexcept {
        T* record = HeapNew<T>(std::forward<Args>(args)...);
        if (record == nullptr) {
            return {};
        }
        auto* block = HeapNew<ref_count_impl<T>>(record);
        if (block == nullptr) {
            dispose_record(record);
            return {};
        }
        return shared_handle(block, record);
    }

    // Lets go of the reference held, if any.
    void reset() noexcept { *this = shared_handle(); }

    T* get() const { return record_; }
    T* operator->() const { return record_; }
    T& operator*() const { return *record_; }
    explicit operator bool() const { return record_ != nullptr; }
    LONG use_count() const { return count_.block() ? count_.block()->use_count() : 0; }

private:
    shared_handle(ref_count* block, T* record) noexcept : count_(block), record_(record) {}

    shared_count<T> count_;
    T* record_ = nullptr;
};
