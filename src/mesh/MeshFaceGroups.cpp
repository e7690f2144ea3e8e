// Boundary faces written as VTU quads, tagged with a group id, for checking
// face selections and boundary-condition assignments in a viewer.
#include "mesh/Mesh.hpp"

#include "IO/VtuWriter.hpp"
#include "device/Device.hpp"

#include <cstddef>
#include <cstdio>
#include <vector>

void Mesh::writeBoundaryFaceGroupsVTU(const char* path, const std::vector<std::vector<int>>& groups,
                                      bool includeUnassigned) const {
    if (path == nullptr) {
        std::printf("Error: output filename is null in writeBoundaryFaceGroupsVTU\n");
        std::fflush(stdout);
        return;
    }
    const MeshDataFlat& m = h_mdata_devlink;
    const int nNodes = m.nNodes;
    const int nFaces = m.nFaces;
    if (nFaces < 1 || nNodes < 1 || m.faceNodes == nullptr || m.nodeCoords == nullptr) {
        std::printf("Error: mesh has no faces or nodes; cannot write %s\n", path);
        std::fflush(stdout);
        return;
    }
    const std::size_t faceSlots = static_cast<std::size_t>(nFaces);
    std::vector<int> faceNodes(4 * faceSlots);
    std::vector<float> coords(3 * static_cast<std::size_t>(nNodes));
    dev::download(faceNodes.data(), m.faceNodes, faceNodes.size());
    dev::download(coords.data(), m.nodeCoords, coords.size());

    // Group per face; a later group takes a face over.
    std::vector<int> faceGroup(faceSlots, -1);
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const int group = static_cast<int>(g);
        for (const int f : groups[g]) {
            if (f < 0 || f >= nFaces) {
                std::printf("Warning: skipping out-of-range face id %d for group %d (nFaces=%d)\n", f, group,
                            nFaces);
                std::fflush(stdout);
                continue;
            }
            int& owner = faceGroup[static_cast<std::size_t>(f)];
            if (owner >= 0 && owner != group) {
                std::printf("Warning: face %d already assigned to group %d, overwriting with group %d\n", f,
                            owner, group);
                std::fflush(stdout);
            }
            owner = group;
        }
    }

    std::vector<int> cellFaces;  // output faces, ascending
    for (int f = 0; f < nFaces; ++f)
        if (includeUnassigned || faceGroup[static_cast<std::size_t>(f)] >= 0) cellFaces.push_back(f);
    if (cellFaces.empty()) {
        std::printf("Warning: no faces selected for VTU output %s\n", path);
        std::fflush(stdout);
        return;
    }

    const int nCells = static_cast<int>(cellFaces.size());
    std::vector<int> connectivity, cellGroups;
    connectivity.reserve(4 * cellFaces.size());
    cellGroups.reserve(cellFaces.size());
    for (const int f : cellFaces) {
        const std::size_t i = static_cast<std::size_t>(f);
        connectivity.insert(connectivity.end(), faceNodes.begin() + 4 * i, faceNodes.begin() + 4 * i + 4);
        cellGroups.push_back(faceGroup[i]);
    }

    VtuWriter vtu(path);
    if (!vtu.isOpen()) {
        std::printf("Error: cannot open file %s for writing\n", path);
        std::fflush(stdout);
        return;
    }
    vtu.beginPiece(nNodes, nCells);
    vtu.writePoints(coords.data(), nNodes);
    vtu.writeCells(connectivity.data(), nCells, VtuCellShape::Quad);
    vtu.beginCellData();
    vtu.writeDataArray("FaceId", cellFaces.data(), nCells);
    vtu.writeDataArray("GroupId", cellGroups.data(), nCells);
    vtu.endCellData();
    vtu.endPiece();
    vtu.close();
    std::printf("Boundary groups written to VTU file: %s\n", path);
    std::fflush(stdout);
}

void Mesh::writeBoundaryConditionGroupsVTU(const char* path, bool includeUnassigned) const {
    const MeshDataFlat& m = h_mdata_devlink;
    const int nFaces = m.nFaces;
    if (nFaces < 1) {
        std::printf("Error: mesh has no boundary faces; cannot write %s\n", path != nullptr ? path : "<null>");
        std::fflush(stdout);
        return;
    }
    // One group per condition, holding the faces whose current condition it is.
    std::vector<int> faceCondition(static_cast<std::size_t>(nFaces), -1);
    if (m.faceBC != nullptr) dev::download(faceCondition.data(), m.faceBC, faceCondition.size());
    std::vector<std::vector<int>> groups(static_cast<std::size_t>(m.nBCs > 0 ? m.nBCs : 0));
    for (int f = 0; f < nFaces; ++f) {
        const int b = faceCondition[static_cast<std::size_t>(f)];
        if (b >= 0 && b < m.nBCs) groups[static_cast<std::size_t>(b)].push_back(f);
    }
    writeBoundaryFaceGroupsVTU(path, groups, includeUnassigned);
}
