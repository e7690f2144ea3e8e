#include "mesh/MeshChecks.hpp"

#include "mesh/FaceMatching.hpp"
#include "mesh/MeshDataFlat.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// Corner volumes smaller than this fraction of the product of the corner's
// edge lengths count as zero: the element is flat or collapsed there.
constexpr double kFlatCorner = 1e-6;
// Element ids quoted in an error message.
constexpr int kQuotedIds = 5;

struct Vec3d {
    double x, y, z;
};

Vec3d point(const float* xyz, int node) {
    const float* p = xyz + 3 * static_cast<std::size_t>(node);
    return {p[0], p[1], p[2]};
}

Vec3d minus(Vec3d a, Vec3d b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double length(Vec3d a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }
double triple(Vec3d a, Vec3d b, Vec3d c) {
    return a.x * (b.y * c.z - b.z * c.y) - a.y * (b.x * c.z - b.z * c.x) + a.z * (b.x * c.y - b.y * c.x);
}

// Local nodes joined to each corner along xi, eta and zeta, and the sign that
// turns the triple product of those edges into the sign of det J there.
constexpr int kCornerEdges[8][3] = {{1, 3, 4}, {0, 2, 5}, {3, 1, 6}, {2, 0, 7},
                                    {5, 7, 0}, {4, 6, 1}, {7, 5, 2}, {6, 4, 3}};
constexpr int kCornerSign[8] = {1, -1, 1, -1, -1, 1, -1, 1};
// The twelve edges, and which of them kCornerEdges names at each corner.
constexpr int kEdges[12][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {4, 5}, {5, 6},
                               {6, 7}, {7, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
constexpr int kCornerEdgeIds[8][3] = {{0, 3, 8}, {0, 1, 9}, {2, 1, 10}, {2, 3, 11},
                                      {4, 7, 8}, {4, 5, 9}, {6, 5, 10}, {6, 7, 11}};

enum class Shape { Positive, Mirrored, Tangled, Degenerate };

// Classifies a hexahedron by the sign of its Jacobian at the eight corners.
// Each edge's length is taken once for the two corners that share it (the
// same value either way round).
Shape classify(const float* xyz, const int* nodes) {
    Vec3d p[8];
    for (int k = 0; k < 8; ++k) p[k] = point(xyz, nodes[k]);
    double edgeLength[12];
    for (int i = 0; i < 12; ++i) edgeLength[i] = length(minus(p[kEdges[i][1]], p[kEdges[i][0]]));
    int positive = 0, negative = 0;
    for (int k = 0; k < 8; ++k) {
        const Vec3d a = minus(p[kCornerEdges[k][0]], p[k]);
        const Vec3d b = minus(p[kCornerEdges[k][1]], p[k]);
        const Vec3d c = minus(p[kCornerEdges[k][2]], p[k]);
        const double scale =
            edgeLength[kCornerEdgeIds[k][0]] * edgeLength[kCornerEdgeIds[k][1]] * edgeLength[kCornerEdgeIds[k][2]];
        const double volume = kCornerSign[k] * triple(a, b, c);
        if (!(std::fabs(volume) > kFlatCorner * scale)) return Shape::Degenerate;  // also scale == 0
        (volume > 0 ? positive : negative) += 1;
    }
    if (negative == 0) return Shape::Positive;
    return positive == 0 ? Shape::Mirrored : Shape::Tangled;
}

// Swapping the bottom and top faces reverses zeta and so the handedness.
void mirror(int* nodes) {
    for (int k = 0; k < 4; ++k) std::swap(nodes[k], nodes[k + 4]);
}

struct BadElements {
    int count = 0;
    std::string firstIds;

    void add(int element) {
        if (count < kQuotedIds) firstIds += (count ? ", " : "") + std::to_string(element);
        else if (count == kQuotedIds) firstIds += ", ...";
        ++count;
    }
    std::string describe(const char* what) const {
        return std::to_string(count) + " " + what + " (elements " + firstIds + ")";
    }
};

void checkFiniteCoordinates(const float* xyz, int nPoints) {
    for (std::size_t i = 0; i < 3 * static_cast<std::size_t>(nPoints); ++i)
        if (!std::isfinite(xyz[i]))
            throw InvalidMeshError("point " + std::to_string(i / 3) + " has a non-finite coordinate");
}

// Reorders mirrored hexahedra; throws for tangled and degenerate ones.
int orientElements(const float* xyz, int* cells, int nCells) {
    BadElements tangled, degenerate;
    int mirrored = 0;
    for (int e = 0; e < nCells; ++e) {
        int* nodes = cells + 8 * static_cast<std::size_t>(e);
        switch (classify(xyz, nodes)) {
            case Shape::Positive: break;
            case Shape::Mirrored: mirror(nodes); ++mirrored; break;
            case Shape::Tangled: tangled.add(e); break;
            case Shape::Degenerate: degenerate.add(e); break;
        }
    }
    if (tangled.count == 0 && degenerate.count == 0) return mirrored;
    std::string text = "Invalid mesh: ";
    if (tangled.count)
        text += tangled.describe("tangled hexahedra, whose corner volumes differ in sign (nodes out of VTK "
                                 "hexahedron order, or a self-intersecting cell)");
    if (tangled.count && degenerate.count) text += "; ";
    if (degenerate.count)
        text += degenerate.describe("degenerate hexahedra, with zero volume at a corner (a flat cell, or a "
                                    "collapsed edge or face such as a prism written as a hexahedron)");
    throw InvalidMeshError(text + ". Fix the node order or remesh these elements as proper hexahedra.");
}

// The same eight nodes, in any order: a duplicated element. The sums and
// xors of the ids are compared first, so most pairs are not sorted.
bool sameNodes(const int* cells, int a, int b) {
    const int* x = cells + 8 * static_cast<std::size_t>(a);
    const int* y = cells + 8 * static_cast<std::size_t>(b);
    long long sumX = 0, sumY = 0;
    int xorX = 0, xorY = 0;
    for (int k = 0; k < 8; ++k) {
        sumX += x[k], sumY += y[k];
        xorX ^= x[k], xorY ^= y[k];
    }
    if (sumX != sumY || xorX != xorY) return false;
    std::array<int, 8> sortedX, sortedY;
    std::copy(x, x + 8, sortedX.begin());
    std::copy(y, y + 8, sortedY.begin());
    std::sort(sortedX.begin(), sortedX.end());
    std::sort(sortedY.begin(), sortedY.end());
    return sortedX == sortedY;
}

// Faces used by three or more hexahedra, or by two copies of one hexahedron.
int countOversharedFaces(const FaceMatches& faces, const int* cells) {
    int overshared = faces.crowdedFaces;
    for (std::size_t s = 0; s < faces.partner.size(); ++s) {
        const int p = faces.partner[s];
        if (p >= 0 && static_cast<std::size_t>(p) > s && sameNodes(cells, static_cast<int>(s / 6), p / 6)) ++overshared;
    }
    return overshared;
}

// Used nodes that lie within the coincidence tolerance of a lower-numbered
// used node. Nodes are sorted by the cell of a grid much wider than the
// tolerance, so a node is compared with the nodes before it in its own cell,
// and only when its tolerance box reaches into other cells (rarely) with
// those cells' nodes too.
int countCoincidentNodes(const float* xyz, int nPoints, const int* cells, int nCells) {
    std::vector<char> used(static_cast<std::size_t>(nPoints), 0);
    for (std::size_t i = 0; i < 8 * static_cast<std::size_t>(nCells); ++i) used[cells[i]] = 1;
    Vec3d low{HUGE_VAL, HUGE_VAL, HUGE_VAL}, high{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (int i = 0; i < nPoints; ++i) {
        if (!used[i]) continue;
        const Vec3d p = point(xyz, i);
        low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
        high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
    }
    const double tolerance = kCoincidentNodeTolerance * length(minus(high, low));
    if (!(tolerance > 0) || !std::isfinite(tolerance)) return 0;  // no used nodes, or all in one point
    const double width = 64 * tolerance;  // the diagonal spans < 2^14 cells per axis
    struct Cell {
        std::int64_t i, j, k;
    };
    auto cellOf = [&](Vec3d p) {
        return Cell{static_cast<std::int64_t>((p.x - low.x) / width), static_cast<std::int64_t>((p.y - low.y) / width),
                    static_cast<std::int64_t>((p.z - low.z) / width)};
    };
    auto key = [](Cell c) { return (c.i << 42) | (c.j << 21) | c.k; };

    std::vector<std::pair<std::int64_t, int>> sorted;  // cell key, node
    for (int i = 0; i < nPoints; ++i)
        if (used[i]) sorted.emplace_back(key(cellOf(point(xyz, i))), i);
    std::sort(sorted.begin(), sorted.end());

    auto near = [&](Vec3d p, int other) { return length(minus(point(xyz, other), p)) <= tolerance; };
    int coincident = 0;
    for (std::size_t s = 0; s < sorted.size(); ++s) {
        const auto [ownKey, node] = sorted[s];
        const Vec3d p = point(xyz, node);
        bool found = false;
        for (std::size_t r = s; !found && r-- > 0 && sorted[r].first == ownKey;) found = near(p, sorted[r].second);
        const Cell first = cellOf({p.x - tolerance, p.y - tolerance, p.z - tolerance});
        const Cell last = cellOf({p.x + tolerance, p.y + tolerance, p.z + tolerance});
        for (std::int64_t a = std::max<std::int64_t>(first.i, 0); !found && a <= last.i; ++a)
            for (std::int64_t b = std::max<std::int64_t>(first.j, 0); !found && b <= last.j; ++b)
                for (std::int64_t c = std::max<std::int64_t>(first.k, 0); !found && c <= last.k; ++c) {
                    const std::int64_t other = key({a, b, c});
                    if (other == ownKey) continue;
                    auto it = std::lower_bound(sorted.begin(), sorted.end(), std::make_pair(other, -1));
                    for (; !found && it != sorted.end() && it->first == other && it->second < node; ++it)
                        found = near(p, it->second);
                }
        coincident += found;
    }
    return coincident;
}

}  // namespace

MeshCheckSummary checkHexMesh(const float* xyz, int nPoints, int* cells, int nCells, FaceMatches* matches) {
    checkFiniteCoordinates(xyz, nPoints);
    MeshCheckSummary summary;
    summary.reorderedElements = orientElements(xyz, cells, nCells);
    FaceMatches faces = matchElementFaces(cells, nCells, nPoints);
    if (const int overshared = countOversharedFaces(faces, cells))
        throw InvalidMeshError("Invalid mesh: " + std::to_string(overshared) +
                               " faces are shared by three or more hexahedra, or by two copies of one "
                               "hexahedron (duplicated elements, for instance a volume listed in two "
                               "physical groups); remove the duplicates");
    if (matches) *matches = std::move(faces);
    faces = FaceMatches();
    summary.coincidentNodes = countCoincidentNodes(xyz, nPoints, cells, nCells);

    if (summary.reorderedElements)
        std::printf("Warning: %d mirrored hexahedra (negative volume) reordered to positive orientation\n",
                    summary.reorderedElements);
    if (summary.coincidentNodes)
        std::printf("Warning: %d nodes coincide with other nodes but are not merged, so the faces between "
                    "them act as boundaries (load with lumivex_tools.load_mesh_file(..., "
                    "merge_coincident_nodes=True) to merge them)\n",
                    summary.coincidentNodes);
    return summary;
}

void checkFiniteValues(const float* values, int count, const char* name) {
    for (int i = 0; i < count; ++i)
        if (!std::isfinite(values[i]))
            throw InvalidMeshError(std::string(name) + " of node " + std::to_string(i) + " is not finite");
}
