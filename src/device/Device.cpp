// Backend selection, and the checked dispatch of every device operation to
// the active backend's table (DeviceCpu.cpp, DeviceCuda.cpp).
#include "device/Device.hpp"

#include "device/Backends.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>


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

using backends::Direction;
using backends::Status;

const backends::Operations& ops() {
#if defined(LVX_WITH_CUDA)
    if (onCuda()) return backends::cuda();
#endif
    return backends::cpu();
}

// The failure armed by failNextOperation, taken by the next checked call.
bool g_failureArmed = false;
std::string g_failureText;

std::string describe(const char* operation, std::size_t bytes, Status status) {
    std::string message = std::string("Device error: ") + operation;
    if (bytes > 0) message += " of " + std::to_string(bytes) + " bytes";
    return message + " failed: " + status;
}

// The one place where a backend call's status becomes an exception. An armed
// failure stands in for the call, which then does not run (so that nothing
// is allocated that no one would free).
template <class Call>
void checked(const char* operation, std::size_t bytes, Call&& call) {
    Status status = nullptr;
    if (g_failureArmed) {
        g_failureArmed = false;
        status = g_failureText.c_str();
    } else {
        status = call();
    }
    if (status) throw std::runtime_error(describe(operation, bytes, status));
}

// Frees run in destructors, where an exception would end the process: a
// failure is reported on stderr. They always run, armed failure or not.
void checkedRelease(Status status, const char* operation) noexcept {
    if (!status) return;
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", describe(operation, 0, status).c_str());
}

bool readDebugSync() {
    const char* value = std::getenv("LUMIVEX_DEBUG_SYNC");
    return value && std::string(value) == "1";
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
    return backends::cudaDeviceCount();
#else
    return 0;
#endif
}

namespace {

void* checkedAllocate(Status (*allocate)(void**, std::size_t), std::size_t bytes, const char* operation) {
    if (bytes == 0) return nullptr;
    void* ptr = nullptr;
    checked(operation, bytes, [&] { return allocate(&ptr, bytes); });
    return ptr;
}

void checkedCopy(void* dst, const void* src, std::size_t bytes, Direction direction, const char* operation) {
    if (bytes > 0) checked(operation, bytes, [&] { return ops().copy(dst, src, bytes, direction); });
}

}  // namespace

void* malloc(std::size_t bytes) { return checkedAllocate(ops().allocate, bytes, "device allocation"); }

void free(void* ptr) {
    if (ptr) checkedRelease(ops().release(ptr), "device free");
}

void* hostAllocPinned(std::size_t bytes) {
    return checkedAllocate(ops().allocatePinned, bytes, "pinned host allocation");
}

void freeHost(void* ptr) {
    if (ptr) checkedRelease(ops().releasePinned(ptr), "pinned host free");
}

void copyToDevice(void* dst, const void* src, std::size_t bytes) {
    checkedCopy(dst, src, bytes, Direction::HostToDevice, "copy to device");
}

void copyToHost(void* dst, const void* src, std::size_t bytes) {
    checkedCopy(dst, src, bytes, Direction::DeviceToHost, "copy to host");
}

void copyOnDevice(void* dst, const void* src, std::size_t bytes) {
    checkedCopy(dst, src, bytes, Direction::DeviceToDevice, "copy on device");
}

void memset(void* ptr, int value, std::size_t bytes) {
    if (bytes > 0) checked("device memset", bytes, [&] { return ops().fill(ptr, value, bytes); });
}

void synchronize() {
    checked("device synchronize", 0, [] {
        const Status status = ops().synchronize();
        std::fflush(stdout);  // device-side printing has landed by now
        return status;
    });
}

const char* lastError() {
#if defined(LVX_WITH_CUDA)
    if (onCuda()) return backends::cudaTakeLastError();
#endif
    return "no error";
}

void failNextOperation(const std::string& errorText) {
    g_failureText = errorText;
    g_failureArmed = true;
}

bool debugSync() {
    static const bool enabled = readDebugSync();
    return enabled;
}

namespace detail {

void launchBegin(const char* name) { ops().rangePush(name); }

void launchEnd(const char* name) {
    ops().rangePop();
    const std::string kernel = std::string("kernel '") + name + "'";
    checked((kernel + " launch").c_str(), 0, [] { return ops().launchStatus(); });
    if (debugSync()) checked((kernel + " (LUMIVEX_DEBUG_SYNC)").c_str(), 0, [] { return ops().synchronize(); });
}

}  // namespace detail

Stream streamCreate() {
    Stream s;
    checked("stream creation", 0, [&] { return ops().streamCreate(&s.handle); });
    return s;
}

void streamDestroy(Stream s) {
    if (s.handle) checkedRelease(ops().streamDestroy(s.handle), "stream destruction");
}

void streamSynchronize(Stream s) {
    checked("stream synchronize", 0, [&] { return ops().streamSynchronize(s.handle); });
}

Event eventCreate() {
    Event e;
    checked("event creation", 0, [&] { return ops().eventCreate(&e.handle); });
    return e;
}

void eventDestroy(Event e) {
    if (e.handle) checkedRelease(ops().eventDestroy(e.handle), "event destruction");
}

void eventRecord(Event e, Stream s) {
    if (e.handle) checked("event record", 0, [&] { return ops().eventRecord(e.handle, s.handle); });
}

void streamWaitEvent(Stream s, Event e) {
    if (e.handle) checked("stream wait on event", 0, [&] { return ops().streamWaitEvent(s.handle, e.handle); });
}

}  // namespace dev
