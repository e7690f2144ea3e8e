// libFuzzer harness of the .ry ray-file reader (CPU backend).
#include "input_file.hpp"
#include "rays/RayCollection.hpp"

#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        readRays(writeFuzzInput(data, size));
    } catch (const std::exception&) {
    }
    return 0;
}
