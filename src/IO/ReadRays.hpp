// Sources of host ray data: the .ry ray file reader and row-major arrays.
// Neither touches the device; RayCollection loads what they return.
#pragma once

#include "rays/RayData.hpp"

// Reads a .ry file. Throws std::runtime_error ("Failed to open file" for a
// file that cannot be read; naming the file for a truncated file or a count
// outside 0..INT_MAX), and std::invalid_argument / std::out_of_range
// ("stoull") for a bad count line.
RayData readRayFile(const char* path);

// Rays from row-major arrays: origins and directions (n x 3; the directions
// are normalised) and powers (n). Throws std::runtime_error for a negative
// count or a non-finite value, naming the ray.
RayData rayDataFromArrays(const double* origins, const double* directions, const double* powers, int n);
