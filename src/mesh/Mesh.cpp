#include "mesh/Mesh.hpp"

#include "device/Buffer.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
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
    m.nodeCoords = nodes_.coords.get();
    m.refrIndex = nodes_.refrIndex.get();
    m.absorptivity = nodes_.absorptivity.get();
    m.nodalMass = nodes_.nodalMass.get();
    m.nNodes = count;
}

void Mesh::allocateElements(int count) {
    const long long e = count;
    ElementArrays arrays{fresh<int>(8 * e), fresh<int>(6 * e), fresh<int>(6 * e), fresh<int>(6 * e),
                         fresh<int>(e), fresh<std::uint8_t>(6 * e)};
    dev::memset(arrays.neighborOrientations.get(), 255, static_cast<std::size_t>(6 * e));
    elements_ = std::move(arrays);
    MeshDataFlat& m = h_mdata_devlink;
    m.elementNodes = elements_.nodes.get();
    m.elementNeighbors = elements_.neighbors.get();
    m.elementNeighborTypes = elements_.neighborTypes.get();
    m.elementNeighborFaces = elements_.neighborFaces.get();
    m.elementNeighborOrientations = elements_.neighborOrientations.get();
    m.elementConstRefrIndex = elements_.constRefrIndex.get();
    m.nElements = count;
}

void Mesh::allocateFaces(int count) {
    const long long f = count;
    FaceArrays arrays{fresh<int>(4 * f), fresh<int>(f), fresh<int>(f), fresh<int>(f), fresh<float>(3 * f)};
    dev::memset(arrays.bc.get(), 0xFF, static_cast<std::size_t>(f) * sizeof(int));  // all -1
    faces_ = std::move(arrays);
    MeshDataFlat& m = h_mdata_devlink;
    m.faceNodes = faces_.nodes.get();
    m.faceElement = faces_.element.get();
    m.faceLocalFace = faces_.localFace.get();
    m.faceBC = faces_.bc.get();
    m.faceNormals = faces_.normals.get();
    m.nFaces = count;
}

void Mesh::adoptConditions(ConditionArrays arrays, int nConditions, int nConditionFaces) {
    conditions_ = std::move(arrays);
    MeshDataFlat& m = h_mdata_devlink;
    m.bcRoughSurface = conditions_.roughSurface.get();
    m.bcRoughness = conditions_.roughness.get();
    m.bcInteractionType = conditions_.interactionType.get();
    m.bcRefrIndexReal = conditions_.refrIndexReal.get();
    m.bcRefrIndexImag = conditions_.refrIndexImag.get();
    m.bcFaceOffsets = conditions_.faceOffsets.get();
    m.bcFaces = conditions_.faces.get();
    m.nBCs = nConditions;
    m.nBCFaces = nConditionFaces;
}

void Mesh::releaseConditions() { adoptConditions(ConditionArrays{}, 0, 0); }

void Mesh::release() {
    allocateNodes(0);
    allocateElements(0);
    allocateFaces(0);
    releaseConditions();
}

void Mesh::synchronize() { dev::upload(d_mdata, &h_mdata_devlink, 1); }
