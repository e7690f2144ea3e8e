#include "accel/GridAccelerator.hpp"
#include "accel/SurfaceRayTracer.hpp"
#include "mesh_fixtures.hpp"
#include "rays/RayCollection.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr float kInf = std::numeric_limits<float>::infinity();

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

Ray makeRay(Vec3 p, Vec3 d) {
    Ray r;
    r.position = p;
    r.direction = d;
    r.hitDistance = r.maxDistance = kInf;
    r.face = -1;
    return r;
}

// Quadrilateral faces given by corner points, as a host record (for calling
// the device operations directly) and as a device mesh (for the builds).
struct Faces {
    std::vector<float> coords;  // x | y | z
    std::vector<int> nodes;
    MeshDataFlat rec{};

    Faces(const std::vector<Vec3>& points, std::vector<int> faceNodes) : nodes(std::move(faceNodes)) {
        const std::size_t n = points.size();
        coords.resize(3 * n);
        for (std::size_t i = 0; i < n; ++i)
            for (int a = 0; a < 3; ++a) coords[a * n + i] = points[i][a];
        rec.nNodes = static_cast<int>(n);
        rec.nodeCoords = coords.data();
        rec.nFaces = static_cast<int>(nodes.size() / 4);
        rec.faceNodes = nodes.data();
    }
    std::unique_ptr<Mesh> mesh() const {
        auto m = std::make_unique<Mesh>(rec.nNodes, 0, rec.nFaces);
        dev::upload(m->h_mdata_devlink.nodeCoords, coords.data(), coords.size());
        dev::upload(m->h_mdata_devlink.faceNodes, nodes.data(), nodes.size());
        m->synchronize();
        return m;
    }
};

// Host copy of a built grid, usable by the device operations on any backend.
struct HostGrid {
    std::vector<int> head, next;
    GridAcceleratorData g;
    explicit HostGrid(const GridAccelerator& acc)
        : head(fetch(acc.data().cellHead, acc.cellCount())), next(fetch(acc.data().nextInCell, acc.elementCount())),
          g(acc.data()) {
        g.cellHead = head.data();
        g.nextInCell = next.data();
    }
};

std::string buildQuietly(GridAccelerator& acc, const Mesh& mesh, const float* nodalSize = nullptr) {
    CaptureStdout();
    if (nodalSize)
        acc.buildNodal(mesh, nodalSize);
    else
        acc.build(mesh);
    return GetCapturedStdout();
}

// ---------------------------------------------------------------- face test

TEST(FaceTest, WatertightAlongTheSharedDiagonalOfASkewQuad) {
    const Vec3 n0(0.1f, 0.2f, 0.3f), n1(1.3f, 0.1f, 0.5f), n2(1.2f, 1.4f, 0.9f), n3(0.05f, 1.1f, 0.6f);
    const Faces quad({n0, n1, n2, n3}, {0, 1, 2, 3});
    GridAcceleratorData g;
    const Vec3 eye(0.7f, 0.4f, 5.0f);
    for (int k = 1; k < 200; ++k) {
        const Vec3 target = n0 + (n2 - n0) * (k / 200.0f);
        Ray r = makeRay(eye, (target - eye).normalized());
        g.intersectFace(r, quad.rec, 0);
        ASSERT_EQ(r.face, 0) << "gap at k = " << k;
        EXPECT_NEAR(r.hitDistance, (target - eye).length(), 1e-4f);
        // The normal always comes from corner n0 (n1 - n0) x (n3 - n0).
        const Vec3 nrm = (n1 - n0).cross(n3 - n0).normalized();
        EXPECT_NEAR(r.hitNormal.dot(nrm), 1.0f, 1e-6f);
    }
}

TEST(FaceTest, DistanceRulesAndDegenerateNormal) {
    GridAcceleratorData g;
    // Both windings, seen from above and from below: the determinant takes
    // either sign, and so does T.
    for (const int winding : {1, -1})
    for (const float side : {1.0f, -1.0f}) {
        SCOPED_TRACE(testing::Message() << "winding " << winding << " side " << side);
        const Faces quad({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}},
                         winding > 0 ? std::vector<int>{0, 1, 2, 3} : std::vector<int>{0, 3, 2, 1});
        const Vec3 d(0, 0, -side);
        Ray r = makeRay({0.25f, 0.5f, 0.0f}, d);  // origin on the face: t = 0
        g.intersectFace(r, quad.rec, 0);
        EXPECT_EQ(r.face, -1);
        r = makeRay({0.25f, 0.5f, -side}, d);  // face behind the origin
        g.intersectFace(r, quad.rec, 0);
        EXPECT_EQ(r.face, -1);
        r = makeRay({0.25f, 0.5f, side}, {1, 0, 0});  // parallel to the face
        g.intersectFace(r, quad.rec, 0);
        EXPECT_EQ(r.face, -1);

        r = makeRay({0.25f, 0.5f, 2.0f * side}, d);
        r.maxDistance = 1.5f;  // beyond the bound
        g.intersectFace(r, quad.rec, 0);
        EXPECT_EQ(r.face, -1);
        r.maxDistance = 2.0f;  // at the bound
        r.hitDistance = 1.0f;  // but farther than a hit already found
        g.intersectFace(r, quad.rec, 0);
        EXPECT_EQ(r.face, -1);
        r.hitDistance = 2.0f;  // exactly at the current hit: taken again
        r.face = 7;
        g.intersectFace(r, quad.rec, 0);
        EXPECT_EQ(r.face, 0);
        EXPECT_EQ(r.hitDistance, 2.0f);
        EXPECT_EQ(r.hitNormal.z, static_cast<float>(winding));
    }

    // n1 == n0: only the second triangle can be hit and the normal is zero.
    const Faces bent({{0, 0, 0}, {0, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 3});
    Ray r = makeRay({0.2f, 0.6f, 1.0f}, {0, 0, -1});
    g.intersectFace(r, bent.rec, 0);
    EXPECT_EQ(r.face, 0);
    EXPECT_EQ(r.hitNormal.length(), 0.0f);
}

// --------------------------------------------------------------- grid walk

// Unit squares at z = 0 (face 0) and z = 1 (face 1).
const Faces& twoLayers() {
    static const Faces f({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}},
                         {0, 1, 2, 3, 4, 5, 6, 7});
    return f;
}

TEST(GridWalk, StartCellRules) {
    const Faces& f = twoLayers();
    GridAccelerator acc;
    buildQuietly(acc, *f.mesh());
    const GridAcceleratorData& g = acc.data();
    ASSERT_EQ(g.gridDims[0], 2);
    ASSERT_EQ(g.gridDims[2], 2);
    const float top = g.gridOrigin[2] + 2 * g.cellSize[2];

    // Cells span [-0.5, 0.5) and [0.5, 1.5) along each axis.
    EXPECT_EQ(g.findInitialCell(makeRay({0.2f, 0.7f, 0.9f}, {0, 0, 1})), g.cellIndex(0, 1, 1));
    // The upper face counts as outside: the ray enters the top layer.
    EXPECT_EQ(g.findInitialCell(makeRay({0.2f, 0.2f, top}, {0, 0, -1})), g.cellIndex(0, 0, 1));
    // Pointing away from the grid, it gets the cell at the far side behind it.
    EXPECT_EQ(g.findInitialCell(makeRay({0.2f, 0.2f, top}, {0, 0, 1})), g.cellIndex(0, 0, 0));
    // Outside and parallel to a slab it is outside of: no cell. Near-zero
    // components along axes where it is inside do not matter.
    EXPECT_EQ(g.findInitialCell(makeRay({0.2f, 0.2f, 9.0f}, {1, 0, 0})), -1);
    EXPECT_EQ(g.findInitialCell(makeRay({0.2f, 0.2f, 9.0f}, {1e-11f, 0, -1})), g.cellIndex(0, 0, 1));

    HostGrid h(acc);
    Ray away = makeRay({0.2f, 0.2f, top}, {0, 0, 1});
    h.g.findIntersection(away, f.rec);
    EXPECT_EQ(away.face, -1);
    EXPECT_EQ(away.hitDistance, kInf);
    Ray parallel = makeRay({0.2f, 0.2f, 9.0f}, {1, 0, 0});
    h.g.findIntersection(parallel, f.rec);
    EXPECT_EQ(parallel.face, -1);
}

TEST(GridWalk, EntryNudgeIsPerAxisAndStepsFollowTheCrossingParameters) {
    GridAcceleratorData g;
    g.gridDims[0] = g.gridDims[1] = g.gridDims[2] = 4;
    g.cellSize[0] = g.cellSize[2] = 1.0f;
    g.cellSize[1] = 500.0f;
    // Enters through x = 0 where y is 0.005 below a cell wall: the nudge along
    // y is 1e-5 of the grid's 2000-unit length in y and carries it across;
    // along x it is 1e-5 of 4 and keeps it in the first cell.
    const float s = std::sqrt(0.5f);
    EXPECT_EQ(g.findInitialCell(makeRay({-1.0f, 498.995f, 0.5f}, {s, s, 0})), g.cellIndex(0, 1, 0));

    // Steps of 4, 1 and 2 in the ray parameter along x, y, z, the first
    // crossings one full step away; ties go to x, then y.
    g.cellSize[1] = 1.0f;
    std::vector<int> cells;
    g.walkCells(makeRay({0.5f, 0.9f, 0.1f}, {0.25f, 1.0f, 0.5f}),
                [&](int ix, int iy, int iz) { cells.push_back(g.cellIndex(ix, iy, iz)); });
    EXPECT_EQ(cells, (std::vector<int>{g.cellIndex(0, 0, 0), g.cellIndex(0, 1, 0), g.cellIndex(0, 2, 0),
                                       g.cellIndex(0, 2, 1), g.cellIndex(0, 3, 1), g.cellIndex(1, 3, 1)}));
}

TEST(GridWalk, KeepsTheNearestFaceWhateverTheVisitingOrder) {
    const Faces& f = twoLayers();
    GridAccelerator acc;
    buildQuietly(acc, *f.mesh());
    HostGrid h(acc);
    // Blocks are visited lower z first: going down, the far face is tested
    // first; going up, the near one.
    Ray down = makeRay({0.3f, 0.6f, 4.0f}, {0, 0, -1});
    h.g.findIntersection(down, f.rec);
    EXPECT_EQ(down.face, 1);
    EXPECT_FLOAT_EQ(down.hitDistance, 3.0f);
    Ray up = makeRay({0.3f, 0.6f, -2.0f}, Vec3(0.1f, 0.0f, 1.0f).normalized());
    h.g.findIntersection(up, f.rec);
    EXPECT_EQ(up.face, 0);
    Ray between = makeRay({0.3f, 0.6f, 0.5f}, {0, 0, -1});
    h.g.findIntersection(between, f.rec);
    EXPECT_EQ(between.face, 0);
    EXPECT_FLOAT_EQ(between.hitDistance, 0.5f);
}

TEST(GridWalk, EqualDistanceGoesToTheFaceTestedLast) {
    const Faces twins({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 3, 0, 1, 2, 3});
    GridAccelerator acc;
    buildQuietly(acc, *twins.mesh());
    HostGrid h(acc);
    Ray r = makeRay({0.5f, 0.5f, 3.0f}, {0, 0, -1});
    h.g.findIntersection(r, twins.rec);
    EXPECT_EQ(r.face, 1);
    // Reverse the shared list: now face 0 is tested last.
    const int cell = h.g.findCell({0.5f, 0.5f, 0.0f});
    ASSERT_EQ(h.head[cell], 0);
    ASSERT_EQ(h.next[0], 1);
    h.head[cell] = 1;
    h.next[1] = 0;
    h.next[0] = -1;
    r = makeRay({0.5f, 0.5f, 3.0f}, {0, 0, -1});
    h.g.findIntersection(r, twins.rec);
    EXPECT_EQ(r.face, 0);

    // Neighbours sharing the edge x = 1 (in cells x = 1 and x = 2): both are
    // hit at the same distance and the cell visited later in the block wins.
    const Faces pair({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}, {2, 1, 0}}, {0, 1, 2, 3, 1, 4, 5, 2});
    buildQuietly(acc, *pair.mesh());
    HostGrid hp(acc);
    r = makeRay({1.0f, 0.5f, 3.0f}, {0, 0, -1});
    hp.g.findIntersection(r, pair.rec);
    EXPECT_EQ(r.face, 1);
    EXPECT_EQ(r.hitDistance, 3.0f);
}

// -------------------------------------------------------------- face grid

TEST(GridBuild, SingleFaceGivesTwoCellsPerAxisAndTheExactReport) {
    const Faces one({{0, 0, 0}, {2, 0, 1}, {2, 4, 1}, {0, 4, 0}}, {0, 1, 2, 3});
    GridAccelerator acc;
    EXPECT_EQ(buildQuietly(acc, *one.mesh()),
              "Cell structure built:\n Grid: (2, 2, 2)\n Cell dimensions (2.000000, 4.000000, 1.000000)\n"
              "\nFace grid occupancy:\n"
              "  cells total/non-empty/empty: 8 / 1 / 7\n"
              "  elements linked/check: 1 / 1\n"
              "  per-cell count mean(all/non-empty): 0.125 / 1.000\n"
              "  per-cell count min/p50/p90/max: 1 / 0.0 / 0.3 / 1\n"
              "  27-cell stencil count mean: 1.000\n"
              "  27-cell stencil count min/p10/p50/p90/max: 1 / 1.0 / 1.0 / 1.0 / 1\n");
    const GridAcceleratorData& g = acc.data();
    EXPECT_EQ(g.gridOrigin[0], -1.0f);
    EXPECT_EQ(g.gridOrigin[1], -2.0f);
    EXPECT_EQ(g.gridOrigin[2], -0.5f);
    EXPECT_EQ(fetch(g.cellHead, 8), (std::vector<int>{-1, -1, -1, -1, -1, -1, -1, 0}));
}

TEST(GridBuild, BoxMeshListsEveryFaceOnceAscendingInItsCentresCell) {
    auto mesh = loadedMesh(BoxGrid(3, 2, 2).data());
    GridAccelerator acc;
    buildQuietly(acc, *mesh);
    buildQuietly(acc, *mesh);  // a rebuild replaces the arrays
    const GridAcceleratorData& g = acc.data();
    EXPECT_EQ(g.gridDims[0], 4);
    EXPECT_EQ(g.gridDims[1], 3);
    EXPECT_EQ(g.gridDims[2], 3);
    EXPECT_EQ(g.cellSize[0], 1.0f);

    const int F = mesh->faceCount(), N = mesh->nodeCount();
    ASSERT_EQ(F, 2 * (4 + 6 + 6));
    const std::vector<int> faceNodes = fetch(mesh->h_mdata_devlink.faceNodes, 4 * F);
    const std::vector<float> coords = fetch(mesh->h_mdata_devlink.nodeCoords, 3 * N);
    HostGrid h(acc);
    std::vector<int> seen(F, 0);
    for (int cell = 0; cell < acc.cellCount(); ++cell) {
        int previous = -1;
        for (int f = h.head[cell]; f != -1; f = h.next[f]) {
            ASSERT_GT(f, previous);
            previous = f;
            ++seen[f];
            Vec3 lo(kInf, kInf, kInf), hi(-kInf, -kInf, -kInf);
            for (int k = 0; k < 4; ++k)
                for (int a = 0; a < 3; ++a) {
                    lo[a] = std::min(lo[a], coords[a * N + faceNodes[4 * f + k]]);
                    hi[a] = std::max(hi[a], coords[a * N + faceNodes[4 * f + k]]);
                }
            EXPECT_EQ(h.g.findCell(lo + (hi - lo) * 0.5f), cell);
        }
    }
    EXPECT_EQ(seen, std::vector<int>(F, 1));
}

TEST(GridBuild, FlatNonFiniteEmptyAndOverFineInputsStaySane) {
    // Flat along z: the z cells borrow the largest other size.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Faces flat({{0, 0, 0}, {2, 0, 0}, {2, 4, 0}, {0, 4, 0}, {nan, 0, 0}, {0, kInf, 0}},
                     {0, 1, 2, 3, 0, 4, 2, 3, 5, 1, 2, 3});
    GridAccelerator acc;
    const std::string out = buildQuietly(acc, *flat.mesh());
    EXPECT_HAS(out, ("ERROR: cell not found\n\nERROR: cell not found\n\nCell structure built:\n"
                               " Grid: (2, 2, 1)\n Cell dimensions (2.000000, 4.000000, 4.000000)\n"));
    EXPECT_HAS(out, "elements linked/check: 1 / 3\n");
    HostGrid h(acc);
    Ray r = makeRay({1.0f, 1.0f, 5.0f}, {0, 0, -1});
    h.g.findIntersection(r, flat.rec);
    EXPECT_EQ(r.face, 0);

    // No faces at all: an empty grid that no ray enters.
    Mesh empty;
    EXPECT_HAS(buildQuietly(acc, empty), "Face grid occupancy: no cells were allocated.\n");
    EXPECT_EQ(acc.cellCount(), 0);
    EXPECT_EQ(acc.data().findInitialCell(makeRay({0, 0, 0}, {0, 0, 1})), -1);

    // Two tiny faces far apart would need ~10^21 cells: the sizes grow.
    const Faces far({{0, 0, 0}, {1e-3f, 0, 0}, {1e-3f, 1e-3f, 1e-3f}, {0, 1e-3f, 0},
                     {1e4f, 1e4f, 1e4f}, {1e4f, 1e4f, 1e4f + 1e-3f}, {1e4f, 1e4f + 1e-3f, 1e4f}, {1e4f, 1e4f, 1e4f}},
                    {0, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_HAS(buildQuietly(acc, *far.mesh()), "elements linked/check: 2 / 2\n");
    EXPECT_LE(acc.cellCount(), 1 << 20);
    EXPECT_GT(acc.cellCount(), 1 << 16);
    HostGrid hf(acc);
    Ray r2 = makeRay({1e4f + 1.0f, 1e4f + 1e-4f, 1e4f + 1e-4f}, {-1, 0, 0});
    hf.g.findIntersection(r2, far.rec);
    EXPECT_EQ(r2.face, 1);

    // Extents that overflow a float still give a finite grid.
    const Faces huge({{-3e38f, 0, 0}, {3e38f, 0, 0}, {3e38f, 1, 1}, {-3e38f, 1, 0}}, {0, 1, 2, 3});
    buildQuietly(acc, *huge.mesh());
    EXPECT_GE(acc.cellCount(), 1);
    EXPECT_LE(acc.cellCount(), 1 << 20);
}

// -------------------------------------------------------------- nodal grid

TEST(NodalGrid, TwoCellsForAPositiveExtentOneForNoneAndBoundaryNodesInside) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Faces square({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0.5f, 0.5f, 0}, {nan, 9, 9}}, {});
    const float size[3] = {1.0f, 5.0f, 1.0f};
    GridAccelerator acc;
    const std::string out = buildQuietly(acc, *square.mesh(), size);
    EXPECT_EQ(out.rfind("ERROR: cell not found\n\nNodal cell structure built:\n Grid: (2, 2, 1)\n"
                        " Cell dimensions (1.000000, 5.000000, 1.000000)\n\nNodal grid occupancy:\n",
                        0),
              0u)
        << out;
    EXPECT_HAS(out, "ERROR: cell not found\n\nNodal cell structure built:\n");
    EXPECT_HAS(out, "elements linked/check: 5 / 6\n");
    HostGrid h(acc);
    // Cells along x: [-0.5, 0.5) and [0.5, 1.5); along y the first of the
    // two cells, [-2.5, 2.5), holds every node.
    EXPECT_EQ(h.head[h.g.cellIndex(0, 0, 0)], 0);
    EXPECT_EQ(h.next[0], 2);
    EXPECT_EQ(h.head[h.g.cellIndex(1, 0, 0)], 1);
    EXPECT_EQ(h.next[1], 3);
    EXPECT_EQ(h.next[3], 4);
    // The neighbour query from any node reaches every node; locating
    // truncates toward zero, so a point less than a cell below the origin
    // still falls in the first cell.
    int c[3];
    ASSERT_TRUE(h.g.locateCell({-0.75f, 0, 0}, c));
    EXPECT_EQ(c[0], 0);
    EXPECT_FALSE(h.g.locateCell({-1.5f, 0, 0}, c));
    ASSERT_TRUE(h.g.locateCell({0, 0, 0}, c));
    int found = 0;
    h.g.forEachInBlock(c[0], c[1], c[2], [&](int) { ++found; });
    EXPECT_EQ(found, 5);
}

TEST(NodalGrid, OccupancyReportCountsPercentilesAndClippedStencils) {
    const Faces ends({{0, 0, 0}, {2, 1, 0}}, {});
    const float size[3] = {1.0f, 1.0f, 1.0f};
    GridAccelerator acc;
    buildQuietly(acc, *ends.mesh(), size);
    ASSERT_EQ(acc.cellCount(), 6);  // 3 x 2 x 1
    // Cell 0 holds element 0, cell 5 elements 1..3; element 4 is in no list.
    const int head[6] = {0, -1, -1, -1, -1, 1};
    const int next[5] = {-1, 2, 3, -1, -1};
    CaptureStdout();
    acc.printOccupancy(5, head, next, 6, "Nodal grid");
    EXPECT_EQ(GetCapturedStdout(),
              "\nNodal grid occupancy:\n"
              "  cells total/non-empty/empty: 6 / 2 / 4\n"
              "  elements linked/check: 4 / 5\n"
              "  per-cell count mean(all/non-empty): 0.667 / 2.000\n"
              "  per-cell count min/p50/p90/max: 1 / 0.0 / 2.0 / 3\n"
              "  27-cell stencil count mean: 2.667\n"
              "  27-cell stencil count min/p10/p50/p90/max: 1 / 1.0 / 3.0 / 4.0 / 4\n");
    CaptureStdout();
    acc.printOccupancy(0, nullptr, nullptr, 0, "Face grid");
    EXPECT_EQ(GetCapturedStdout(), "Face grid occupancy: no cells were allocated.\n");
}

TEST(NodalGrid, InvalidCellSizesAreReplacedAndReported) {
    auto mesh = loadedMesh(BoxGrid(2, 2, 2).data());
    GridAccelerator acc;
    const float mixed[3] = {0.0f, 2.0f, std::numeric_limits<float>::quiet_NaN()};
    std::string out = buildQuietly(acc, *mesh, mixed);
    EXPECT_HAS(out, "Warning: nodal grid cell size along x (0) is not positive and finite; using 2.\n");
    EXPECT_HAS(out, "Grid: (2, 2, 2)\n Cell dimensions (2.000000, 2.000000, 2.000000)\n");
    EXPECT_HAS(out, "elements linked/check: 27 / 27\n");
    const float none[3] = {0.0f, -1.0f, kInf};
    out = buildQuietly(acc, *mesh, none);
    EXPECT_HAS(out, "Grid: (3, 3, 3)\n Cell dimensions (1.000000, 1.000000, 1.000000)\n");
    const float tiny[3] = {1e-30f, 1e-30f, 1e-30f};
    out = buildQuietly(acc, *mesh, tiny);
    EXPECT_LE(acc.cellCount(), 1 << 20);
    EXPECT_HAS(out, "elements linked/check: 27 / 27\n");
}

// ------------------------------------------------------------ surface trace

TEST(SurfaceTrace, RaysLandOnTheRightFaceAtTheRightPointAndMissesKeepTheirPosition) {
    auto mesh = loadedMesh(BoxGrid(3, 2, 2).data());
    auto tracer = createSurfaceRayTracer(1);
    ASSERT_NE(tracer, nullptr);
    CaptureStdout();
    tracer->buildAccelerator(*mesh);
    EXPECT_HAS(GetCapturedStdout(), "Face grid occupancy:\n");

    struct Case {
        Vec3 p, d;
        int axis;  // axis of the plane hit, -1 for a miss
        Vec3 hit;
    };
    const Vec3 slant = Vec3(0.3f, -0.2f, 1.0f).normalized();
    const std::vector<Case> cases = {
        {{-4.0f, 0.5f, 1.5f}, {1, 0, 0}, 0, {0.0f, 0.5f, 1.5f}},
        {{7.0f, 1.25f, 0.75f}, {-1, 0, 0}, 0, {3.0f, 1.25f, 0.75f}},
        {{2.5f, -3.0f, 0.25f}, {0, 1, 0}, 1, {2.5f, 0.0f, 0.25f}},
        {{0.5f, 1.5f, 9.0f}, {0, 0, -1}, 2, {0.5f, 1.5f, 2.0f}},
        {Vec3(1.3f, 0.7f, 0.0f) - slant * 5.0f, slant, 2, {1.3f, 0.7f, 0.0f}},  // from below, aimed
        {{1.0f, 1.0f, 6.0f}, {0, 0, -1}, 2, {1.0f, 1.0f, 2.0f}},                 // onto a shared corner
        {{1.5f, 1.0f, 1.0f}, {0, 1, 0}, 1, {1.5f, 2.0f, 1.0f}},                  // from inside: exit face
        {{-4.0f, 5.0f, 1.0f}, {1, 0, 0}, -1, {-4.0f, 5.0f, 1.0f}},               // passes beside the box
        {{0.5f, 0.5f, 9.0f}, {0, 0, 1}, -1, {0.5f, 0.5f, 9.0f}},                 // points away
    };
    const int n = static_cast<int>(cases.size());
    RayCollection rays(n);
    std::vector<float> pos(3 * n), dir(3 * n), payload(n, 0.5f);
    for (int i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) {
            pos[a * n + i] = cases[i].p[a];
            dir[a * n + i] = cases[i].d[a];
        }
    dev::upload(rays.h_rdata.positions, pos.data(), pos.size());
    dev::upload(rays.h_rdata.directions, dir.data(), dir.size());
    dev::upload(rays.h_rdata.payloads, payload.data(), payload.size());
    const std::vector<int> stale(n, 4);  // entry faces of an earlier trace
    dev::upload(rays.h_rdata.faceIds, stale.data(), stale.size());
    tracer->traceRays(rays, *mesh);

    const std::vector<float> outPos = fetch(rays.h_rdata.positions, 3 * n);
    const std::vector<float> outDir = fetch(rays.h_rdata.directions, 3 * n);
    const std::vector<int> faces = fetch(rays.h_rdata.faceIds, n);
    const std::vector<int> faceNodes = fetch(mesh->h_mdata_devlink.faceNodes, 4 * mesh->faceCount());
    const int N = mesh->nodeCount();
    const std::vector<float> coords = fetch(mesh->h_mdata_devlink.nodeCoords, 3 * N);
    EXPECT_EQ(fetch(rays.h_rdata.payloads, n), payload);
    EXPECT_EQ(outDir, dir);
    for (int i = 0; i < n; ++i) {
        const Case& c = cases[i];
        for (int a = 0; a < 3; ++a) EXPECT_NEAR(outPos[a * n + i], c.hit[a], 1e-5f) << "ray " << i;
        if (c.axis < 0) {
            EXPECT_EQ(faces[i], -1) << "ray " << i;
            continue;
        }
        ASSERT_GE(faces[i], 0) << "ray " << i;
        // The face lies in the plane hit and its box holds the landing point.
        for (int k = 0; k < 4; ++k) {
            const int node = faceNodes[4 * faces[i] + k];
            EXPECT_EQ(coords[c.axis * N + node], c.hit[c.axis]) << "ray " << i;
        }
        for (int a = 0; a < 3; ++a) {
            float lo = kInf, hi = -kInf;
            for (int k = 0; k < 4; ++k) {
                lo = std::min(lo, coords[a * N + faceNodes[4 * faces[i] + k]]);
                hi = std::max(hi, coords[a * N + faceNodes[4 * faces[i] + k]]);
            }
            EXPECT_LE(lo, c.hit[a]);
            EXPECT_GE(hi, c.hit[a]);
        }
    }
}

TEST(SurfaceTrace, ZeroRaysAndUnknownKinds) {
    EXPECT_EQ(createSurfaceRayTracer(0), nullptr);
    EXPECT_EQ(createSurfaceRayTracer(2), nullptr);
    auto mesh = loadedMesh(BoxGrid(1, 1, 1).data());
    auto tracer = createSurfaceRayTracer(1);
    CaptureStdout();
    tracer->buildAccelerator(*mesh);
    GetCapturedStdout();
    RayCollection none(0);
    tracer->traceRays(none, *mesh);
    EXPECT_STREQ(dev::lastError(), "no error");
}

}  // namespace
