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

// (u, v) -> (u', v') = (a u + b v, c u + d v) for orientation codes 0..7:
// codes 0-3 keep the axes (flipping u, v or both), codes 4-7 swap them.
constexpr int kOrientationMatrix[8][4] = {{1, 0, 0, 1},  {1, 0, 0, -1},  {-1, 0, 0, 1},  {-1, 0, 0, -1},
                                          {0, 1, 1, 0},  {0, 1, -1, 0},  {0, -1, 1, 0},  {0, -1, -1, 0}};

FaceKey faceKey(const int* elementNodes, int e, int f) {
    return ::faceKey(elementNodes + 8 * static_cast<std::size_t>(e), f);
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

// Neighbours and kinds from the matched faces: shared faces get their
// neighbours (kind 0), faces of three or more elements stay unresolved (-1),
// single faces get kind 1 and are returned (their ids come later).
std::vector<int> pairFaces(const FaceMatches& faces, int* neighbor, int* kind) {
    std::vector<int> single;
    for (std::size_t s = 0; s < faces.partner.size(); ++s) {
        const int p = faces.partner[s];
        if (p >= 0) {
            neighbor[s] = p / 6;
            kind[s] = 0;
        } else if (p == FaceMatches::kSingle) {
            kind[s] = 1;
            single.push_back(static_cast<int>(s));
        } else {
            neighbor[s] = kind[s] = -1;
        }
    }
    return single;
}

// The single faces in the face map's iteration order (see the top of this
// file): by the first slot of their bucket, then by their own first slot,
// both latest first.
void orderLikeTheFaceMap(const int* elementNodes, int nElements, const FaceMatches& faces,
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
        if (!faces.firstOfFace(static_cast<std::size_t>(s))) continue;
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
    const int* nodesA = elementNodes + 8 * static_cast<std::size_t>(A);
    const int* nodesB = elementNodes + 8 * static_cast<std::size_t>(B);
    int u[4], v[4], uB[4], vB[4];
    for (int k = 0; k < 4; ++k) {
        const int a = kFaceNodeTable[f][k];
        const int node = nodesA[a];
        int m = 8;  // the first local node of B that is `node`; searched without branches
        for (int j = 7; j >= 0; --j) m = nodesB[j] == node ? j : m;
        if (m == 8) return -1;
        u[k] = nodeCoordinate(a, kFaceAxes[f][0]);
        v[k] = nodeCoordinate(a, kFaceAxes[f][1]);
        uB[k] = nodeCoordinate(m, kFaceAxes[g][0]);
        vB[k] = nodeCoordinate(m, kFaceAxes[g][1]);
    }
    for (int code = 0; code < 8; ++code) {
        const int* t = kOrientationMatrix[code];
        bool fits = true;
        for (int k = 0; k < 4; ++k)
            fits &= t[0] * u[k] + t[1] * v[k] == uB[k] && t[2] * u[k] + t[3] * v[k] == vB[k];
        if (fits) return code;
    }
    return -1;
}

namespace {

// Whether two shared faces of element e name the same neighbour (a folded
// mesh, or an element that touches itself).
bool repeatsANeighbour(const int* neighbor, const int* kind, int e) {
    const int* own = neighbor + 6 * static_cast<std::size_t>(e);
    const int* ownKind = kind + 6 * static_cast<std::size_t>(e);
    for (int f = 1; f < 6; ++f)
        for (int h = 0; h < f; ++h)
            if (ownKind[f] == 0 && ownKind[h] == 0 && own[f] == own[h]) return true;
    return false;
}

// Matching faces and orientation codes of the shared faces. Of several faces
// of B that name e as neighbour, the last one wins; that happens only where e
// repeats a neighbour, so every other face pair is set once from its matched
// faces, and the same values result.
void orientSharedFaces(const int* nodes, int nElements, const FaceMatches& faces, const int* neighbor,
                       const int* kind, int* neighborFaces, std::uint8_t* orientations) {
    const std::size_t slots = 6 * static_cast<std::size_t>(nElements);
    std::fill(neighborFaces, neighborFaces + slots, -1);
    std::fill(orientations, orientations + slots, std::uint8_t{255});
    const auto setPair = [&](int e, int f, int B, int g) {
        const int slot = 6 * e + f;
        neighborFaces[slot] = g;
        neighborFaces[6 * B + g] = f;
        const int there = faceOrientation(nodes, e, f, B, g);
        const int back = faceOrientation(nodes, B, g, e, f);
        orientations[slot] = static_cast<std::uint8_t>(there < 0 ? 255 : there);
        orientations[6 * B + g] = static_cast<std::uint8_t>(back < 0 ? 255 : back);
    };
    for (int e = 0; e < nElements; ++e) {
        const bool repeats = repeatsANeighbour(neighbor, kind, e);
        for (int f = 0; f < 6; ++f) {
            const int slot = 6 * e + f;
            if (kind[slot] != 0) continue;
            const int B = neighbor[slot];
            if (!repeats) {
                const int match = faces.partner[static_cast<std::size_t>(slot)];
                if (match > slot) setPair(e, f, B, match % 6);
                continue;
            }
            for (int g = 0; g < 6; ++g) {
                if (kind[6 * B + g] != 0 || neighbor[6 * B + g] != e) continue;
                // A face pair met before from B's side already holds these values.
                if (neighborFaces[slot] == g && neighborFaces[6 * B + g] == f) continue;
                setPair(e, f, B, g);
            }
        }
    }
}

}  // namespace

void buildConnectivity(Mesh& mesh) { buildConnectivity(mesh, FaceMatches()); }

void buildConnectivity(Mesh& mesh, FaceMatches faces) {
    MeshDataFlat& m = mesh.h_mdata_devlink;
    const int nElements = m.nElements;
    const std::size_t slots = 6 * static_cast<std::size_t>(nElements);
    HostSide<int> elementNodes(m.elementNodes, 8 * static_cast<std::size_t>(nElements), true);
    HostSide<int> neighbor(m.elementNeighbors, slots, false), kind(m.elementNeighborTypes, slots, false);
    const int* nodes = elementNodes.get();
    if (faces.partner.size() != slots) faces = matchElementFaces(nodes, nElements, m.nNodes);

    // Neighbours and kinds are written once, straight into the mesh arrays.
    std::vector<int> boundary = pairFaces(faces, neighbor.get(), kind.get());
    orderLikeTheFaceMap(nodes, nElements, faces, boundary);

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

    HostSide<int> neighborFaces(m.elementNeighborFaces, slots, false);
    HostSide<std::uint8_t> orientations(m.elementNeighborOrientations, slots, false);
    orientSharedFaces(nodes, nElements, faces, neighbor.get(), kind.get(), neighborFaces.get(), orientations.get());
    faces = FaceMatches();

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
