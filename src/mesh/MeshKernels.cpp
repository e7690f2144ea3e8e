// Per-face, per-element and per-node kernels of the mesh and their launchers:
// outward face normals, lumped nodal volumes, constant-index flags and the
// constant material setters.
#include "device/Launch.hpp"
#include "mesh/HEX8Element.hpp"
#include "mesh/Mesh.hpp"

#include <cstdio>
#include <vector>

namespace {

// Unit normal of boundary face i from three of its corners. Face nodes are in
// outward order, so the normal points out of the body; a degenerate face keeps
// the zero vector.
LVX_HD inline void computeNormalsKernel(const MeshDataFlat* mesh, int i) {
    const int* nodes = mesh->faceNodes + 4 * i;
    const Vec3 p0 = getNodeVec(*mesh, nodes[0], mesh->nodeCoords);
    const Vec3 p1 = getNodeVec(*mesh, nodes[1], mesh->nodeCoords);
    const Vec3 p3 = getNodeVec(*mesh, nodes[3], mesh->nodeCoords);
    Vec3 n = (p1 - p0).cross(p3 - p0);
    const float len = n.length();
    if (len != 0.0f) n = n * (1.0f / len);
    const int f = mesh->nFaces;
    mesh->faceNormals[i] = n.x;
    mesh->faceNormals[f + i] = n.y;
    mesh->faceNormals[2 * f + i] = n.z;
}

// Adds one eighth of element e's volume to each of its nodes.
LVX_HD inline void computeNodalMassKernel(const MeshDataFlat* mesh, int e) {
    Vec3 nodes[8];
    for (int k = 0; k < 8; ++k)
        nodes[k] = getNodeVec(*mesh, getElementNode(*mesh, e, k), mesh->nodeCoords);
    const float share = static_cast<float>(hex8Volume(nodes) * 0.125);
    for (int k = 0; k < 8; ++k)
        dev::atomicAddFloat(&mesh->nodalMass[getElementNode(*mesh, e, k)], share);
}

// Flags element e as having a constant refractive index when every node is
// within 1e-6 of its first node.
LVX_HD inline void checkConstRefrIndexKernel(const MeshDataFlat* mesh, int e) {
    const float n0 = mesh->refrIndex[getElementNode(*mesh, e, 0)];
    int flag = 1;
    for (int k = 1; k < 8; ++k) {
        if (fabsf(mesh->refrIndex[getElementNode(*mesh, e, k)] - n0) > 1e-6f) {
            flag = 0;
            break;
        }
    }
    mesh->elementConstRefrIndex[e] = flag;
}

}  // namespace

void Mesh::computeNormals() {
    const MeshDataFlat* mesh = d_mdata;
    dev::forEach("computeNormalsKernel", h_mdata_devlink.nFaces,
                 LVX_LAMBDA(int i) { computeNormalsKernel(mesh, i); });
    dev::synchronize();
}

void Mesh::computeNodalMass() {
    const MeshDataFlat* mesh = d_mdata;
    dev::memset(h_mdata_devlink.nodalMass, 0,
                static_cast<std::size_t>(h_mdata_devlink.nNodes) * sizeof(float));
    dev::forEach("computeNodalMassKernel", h_mdata_devlink.nElements,
                 LVX_LAMBDA(int e) { computeNodalMassKernel(mesh, e); }, {dev::kSetupBlockSize});
    dev::synchronize();
}

void Mesh::checkConstRefrIndex() {
    const MeshDataFlat* mesh = d_mdata;
    const int nElements = h_mdata_devlink.nElements;
    dev::forEach("checkConstRefrIndexKernel", nElements,
                 LVX_LAMBDA(int e) { checkConstRefrIndexKernel(mesh, e); }, {dev::kSetupBlockSize});
    dev::synchronize();

    std::vector<int> flags(static_cast<std::size_t>(nElements));
    dev::download(flags.data(), h_mdata_devlink.elementConstRefrIndex, flags.size());
    int constant = 0;
    for (int flag : flags) constant += flag == 1;
    // An empty mesh reports 0 % rather than dividing by zero.
    const double percent = nElements > 0 ? 100.0 * constant / nElements : 0.0;
    std::printf("Refractive index regions: %d constant, %d varying (%.1f%% constant)\n", constant,
                nElements - constant, percent);
    std::fflush(stdout);
}

void Mesh::setConstantMaterialProperties(double n, double alpha) {
    const MeshDataFlat* mesh = d_mdata;
    const float fn = static_cast<float>(n), fa = static_cast<float>(alpha);
    dev::forEach("setConstantMaterialPropertiesKernel", h_mdata_devlink.nNodes, LVX_LAMBDA(int j) {
        mesh->refrIndex[j] = fn;
        mesh->absorptivity[j] = fa;
    });
    dev::synchronize();
}

void Mesh::setRefractiveIndexConstant(double n) {
    const MeshDataFlat* mesh = d_mdata;
    const float fn = static_cast<float>(n);
    dev::forEach("setRefractiveIndexConstantKernel", h_mdata_devlink.nNodes,
                 LVX_LAMBDA(int j) { mesh->refrIndex[j] = fn; });
    dev::synchronize();
}

void Mesh::setAbsorptivityConstant(double alpha) {
    const MeshDataFlat* mesh = d_mdata;
    const float fa = static_cast<float>(alpha);
    dev::forEach("setAbsorptivityConstantKernel", h_mdata_devlink.nNodes,
                 LVX_LAMBDA(int j) { mesh->absorptivity[j] = fa; });
    dev::synchronize();
}
