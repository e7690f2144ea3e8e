// The flat mesh record shared by lumivex, kuravel and dosterin.
//
// Counts and device array addresses of one hexahedral mesh. Kernels receive
// the device copy by address; other modules receive the address of the host
// copy (whose array fields are device addresses) as a plain integer. Field
// order and widths are therefore part of the contract between the modules:
// change them only in all three at once (they all include this header).
#pragma once

#include "device/Device.hpp"
#include "tracer/mathutils.hpp"

#include <cstdint>

struct MeshDataFlat {
    int faceNodeTable[6][4];  // local node indices of the six element faces

    int nNodes;
    float* nodeCoords;    // 3N, all x then all y then all z
    float* refrIndex;     // N
    float* nodalMass;     // N, lumped nodal volume
    float* absorptivity;  // N, absorption coefficient per length

    int nFaces;
    int* faceElement;    // F
    int* faceLocalFace;  // F
    int* faceNodes;      // 4F, face-major, outward order
    float* faceNormals;  // 3F, structure of arrays with stride F
    int* faceBC;         // F, condition index or -1

    int nBCs;
    int nBCFaces;
    int* bcRoughSurface;      // nBCs
    float* bcRoughness;       // nBCs
    int* bcInteractionType;   // nBCs
    float* bcRefrIndexReal;   // nBCs
    float* bcRefrIndexImag;   // nBCs
    int* bcFaceOffsets;       // nBCs + 1
    int* bcFaces;             // nBCFaces

    int nElements;
    int* elementNodes;                          // 8E
    int* elementNeighbors;                      // 6E
    int* elementNeighborTypes;                  // 6E: 0 shared, 1 boundary, -1 unresolved
    int* elementNeighborFaces;                  // 6E
    std::uint8_t* elementNeighborOrientations;  // 6E, 255 when not shared
    int* elementConstRefrIndex;                 // E

    int DEVICE;
    int HOST;
    int location;
};

// Local faces of the hexahedron in VTK node order (faces on zeta = -1, +1,
// xi = -1, +1, eta = -1, +1).
constexpr int kFaceNodeTable[6][4] = {
    {0, 1, 2, 3}, {4, 5, 6, 7}, {0, 3, 7, 4}, {1, 2, 6, 5}, {0, 4, 5, 1}, {3, 7, 6, 2}};

// A boundary face as read by kernels.
struct Face {
    Vec3 corners[4];  // in faceNodes order
    int id;
    Vec3 normal;
};

// Accessors usable on host and device; indices are not range-checked.
LVX_HD inline int getElementNode(const MeshDataFlat& m, int e, int k) {
    return m.elementNodes[8 * e + k];
}
LVX_HD inline void setElementNode(MeshDataFlat& m, int e, int k, int node) {
    m.elementNodes[8 * e + k] = node;
}
LVX_HD inline int getElementNeighbor(const MeshDataFlat& m, int e, int f) {
    return m.elementNeighbors[6 * e + f];
}
LVX_HD inline void setElementNeighbor(MeshDataFlat& m, int e, int f, int value) {
    m.elementNeighbors[6 * e + f] = value;
}
LVX_HD inline int getElementNeighborType(const MeshDataFlat& m, int e, int f) {
    return m.elementNeighborTypes[6 * e + f];
}
LVX_HD inline void setElementNeighborType(MeshDataFlat& m, int e, int f, int value) {
    m.elementNeighborTypes[6 * e + f] = value;
}
LVX_HD inline Vec3 getNodeVec(const MeshDataFlat& m, int i, const float* array) {
    const int n = m.nNodes;
    return Vec3(array[i], array[n + i], array[2 * n + i]);
}
LVX_HD inline void setNodeVec(const MeshDataFlat& m, int i, const Vec3& v, float* array) {
    const int n = m.nNodes;
    array[i] = v.x;
    array[n + i] = v.y;
    array[2 * n + i] = v.z;
}
LVX_HD inline Face getFace(const MeshDataFlat& m, int i) {
    Face face;
    for (int k = 0; k < 4; ++k) face.corners[k] = getNodeVec(m, m.faceNodes[4 * i + k], m.nodeCoords);
    face.id = i;
    const int f = m.nFaces;
    face.normal = Vec3(m.faceNormals[i], m.faceNormals[f + i], m.faceNormals[2 * f + i]);
    return face;
}
