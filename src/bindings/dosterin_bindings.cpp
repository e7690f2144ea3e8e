#include "bindings/device_info.hpp"

#include <pybind11/pybind11.h>

PYBIND11_MODULE(dosterin, m) {
    addDeviceInfo(m);
}
