// The operations one backend provides, as a table of functions. Device.cpp
// picks the table of the active backend and checks every status it returns;
// DeviceCpu.cpp and DeviceCuda.cpp each fill one table. A new backend is one
// more such file and one more choice in Device.cpp.
#pragma once

#include <cstddef>

namespace dev {
namespace backends {

// nullptr on success, else the backend's own text for the error.
using Status = const char*;

enum class Direction { HostToDevice, DeviceToHost, DeviceToDevice };

namespace noop {
inline Status handle(void** handle) {
    *handle = nullptr;
    return nullptr;
}
inline Status one(void*) { return nullptr; }
inline Status two(void*, void*) { return nullptr; }
inline void push(const char*) {}
inline void pop() {}
}  // namespace noop

// Streams, events and profiler ranges default to doing nothing, which is
// right for a backend that runs kernels in order at launch.
struct Operations {
    Status (*allocate)(void** ptr, std::size_t bytes) = nullptr;
    Status (*release)(void* ptr) = nullptr;
    Status (*allocatePinned)(void** ptr, std::size_t bytes) = nullptr;
    Status (*releasePinned)(void* ptr) = nullptr;
    Status (*copy)(void* dst, const void* src, std::size_t bytes, Direction direction) = nullptr;
    Status (*fill)(void* ptr, int value, std::size_t bytes) = nullptr;
    Status (*synchronize)() = nullptr;
    // Error of the kernel launch just made (and clears it).
    Status (*launchStatus)() = nullptr;
    Status (*streamCreate)(void** handle) = noop::handle;
    Status (*streamDestroy)(void* handle) = noop::one;
    Status (*streamSynchronize)(void* handle) = noop::one;
    Status (*eventCreate)(void** handle) = noop::handle;
    Status (*eventDestroy)(void* handle) = noop::one;
    Status (*eventRecord)(void* event, void* stream) = noop::two;
    Status (*streamWaitEvent)(void* stream, void* event) = noop::two;
    // Profiler range around a launch.
    void (*rangePush)(const char* name) = noop::push;
    void (*rangePop)() = noop::pop;
};

const Operations& cpu();
#if defined(LVX_WITH_CUDA)
const Operations& cuda();
int cudaDeviceCount();            // 0 without a driver or a device
const char* cudaTakeLastError();  // text of the last error, cleared; "no error" when none
#endif

}  // namespace backends
}  // namespace dev
