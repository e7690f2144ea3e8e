#include "device/MemoryBudget.hpp"

#include "device/Device.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <unistd.h>

#if defined(LVX_WITH_CUDA)
#include <cuda_runtime_api.h>
#endif

namespace dev {
namespace {

constexpr std::size_t kOverflow = std::numeric_limits<std::size_t>::max();

std::size_t addSaturated(std::size_t a, std::size_t b) { return a > kOverflow - b ? kOverflow : a + b; }

[[noreturn]] void refuse(const std::string& what, std::size_t bytes, const char* kind, std::size_t limit) {
    throw std::runtime_error(what + " needs " + formatBytes(bytes) + " of " + kind + " memory, more than the " +
                             formatBytes(limit) + " available");
}

}  // namespace

std::size_t hostMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return kOverflow;  // unknown: do not refuse
    return bytesFor(static_cast<std::size_t>(pages), static_cast<std::size_t>(pageSize));
}

std::size_t deviceMemoryBytes() {
#if defined(LVX_WITH_CUDA)
    if (backend() == Backend::Cuda) {
        std::size_t freeBytes = 0, totalBytes = 0;
        if (cudaMemGetInfo(&freeBytes, &totalBytes) != cudaSuccess) {
            std::fprintf(stderr, "Cuda: %s (cudaMemGetInfo)\n", cudaGetErrorString(cudaGetLastError()));
            return kOverflow;  // let the allocation itself report the failure
        }
        return freeBytes;
    }
#endif
    return hostMemoryBytes();
}

void requireMemory(const std::string& what, std::size_t deviceBytes, std::size_t hostBytes) {
    const std::size_t host = hostMemoryBytes();
    if (backend() == Backend::Cpu) {
        const std::size_t total = addSaturated(deviceBytes, hostBytes);
        if (total > host) refuse(what, total, "host", host);
        return;
    }
    if (hostBytes > host) refuse(what, hostBytes, "host", host);
    const std::size_t device = deviceMemoryBytes();
    if (deviceBytes > device) refuse(what, deviceBytes, "device", device);
}

std::size_t bytesFor(std::size_t count, std::size_t each) {
    if (each != 0 && count > kOverflow / each) return kOverflow;
    return count * each;
}

std::string formatBytes(std::size_t bytes) {
    if (bytes == kOverflow) return "more than 16 EB";
    char text[64];
    const double b = static_cast<double>(bytes);
    if (b >= 1e9)
        std::snprintf(text, sizeof text, "%.1f GB", b / 1e9);
    else if (b >= 1e6)
        std::snprintf(text, sizeof text, "%.1f MB", b / 1e6);
    else
        std::snprintf(text, sizeof text, "%zu bytes", bytes);
    return text;
}

}  // namespace dev
