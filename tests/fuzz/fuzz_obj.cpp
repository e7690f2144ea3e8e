// libFuzzer harness of the OBJ surface reader (CPU backend).
#include "IO/ReadMesh.hpp"
#include "input_file.hpp"

#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        readOBJ(writeFuzzInput(data, size));
    } catch (const std::exception&) {
    }
    return 0;
}
