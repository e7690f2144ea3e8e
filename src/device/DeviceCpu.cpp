// CPU backend: "device memory" is ordinary host memory and kernels run in
// order at launch, so streams, events and synchronisation have nothing to do.
// Null addresses are refused as the CUDA runtime would refuse them, so that a
// fault shows the same way on both backends.
#include "device/Backends.hpp"

#include <cstdlib>
#include <cstring>

namespace dev {
namespace backends {
namespace {

constexpr Status kOutOfMemory = "out of memory";
constexpr Status kNullAddress = "invalid argument (null address)";

Status allocate(void** ptr, std::size_t bytes) {
    *ptr = std::malloc(bytes);
    return *ptr ? nullptr : kOutOfMemory;
}

Status release(void* ptr) {
    std::free(ptr);
    return nullptr;
}

Status copy(void* dst, const void* src, std::size_t bytes, Direction) {
    if (!dst || !src) return kNullAddress;
    std::memmove(dst, src, bytes);
    return nullptr;
}

Status fill(void* ptr, int value, std::size_t bytes) {
    if (!ptr) return kNullAddress;
    std::memset(ptr, value, bytes);
    return nullptr;
}

Status nothing() { return nullptr; }

}  // namespace

// Only memory does anything here; every stream, event and profiler operation
// keeps the table's no-op default.
const Operations& cpu() {
    static const Operations ops = [] {
        Operations table;
        table.allocate = table.allocatePinned = allocate;
        table.release = table.releasePinned = release;
        table.copy = copy;
        table.fill = fill;
        table.synchronize = table.launchStatus = nothing;
        return table;
    }();
    return ops;
}

}  // namespace backends
}  // namespace dev
