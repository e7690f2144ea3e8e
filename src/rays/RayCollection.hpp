// Host owner of one ray set on the device, and the .ry file reader.
#pragma once

#include "rays/RaysDataFlat.hpp"

#include <memory>

class RayCollection {
public:
    RaysDataFlat* d_rdata = nullptr;  // device copy of the record
    RaysDataFlat h_rdata;             // host copy; array fields are device addresses
    int nRays = 0;

    explicit RayCollection(int n);
    ~RayCollection();
    RayCollection(const RayCollection&) = delete;
    RayCollection& operator=(const RayCollection&) = delete;

    // New arrays for n rays (contents lost): face ids -1, seeds by index.
    void resize(int n);
    void synchronize();  // h_rdata -> d_rdata

    // Rotates positions and directions about an axis through the origin.
    void rotateRaysAroundAxis(Vec3 axis, float angle);

    // The surface trace moves every ray onto its entry face. These keep the
    // positions the rays were given (loaded or rotated) so that a later
    // surface trace, after the boundary conditions or the mesh changed,
    // starts from the same points instead of from the old entry faces.
    void saveStartPositions();
    void restoreStartPositions();

private:
    float* d_startPositions = nullptr;  // 3 * nRays, same layout as positions

    void allocate();
    void release();
};

// Reads a .ry file into a new collection. Throws std::runtime_error naming the
// file for an unopenable or truncated file or a count outside 0..INT_MAX, and
// std::invalid_argument / std::out_of_range ("stoull") for a bad count line.
std::unique_ptr<RayCollection> readRays(const char* path);

// A collection from row-major arrays: origins and directions (n x 3, the
// directions are normalised) and powers (n). Throws std::runtime_error for a
// non-finite value, naming the ray.
std::unique_ptr<RayCollection> raysFromArrays(const double* origins, const double* directions,
                                              const double* powers, int n);
