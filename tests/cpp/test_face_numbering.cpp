// Boundary-face ids against the container they are defined by: a
// std::unordered_map keyed by the sorted face nodes, reserved for 6E faces at
// load factor 1, filled in element/face order and walked in its own order.
#include "mesh_fixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>

namespace {

using Key = std::array<int, 4>;

struct KeyHash {
    std::size_t operator()(const Key& key) const noexcept {
        std::uint32_t h = 0;
        for (int k : key)
            h ^= static_cast<std::uint32_t>(k) + 0x9E3779B9u + (h << 6) +
                 static_cast<std::uint32_t>(static_cast<std::int32_t>(h) >> 2);
        return static_cast<std::size_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(h)));
    }
};

// (element, local face) of every boundary face, in id order.
std::vector<std::pair<int, int>> mapOrder(const std::vector<int>& cells) {
    const int nElements = static_cast<int>(cells.size() / 8);
    std::unordered_map<Key, std::vector<int>, KeyHash> faces;
    faces.max_load_factor(1.0f);
    faces.reserve(6 * static_cast<std::size_t>(nElements));
    for (int e = 0; e < nElements; ++e)
        for (int f = 0; f < 6; ++f) {
            Key key;
            for (int k = 0; k < 4; ++k) key[k] = cells[8 * e + kFaceNodeTable[f][k]];
            std::sort(key.begin(), key.end());
            faces[key].push_back(6 * e + f);
        }
    std::vector<std::pair<int, int>> order;
    for (const auto& [key, slots] : faces)
        if (slots.size() == 1) order.emplace_back(slots[0] / 6, slots[0] % 6);
    return order;
}

}  // namespace

TEST(FaceNumbering, MatchesTheHashMapOnAScrambledBox) {
    BoxGrid grid(12, 10, 9);  // 1080 elements: a bucket count from the large primes
    for (std::size_t i = 0; i < grid.ids.size(); ++i)
        grid.ids[i] = static_cast<int>((i * 7919 + 13) % grid.ids.size());
    const HexMeshData data = grid.data();
    auto mesh = loadedMesh(data);
    const MeshDataFlat& m = mesh->h_mdata_devlink;

    const auto expected = mapOrder(data.cells);
    ASSERT_EQ(m.nFaces, static_cast<int>(expected.size()));
    const std::vector<int> element = fetch(m.faceElement, m.nFaces), local = fetch(m.faceLocalFace, m.nFaces);
    const std::vector<int> neighbors = fetch(m.elementNeighbors, 6 * static_cast<std::size_t>(m.nElements));
    for (int b = 0; b < m.nFaces; ++b) {
        EXPECT_EQ(std::make_pair(element[b], local[b]), expected[b]) << "boundary face " << b;
        EXPECT_EQ(neighbors[6 * element[b] + local[b]], b);
    }
}
