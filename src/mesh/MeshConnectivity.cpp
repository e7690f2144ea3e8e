// Element neighbours, boundary faces and face orientations of a hexahedral mesh.
//
// Boundary-face ids are visible to users (scripts store them in boundary
// conditions), so their numbering is fixed: it is the iteration order of a
// libstdc++ std::unordered_map keyed by the sorted face nodes, with the hash
// below, reserved for all 6E element faces at load factor 1 and filled in
// element/face order. The build reproduces that order (referenceOrder) with
// flat arrays instead of the map itself, whose cache misses made it the
// slowest step of a load. Changing the hash or the bucket count renumbers every boundary face.
#include "mesh/MeshConnectivity.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <unordered_map>
#include <vector>

namespace {

using FaceKey = std::array<int, 4>;  // global node ids of a face, ascending

struct FaceKeyHash {
    std::size_t operator()(const FaceKey& key) const noexcept {
        // 32-bit wrap-around arithmetic with an arithmetic right shift; the
        // result is sign-extended to 64 bits.
        std::uint32_t h = 0;
        for (int k : key) {
            const std::uint32_t shifted = static_cast<std::uint32_t>(static_cast<std::int32_t>(h) >> 2);
            h ^= static_cast<std::uint32_t>(k) + 0x9E3779B9u + (h << 6) + shifted;
        }
        return static_cast<std::size_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(h)));
    }
};

// The element faces (slot 6e + f) that share one key. Only the first two
// matter: a face used by three or more elements is left unresolved.
struct FaceUses {
    int count = 0;
    int slot[2] = {-1, -1};
};

// Natural coordinate of local node `node` along axis 0 (xi), 1 (eta), 2 (zeta).
int nodeCoordinate(int node, int axis) {
    static constexpr int kCorner[8][3] = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},
                                          {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1}};
    return kCorner[node][axis];
}

// In-face axes (t1, t2) of each local face.
constexpr int kFaceAxes[6][2] = {{0, 1}, {0, 1}, {1, 2}, {1, 2}, {2, 0}, {2, 0}};

// (u, v) -> (u', v') for orientation code c.
void applyOrientation(int code, int u, int v, int& uOut, int& vOut) {
    switch (code) {
        case 0: uOut = u; vOut = v; break;
        case 1: uOut = u; vOut = -v; break;
        case 2: uOut = -u; vOut = v; break;
        case 3: uOut = -u; vOut = -v; break;
        case 4: uOut = v; vOut = u; break;
        case 5: uOut = v; vOut = -u; break;
        case 6: uOut = -v; vOut = u; break;
        default: uOut = -v; vOut = -u; break;
    }
}

void orderPair(int& a, int& b) {
    if (b < a) std::swap(a, b);
}

FaceKey faceKey(const int* elementNodes, int e, int f) {
    const int* nodes = elementNodes + 8 * static_cast<std::size_t>(e);
    int a = nodes[kFaceNodeTable[f][0]], b = nodes[kFaceNodeTable[f][1]];
    int c = nodes[kFaceNodeTable[f][2]], d = nodes[kFaceNodeTable[f][3]];
    // Sorting network for four values.
    orderPair(a, b);
    orderPair(c, d);
    orderPair(a, c);
    orderPair(b, d);
    orderPair(b, c);
    return FaceKey{a, b, c, d};
}

// Host tables built by the face-map walk.
struct Connectivity {
    std::vector<int> neighbor;  // 6E: neighbour element or boundary-face id
    std::vector<int> kind;      // 6E: 0 shared, 1 boundary, -1 unresolved
    std::vector<int> faceElement;
    std::vector<int> faceNodes;  // 4 per boundary face, outward order
};

// Bucket count of a libstdc++ unordered map reserved for `entries` at load
// factor 1: the prime the boundary numbering was defined with.
std::size_t referenceBucketCount(std::size_t entries) {
    std::unordered_map<FaceKey, int, FaceKeyHash> probe;
    probe.max_load_factor(1.0f);
    probe.reserve(entries);
    return probe.bucket_count();
}

// The distinct faces of a mesh in order of first appearance, with the
// element faces that use each.
struct UniqueFaces {
    std::vector<FaceUses> uses;
    std::vector<std::uint32_t> bucket;  // reference bucket of each face
};

// Finds the distinct faces by grouping the element faces by their smallest
// node (equal faces share it) and sorting each small group. In a mesh whose
// numbering has any locality this touches memory almost in order; a hash
// table over all faces missed the cache on nearly every element face.
UniqueFaces collectFaces(const std::vector<int>& elementNodes, int nElements, std::size_t nBuckets) {
    const std::size_t slots = 6 * static_cast<std::size_t>(nElements);
    const auto [lo, hi] = std::minmax_element(elementNodes.begin(), elementNodes.end());
    const int first = slots ? *lo : 0;
    const std::size_t nodes = slots ? static_cast<std::size_t>(static_cast<long long>(*hi) - first) + 1 : 0;
    auto key = [&](std::size_t slot) { return faceKey(elementNodes.data(), static_cast<int>(slot / 6), slot % 6); };

    // Counting sort of the slots by smallest node: group n is
    // grouped[start[n] .. start[n+1]), slots ascending.
    std::vector<int> smallest(slots), start(nodes + 2, 0), grouped(slots);
    for (std::size_t s = 0; s < slots; ++s) {
        smallest[s] = key(s)[0] - first;
        ++start[static_cast<std::size_t>(smallest[s]) + 2];
    }
    for (std::size_t n = 2; n < start.size(); ++n) start[n] += start[n - 1];
    for (std::size_t s = 0; s < slots; ++s) grouped[start[static_cast<std::size_t>(smallest[s]) + 1]++] = static_cast<int>(s);

    // The first slot of each slot's face (reusing `smallest`).
    std::vector<int>& firstUse = smallest;
    std::vector<std::pair<FaceKey, int>> group;
    for (std::size_t n = 0; n < nodes; ++n) {
        group.clear();
        for (int i = start[n]; i < start[n + 1]; ++i) group.emplace_back(key(grouped[i]), grouped[i]);
        std::sort(group.begin(), group.end());
        for (std::size_t k = 0; k < group.size(); ++k)
            firstUse[group[k].second] =
                k > 0 && group[k].first == group[k - 1].first ? firstUse[group[k - 1].second] : group[k].second;
    }

    // Face ids in order of first appearance (reusing `grouped` for the id of
    // each first slot).
    UniqueFaces u;
    std::vector<int>& faceId = grouped;
    for (std::size_t s = 0; s < slots; ++s) {
        if (firstUse[s] == static_cast<int>(s)) {
            faceId[s] = static_cast<int>(u.uses.size());
            u.uses.emplace_back();
            u.bucket.push_back(static_cast<std::uint32_t>(FaceKeyHash{}(key(s)) % nBuckets));
        }
        FaceUses& uses = u.uses[faceId[firstUse[s]]];
        if (uses.count < 2) uses.slot[uses.count] = static_cast<int>(s);
        ++uses.count;
    }
    return u;
}

// The faces used by one element face (boundary faces) in the iteration order
// of the reference map: a singly linked list in which a key joining a
// non-empty bucket goes before that bucket's first key and a key opening a
// bucket goes to the front. So buckets come in the reverse order of their
// opening, and the keys of one bucket newest first.
std::vector<int> boundaryInReferenceOrder(const UniqueFaces& u, std::size_t nBuckets) {
    const int n = static_cast<int>(u.uses.size());
    std::vector<int> opener(nBuckets, -1);
    for (int id = 0; id < n; ++id) {
        int& first = opener[u.bucket[id]];
        if (first < 0) first = id;
    }
    std::vector<std::pair<int, int>> boundary;  // (opener of its bucket, face id)
    for (int id = 0; id < n; ++id)
        if (u.uses[id].count == 1) boundary.emplace_back(opener[u.bucket[id]], id);
    std::sort(boundary.begin(), boundary.end(), std::greater<>());
    std::vector<int> order(boundary.size());
    for (std::size_t i = 0; i < boundary.size(); ++i) order[i] = boundary[i].second;
    return order;
}

Connectivity walkFaces(const std::vector<int>& elementNodes, int nElements) {
    const std::size_t nBuckets = referenceBucketCount(6 * static_cast<std::size_t>(nElements));
    const UniqueFaces unique = collectFaces(elementNodes, nElements, nBuckets);

    Connectivity c;
    c.neighbor.assign(6 * static_cast<std::size_t>(nElements), -1);
    c.kind.assign(6 * static_cast<std::size_t>(nElements), -1);
    // Shared faces do not depend on the order; boundary faces are numbered in it.
    for (const FaceUses& uses : unique.uses) {
        if (uses.count != 2) continue;  // three or more: left unresolved
        const int s1 = uses.slot[0], s2 = uses.slot[1];
        c.neighbor[s1] = s2 / 6;
        c.neighbor[s2] = s1 / 6;
        c.kind[s1] = 0;
        c.kind[s2] = 0;
    }
    for (int id : boundaryInReferenceOrder(unique, nBuckets)) {
        const int e = unique.uses[id].slot[0] / 6, f = unique.uses[id].slot[0] % 6;
        const int b = static_cast<int>(c.faceElement.size());
        c.faceElement.push_back(e);
        c.neighbor[6 * e + f] = b;
        c.kind[6 * e + f] = 1;
        // Faces on the negative planes are listed clockwise seen from
        // outside; reversing them makes every boundary face outward.
        const bool reverse = (f % 2) == 0;
        for (int k = 0; k < 4; ++k) {
            const int local = kFaceNodeTable[f][reverse ? 3 - k : k];
            c.faceNodes.push_back(elementNodes[8 * static_cast<std::size_t>(e) + local]);
        }
    }
    return c;
}

}  // namespace

int faceOrientation(const int* elementNodes, int A, int f, int B, int g) {
    int u[4], v[4], uB[4], vB[4];
    for (int k = 0; k < 4; ++k) {
        const int a = kFaceNodeTable[f][k];
        const int node = elementNodes[8 * static_cast<std::size_t>(A) + a];
        int m = 0;
        while (m < 8 && elementNodes[8 * static_cast<std::size_t>(B) + m] != node) ++m;
        if (m == 8) return -1;
        u[k] = nodeCoordinate(a, kFaceAxes[f][0]);
        v[k] = nodeCoordinate(a, kFaceAxes[f][1]);
        uB[k] = nodeCoordinate(m, kFaceAxes[g][0]);
        vB[k] = nodeCoordinate(m, kFaceAxes[g][1]);
    }
    for (int code = 0; code < 8; ++code) {
        bool fits = true;
        for (int k = 0; k < 4 && fits; ++k) {
            int uMapped, vMapped;
            applyOrientation(code, u[k], v[k], uMapped, vMapped);
            fits = uMapped == uB[k] && vMapped == vB[k];
        }
        if (fits) return code;
    }
    return -1;
}

void buildConnectivity(Mesh& mesh) {
    MeshDataFlat& m = mesh.h_mdata_devlink;
    const int nElements = m.nElements;
    const std::size_t slots = 6 * static_cast<std::size_t>(nElements);
    std::vector<int> elementNodes(8 * static_cast<std::size_t>(nElements));
    dev::download(elementNodes.data(), m.elementNodes, elementNodes.size());

    Connectivity c = walkFaces(elementNodes, nElements);
    const int nFaces = static_cast<int>(c.faceElement.size());
    mesh.allocateFaces(nFaces);
    mesh.synchronize();

    std::vector<int> neighborFaces(slots, -1);
    std::vector<std::uint8_t> orientations(slots, 255);
    std::vector<int> faceLocalFace(static_cast<std::size_t>(nFaces), -1);
    for (int e = 0; e < nElements; ++e) {
        for (int f = 0; f < 6; ++f) {
            const int slot = 6 * e + f;
            if (c.kind[slot] == 1) faceLocalFace[c.neighbor[slot]] = f;
            if (c.kind[slot] != 0) continue;
            const int B = c.neighbor[slot];
            for (int g = 0; g < 6; ++g) {
                if (c.kind[6 * B + g] != 0 || c.neighbor[6 * B + g] != e) continue;
                neighborFaces[slot] = g;
                neighborFaces[6 * B + g] = f;
                const int there = faceOrientation(elementNodes.data(), e, f, B, g);
                const int back = faceOrientation(elementNodes.data(), B, g, e, f);
                orientations[slot] = static_cast<std::uint8_t>(there < 0 ? 255 : there);
                orientations[6 * B + g] = static_cast<std::uint8_t>(back < 0 ? 255 : back);
            }
        }
    }

    dev::upload(m.elementNeighbors, c.neighbor.data(), slots);
    dev::upload(m.elementNeighborTypes, c.kind.data(), slots);
    dev::upload(m.elementNeighborFaces, neighborFaces.data(), slots);
    dev::upload(m.elementNeighborOrientations, orientations.data(), slots);
    if (nFaces > 0) {
        dev::upload(m.faceElement, c.faceElement.data(), c.faceElement.size());
        dev::upload(m.faceNodes, c.faceNodes.data(), c.faceNodes.size());
        dev::upload(m.faceLocalFace, faceLocalFace.data(), faceLocalFace.size());
    }
    dev::synchronize();
    std::printf("Mesh connectivity: %d boundary faces\n", nFaces);
    std::fflush(stdout);
    mesh.computeNormals();
}
