// Upper bounds for allocations whose size comes from a file, a setting or an
// argument: such a size is checked against what the machine has before any
// buffer is allocated, so that a huge request fails with a clear message
// instead of std::bad_alloc, an out-of-memory kill or a long hang while
// overcommitted pages are touched.
#pragma once

#include <cstddef>
#include <string>

namespace dev {

// Physical memory of the host (sysconf), in bytes.
std::size_t hostMemoryBytes();
// Memory the backend can allocate as device memory: free GPU memory on the
// CUDA backend, host memory on the CPU backend.
std::size_t deviceMemoryBytes();

// Throws std::runtime_error naming `what`, the sizes and the limit when
// `deviceBytes` of device memory plus `hostBytes` of (pinned) host memory do
// not fit. On the CPU backend both come out of host memory. A size whose
// computation overflowed is passed as SIZE_MAX and always refused.
void requireMemory(const std::string& what, std::size_t deviceBytes, std::size_t hostBytes = 0);

// count * each, or SIZE_MAX when the product overflows.
std::size_t bytesFor(std::size_t count, std::size_t each);

// "9.6 GB" style text for messages.
std::string formatBytes(std::size_t bytes);

}  // namespace dev
