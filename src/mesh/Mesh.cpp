#include "mesh/Mesh.hpp"

#include "device/Buffer.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

namespace {

// New device array of `count` items; all arrays of a group are allocated
// before any old one is replaced (see dev::Buffer).
template <class T>
dev::Buffer<T> fresh(long long count) {
    if (count < 0) throw std::runtime_error("negative mesh array size " + std::to_string(count));
    return dev::deviceBuffer<T>(static_cast<std::size_t>(count));
}

}  // namespace

Mesh::Mesh() {
    MeshDataFlat& m = h_mdata_devlink;
    std::memset(&m, 0, sizeof(m));
    std::memcpy(m.faceNodeTable, kFaceNodeTable, sizeof(kFaceNodeTable));
    m.DEVICE = 0;
    m.HOST = 1;
    m.location = m.DEVICE;
    record_ = dev::deviceBuffer<MeshDataFlat>(1);
    d_mdata = record_.get();
    synchronize();
}

Mesh::Mesh(int nNodes, int nElements, int nFaces) : Mesh() {
    allocateNodes(nNodes);
    allocateElements(nElements);
    allocateFaces(nFaces);
    synchronize();
}

void Mesh::allocateNodes(int count) {
    const long long n = count;
    nodes_ = NodeArrays{fresh<float>(3 * n), fresh<float>(n), fresh<float>(n), fresh<float>(n)};
    MeshDataFlat& m = h_mdata_devlink;
    std::tie(m.nodeCoords, m.refrIndex, m.absorptivity, m.nodalMass) =
        dev::views(nodes_.coords, nodes_.refrIndex, nodes_.absorptivity, nodes_.nodalMass);
    m.nNodes = count;
}

void Mesh::allocateElements(int count) {
    const long long e = count;
    ElementArrays arrays{fresh<int>(8 * e), fresh<int>(6 * e), fresh<int>(6 * e), fresh<int>(6 * e),
                         fresh<int>(e), fresh<std::uint8_t>(6 * e)};
    dev::memset(arrays.neighborOrientations.get(), 255, static_cast<std::size_t>(6 * e));
    elements_ = std::move(arrays);
    MeshDataFlat& m = h_mdata_devlink;
    const ElementArrays& a = elements_;
    std::tie(m.elementNodes, m.elementNeighbors, m.elementNeighborTypes, m.elementNeighborFaces,
             m.elementConstRefrIndex, m.elementNeighborOrientations) =
        dev::views(a.nodes, a.neighbors, a.neighborTypes, a.neighborFaces, a.constRefrIndex, a.neighborOrientations);
    m.nElements = count;
}

void Mesh::allocateFaces(int count) {
    const long long f = count;
    FaceArrays arrays{fresh<int>(4 * f), fresh<int>(f), fresh<int>(f), fresh<int>(f), fresh<float>(3 * f)};
    dev::memset(arrays.bc.get(), 0xFF, static_cast<std::size_t>(f) * sizeof(int));  // all -1
    faces_ = std::move(arrays);
    MeshDataFlat& m = h_mdata_devlink;
    std::tie(m.faceNodes, m.faceElement, m.faceLocalFace, m.faceBC, m.faceNormals) =
        dev::views(faces_.nodes, faces_.element, faces_.localFace, faces_.bc, faces_.normals);
    m.nFaces = count;
}

void Mesh::adoptConditions(ConditionArrays arrays, int nConditions, int nConditionFaces) {
    conditions_ = std::move(arrays);
    MeshDataFlat& m = h_mdata_devlink;
    const ConditionArrays& c = conditions_;
    std::tie(m.bcRoughSurface, m.bcInteractionType, m.bcFaceOffsets, m.bcFaces, m.bcRoughness, m.bcRefrIndexReal,
             m.bcRefrIndexImag) = dev::views(c.roughSurface, c.interactionType, c.faceOffsets, c.faces, c.roughness,
                                             c.refrIndexReal, c.refrIndexImag);
    m.nBCs = nConditions;
    m.nBCFaces = nConditionFaces;
}

void Mesh::releaseConditions() { adoptConditions(ConditionArrays{}, 0, 0); }

void Mesh::synchronize() { dev::upload(d_mdata, &h_mdata_devlink, 1); }
