// Owning arrays in device memory or in pinned host memory.
//
// Classes hold their long-lived arrays as Buffer members, so that destruction
// and moves need no hand-written code, and point the fields of their flat
// records (the plain structs kernels receive) at the buffers' data. New arrays
// are built as fresh Buffers and moved in only once all of them exist, so that
// a failed allocation neither leaks nor disturbs the arrays in use.
#pragma once

#include "device/Device.hpp"

#include <cstddef>
#include <memory>
#include <tuple>
#include <utility>

namespace dev {

// Frees an array with the call that matches how it was allocated.
struct BufferFree {
    bool pinned = false;
    void operator()(void* ptr) const noexcept {
        if (pinned)
            freeHost(ptr);
        else
            free(ptr);
    }
};

template <class T>
class Buffer {
public:
    Buffer() = default;
    Buffer(Buffer&& other) noexcept : data_(std::move(other.data_)), count_(std::exchange(other.count_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        data_ = std::move(other.data_);
        count_ = std::exchange(other.count_, 0);
        return *this;
    }

    T* get() const { return data_.get(); }
    // Element access from the host: for pinned buffers only.
    T& operator[](std::size_t i) const { return data_[i]; }
    std::size_t size() const { return count_; }
    explicit operator bool() const { return static_cast<bool>(data_); }
    bool pinned() const { return data_.get_deleter().pinned; }
    void reset() {
        data_.reset();
        count_ = 0;
    }

    // A single record (count 1): its device copy of `h_record`.
    void upload(const T& h_record) { dev::upload(get(), &h_record, 1); }

    static Buffer device(std::size_t count) { return Buffer(allocArray<T>(count), count, false); }
    static Buffer pinnedHost(std::size_t count) {
        return Buffer(static_cast<T*>(hostAllocPinned(count * sizeof(T))), count, true);
    }

private:
    Buffer(T* data, std::size_t count, bool pinned) : data_(data, BufferFree{pinned}), count_(data ? count : 0) {}

    std::unique_ptr<T[], BufferFree> data_{nullptr, BufferFree{}};
    std::size_t count_ = 0;
};

template <class T>
Buffer<T> deviceBuffer(std::size_t count) {
    return Buffer<T>::device(count);
}

template <class T>
Buffer<T> pinnedBuffer(std::size_t count) {
    return Buffer<T>::pinnedHost(count);
}

// The data of several buffers, for the record fields that view them:
//   std::tie(h_record.a, h_record.b) = dev::views(a_, b_);
template <class... T>
std::tuple<T*...> views(const Buffer<T>&... buffers) {
    return std::tuple<T*...>(buffers.get()...);
}

// A device array holding a copy of `values` (empty: no array).
template <class T, class Values>
Buffer<T> uploadedBuffer(const Values& values) {
    Buffer<T> array = deviceBuffer<T>(values.size());
    upload(array.get(), values.data(), values.size());
    return array;
}

// A stream or an event destroyed with its owner.
template <class Handle, Handle (*create)(), void (*destroy)(Handle)>
class Owned {
public:
    Owned() : handle_(create()) {}
    ~Owned() { destroy(handle_); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Handle get() const { return handle_; }

private:
    Handle handle_;
};
using OwnedStream = Owned<Stream, streamCreate, streamDestroy>;
using OwnedEvent = Owned<Event, eventCreate, eventDestroy>;

}  // namespace dev
