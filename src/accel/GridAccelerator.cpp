// Host side of the grid accelerator: face-grid and nodal-grid builds and the
// occupancy report. The device queries live inline in the header.
#include "accel/GridAccelerator.hpp"

#include "device/Buffer.hpp"
#include "mesh/Mesh.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr char kAxisName[3] = {'x', 'y', 'z'};

bool validSize(float s) { return s > 0.0f && std::isfinite(s); }

// A cell size that is not positive and finite becomes the largest valid size
// of the other axes, or 1 when there is none. Returns the axes replaced as
// a bit mask.
int repairSizes(float size[3]) {
    float largest = 0.0f;
    for (int a = 0; a < 3; ++a)
        if (validSize(size[a])) largest = std::max(largest, size[a]);
    if (largest == 0.0f) largest = 1.0f;
    int replaced = 0;
    for (int a = 0; a < 3; ++a) {
        if (!validSize(size[a])) {
            size[a] = largest;
            replaced |= 1 << a;
        }
    }
    return replaced;
}

// Largest cell count a build allocates: 64 cells per element, at least 2^20,
// and never so many that a linear cell index would overflow.
double cellCap(int elements) {
    const double cap = std::max(64.0 * elements, 1048576.0);
    return std::min(cap, 1073741824.0);
}

// Grid over points spanning [lo, hi] with the given (valid) cell sizes: the
// origin half a cell below the minimum and ceil(extent / size) + 1 cells per
// axis. When that exceeds `cap` cells, all sizes grow by a common factor
// until it fits. No points (`any` false) gives an empty grid.
GridAcceleratorData layOut(const float lo[3], const float hi[3], bool any, float size[3], double cap,
                           const char* label) {
    GridAcceleratorData g;
    if (!any) {
        for (int a = 0; a < 3; ++a) g.cellSize[a] = size[a];
        return g;
    }
    bool enlarged = false;
    double wanted = 0.0;
    while (true) {
        double total = 1.0, totalWide = 1.0;
        bool fits = true;
        float dims[3];
        for (int a = 0; a < 3; ++a) {
            // The same count in double precision stays finite where the float
            // extent overflows; it also steers the enlargement.
            const double wide = std::ceil((static_cast<double>(hi[a]) - lo[a]) / size[a]) + 1.0;
            const float extent = hi[a] - lo[a];
            dims[a] = std::isfinite(extent) ? std::ceil(extent / size[a]) + 1.0f : static_cast<float>(wide);
            if (!(dims[a] <= cap)) fits = false;
            total *= dims[a];
            totalWide *= wide;
        }
        if (fits && total <= cap) {
            for (int a = 0; a < 3; ++a) {
                g.cellSize[a] = size[a];
                g.gridOrigin[a] = lo[a] - 0.5f * size[a];
                g.gridDims[a] = static_cast<int>(dims[a]);
            }
            break;
        }
        if (!enlarged) wanted = totalWide;
        enlarged = true;
        const double factor = std::max(1.25, std::cbrt(totalWide / cap));
        for (int a = 0; a < 3; ++a) size[a] = static_cast<float>(size[a] * factor);
    }
    if (enlarged)
        std::printf("Warning: %s would need %.0f cells; cell sizes enlarged to keep it within %.0f.\n", label,
                    wanted, cap);
    return g;
}

float percentile(const std::vector<float>& sorted, float p) {
    if (sorted.empty()) return 0.0f;
    const float position = std::min(std::max(p, 0.0f), 1.0f) * static_cast<float>(sorted.size() - 1);
    const std::size_t lo = static_cast<std::size_t>(std::floor(position));
    const std::size_t hi = static_cast<std::size_t>(std::ceil(position));
    if (lo == hi) return sorted[lo];
    const float f = position - static_cast<float>(lo);
    return sorted[hi] * f + (1.0f - f) * sorted[lo];
}

}  // namespace

void GridAccelerator::build(const Mesh& mesh) {
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    const int F = std::max(m.nFaces, 0);
    const int N = std::max(m.nNodes, 0);
    auto faceNodes = dev::pinnedBuffer<int>(4 * static_cast<std::size_t>(F));
    auto coords = dev::pinnedBuffer<float>(3 * static_cast<std::size_t>(N));
    if (F > 0) dev::download(faceNodes.get(), m.faceNodes, 4 * static_cast<std::size_t>(F));
    if (N > 0) dev::download(coords.get(), m.nodeCoords, 3 * static_cast<std::size_t>(N));

    // Box centres of the faces (x | y | z), the global box and the largest
    // face extent per axis. A face with a non-finite corner (or a node id
    // outside the mesh) gets a non-finite centre and stays out of the bounds.
    std::vector<float> centres(3 * static_cast<std::size_t>(F));
    float lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf}, extent[3] = {-kInf, -kInf, -kInf};
    bool any = false;
    for (int f = 0; f < F; ++f) {
        float bmin[3] = {kInf, kInf, kInf}, bmax[3] = {-kInf, -kInf, -kInf};
        bool valid = true;
        for (int k = 0; k < 4 && valid; ++k) {
            const int id = faceNodes[4 * static_cast<std::size_t>(f) + k];
            if (id < 0 || id >= N) {
                valid = false;
                break;
            }
            for (int a = 0; a < 3; ++a) {
                const float x = coords[static_cast<std::size_t>(a) * N + id];
                if (!std::isfinite(x)) valid = false;
                bmin[a] = std::min(bmin[a], x);
                bmax[a] = std::max(bmax[a], x);
            }
        }
        for (int a = 0; a < 3; ++a) {
            float& centre = centres[static_cast<std::size_t>(a) * F + f];
            if (!valid) {
                centre = std::numeric_limits<float>::quiet_NaN();
                continue;
            }
            centre = bmin[a] + 0.5f * (bmax[a] - bmin[a]);
            lo[a] = std::min(lo[a], bmin[a]);
            hi[a] = std::max(hi[a], bmax[a]);
            extent[a] = std::max(extent[a], bmax[a] - bmin[a]);
        }
        any = any || valid;
    }

    // Cells at least as large as any face along every axis, so a face that
    // touches a cell has its centre in that cell or one of its 26 neighbours.
    // An axis along which every face is flat borrows another axis's size.
    float size[3] = {extent[0], extent[1], extent[2]};
    repairSizes(size);
    const GridAcceleratorData layout = layOut(lo, hi, any, size, cellCap(F), "Face grid");
    fill(layout, centres.data(), F, false);
}

void GridAccelerator::buildNodal(const Mesh& mesh, const float cellSize[3]) {
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    const int N = std::max(m.nNodes, 0);
    auto coords = dev::pinnedBuffer<float>(3 * static_cast<std::size_t>(N));
    if (N > 0) dev::download(coords.get(), m.nodeCoords, 3 * static_cast<std::size_t>(N));

    float size[3] = {cellSize[0], cellSize[1], cellSize[2]};
    const int replaced = repairSizes(size);
    for (int a = 0; a < 3; ++a)
        if (replaced & (1 << a))
            std::printf("Warning: nodal grid cell size along %c (%g) is not positive and finite; using %g.\n",
                        kAxisName[a], cellSize[a], size[a]);

    // Bounding box of the nodes with finite coordinates.
    float lo[3] = {kInf, kInf, kInf}, hi[3] = {-kInf, -kInf, -kInf};
    bool any = false;
    for (int i = 0; i < N; ++i) {
        const float p[3] = {coords[i], coords[static_cast<std::size_t>(N) + i],
                            coords[2 * static_cast<std::size_t>(N) + i]};
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) continue;
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p[a]);
            hi[a] = std::max(hi[a], p[a]);
        }
        any = true;
    }
    const GridAcceleratorData layout = layOut(lo, hi, any, size, cellCap(N), "Nodal grid");
    fill(layout, coords.get(), N, true);
}

void GridAccelerator::fill(const GridAcceleratorData& layout, const float* points, int count, bool nodal) {
    data_ = GridAcceleratorData();  // no half-built grid stays in use if this throws
    elementCount_ = 0;
    cellHead_.reset();
    nextInCell_.reset();
    const GridAcceleratorData& g = layout;
    const std::size_t nCells =
        static_cast<std::size_t>(g.gridDims[0]) * g.gridDims[1] * static_cast<std::size_t>(g.gridDims[2]);
    const std::size_t n = static_cast<std::size_t>(count);
    auto head = dev::pinnedBuffer<int>(nCells), next = dev::pinnedBuffer<int>(n);
    if (nCells > 0) std::memset(head.get(), 0xFF, nCells * sizeof(int));
    if (n > 0) std::memset(next.get(), 0xFF, n * sizeof(int));

    // Elements go in by index, each at the tail of its cell's list; the tails
    // are remembered so appending does not walk the list.
    std::vector<int> tail(nCells, -1);
    for (int e = 0; e < count; ++e) {
        const Vec3 p(points[e], points[n + e], points[2 * n + e]);
        int c[3];
        if (!g.locateCell(p, c)) {
            std::printf("ERROR: cell not found\n\n");
            continue;
        }
        const int cell = g.cellIndex(c[0], c[1], c[2]);
        if (tail[cell] == -1)
            head[cell] = e;
        else
            next[tail[cell]] = e;
        tail[cell] = e;
    }

    cellHead_ = dev::deviceBuffer<int>(nCells);
    nextInCell_ = dev::deviceBuffer<int>(n);
    dev::upload(cellHead_.get(), head.get(), nCells);
    dev::upload(nextInCell_.get(), next.get(), n);
    data_ = g;
    data_.cellHead = cellHead_.get();
    data_.nextInCell = nextInCell_.get();
    elementCount_ = count;

    std::printf(nodal ? "Nodal cell structure built:\n Grid: (%d, %d, %d)\n Cell dimensions (%f, %f, %f)\n"
                      : "Cell structure built:\n Grid: (%d, %d, %d)\n Cell dimensions (%f, %f, %f)\n",
                g.gridDims[0], g.gridDims[1], g.gridDims[2], g.cellSize[0], g.cellSize[1], g.cellSize[2]);
    printOccupancy(count, head.get(), next.get(), static_cast<int>(nCells), nodal ? "Nodal grid" : "Face grid");
    std::fflush(stdout);
}

void GridAccelerator::printOccupancy(int elementCount, const int* h_cellHead, const int* h_nextInCell, int nCells,
                                     const char* label) const {
    if (nCells < 1) {
        std::printf("%s occupancy: no cells were allocated.\n", label);
        std::fflush(stdout);
        return;
    }
    const std::size_t C = static_cast<std::size_t>(nCells);

    // Per-cell counts; a link outside the element range ends a list, and no
    // list is followed for more steps than there are elements.
    std::vector<int> counts(C, 0);
    long long linked = 0;
    int nonEmpty = 0, minCount = 0, maxCount = 0;
    for (std::size_t cell = 0; cell < C; ++cell) {
        int count = 0;
        for (int e = h_cellHead[cell]; e >= 0 && e < elementCount && count < elementCount; e = h_nextInCell[e])
            ++count;
        counts[cell] = count;
        linked += count;
        if (count > 0) {
            minCount = nonEmpty == 0 ? count : std::min(minCount, count);
            ++nonEmpty;
        }
        maxCount = std::max(maxCount, count);
    }
    std::vector<float> sorted(counts.begin(), counts.end());
    std::sort(sorted.begin(), sorted.end());

    // Elements within reach of a query in each cell: its 3 x 3 x 3 block.
    const int nx = data_.gridDims[0], ny = data_.gridDims[1], nz = data_.gridDims[2];
    const bool shaped = static_cast<long long>(nx) * ny * nz == nCells;
    std::vector<int> stencil(C);
    long long stencilSum = 0;
    for (std::size_t cell = 0; cell < C; ++cell) {
        int s = counts[cell];
        if (shaped) {
            const int ix = static_cast<int>(cell % nx), iy = static_cast<int>((cell / nx) % ny),
                      iz = static_cast<int>(cell / (static_cast<std::size_t>(nx) * ny));
            s = 0;
            for (int k = 0; k < 27; ++k) {
                const int cx = ix + k % 3 - 1, cy = iy + (k / 3) % 3 - 1, cz = iz + k / 9 - 1;
                if (data_.containsCell(cx, cy, cz)) s += counts[data_.cellIndex(cx, cy, cz)];
            }
        }
        stencil[cell] = s;
        stencilSum += s;
    }
    const auto [stencilMin, stencilMax] = std::minmax_element(stencil.begin(), stencil.end());
    std::vector<float> sortedStencil(stencil.begin(), stencil.end());
    std::sort(sortedStencil.begin(), sortedStencil.end());

    const float meanAll = static_cast<float>(linked) / static_cast<float>(nCells);
    const float meanNonEmpty = nonEmpty > 0 ? static_cast<float>(linked) / static_cast<float>(nonEmpty) : 0.0f;
    const float stencilMean = static_cast<float>(stencilSum) / static_cast<float>(nCells);

    std::printf("\n%s occupancy:\n", label);
    std::printf("  cells total/non-empty/empty: %d / %d / %d\n", nCells, nonEmpty, nCells - nonEmpty);
    std::printf("  elements linked/check: %d / %d\n", static_cast<int>(linked), elementCount);
    std::printf("  per-cell count mean(all/non-empty): %.3f / %.3f\n", meanAll, meanNonEmpty);
    std::printf("  per-cell count min/p50/p90/max: %d / %.1f / %.1f / %d\n", minCount, percentile(sorted, 0.5f),
                percentile(sorted, 0.9f), maxCount);
    std::printf("  27-cell stencil count mean: %.3f\n", stencilMean);
    std::printf("  27-cell stencil count min/p10/p50/p90/max: %d / %.1f / %.1f / %.1f / %d\n", *stencilMin,
                percentile(sortedStencil, 0.1f), percentile(sortedStencil, 0.5f), percentile(sortedStencil, 0.9f),
                *stencilMax);
    std::fflush(stdout);
}
