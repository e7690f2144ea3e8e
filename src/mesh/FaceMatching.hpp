// Element faces matched by their nodes: one grouping of the 6E element faces
// that the mesh checks and the connectivity build share.
#pragma once

#include "mesh/MeshDataFlat.hpp"

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

using FaceKey = std::array<int, 4>;  // global node ids of a face, ascending

// Key of local face f of the hexahedron whose 8 node ids start at `nodes`.
inline FaceKey faceKey(const int* nodes, int f) {
    int a = nodes[kFaceNodeTable[f][0]], b = nodes[kFaceNodeTable[f][1]];
    int c = nodes[kFaceNodeTable[f][2]], d = nodes[kFaceNodeTable[f][3]];
    const auto order = [](int& x, int& y) {
        if (y < x) std::swap(x, y);
    };
    order(a, b);  // sorting network for four values
    order(c, d);
    order(a, c);
    order(b, d);
    order(b, c);
    return {a, b, c, d};
}

// For every element face (slot 6e + f) the faces with the same four nodes.
struct FaceMatches {
    static constexpr int kSingle = -1;  // a face of one element: a boundary face
    // Per slot: the other slot of a face of two elements, kSingle, or, for a
    // face of three or more elements, -2 - (the lowest slot of that face).
    std::vector<int> partner;
    int crowdedFaces = 0;  // faces of three or more elements

    // Whether `slot` is the lowest slot of its face.
    bool firstOfFace(std::size_t slot) const {
        const int p = partner[slot];
        return p == kSingle || (p >= 0 && static_cast<std::size_t>(p) > slot) || -2 - p == static_cast<long long>(slot);
    }
};

// Matches the faces of `nCells` hexahedra (8 node ids each, in 0..nPoints-1).
// The faces are grouped by their lowest node (a counting sort), so only the
// few faces of one group are compared with each other.
FaceMatches matchElementFaces(const int* cells, int nCells, int nPoints);
