// Device layer: one source for CPU (OpenMP) and GPU (CUDA runtime).
//
// Kernels are written once as host-and-device functions and launched through
// `dev::forEach` (see Launch.hpp). Memory, copies, synchronisation, streams and
// events go through the functions declared here, which dispatch at run time to
// the backend chosen when the module is imported (DeviceCpu.cpp,
// DeviceCuda.cpp). On the CPU backend "device memory" is ordinary host memory,
// so device addresses stay plain integers that can be handed between modules
// in one process.
//
// Every backend call is checked: a failure throws std::runtime_error naming
// the operation and the backend's error text (Python sees RuntimeError). So is
// every launch; with LUMIVEX_DEBUG_SYNC=1 each launch is also followed by a
// synchronisation, so that a kernel fault is reported at the kernel that
// caused it rather than at a later call.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>

#if defined(__CUDACC__)
#define LVX_HD __host__ __device__
#define LVX_LAMBDA [=] __host__ __device__
#else
#define LVX_HD
#define LVX_LAMBDA [=]
#endif

// Formatted printing from kernels (device printf on the GPU, stdio on the CPU).
#define LVX_DEVICE_PRINTF(...) printf(__VA_ARGS__)

namespace dev {

enum class Backend { Cpu, Cuda };

// Backend of this process. Resolved on first use: LUMIVEX_DEVICE=cpu|cuda
// forces a choice; otherwise the GPU when the build has CUDA and a device is
// present, else the CPU. Throws std::runtime_error when a forced choice is
// impossible or the variable holds an unknown value.
Backend backend();
const char* backendName();   // "cpu" or "cuda"
// Takes over the backend another module of this process already chose
// ("cpu" or "cuda"); no effect once this module has resolved its own.
void adoptBackend(const std::string& name);
bool cudaCompiledIn();       // this build contains the CUDA backend
int cudaDeviceCount();       // 0 without a usable GPU (or without CUDA)

// Device memory. Failures throw std::runtime_error; a size of 0 gives a null
// pointer and copies or fills of 0 bytes do nothing; freeing null is harmless.
// The two frees are called from destructors, so they report a failure on
// stderr instead of throwing.
void* malloc(std::size_t bytes);
void free(void* ptr);
void copyToDevice(void* dst, const void* src, std::size_t bytes);
void copyToHost(void* dst, const void* src, std::size_t bytes);
void copyOnDevice(void* dst, const void* src, std::size_t bytes);
void memset(void* ptr, int value, std::size_t bytes);

// Page-locked host staging memory (plain host memory on the CPU backend).
void* hostAllocPinned(std::size_t bytes);
void freeHost(void* ptr);

// Waits for all outstanding device work and flushes device-side printing.
void synchronize();

// Text of the last device error (cleared by reading); "no error" when none.
// Checked calls throw instead, so this stays "no error" in normal use.
const char* lastError();

// Makes the next checked device operation (any but a free) fail with
// `errorText` instead of running, on either backend, through the same path as
// a real failure (for tests of the error reporting).
void failNextOperation(const std::string& errorText);

// True when LUMIVEX_DEBUG_SYNC=1: every launch waits for its kernel.
bool debugSync();

namespace detail {
// Around every launch (Launch.hpp): a profiler range named after the kernel;
// after it, the launch check and, with debugSync(), the kernel's completion.
void launchBegin(const char* name);
void launchEnd(const char* name);
}  // namespace detail

// Streams and events for overlapping independent kernels. On the CPU backend
// work runs in order at launch, so these are inert handles.
struct Stream { void* handle = nullptr; };
struct Event { void* handle = nullptr; };
Stream streamCreate();
void streamDestroy(Stream s);
void streamSynchronize(Stream s);
Event eventCreate();
void eventDestroy(Event e);
void eventRecord(Event e, Stream s);
void streamWaitEvent(Stream s, Event e);

// Typed helpers.
template <class T>
T* allocArray(std::size_t count) {
    return static_cast<T*>(dev::malloc(count * sizeof(T)));
}
template <class T>
void upload(T* d_dst, const T* h_src, std::size_t count) {
    copyToDevice(d_dst, h_src, count * sizeof(T));
}
template <class T>
void download(T* h_dst, const T* d_src, std::size_t count) {
    copyToHost(h_dst, d_src, count * sizeof(T));
}
template <class T>
void freeArray(T*& ptr) {
    dev::free(ptr);
    ptr = nullptr;
}

}  // namespace dev
