#include "mesh/Mesh.hpp"

#include "device/Buffer.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// New device array of `count` items; all arrays of a group are allocated
// before any old one is replaced (see dev::Buffer).
template <class T>
dev::Buffer<T> fresh(long long count) {
    if (count < 0) throw std::runtime_error("negative mesh array size " + std::to_string(count));
    return dev::deviceBuffer<T>(static_cast<std::size_t>(count));
}

// Hands the new array to `slot`, releasing what it held.
template <class T>
void moveInto(dev::Buffer<T>& array, T*& slot) {
    dev::free(slot);
    slot = array.release();
}

}  // namespace

Mesh::Mesh() {
    MeshDataFlat& m = h_mdata_devlink;
    std::memset(&m, 0, sizeof(m));
    std::memcpy(m.faceNodeTable, kFaceNodeTable, sizeof(kFaceNodeTable));
    m.DEVICE = 0;
    m.HOST = 1;
    m.location = m.DEVICE;
    d_mdata = static_cast<MeshDataFlat*>(dev::malloc(sizeof(MeshDataFlat)));
    synchronize();
}

Mesh::Mesh(int nNodes, int nElements, int nFaces) : Mesh() {
    allocateNodes(nNodes);
    allocateElements(nElements);
    allocateFaces(nFaces);
    synchronize();
}

Mesh::~Mesh() {
    release();
    dev::free(d_mdata);
}

void Mesh::allocateNodes(int count) {
    const long long n = count;
    auto coords = fresh<float>(3 * n), refr = fresh<float>(n), absorb = fresh<float>(n), mass = fresh<float>(n);
    MeshDataFlat& m = h_mdata_devlink;
    moveInto(coords, m.nodeCoords);
    moveInto(refr, m.refrIndex);
    moveInto(absorb, m.absorptivity);
    moveInto(mass, m.nodalMass);
    m.nNodes = count;
}

void Mesh::allocateElements(int count) {
    const long long e = count;
    auto nodes = fresh<int>(8 * e), neighbors = fresh<int>(6 * e), types = fresh<int>(6 * e),
         faces = fresh<int>(6 * e), constRefr = fresh<int>(e);
    auto orientations = fresh<std::uint8_t>(6 * e);
    dev::memset(orientations.get(), 255, static_cast<std::size_t>(6 * e));
    MeshDataFlat& m = h_mdata_devlink;
    moveInto(nodes, m.elementNodes);
    moveInto(neighbors, m.elementNeighbors);
    moveInto(types, m.elementNeighborTypes);
    moveInto(faces, m.elementNeighborFaces);
    moveInto(orientations, m.elementNeighborOrientations);
    moveInto(constRefr, m.elementConstRefrIndex);
    m.nElements = count;
}

void Mesh::allocateFaces(int count) {
    const long long f = count;
    auto nodes = fresh<int>(4 * f), element = fresh<int>(f), localFace = fresh<int>(f), bc = fresh<int>(f);
    auto normals = fresh<float>(3 * f);
    dev::memset(bc.get(), 0xFF, static_cast<std::size_t>(f) * sizeof(int));  // all -1
    MeshDataFlat& m = h_mdata_devlink;
    moveInto(nodes, m.faceNodes);
    moveInto(element, m.faceElement);
    moveInto(localFace, m.faceLocalFace);
    moveInto(bc, m.faceBC);
    moveInto(normals, m.faceNormals);
    m.nFaces = count;
}

void Mesh::releaseConditions() {
    MeshDataFlat& m = h_mdata_devlink;
    dev::freeArray(m.bcRoughSurface);
    dev::freeArray(m.bcRoughness);
    dev::freeArray(m.bcInteractionType);
    dev::freeArray(m.bcRefrIndexReal);
    dev::freeArray(m.bcRefrIndexImag);
    dev::freeArray(m.bcFaceOffsets);
    dev::freeArray(m.bcFaces);
    m.nBCs = 0;
    m.nBCFaces = 0;
}

void Mesh::release() {
    MeshDataFlat& m = h_mdata_devlink;
    for (float** p : {&m.nodeCoords, &m.refrIndex, &m.nodalMass, &m.absorptivity, &m.faceNormals})
        dev::freeArray(*p);
    for (int** p : {&m.faceElement, &m.faceLocalFace, &m.faceNodes, &m.faceBC, &m.elementNodes,
                    &m.elementNeighbors, &m.elementNeighborTypes, &m.elementNeighborFaces,
                    &m.elementConstRefrIndex})
        dev::freeArray(*p);
    dev::freeArray(m.elementNeighborOrientations);
    releaseConditions();
    m.nNodes = m.nFaces = m.nElements = 0;
}

void Mesh::synchronize() { dev::upload(d_mdata, &h_mdata_devlink, 1); }
