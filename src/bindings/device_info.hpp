// Backend reporting shared by the three Python modules.
#pragma once

#include <pybind11/pybind11.h>

// Resolves the process-wide backend (raising ImportError-worthy RuntimeError
// when LUMIVEX_DEVICE asks for something impossible) and adds `device()` and
// `cuda_available()` to the module.
void addDeviceInfo(pybind11::module_& m);
