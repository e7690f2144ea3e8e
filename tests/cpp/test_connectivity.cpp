#include "mesh_fixtures.hpp"
#include "mesh/MeshChecks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <list>
#include <set>
#include <unordered_map>

namespace {

// (u, v) -> (u', v') for an orientation code.
std::pair<int, int> mapped(int code, int u, int v) {
    switch (code) {
        case 0: return {u, v};
        case 1: return {u, -v};
        case 2: return {-u, v};
        case 3: return {-u, -v};
        case 4: return {v, u};
        case 5: return {v, -u};
        case 6: return {-v, u};
        default: return {-v, -u};
    }
}

struct Tables {
    std::vector<int> neighbors, types, neighborFaces, faceElement, faceLocalFace, faceNodes;
    std::vector<std::uint8_t> orientations;
    std::vector<float> normals;
    int nFaces;

    explicit Tables(const Mesh& mesh) {
        const MeshDataFlat& m = mesh.h_mdata_devlink;
        const std::size_t slots = 6 * static_cast<std::size_t>(m.nElements);
        nFaces = m.nFaces;
        neighbors = fetch(m.elementNeighbors, slots);
        types = fetch(m.elementNeighborTypes, slots);
        neighborFaces = fetch(m.elementNeighborFaces, slots);
        orientations = fetch(m.elementNeighborOrientations, slots);
        faceElement = fetch(m.faceElement, nFaces);
        faceLocalFace = fetch(m.faceLocalFace, nFaces);
        faceNodes = fetch(m.faceNodes, 4 * static_cast<std::size_t>(nFaces));
        normals = fetch(m.faceNormals, 3 * static_cast<std::size_t>(nFaces));
    }
};

TEST(Connectivity, SingleHexahedronHasSixOutwardBoundaryFaces) {
    auto mesh = loadedMesh(BoxGrid(1, 1, 1).data());
    Tables t(*mesh);
    ASSERT_EQ(t.nFaces, 6);
    std::set<int> localFaces(t.faceLocalFace.begin(), t.faceLocalFace.end());
    EXPECT_EQ(localFaces, (std::set<int>{0, 1, 2, 3, 4, 5}));
    for (int f = 0; f < 6; ++f) {
        EXPECT_EQ(t.types[f], 1);
        const int b = t.neighbors[f];
        EXPECT_EQ(t.faceLocalFace[b], f);
        EXPECT_EQ(t.faceElement[b], 0);
    }
    // Each normal points from the cube centre towards its face's centre.
    const std::vector<float> coords = fetch(mesh->h_mdata_devlink.nodeCoords, 24);
    for (int b = 0; b < 6; ++b) {
        double outward = 0.0;
        for (int c = 0; c < 3; ++c) {
            double centre = 0.0;
            for (int k = 0; k < 4; ++k) centre += coords[c * 8 + t.faceNodes[4 * b + k]] / 4.0;
            outward += (centre - 0.5) * t.normals[c * 6 + b];
        }
        EXPECT_NEAR(outward, 0.5, 1e-6) << "face " << b;
    }
}

TEST(Connectivity, TwoAlignedHexahedraShareOneFaceWithIdentityOrientation) {
    auto mesh = loadedMesh(BoxGrid(2, 1, 1).data());
    Tables t(*mesh);
    EXPECT_EQ(t.nFaces, 10);
    EXPECT_EQ(t.types[6 * 0 + 3], 0);
    EXPECT_EQ(t.types[6 * 1 + 2], 0);
    EXPECT_EQ(t.neighbors[3], 1);
    EXPECT_EQ(t.neighbors[6 + 2], 0);
    EXPECT_EQ(t.neighborFaces[3], 2);
    EXPECT_EQ(t.neighborFaces[6 + 2], 3);
    EXPECT_EQ(t.orientations[3], 0);
    EXPECT_EQ(t.orientations[6 + 2], 0);
    // Faces that are not shared keep the "no neighbour" markers.
    EXPECT_EQ(t.neighborFaces[0], -1);
    EXPECT_EQ(t.orientations[0], 255);
}

TEST(Connectivity, QuarterTurnNeighbourGetsMutuallyInverseCodes) {
    // Element B sits at x in [1, 2] with its eta axis along +z and its zeta
    // axis along -y: a quarter turn about the shared face's normal.
    BoxGrid grid(2, 1, 1);
    HexMeshData data = grid.data();
    static const int corner[8][3] = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},
                                     {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1}};
    for (int k = 0; k < 8; ++k) {
        const int x = corner[k][0] > 0 ? 2 : 1;
        const int y = corner[k][2] > 0 ? 0 : 1;
        const int z = corner[k][1] > 0 ? 1 : 0;
        data.cells[8 + k] = grid.node(x, y, z);
    }
    auto mesh = loadedMesh(data);
    Tables t(*mesh);
    ASSERT_EQ(t.nFaces, 10);
    ASSERT_EQ(t.types[3], 0);
    const int g = t.neighborFaces[3];
    ASSERT_EQ(g, 2);
    const int there = t.orientations[3], back = t.orientations[6 + g];
    EXPECT_NE(there, 0);
    for (int u : {-1, 1})
        for (int v : {-1, 1}) {
            auto [u1, v1] = mapped(there, u, v);
            auto [u2, v2] = mapped(back, u1, v1);
            EXPECT_EQ(u2, u);
            EXPECT_EQ(v2, v);
        }
    EXPECT_EQ(std::set<int>({there, back}), std::set<int>({5, 6}));
}

// A mesh of `data`'s elements with its connectivity built directly, without
// the load checks that would refuse it.
std::unique_ptr<Mesh> connectedPastChecks(const HexMeshData& data) {
    auto mesh = std::make_unique<Mesh>();
    mesh->allocateNodes(data.nPoints());
    mesh->allocateElements(data.nCells());
    dev::upload(mesh->h_mdata_devlink.elementNodes, data.cells.data(), data.cells.size());
    mesh->synchronize();
    buildConnectivity(*mesh);
    return mesh;
}

TEST(Connectivity, FaceSharedByThreeElementsIsLeftUnresolved) {
    HexMeshData data = BoxGrid(1, 1, 1).data();
    data.cells.insert(data.cells.end(), data.cells.begin(), data.cells.begin() + 8);
    data.cells.insert(data.cells.end(), data.cells.begin(), data.cells.begin() + 8);
    // Loading refuses such a mesh; the connectivity build on its own leaves the faces unresolved.
    Mesh refused;
    EXPECT_THROW(loadMesh(data, refused), InvalidMeshError);
    auto mesh = connectedPastChecks(data);
    Tables t(*mesh);
    EXPECT_EQ(t.nFaces, 0);
    for (int slot = 0; slot < 18; ++slot) {
        EXPECT_EQ(t.types[slot], -1);
        EXPECT_EQ(t.neighbors[slot], -1);
    }
}

// Elements that share several faces with one neighbour (a folded mesh, built
// here past the load checks) pair their faces by scanning the neighbour's
// faces, the last match winning; other face pairs are unaffected.
TEST(Connectivity, RepeatedNeighboursPairFacesByScan) {
    HexMeshData data = BoxGrid(3, 1, 1).data();
    std::vector<int> turned(data.cells.begin(), data.cells.begin() + 8);  // element 0, a quarter turn on
    std::rotate(turned.begin(), turned.begin() + 1, turned.begin() + 4);
    std::rotate(turned.begin() + 4, turned.begin() + 5, turned.end());
    data.cells.insert(data.cells.end(), turned.begin(), turned.end());
    auto mesh = connectedPastChecks(data);
    Tables t(*mesh);

    std::vector<int> faces(t.types.size(), -1);
    std::vector<std::uint8_t> codes(t.types.size(), 255);
    for (int slot = 0; slot < static_cast<int>(t.types.size()); ++slot) {
        const int e = slot / 6, f = slot % 6, B = t.neighbors[slot];
        for (int g = 0; g < 6 && t.types[slot] == 0; ++g) {
            if (t.types[6 * B + g] != 0 || t.neighbors[6 * B + g] != e) continue;
            faces[slot] = g;
            faces[6 * B + g] = f;
            const int there = faceOrientation(data.cells.data(), e, f, B, g);
            const int back = faceOrientation(data.cells.data(), B, g, e, f);
            codes[slot] = static_cast<std::uint8_t>(there < 0 ? 255 : there);
            codes[6 * B + g] = static_cast<std::uint8_t>(back < 0 ? 255 : back);
        }
    }
    EXPECT_EQ(t.types[0 * 6 + 3], -1);  // face of elements 0, 1 and 3
    EXPECT_EQ(t.neighbors[1 * 6 + 3], 2);
    EXPECT_EQ(t.neighbors[0 * 6 + 0], 3);
    EXPECT_EQ(t.neighborFaces, faces);
    EXPECT_EQ(t.orientations, codes);
}

TEST(Connectivity, EmptyMeshHasNoFaces) {
    HexMeshData data;
    data.points = {0, 0, 0};
    auto mesh = loadedMesh(data);
    EXPECT_EQ(mesh->faceCount(), 0);
}

// Boundary-face ids follow the iteration order of a singly linked list of
// face keys: a key whose bucket already holds entries goes before the first
// of them, a key into an empty bucket goes to the front of the list.
std::vector<std::array<int, 4>> expectedBoundaryOrder(const std::vector<int>& cells) {
    const std::size_t nElements = cells.size() / 8;
    std::unordered_map<int, int> probe;
    probe.max_load_factor(1.0f);
    probe.reserve(6 * nElements);
    const std::uint64_t buckets = probe.bucket_count();

    auto bucketOf = [&](const std::array<int, 4>& key) {
        std::int32_t h = 0;
        for (int k : key) {
            const std::int64_t sum = static_cast<std::int64_t>(k) + 0x9E3779B9LL +
                                     static_cast<std::int64_t>(static_cast<std::uint32_t>(h) << 6) +
                                     (h >> 2);
            h = static_cast<std::int32_t>(static_cast<std::uint32_t>(h) ^ static_cast<std::uint32_t>(sum));
        }
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(h)) % buckets;
    };

    std::list<std::array<int, 4>> order;
    std::map<std::array<int, 4>, int> uses;
    for (std::size_t e = 0; e < nElements; ++e)
        for (int f = 0; f < 6; ++f) {
            std::array<int, 4> key;
            for (int k = 0; k < 4; ++k) key[k] = cells[8 * e + kFaceNodeTable[f][k]];
            std::sort(key.begin(), key.end());
            if (uses[key]++ > 0) continue;
            auto firstInBucket = std::find_if(order.begin(), order.end(),
                                              [&](const auto& other) { return bucketOf(other) == bucketOf(key); });
            order.insert(firstInBucket == order.end() ? order.begin() : firstInBucket, key);
        }
    std::vector<std::array<int, 4>> boundary;
    for (const auto& key : order)
        if (uses[key] == 1) boundary.push_back(key);
    return boundary;
}

class BoundaryOrder : public ::testing::TestWithParam<std::array<int, 5>> {};

TEST_P(BoundaryOrder, BoundaryFaceIdsFollowTheFaceMapOrder) {
    const auto [nx, ny, nz, stride, shift] = GetParam();
    BoxGrid grid(nx, ny, nz);
    // Scramble the node ids so that hashing, not file order, decides.
    for (std::size_t i = 0; i < grid.ids.size(); ++i)
        grid.ids[i] = static_cast<int>((i * stride + shift) % grid.ids.size());
    const HexMeshData data = grid.data();
    auto mesh = loadedMesh(data);
    Tables t(*mesh);

    const auto expected = expectedBoundaryOrder(data.cells);
    ASSERT_EQ(static_cast<std::size_t>(t.nFaces), expected.size());
    for (int b = 0; b < t.nFaces; ++b) {
        std::array<int, 4> key;
        std::copy(t.faceNodes.begin() + 4 * b, t.faceNodes.begin() + 4 * b + 4, key.begin());
        std::sort(key.begin(), key.end());
        EXPECT_EQ(key, expected[b]) << "boundary face " << b;
    }

    // Loading the same mesh again gives the same numbering.
    auto again = loadedMesh(data);
    EXPECT_EQ(Tables(*again).faceNodes, t.faceNodes);
}

// A small mesh (few buckets, long bucket runs) and a larger one.
INSTANTIATE_TEST_SUITE_P(Connectivity, BoundaryOrder,
                         ::testing::Values(std::array<int, 5>{3, 2, 2, 17, 5}, std::array<int, 5>{7, 5, 4, 31, 3}));

TEST(FaceOrientation, ReportsFacesThatDoNotMatch) {
    const HexMeshData data = BoxGrid(2, 1, 1).data();
    EXPECT_EQ(faceOrientation(data.cells.data(), 0, 3, 1, 2), 0);
    EXPECT_EQ(faceOrientation(data.cells.data(), 0, 0, 1, 0), -1);  // no shared nodes
}

}  // namespace
