// libFuzzer harness of the legacy VTK parser: any input either parses or
// throws a std::exception; sanitizers catch everything else.
#include "IO/ReadMesh.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        parseVTKText("fuzz.vtk", std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
    }
    return 0;
}
