// Element neighbours, boundary faces and face orientations of a hexahedral mesh.
//
// Boundary-face ids are visible to users (scripts store them in boundary
// conditions), so their numbering is fixed: it is the iteration order of a
// libstdc++ std::unordered_map keyed by the sorted face nodes, with the hash
// below, reserved for all 6E element faces at load factor 1 and filled in
// element/face order. That container keeps one singly linked list in which
// the keys of a bucket sit together: a key into an empty bucket goes to the
// front of the list, any other key to the front of its bucket's run. The
// order is therefore: buckets by the time of their first key, latest first;
// within a bucket, keys by the time of their first use, latest first. The
// build reproduces that order without the map: the element faces are grouped
// by their smallest node, and only the boundary faces are sorted.
#include "mesh/MeshConnectivity.hpp"

#include "device/Device.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
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

// A mesh array as the host sees it while the tables are built: on the CPU
// backend the array itself (device memory is host memory there), so nothing
// is copied; on the GPU a host copy, read from the device if asked, that
// commit() uploads.
template <class T>
class HostSide {
public:
    HostSide(T* d_array, std::size_t count, bool read) : d_(d_array), count_(count) {
        if (dev::backend() == dev::Backend::Cpu) {
            p_ = d_array;
            return;
        }
        copy_.resize(count);
        if (read && count > 0) dev::download(copy_.data(), d_array, count);
        p_ = copy_.data();
    }
    T* get() { return p_; }
    T& operator[](std::size_t i) { return p_[i]; }
    void commit() {
        if (!copy_.empty()) dev::upload(d_, copy_.data(), count_);
    }

private:
    T* d_;
    std::size_t count_;
    std::vector<T> copy_;
    T* p_ = nullptr;
};

// Bucket count std::unordered_map chooses when reserving `count` entries at
// load factor 1 (its prime policy, without allocating the buckets).
std::size_t mapBucketCount(std::size_t count) {
#if defined(__GLIBCXX__)
    return std::__detail::_Prime_rehash_policy(1.0f)._M_next_bkt(std::max<std::size_t>(count, 1));
#else
    std::unordered_map<int, char> probe;
    probe.max_load_factor(1.0f);
    probe.reserve(count);
    return probe.bucket_count();
#endif
}

// Element faces (slots 6e + f) grouped by the smallest node of their key, in
// ascending slot order within each group: a counting sort.
struct SlotsByNode {
    std::vector<int> start;  // one more entry than groups
    std::vector<int> slots;
};

SlotsByNode slotsBySmallestNode(const int* elementNodes, int nElements, int nNodes) {
    const std::size_t groups = static_cast<std::size_t>(std::max(nNodes, 1));
    const auto groupOf = [&](int slot) {
        return static_cast<std::size_t>(static_cast<unsigned>(faceKey(elementNodes, slot / 6, slot % 6)[0])) % groups;
    };
    const int nSlots = 6 * nElements;
    SlotsByNode g;
    g.start.assign(groups + 1, 0);
    for (int s = 0; s < nSlots; ++s) ++g.start[groupOf(s) + 1];
    for (std::size_t k = 1; k <= groups; ++k) g.start[k] += g.start[k - 1];
    // Fill by advancing each group's start to its end, then shift back.
    g.slots.resize(static_cast<std::size_t>(nSlots));
    for (int s = 0; s < nSlots; ++s) g.slots[static_cast<std::size_t>(g.start[groupOf(s)]++)] = s;
    for (std::size_t k = groups; k > 0; --k) g.start[k] = g.start[k - 1];
    g.start[0] = 0;
    return g;
}

// Pairs the element faces that share a key: shared faces get their
// neighbours (kind 0), faces used three or more times stay unresolved (-1),
// single faces get kind 1 and are returned (their ids come later). Marks the
// first slot of every key.
std::vector<int> pairFaces(const int* elementNodes, int nElements, int nNodes, int* neighbor, int* kind,
                           std::vector<bool>& firstOfKey) {
    SlotsByNode byNode = slotsBySmallestNode(elementNodes, nElements, nNodes);
    std::vector<int> single;
    std::vector<FaceKey> keys;
    std::vector<int> members;
    for (std::size_t g = 0; g + 1 < byNode.start.size(); ++g) {
        const int* slots = byNode.slots.data() + byNode.start[g];
        const int count = byNode.start[g + 1] - byNode.start[g];
        keys.clear();
        for (int k = 0; k < count; ++k) keys.push_back(faceKey(elementNodes, slots[k] / 6, slots[k] % 6));
        for (int k = 0; k < count; ++k) {
            if (std::find(keys.begin(), keys.begin() + k, keys[k]) != keys.begin() + k) continue;  // seen
            members.assign(1, slots[k]);
            for (int q = k + 1; q < count; ++q)
                if (keys[q] == keys[k]) members.push_back(slots[q]);
            firstOfKey[static_cast<std::size_t>(slots[k])] = true;
            if (members.size() == 1) {
                kind[members[0]] = 1;
                single.push_back(members[0]);
            } else if (members.size() == 2) {
                neighbor[members[0]] = members[1] / 6;
                neighbor[members[1]] = members[0] / 6;
                kind[members[0]] = kind[members[1]] = 0;
            } else {
                for (int s : members) neighbor[s] = kind[s] = -1;
            }
        }
    }
    return single;
}

// The single faces in the face map's iteration order (see the top of this
// file): by the first slot of their bucket, then by their own first slot,
// both latest first.
void orderLikeTheFaceMap(const int* elementNodes, int nElements, const std::vector<bool>& firstOfKey,
                         std::vector<int>& single) {
    const std::size_t buckets = mapBucketCount(6 * static_cast<std::size_t>(nElements));
    const auto bucketOf = [&](int slot) { return FaceKeyHash{}(faceKey(elementNodes, slot / 6, slot % 6)) % buckets; };

    // Only the buckets holding a single face matter; the first slot of each
    // is the first key met in slot order.
    std::vector<std::size_t> wanted;
    wanted.reserve(single.size());
    for (int s : single) wanted.push_back(bucketOf(s));
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    std::vector<bool> isWanted(buckets, false);
    for (std::size_t b : wanted) isWanted[b] = true;
    std::vector<int> opened(wanted.size(), -1);
    const auto indexOf = [&](std::size_t b) {
        return static_cast<std::size_t>(std::lower_bound(wanted.begin(), wanted.end(), b) - wanted.begin());
    };
    for (int s = 0; s < 6 * nElements; ++s) {
        if (!firstOfKey[static_cast<std::size_t>(s)]) continue;
        const std::size_t b = bucketOf(s);
        if (!isWanted[b]) continue;
        int& first = opened[indexOf(b)];
        if (first < 0) first = s;
    }

    std::vector<std::pair<int, int>> order;  // (bucket's first slot, own slot)
    order.reserve(single.size());
    for (int s : single) order.emplace_back(opened[indexOf(bucketOf(s))], s);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a > b; });
    for (std::size_t k = 0; k < order.size(); ++k) single[k] = order[k].second;
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
    HostSide<int> elementNodes(m.elementNodes, 8 * static_cast<std::size_t>(nElements), true);
    HostSide<int> neighbor(m.elementNeighbors, slots, false), kind(m.elementNeighborTypes, slots, false);
    const int* nodes = elementNodes.get();

    // Neighbours and kinds are written once, straight into the mesh arrays.
    std::vector<bool> firstOfKey(slots, false);
    std::vector<int> boundary = pairFaces(nodes, nElements, m.nNodes, neighbor.get(), kind.get(), firstOfKey);
    orderLikeTheFaceMap(nodes, nElements, firstOfKey, boundary);
    firstOfKey = std::vector<bool>();

    const int nFaces = static_cast<int>(boundary.size());
    mesh.allocateFaces(nFaces);
    mesh.synchronize();
    HostSide<int> faceElement(m.faceElement, boundary.size(), false);
    HostSide<int> faceLocalFace(m.faceLocalFace, boundary.size(), false);
    HostSide<int> faceNodes(m.faceNodes, 4 * boundary.size(), false);
    for (int b = 0; b < nFaces; ++b) {
        const int slot = boundary[static_cast<std::size_t>(b)], e = slot / 6, f = slot % 6;
        neighbor[slot] = b;
        faceElement[b] = e;
        faceLocalFace[b] = f;
        // Faces on the negative planes are listed clockwise seen from
        // outside; reversing them makes every boundary face outward.
        const bool reverse = (f % 2) == 0;
        for (int k = 0; k < 4; ++k)
            faceNodes[4 * static_cast<std::size_t>(b) + k] =
                nodes[8 * static_cast<std::size_t>(e) + kFaceNodeTable[f][reverse ? 3 - k : k]];
    }

    // Matching faces and orientations; of several faces of B that name e as
    // neighbour, the last one wins.
    HostSide<int> neighborFaces(m.elementNeighborFaces, slots, false);
    HostSide<std::uint8_t> orientations(m.elementNeighborOrientations, slots, false);
    std::fill(neighborFaces.get(), neighborFaces.get() + slots, -1);
    std::fill(orientations.get(), orientations.get() + slots, std::uint8_t{255});
    for (int e = 0; e < nElements; ++e) {
        for (int f = 0; f < 6; ++f) {
            const int slot = 6 * e + f;
            if (kind[slot] != 0) continue;
            const int B = neighbor[slot];
            for (int g = 0; g < 6; ++g) {
                if (kind[6 * B + g] != 0 || neighbor[6 * B + g] != e) continue;
                neighborFaces[slot] = g;
                neighborFaces[6 * B + g] = f;
                const int there = faceOrientation(nodes, e, f, B, g);
                const int back = faceOrientation(nodes, B, g, e, f);
                orientations[slot] = static_cast<std::uint8_t>(there < 0 ? 255 : there);
                orientations[6 * B + g] = static_cast<std::uint8_t>(back < 0 ? 255 : back);
            }
        }
    }

    neighbor.commit();
    kind.commit();
    neighborFaces.commit();
    orientations.commit();
    faceElement.commit();
    faceNodes.commit();
    faceLocalFace.commit();
    dev::synchronize();
    std::printf("Mesh connectivity: %d boundary faces\n", nFaces);
    std::fflush(stdout);
    mesh.computeNormals();
}
