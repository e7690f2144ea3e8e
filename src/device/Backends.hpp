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

struct Operations {
    Status (*allocate)(void** ptr, std::size_t bytes);
    Status (*release)(void* ptr);
    Status (*allocatePinned)(void** ptr, std::size_t bytes);
    Status (*releasePinned)(void* ptr);
    Status (*copy)(void* dst, const void* src, std::size_t bytes, Direction direction);
    Status (*fill)(void* ptr, int value, std::size_t bytes);
    Status (*synchronize)();
    // Error of the kernel launch just made (and clears it).
    Status (*launchStatus)();
    Status (*streamCreate)(void** handle);
    Status (*streamDestroy)(void* handle);
    Status (*streamSynchronize)(void* handle);
    Status (*eventCreate)(void** handle);
    Status (*eventDestroy)(void* handle);
    Status (*eventRecord)(void* event, void* stream);
    Status (*streamWaitEvent)(void* stream, void* event);
    // Profiler range around a launch (may do nothing).
    void (*rangePush)(const char* name);
    void (*rangePop)();
};

const Operations& cpu();
#if defined(LVX_WITH_CUDA)
const Operations& cuda();
int cudaDeviceCount();            // 0 without a driver or a device
const char* cudaTakeLastError();  // text of the last error, cleared; "no error" when none
#endif

}  // namespace backends
}  // namespace dev
