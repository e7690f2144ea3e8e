// CUDA backend: the runtime calls behind the device layer. Every call's
// return code becomes a status that Device.cpp checks; a failed call also
// clears the runtime's last-error slot, so that the next launch check does not
// report an error that belongs to an earlier call.
#include "device/Backends.hpp"

#include <cuda_runtime_api.h>

#if __has_include(<nvtx3/nvToolsExt.h>)
#include <nvtx3/nvToolsExt.h>
#define LVX_HAVE_NVTX 1
#endif

namespace dev {
namespace backends {
namespace {

Status status(cudaError_t code) {
    if (code == cudaSuccess) return nullptr;
    (void)cudaGetLastError();
    return cudaGetErrorString(code);
}

cudaStream_t asStream(void* handle) { return static_cast<cudaStream_t>(handle); }
cudaEvent_t asEvent(void* handle) { return static_cast<cudaEvent_t>(handle); }

cudaMemcpyKind kindOf(Direction direction) {
    switch (direction) {
        case Direction::HostToDevice: return cudaMemcpyHostToDevice;
        case Direction::DeviceToHost: return cudaMemcpyDeviceToHost;
        default: return cudaMemcpyDeviceToDevice;
    }
}

Status allocate(void** ptr, std::size_t bytes) { return status(cudaMalloc(ptr, bytes)); }
Status release(void* ptr) { return status(cudaFree(ptr)); }
Status allocatePinned(void** ptr, std::size_t bytes) {
    return status(cudaHostAlloc(ptr, bytes, cudaHostAllocDefault));
}
Status releasePinned(void* ptr) { return status(cudaFreeHost(ptr)); }
Status copy(void* dst, const void* src, std::size_t bytes, Direction direction) {
    return status(cudaMemcpy(dst, src, bytes, kindOf(direction)));
}
Status fill(void* ptr, int value, std::size_t bytes) { return status(cudaMemset(ptr, value, bytes)); }
Status synchronize() { return status(cudaDeviceSynchronize()); }
Status launchStatus() { return status(cudaGetLastError()); }

Status streamCreate(void** handle) {
    cudaStream_t stream = nullptr;
    const Status result = status(cudaStreamCreate(&stream));
    *handle = stream;
    return result;
}
Status streamDestroy(void* handle) { return status(cudaStreamDestroy(asStream(handle))); }
Status streamSynchronize(void* handle) { return status(cudaStreamSynchronize(asStream(handle))); }
Status eventCreate(void** handle) {
    cudaEvent_t event = nullptr;
    const Status result = status(cudaEventCreate(&event));
    *handle = event;
    return result;
}
Status eventDestroy(void* handle) { return status(cudaEventDestroy(asEvent(handle))); }
Status eventRecord(void* event, void* stream) {
    return status(cudaEventRecord(asEvent(event), asStream(stream)));
}
Status streamWaitEvent(void* stream, void* event) {
    return status(cudaStreamWaitEvent(asStream(stream), asEvent(event), 0));
}

// Named ranges show each launch by name in Nsight Systems.
void rangePush(const char* name) {
#if defined(LVX_HAVE_NVTX)
    nvtxRangePushA(name);
#else
    (void)name;
#endif
}
void rangePop() {
#if defined(LVX_HAVE_NVTX)
    nvtxRangePop();
#endif
}

}  // namespace

const Operations& cuda() {
    static const Operations ops{allocate,        release,      allocatePinned, releasePinned, copy,
                                fill,            synchronize,  launchStatus,   streamCreate,  streamDestroy,
                                streamSynchronize, eventCreate, eventDestroy,  eventRecord,   streamWaitEvent,
                                rangePush,       rangePop};
    return ops;
}

int cudaDeviceCount() {
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess) {
        (void)cudaGetLastError();  // no driver or no device: the CPU backend serves
        return 0;
    }
    return count;
}

const char* cudaTakeLastError() { return cudaGetErrorString(cudaGetLastError()); }

}  // namespace backends
}  // namespace dev
