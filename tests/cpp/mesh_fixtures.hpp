// Small meshes built in memory for the C++ tests.
#pragma once

#include "mesh/Mesh.hpp"
#include "mesh/MeshConnectivity.hpp"
#include "mesh/MeshLoad.hpp"

#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <vector>

template <class T>
std::vector<T> fetch(const T* d_array, std::size_t count) {
    std::vector<T> out(count);
    dev::download(out.data(), d_array, count);
    return out;
}

// Structured nx x ny x nz box of unit hexahedra; node (i, j, k) has id
// (k*(ny+1) + j)*(nx+1) + i unless `renumber` permutes the ids.
struct BoxGrid {
    int nx, ny, nz;
    std::vector<int> ids;  // natural id -> stored id

    BoxGrid(int x, int y, int z) : nx(x), ny(y), nz(z) {
        ids.resize(static_cast<std::size_t>((nx + 1) * (ny + 1) * (nz + 1)));
        for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int>(i);
    }
    int node(int i, int j, int k) const { return ids[(k * (ny + 1) + j) * (nx + 1) + i]; }

    HexMeshData data() const {
        HexMeshData d;
        d.points.resize(3 * ids.size());
        for (int k = 0; k <= nz; ++k)
            for (int j = 0; j <= ny; ++j)
                for (int i = 0; i <= nx; ++i) {
                    const int id = node(i, j, k);
                    d.points[3 * id] = static_cast<float>(i);
                    d.points[3 * id + 1] = static_cast<float>(j);
                    d.points[3 * id + 2] = static_cast<float>(k);
                }
        for (int k = 0; k < nz; ++k)
            for (int j = 0; j < ny; ++j)
                for (int i = 0; i < nx; ++i) {
                    const int hex[8] = {node(i, j, k),         node(i + 1, j, k),
                                        node(i + 1, j + 1, k), node(i, j + 1, k),
                                        node(i, j, k + 1),     node(i + 1, j, k + 1),
                                        node(i + 1, j + 1, k + 1), node(i, j + 1, k + 1)};
                    d.cells.insert(d.cells.end(), hex, hex + 8);
                }
        return d;
    }
};

inline std::unique_ptr<Mesh> loadedMesh(const HexMeshData& data) {
    auto mesh = std::make_unique<Mesh>();
    loadMesh(data, *mesh);
    return mesh;
}
