// A ray set on the host, as readers return it: plain arrays, no device
// memory. RayCollection loads it onto the device.
#pragma once

#include <cstddef>
#include <vector>

struct RayData {
    std::vector<float> positions;   // 3n, all x then all y then all z
    std::vector<float> directions;  // 3n, unit vectors (a zero direction stays zero), same layout
    std::vector<float> payloads;    // n, ray power

    // Storage for n rays, every value 0.
    explicit RayData(std::size_t n = 0) : positions(3 * n), directions(3 * n), payloads(n) {}
    int count() const { return static_cast<int>(payloads.size()); }
};
