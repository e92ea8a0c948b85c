// Reference-counted handles through which the task list and the workers share task records.
// Counts change only by interlocked increment and decrement, so copies of one handle may be made
// and released on different threads at once; a single handle object is used by one thread.
#pragma once

#include <windows.h>

#include <new>
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
// dispose_record<T> says how a record is freed (the task record closes its cancel event).
template <class T>
void dispose_record(T* record);

template <class T>
class ref_count_impl final : public ref_count {
public:
    explicit ref_count_impl(T* record) : record_(record) {}

    void dispose() override {
        if (record_ != nullptr) {
            dispose_record(record_);
            record_ = nullptr;
        }
    }

private:
    void destroy() override { delete this; }

    T* record_;
};

// Owner of one reference on a control block, or of none.
template <class T>
class shared_count {
public:
    shared_count() = default;
    explicit shared_count(ref_count* block) : block_(block) {}
    virtual ~shared_count() {
        if (block_ != nullptr) {
            block_->release();
        }
    }
    shared_count(const shared_count& other) : block_(other.block_) {
        if (block_ != nullptr) {
            block_->add_ref();
        }
    }
    shared_count& operator=(const shared_count& other) {
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

    // Allocates a value-initialised (zero-filled) record and its control block; an empty handle
    // when memory is short.
    static shared_handle make() {
        T* record = new (std::nothrow) T{};
        if (record == nullptr) {
            return {};
        }
        auto* block = new (std::nothrow) ref_count_impl<T>(record);
        if (block == nullptr) {
            dispose_record(record);
            return {};
        }
        return shared_handle(block, record);
    }

    T* get() const { return record_; }
    T* operator->() const { return record_; }
    T& operator*() const { return *record_; }
    explicit operator bool() const { return record_ != nullptr; }
    LONG use_count() const { return count_.block() ? count_.block()->use_count() : 0; }

private:
    shared_handle(ref_count* block, T* record) : count_(block), record_(record) {}

    shared_count<T> count_;
    T* record_ = nullptr;
};
