// Owning handles for arrays in device memory or in pinned host memory.
#pragma once

#include "device/Device.hpp"

#include <cstddef>
#include <memory>

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

// An array freed with its handle unless handed over with release(): new
// arrays are held this way until they replace old ones, so that a failed
// allocation neither leaks nor disturbs the arrays in use.
template <class T>
using Buffer = std::unique_ptr<T[], BufferFree>;

template <class T>
Buffer<T> deviceBuffer(std::size_t count) {
    return Buffer<T>(allocArray<T>(count), BufferFree{false});
}

template <class T>
Buffer<T> pinnedBuffer(std::size_t count) {
    return Buffer<T>(static_cast<T*>(hostAllocPinned(count * sizeof(T))), BufferFree{true});
}

}  // namespace dev
