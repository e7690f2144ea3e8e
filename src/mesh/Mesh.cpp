#include "mesh/Mesh.hpp"

#include "device/Device.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// Allocates `count` items for each pointer in the list, all or nothing, so a
// failed allocation leaves the previous arrays in place.
template <class T>
struct Fresh {
    T* ptr = nullptr;
    explicit Fresh(long long count) {
        if (count < 0) throw std::runtime_error("negative mesh array size " + std::to_string(count));
        ptr = dev::allocArray<T>(static_cast<std::size_t>(count));
    }
    ~Fresh() { dev::free(ptr); }
    // Hands the new array to `slot`, releasing what it held.
    void moveInto(T*& slot) {
        dev::free(slot);
        slot = ptr;
        ptr = nullptr;
    }
};

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
    Fresh<float> coords(3 * n), refr(n), absorb(n), mass(n);
    MeshDataFlat& m = h_mdata_devlink;
    coords.moveInto(m.nodeCoords);
    refr.moveInto(m.refrIndex);
    absorb.moveInto(m.absorptivity);
    mass.moveInto(m.nodalMass);
    m.nNodes = count;
}

void Mesh::allocateElements(int count) {
    const long long e = count;
    Fresh<int> nodes(8 * e), neighbors(6 * e), types(6 * e), faces(6 * e), constRefr(e);
    Fresh<std::uint8_t> orientations(6 * e);
    dev::memset(orientations.ptr, 255, static_cast<std::size_t>(6 * e));
    MeshDataFlat& m = h_mdata_devlink;
    nodes.moveInto(m.elementNodes);
    neighbors.moveInto(m.elementNeighbors);
    types.moveInto(m.elementNeighborTypes);
    faces.moveInto(m.elementNeighborFaces);
    orientations.moveInto(m.elementNeighborOrientations);
    constRefr.moveInto(m.elementConstRefrIndex);
    m.nElements = count;
}

void Mesh::allocateFaces(int count) {
    const long long f = count;
    Fresh<int> nodes(4 * f), element(f), localFace(f), bc(f);
    Fresh<float> normals(3 * f);
    dev::memset(bc.ptr, 0xFF, static_cast<std::size_t>(f) * sizeof(int));  // all -1
    MeshDataFlat& m = h_mdata_devlink;
    nodes.moveInto(m.faceNodes);
    element.moveInto(m.faceElement);
    localFace.moveInto(m.faceLocalFace);
    bc.moveInto(m.faceBC);
    normals.moveInto(m.faceNormals);
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
