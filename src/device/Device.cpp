// Backend selection and the memory/stream half of the device layer.
#include "device/Device.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#if defined(LVX_WITH_CUDA)
#include <cuda_runtime_api.h>
#endif

namespace dev {
namespace {

constexpr const char* kChoiceVar = "LUMIVEX_DEVICE";

Backend parseChoice(const std::string& value, bool& isAuto) {
    isAuto = false;
    if (value == "cpu") return Backend::Cpu;
    if (value == "cuda" || value == "gpu") return Backend::Cuda;
    if (value.empty() || value == "auto") {
        isAuto = true;
        return Backend::Cpu;
    }
    throw std::runtime_error(std::string(kChoiceVar) + "='" + value +
                             "' is not a known device; use 'cpu', 'cuda' or 'auto'");
}

Backend resolveBackend() {
    const char* choice = std::getenv(kChoiceVar);
    bool isAuto = false;
    Backend wanted = parseChoice(choice ? choice : "", isAuto);
    if (isAuto) return cudaDeviceCount() > 0 ? Backend::Cuda : Backend::Cpu;
    if (wanted == Backend::Cuda) {
        if (!cudaCompiledIn())
            throw std::runtime_error(std::string(kChoiceVar) +
                                     "=cuda, but this build has no CUDA backend (nvcc was not found "
                                     "when it was compiled)");
        if (cudaDeviceCount() == 0)
            throw std::runtime_error(std::string(kChoiceVar) +
                                     "=cuda, but no CUDA device is available");
    }
    return wanted;
}

std::once_flag g_resolveOnce;
Backend g_backend = Backend::Cpu;
bool g_adopted = false;

[[maybe_unused]] bool onCuda() { return backend() == Backend::Cuda; }

[[noreturn]] void allocationFailed(const char* what, std::size_t bytes) {
    throw std::runtime_error(std::string(what) + " of " + std::to_string(bytes) +
                             " bytes failed: " + lastError());
}

}  // namespace

Backend backend() {
    std::call_once(g_resolveOnce, [] {
        if (!g_adopted) g_backend = resolveBackend();
    });
    return g_backend;
}

void adoptBackend(const std::string& name) {
    std::call_once(g_resolveOnce, [&] {
        g_backend = name == "cuda" && cudaDeviceCount() > 0 ? Backend::Cuda : Backend::Cpu;
        g_adopted = true;
    });
}

const char* backendName() { return backend() == Backend::Cuda ? "cuda" : "cpu"; }

bool cudaCompiledIn() {
#if defined(LVX_WITH_CUDA)
    return true;
#else
    return false;
#endif
}

int cudaDeviceCount() {
#if defined(LVX_WITH_CUDA)
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess) {
        cudaGetLastError();  // no driver or no device: not an error for us
        return 0;
    }
    return count;
#else
    return 0;
#endif
}

#if defined(LVX_WITH_CUDA)
#define LVX_ON_CUDA(cudaCall, cpuCall) \
    do {                               \
        if (onCuda()) {                \
            cudaCall;                  \
        } else {                       \
            cpuCall;                   \
        }                              \
    } while (0)
#else
#define LVX_ON_CUDA(cudaCall, cpuCall) \
    do {                               \
        cpuCall;                       \
    } while (0)
#endif

void* malloc(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    void* ptr = nullptr;
    LVX_ON_CUDA(if (cudaMalloc(&ptr, bytes) != cudaSuccess) ptr = nullptr,
                ptr = std::malloc(bytes));
    if (!ptr) allocationFailed("device allocation", bytes);
    return ptr;
}

void free(void* ptr) {
    if (!ptr) return;
    LVX_ON_CUDA(cudaFree(ptr), std::free(ptr));
}

void copyToDevice(void* dst, const void* src, std::size_t bytes) {
    if (bytes == 0) return;
    LVX_ON_CUDA(cudaMemcpy(dst, src, bytes, cudaMemcpyHostToDevice), std::memcpy(dst, src, bytes));
}

void copyToHost(void* dst, const void* src, std::size_t bytes) {
    if (bytes == 0) return;
    LVX_ON_CUDA(cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost), std::memcpy(dst, src, bytes));
}

void copyOnDevice(void* dst, const void* src, std::size_t bytes) {
    if (bytes == 0) return;
    LVX_ON_CUDA(cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToDevice),
                std::memmove(dst, src, bytes));
}

void memset(void* ptr, int value, std::size_t bytes) {
    if (bytes == 0) return;
    LVX_ON_CUDA(cudaMemset(ptr, value, bytes), std::memset(ptr, value, bytes));
}

void* hostAllocPinned(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    void* ptr = nullptr;
    LVX_ON_CUDA(if (cudaHostAlloc(&ptr, bytes, cudaHostAllocDefault) != cudaSuccess) ptr = nullptr,
                ptr = std::malloc(bytes));
    if (!ptr) allocationFailed("pinned host allocation", bytes);
    return ptr;
}

void freeHost(void* ptr) {
    if (!ptr) return;
    LVX_ON_CUDA(cudaFreeHost(ptr), std::free(ptr));
}

void synchronize() {
    LVX_ON_CUDA(cudaDeviceSynchronize(), (void)0);
    std::fflush(stdout);
}

const char* lastError() {
#if defined(LVX_WITH_CUDA)
    if (onCuda()) return cudaGetErrorString(cudaGetLastError());
#endif
    return "no error";
}

#if defined(LVX_WITH_CUDA)
void cudaLaunchFailed(const char* what) {
    cudaError_t err = cudaGetLastError();
    if (err != cudaSuccess) std::fprintf(stderr, "Cuda: %s (%s)\n", cudaGetErrorString(err), what);
}
#endif

Stream streamCreate() {
    Stream s;
#if defined(LVX_WITH_CUDA)
    if (onCuda()) {
        cudaStream_t handle = nullptr;
        cudaStreamCreate(&handle);
        s.handle = handle;
    }
#endif
    return s;
}

void streamDestroy(Stream s) {
#if defined(LVX_WITH_CUDA)
    if (onCuda() && s.handle) cudaStreamDestroy(static_cast<cudaStream_t>(s.handle));
#else
    (void)s;
#endif
}

void streamSynchronize(Stream s) {
#if defined(LVX_WITH_CUDA)
    if (onCuda()) cudaStreamSynchronize(static_cast<cudaStream_t>(s.handle));
#else
    (void)s;
#endif
}

Event eventCreate() {
    Event e;
#if defined(LVX_WITH_CUDA)
    if (onCuda()) {
        cudaEvent_t handle = nullptr;
        cudaEventCreate(&handle);
        e.handle = handle;
    }
#endif
    return e;
}

void eventDestroy(Event e) {
#if defined(LVX_WITH_CUDA)
    if (onCuda() && e.handle) cudaEventDestroy(static_cast<cudaEvent_t>(e.handle));
#else
    (void)e;
#endif
}

void eventRecord(Event e, Stream s) {
#if defined(LVX_WITH_CUDA)
    if (onCuda() && e.handle)
        cudaEventRecord(static_cast<cudaEvent_t>(e.handle), static_cast<cudaStream_t>(s.handle));
#else
    (void)e;
    (void)s;
#endif
}

void streamWaitEvent(Stream s, Event e) {
#if defined(LVX_WITH_CUDA)
    if (onCuda() && e.handle)
        cudaStreamWaitEvent(static_cast<cudaStream_t>(s.handle), static_cast<cudaEvent_t>(e.handle),
                            0);
#else
    (void)s;
    (void)e;
#endif
}

}  // namespace dev
