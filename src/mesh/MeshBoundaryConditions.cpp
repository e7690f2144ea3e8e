// Optical boundary conditions of the mesh and selection of boundary faces.
//
// Conditions live on the device as per-condition arrays plus a per-face index
// (`faceBC`) and the concatenated face lists (`bcFaceOffsets`, `bcFaces`); the
// tracers read them from the mesh record. Selection works on host copies of
// the face nodes and node coordinates.
#include "mesh/Mesh.hpp"

#include "device/Buffer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

namespace {

// Host copies of the face nodes (4 per face) and node coordinates (structure
// of arrays) that face selection and group output read.
struct FaceGeometry {
    int nFaces = 0;
    int nNodes = 0;
    std::vector<int> faceNodes;
    std::vector<float> coords;

    // Empty (both counts 0) when the mesh has no faces or no nodes.
    explicit FaceGeometry(const MeshDataFlat& m) {
        if (m.nFaces < 1 || m.nNodes < 1 || m.faceNodes == nullptr || m.nodeCoords == nullptr) return;
        nFaces = m.nFaces;
        nNodes = m.nNodes;
        faceNodes.resize(4 * static_cast<std::size_t>(nFaces));
        coords.resize(3 * static_cast<std::size_t>(nNodes));
        dev::download(faceNodes.data(), m.faceNodes, faceNodes.size());
        dev::download(coords.data(), m.nodeCoords, coords.size());
    }

    // Ascending ids of the faces with all four (requireAll) or at least one of
    // their nodes accepted by `inside(x, y, z)`. Node ids outside 0 .. N-1
    // count as outside.
    template <class Inside>
    std::vector<int> select(bool requireAll, Inside inside) const {
        std::vector<int> selected;
        const std::size_t n = static_cast<std::size_t>(nNodes);
        for (int i = 0; i < nFaces; ++i) {
            int count = 0;
            for (int k = 0; k < 4; ++k) {
                const int node = faceNodes[4 * static_cast<std::size_t>(i) + k];
                if (node < 0 || node >= nNodes) continue;
                const std::size_t j = static_cast<std::size_t>(node);
                if (inside(static_cast<double>(coords[j]), static_cast<double>(coords[n + j]),
                           static_cast<double>(coords[2 * n + j])))
                    ++count;
            }
            if (requireAll ? count == 4 : count >= 1) selected.push_back(i);
        }
        return selected;
    }
};

}  // namespace

void Mesh::clearBoundaryConditions() {
    releaseConditions();
    MeshDataFlat& m = h_mdata_devlink;
    if (m.faceBC != nullptr && m.nFaces > 0)
        dev::memset(m.faceBC, 0xFF, static_cast<std::size_t>(m.nFaces) * sizeof(int));  // all -1
    synchronize();
}

void Mesh::setBoundaryConditions(const std::vector<OpticalBoundaryCondition>& conditions) {
    clearBoundaryConditions();
    MeshDataFlat& m = h_mdata_devlink;
    const int nFaces = m.nFaces;
    const int nConditions = static_cast<int>(conditions.size());

    // Condition index per face; a later condition takes a face over.
    std::vector<int> faceCondition(static_cast<std::size_t>(std::max(nFaces, 0)), -1);
    const auto storeFaceConditions = [&] {
        if (m.faceBC != nullptr && nFaces >= 1) dev::upload(m.faceBC, faceCondition.data(), faceCondition.size());
    };
    if (nConditions == 0) {
        storeFaceConditions();
        synchronize();
        return;
    }

    std::vector<int> roughSurface(nConditions), interaction(nConditions), offsets(nConditions + 1);
    std::vector<float> roughness(nConditions), refrReal(nConditions), refrImag(nConditions);
    std::vector<int> faces;
    for (int b = 0; b < nConditions; ++b) {
        const OpticalBoundaryCondition& bc = conditions[b];
        roughSurface[b] = bc.rough_surface ? 1 : 0;
        roughness[b] = static_cast<float>(bc.roughness);
        interaction[b] = static_cast<int>(bc.interaction_type);
        refrReal[b] = static_cast<float>(bc.refractive_index_real);
        refrImag[b] = static_cast<float>(bc.refractive_index_imag);
        offsets[b] = static_cast<int>(faces.size());
        for (const int f : bc.faces) {
            if (f < 0 || f >= nFaces) {
                std::printf("Warning: skipping out-of-range boundary face %d for BC %d (nFaces=%d)\n", f, b,
                            nFaces);
                std::fflush(stdout);
                continue;
            }
            int& owner = faceCondition[static_cast<std::size_t>(f)];
            if (owner >= 0) {
                std::printf("Warning: boundary face %d already assigned to BC %d, overwriting with BC %d\n", f,
                            owner, b);
                std::fflush(stdout);
            }
            owner = b;
            faces.push_back(f);
        }
    }
    offsets[nConditions] = static_cast<int>(faces.size());

    // Upload everything before touching the record, so that a failed
    // allocation leaves the mesh without conditions rather than half set.
    ConditionArrays arrays;
    arrays.roughSurface = dev::uploadedBuffer<int>(roughSurface);
    arrays.roughness = dev::uploadedBuffer<float>(roughness);
    arrays.interactionType = dev::uploadedBuffer<int>(interaction);
    arrays.refrIndexReal = dev::uploadedBuffer<float>(refrReal);
    arrays.refrIndexImag = dev::uploadedBuffer<float>(refrImag);
    arrays.faceOffsets = dev::uploadedBuffer<int>(offsets);
    arrays.faces = dev::uploadedBuffer<int>(faces);  // stays null for an empty list
    adoptConditions(std::move(arrays), nConditions, static_cast<int>(faces.size()));

    storeFaceConditions();
    synchronize();
}

std::vector<int> Mesh::selectBoundaryFacesBBox(bool requireAllNodes, double xMin, double xMax, double yMin,
                                               double yMax, double zMin, double zMax, double tolerance) const {
    if (xMin > xMax) std::swap(xMin, xMax);
    if (yMin > yMax) std::swap(yMin, yMax);
    if (zMin > zMax) std::swap(zMin, zMax);
    const FaceGeometry geometry(h_mdata_devlink);
    if (geometry.nFaces < 1) return {};

    // The tolerance widens the box on every side (a negative one shrinks it).
    const double xLow = xMin - tolerance, xHigh = xMax + tolerance;
    const double yLow = yMin - tolerance, yHigh = yMax + tolerance;
    const double zLow = zMin - tolerance, zHigh = zMax + tolerance;
    return geometry.select(requireAllNodes, [=](double x, double y, double z) {
        return xLow <= x && x <= xHigh && yLow <= y && y <= yHigh && zLow <= z && z <= zHigh;
    });
}

std::vector<int> Mesh::selectBoundaryFacesRadial(bool requireAllNodes, double radiusMin, double radiusMax,
                                                 double tolerance) const {
    if (radiusMin > radiusMax) std::swap(radiusMin, radiusMax);
    // Radii below zero mean zero; the band never reaches below the axis.
    const double low = std::max(std::max(radiusMin, 0.0) - tolerance, 0.0);
    const double high = std::max(radiusMax, 0.0) + tolerance;
    const FaceGeometry geometry(h_mdata_devlink);
    if (geometry.nFaces < 1) return {};

    // Distance to the z axis; z itself plays no part.
    return geometry.select(requireAllNodes, [=](double x, double y, double) {
        const double r = std::sqrt(x * x + y * y);
        return low <= r && r <= high;
    });
}
