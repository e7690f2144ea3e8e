// Host mesh data -> device arrays, then the load-time set-up of the mesh.
#include "mesh/MeshLoad.hpp"

#include "device/Device.hpp"
#include "mesh/MeshChecks.hpp"
#include "mesh/MeshConnectivity.hpp"

#include <climits>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// Copies a host array to the device; empty arrays copy nothing.
template <class T>
void uploadVector(T* d_dst, const std::vector<T>& h_src) {
    dev::upload(d_dst, h_src.data(), h_src.size());
}

// Uploads a material field from the source, or fills the default when the
// source has none (or one of the wrong length, which is reported).
void uploadMaterialField(Mesh& mesh, const std::vector<float>& values, float* d_field, const char* name,
                         float fallback) {
    const int n = mesh.nodeCount();
    if (!values.empty() && static_cast<int>(values.size()) == n) {
        uploadVector(d_field, values);
        std::printf("Loaded %s data for %d nodes\n", name, n);
        return;
    }
    if (!values.empty())
        std::printf("Warning: %s data size mismatch: read %zu values, expected %d nodes\n", name,
                    values.size(), n);
    uploadVector(d_field, std::vector<float>(static_cast<std::size_t>(n), fallback));
}

// Node coordinates as structure of arrays (all x, then y, then z), written
// straight into the device array on the CPU backend, where it is host memory.
void uploadCoordinates(const std::vector<float>& points, float* d_coords) {
    const std::size_t n = points.size() / 3;
    std::vector<float> staging;
    float* soa = d_coords;
    if (dev::backend() != dev::Backend::Cpu) {
        staging.resize(points.size());
        soa = staging.data();
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t c = 0; c < 3; ++c) soa[c * n + i] = points[3 * i + c];
    if (!staging.empty()) dev::upload(d_coords, staging.data(), staging.size());
}

}  // namespace

void loadMesh(HexMeshData data, Mesh& mesh, const char* loadedLine) {
    const int nPoints = data.nPoints();
    const int nElements = data.nCells();
    // Checked before anything is replaced, so a refused mesh leaves the old one.
    checkFiniteValues(data.refrIndex.data(), static_cast<int>(data.refrIndex.size()), "RefractiveIndex");
    checkFiniteValues(data.absorptivity.data(), static_cast<int>(data.absorptivity.size()), "Absorptivity");
    FaceMatches faces;  // matched once, by the checks, for the connectivity build
    checkHexMesh(data.points.data(), nPoints, data.cells.data(), nElements, &faces);  // reorders mirrored hexahedra

    mesh.allocateElements(nElements);
    mesh.allocateNodes(nPoints);

    MeshDataFlat& m = mesh.h_mdata_devlink;
    uploadCoordinates(data.points, m.nodeCoords);
    uploadVector(m.elementNodes, data.cells);
    // Nodes without material data start as a clear, non-absorbing medium.
    uploadMaterialField(mesh, data.refrIndex, m.refrIndex, "RefractiveIndex", 1.0f);
    uploadMaterialField(mesh, data.absorptivity, m.absorptivity, "Absorptivity", 0.0f);
    mesh.synchronize();
    std::printf(loadedLine, nElements, nPoints);
    std::fflush(stdout);

    data = HexMeshData();  // everything is on the device: the host copy goes before the connectivity build
    buildConnectivity(mesh, std::move(faces));
    mesh.checkConstRefrIndex();
    mesh.computeNodalMass();
}

HexMeshData meshDataFromArrays(const double* points, long long nPoints, const long long* hexahedra,
                               long long nCells, const double* refrIndex, const double* absorptivity) {
    if (nPoints < 0 || nPoints > INT_MAX / 3 || nCells < 0 || nCells > INT_MAX / 8)
        throw std::runtime_error("mesh arrays are too large: " + std::to_string(nPoints) + " points, " +
                                 std::to_string(nCells) + " hexahedra");
    HexMeshData data;
    data.points.resize(3 * static_cast<std::size_t>(nPoints));
    for (std::size_t i = 0; i < data.points.size(); ++i) {
        data.points[i] = static_cast<float>(points[i]);
        // Checked as stored: 1e39 is finite as a double but not as a float.
        if (!std::isfinite(data.points[i]))
            throw std::runtime_error("point " + std::to_string(i / 3) +
                                     " has a non-finite coordinate in single precision");
    }
    data.cells.resize(8 * static_cast<std::size_t>(nCells));
    for (std::size_t i = 0; i < data.cells.size(); ++i) {
        if (hexahedra[i] < 0 || hexahedra[i] >= nPoints)
            throw std::runtime_error("hexahedron " + std::to_string(i / 8) + " refers to node " +
                                     std::to_string(hexahedra[i]) + " outside 0.." + std::to_string(nPoints - 1));
        data.cells[i] = static_cast<int>(hexahedra[i]);
    }
    if (refrIndex) data.refrIndex.assign(refrIndex, refrIndex + nPoints);
    if (absorptivity) data.absorptivity.assign(absorptivity, absorptivity + nPoints);
    return data;
}
