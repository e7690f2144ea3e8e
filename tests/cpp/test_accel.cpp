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
const float kNaN = std::numeric_limits<float>::quiet_NaN();

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

Ray makeRay(Vec3 p, Vec3 d) {
    Ray r;
    r.position = p, r.direction = d, r.hitDistance = r.maxDistance = kInf;
    return r;
}

// Quadrilateral faces over a list of points, as a host record (for calling
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
    explicit Faces(const Mesh& m)
        : coords(fetch(m.h_mdata_devlink.nodeCoords, 3 * m.nodeCount())),
          nodes(fetch(m.h_mdata_devlink.faceNodes, 4 * m.faceCount())) {
        rec.nNodes = m.nodeCount();
        rec.nodeCoords = coords.data();
        rec.nFaces = m.faceCount();
        rec.faceNodes = nodes.data();
    }
    std::unique_ptr<Mesh> mesh() const {
        auto m = std::make_unique<Mesh>(rec.nNodes, 0, rec.nFaces);
        dev::upload(m->h_mdata_devlink.nodeCoords, coords.data(), coords.size());
        dev::upload(m->h_mdata_devlink.faceNodes, nodes.data(), nodes.size());
        m->synchronize();
        return m;
    }
    void box(int f, Vec3& lo, Vec3& hi) const {
        lo = Vec3(kInf, kInf, kInf), hi = -lo;
        for (int k = 0; k < 4; ++k)
            for (int a = 0; a < 3; ++a) {
                const float c = coords[a * rec.nNodes + nodes[4 * f + k]];
                lo[a] = std::min(lo[a], c), hi[a] = std::max(hi[a], c);
            }
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
    Ray trace(const Faces& f, Vec3 p, Vec3 d) const {
        Ray r = makeRay(p, d);
        g.findIntersection(r, f.rec);
        return r;
    }
};

std::string buildQuietly(GridAccelerator& acc, const Mesh& mesh, const float* nodalSize = nullptr) {
    CaptureStdout();
    nodalSize ? acc.buildNodal(mesh, nodalSize) : acc.build(mesh);
    return GetCapturedStdout();
}

TEST(FaceTest, WatertightAlongTheSharedDiagonalOfASkewQuad) {
    const Vec3 n0(0.1f, 0.2f, 0.3f), n1(1.3f, 0.1f, 0.5f), n2(1.2f, 1.4f, 0.9f), n3(0.05f, 1.1f, 0.6f);
    const Faces quad({n0, n1, n2, n3}, {0, 1, 2, 3});
    const Vec3 eye(0.7f, 0.4f, 5.0f), normal = (n1 - n0).cross(n3 - n0).normalized();
    for (int k = 1; k < 200; ++k) {
        const Vec3 target = n0 + (n2 - n0) * (k / 200.0f);
        Ray r = makeRay(eye, (target - eye).normalized());
        GridAcceleratorData().intersectFace(r, quad.rec, 0);
        ASSERT_EQ(r.face, 0) << "gap at k = " << k;
        EXPECT_NEAR(r.hitDistance, (target - eye).length(), 1e-4f);
        EXPECT_NEAR(r.hitNormal.dot(normal), 1.0f, 1e-6f);
    }
}

TEST(FaceTest, DistanceRulesAndDegenerateNormal) {
    GridAcceleratorData g;
    // Both windings seen from both sides: det and T take either sign.
    for (const int winding : {1, -1})
        for (const float side : {1.0f, -1.0f}) {
            SCOPED_TRACE(testing::Message() << "winding " << winding << " side " << side);
            const Faces quad({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}},
                             winding > 0 ? std::vector<int>{0, 1, 2, 3} : std::vector<int>{0, 3, 2, 1});
            const Vec3 d(0, 0, -side);
            for (const Ray& miss : {makeRay({0.25f, 0.5f, 0}, d),               // t = 0
                                    makeRay({0.25f, 0.5f, -side}, d),           // behind
                                    makeRay({0.25f, 0.5f, side}, {1, 0, 0})}) {  // parallel
                Ray r = miss;
                g.intersectFace(r, quad.rec, 0);
                EXPECT_EQ(r.face, -1);
            }
            Ray r = makeRay({0.25f, 0.5f, 2.0f * side}, d);
            r.maxDistance = 1.5f;  // beyond the bound
            g.intersectFace(r, quad.rec, 0);
            EXPECT_EQ(r.face, -1);
            r.maxDistance = 2.0f;  // at the bound, but farther than the hit so far
            r.hitDistance = 1.0f;
            g.intersectFace(r, quad.rec, 0);
            EXPECT_EQ(r.face, -1);
            r.hitDistance = 2.0f;  // exactly at the current hit: taken again
            r.face = 7;
            g.intersectFace(r, quad.rec, 0);
            EXPECT_EQ(r.face, 0);
            EXPECT_EQ(r.hitDistance, 2.0f);
            EXPECT_EQ(r.hitNormal.z, static_cast<float>(winding));
        }
    // n1 == n0: only the second triangle can be hit, and the normal is zero.
    const Faces bent({{0, 0, 0}, {0, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 3});
    Ray r = makeRay({0.2f, 0.6f, 1.0f}, {0, 0, -1});
    g.intersectFace(r, bent.rec, 0);
    EXPECT_EQ(r.face, 0);
    EXPECT_EQ(r.hitNormal.length(), 0.0f);
}

// Unit squares at z = 0 (face 0) and z = 1 (face 1): cells of size 1 from
// -0.5, two along each axis.
const Faces kLayers({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}},
                    {0, 1, 2, 3, 4, 5, 6, 7});

TEST(GridWalk, StartCellEntryNudgeAndStepOrder) {
    GridAccelerator acc;
    buildQuietly(acc, *kLayers.mesh());
    const GridAcceleratorData& g = acc.data();
    ASSERT_EQ(acc.cellCount(), 8);
    EXPECT_EQ(g.findInitialCell(makeRay({0.2f, 0.7f, 0.9f}, {0, 0, 1})), g.cellIndex(0, 1, 1));
    // The upper face counts as outside: the ray enters the top layer ...
    EXPECT_EQ(g.findInitialCell(makeRay({0.2f, 0.2f, 1.5f}, {0, 0, -1})), g.cellIndex(0, 0, 1));
    // ... or, pointing away, gets the far side behind it, where nothing is hit.
    EXPECT_EQ(g.findInitialCell(makeRay({0.2f, 0.2f, 1.5f}, {0, 0, 1})), g.cellIndex(0, 0, 0));
    HostGrid h(acc);
    EXPECT_EQ(h.trace(kLayers, {0.2f, 0.2f, 1.5f}, {0, 0, 1}).hitDistance, kInf);
    // Outside and parallel to a slab it is outside of: no cell, no hit. Tiny
    // components along axes where it is inside do not matter.
    EXPECT_EQ(g.findInitialCell(makeRay({0.2f, 0.2f, 9.0f}, {1, 0, 0})), -1);
    EXPECT_EQ(h.trace(kLayers, {0.2f, 0.2f, 9.0f}, {1, 0, 0}).face, -1);
    EXPECT_EQ(g.findInitialCell(makeRay({0.2f, 0.2f, 9.0f}, {1e-11f, 0, -1})), g.cellIndex(0, 0, 1));

    GridAcceleratorData w;
    w.gridDims[0] = w.gridDims[1] = w.gridDims[2] = 4;
    w.cellSize[0] = w.cellSize[2] = 1.0f;
    w.cellSize[1] = 500.0f;
    // Entering through x = 0, 0.005 below a y wall: the nudge is 1e-5 of the
    // grid's length per axis, so it crosses that wall but stays in x cell 0.
    const float s = std::sqrt(0.5f);
    EXPECT_EQ(w.findInitialCell(makeRay({-1.0f, 498.995f, 0.5f}, {s, s, 0})), w.cellIndex(0, 1, 0));
    // Steps of 4, 1 and 2 along x, y, z, first crossings one full step
    // away; ties go to x, then y.
    w.cellSize[1] = 1.0f;
    std::vector<int> cells;
    w.walkCells(makeRay({0.5f, 0.9f, 0.1f}, {0.25f, 1.0f, 0.5f}),
                [&](int x, int y, int z) { cells.push_back(w.cellIndex(x, y, z)); });
    EXPECT_EQ(cells, (std::vector<int>{w.cellIndex(0, 0, 0), w.cellIndex(0, 1, 0), w.cellIndex(0, 2, 0),
                                       w.cellIndex(0, 2, 1), w.cellIndex(0, 3, 1), w.cellIndex(1, 3, 1)}));
}

TEST(GridWalk, NearestFaceWinsAndEqualDistancesGoToTheLastTested) {
    GridAccelerator acc;
    buildQuietly(acc, *kLayers.mesh());
    HostGrid h(acc);
    // Blocks are searched lower z first: going down the far face is tested
    // first, going up the near one.
    const Ray down = h.trace(kLayers, {0.3f, 0.6f, 4.0f}, {0, 0, -1});
    EXPECT_EQ(down.face, 1);
    EXPECT_EQ(down.hitDistance, 3.0f);
    EXPECT_EQ(h.trace(kLayers, {0.3f, 0.6f, -2.0f}, Vec3(0.1f, 0, 1).normalized()).face, 0);
    EXPECT_EQ(h.trace(kLayers, {0.3f, 0.6f, 0.5f}, {0, 0, -1}).face, 0);  // starts between them

    // Coincident faces share a list; the later one in it wins.
    const Faces twins({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 3, 0, 1, 2, 3});
    buildQuietly(acc, *twins.mesh());
    HostGrid t(acc);
    EXPECT_EQ(t.trace(twins, {0.5f, 0.5f, 3.0f}, {0, 0, -1}).face, 1);
    const int cell = t.g.findCell({0.5f, 0.5f, 0});
    ASSERT_EQ(t.head[cell], 0);
    ASSERT_EQ(t.next[0], 1);
    t.head[cell] = 1, t.next[1] = 0, t.next[0] = -1;
    EXPECT_EQ(t.trace(twins, {0.5f, 0.5f, 3.0f}, {0, 0, -1}).face, 0);
    // Neighbours sharing the edge x = 1, listed in cells x = 1 and x = 2:
    // the later cell of the block wins.
    const Faces pair({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 0, 0}, {2, 1, 0}}, {0, 1, 2, 3, 1, 4, 5, 2});
    buildQuietly(acc, *pair.mesh());
    EXPECT_EQ(HostGrid(acc).trace(pair, {1.0f, 0.5f, 3.0f}, {0, 0, -1}).face, 1);
}

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
    EXPECT_EQ(Vec3(g.gridOrigin[0], g.gridOrigin[1], g.gridOrigin[2]).dot(Vec3(1, 10, 100)), -71.0f);
    EXPECT_EQ(fetch(g.cellHead, 8), (std::vector<int>{-1, -1, -1, -1, -1, -1, -1, 0}));
}

TEST(GridBuild, FlatNonFiniteEmptyAndOverFineInputsStaySane) {
    // Flat along z: the z cells borrow the largest other size. Faces with a
    // non-finite corner are reported and left out of lists and bounds.
    const Faces flat({{0, 0, 0}, {2, 0, 0}, {2, 4, 0}, {0, 4, 0}, {kNaN, 0, 0}, {0, kInf, 0}},
                     {0, 1, 2, 3, 0, 4, 2, 3, 5, 1, 2, 3});
    GridAccelerator acc;
    const std::string out = buildQuietly(acc, *flat.mesh());
    EXPECT_HAS(out, "ERROR: cell not found\n\nERROR: cell not found\n\nCell structure built:\n"
                    " Grid: (2, 2, 1)\n Cell dimensions (2.000000, 4.000000, 4.000000)\n");
    EXPECT_HAS(out, "elements linked/check: 1 / 3\n");
    EXPECT_EQ(HostGrid(acc).trace(flat, {1, 1, 5}, {0, 0, -1}).face, 0);

    Mesh empty;  // no faces: no cells, and no ray enters
    EXPECT_HAS(buildQuietly(acc, empty), "Face grid occupancy: no cells were allocated.\n");
    EXPECT_EQ(acc.data().findInitialCell(makeRay({0, 0, 0}, {0, 0, 1})), -1);

    // Two tiny faces far apart would need ~10^21 cells: the sizes grow.
    const float e = 1e-3f, F = 1e4f;
    const Faces far({{0, 0, 0}, {e, 0, 0}, {e, e, e}, {0, e, 0}, {F, F, F}, {F, F, F + e}, {F, F + e, F}, {F, F, F}},
                    {0, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_HAS(buildQuietly(acc, *far.mesh()), "elements linked/check: 2 / 2\n");
    EXPECT_LE(acc.cellCount(), 1 << 20);
    EXPECT_GT(acc.cellCount(), 1 << 16);
    EXPECT_EQ(HostGrid(acc).trace(far, {F + 1, F + 1e-4f, F + 1e-4f}, {-1, 0, 0}).face, 1);

    // Extents that overflow a float still give a bounded grid.
    const Faces huge({{-3e38f, 0, 0}, {3e38f, 0, 0}, {3e38f, 1, 1}, {-3e38f, 1, 0}}, {0, 1, 2, 3});
    buildQuietly(acc, *huge.mesh());
    EXPECT_GE(acc.cellCount(), 1);
    EXPECT_LE(acc.cellCount(), 1 << 20);
}

TEST(NodalGrid, TwoCellsForAPositiveExtentOneForNoneAndBoundaryNodesInside) {
    const Faces square({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0.5f, 0.5f, 0}, {kNaN, 9, 9}}, {});
    const float size[3] = {1.0f, 5.0f, 1.0f};
    GridAccelerator acc;
    const std::string out = buildQuietly(acc, *square.mesh(), size);
    EXPECT_EQ(out.rfind("ERROR: cell not found\n\nNodal cell structure built:\n Grid: (2, 2, 1)\n"
                        " Cell dimensions (1.000000, 5.000000, 1.000000)\n\nNodal grid occupancy:\n",
                        0),
              0u)
        << out;
    EXPECT_HAS(out, "elements linked/check: 5 / 6\n");
    // x cells [-0.5, 0.5) and [0.5, 1.5); the first y cell holds every node.
    HostGrid h(acc);
    EXPECT_EQ(h.head[0], 0);
    EXPECT_EQ(h.head[1], 1);
    EXPECT_EQ(h.next, (std::vector<int>{2, 3, -1, 4, -1, -1}));
    // Locating truncates toward zero: less than a cell below the origin is
    // still the first cell. The block around a node reaches every node.
    int c[3];
    EXPECT_TRUE(h.g.locateCell({-0.75f, 0, 0}, c) && c[0] == 0);
    EXPECT_FALSE(h.g.locateCell({-1.5f, 0, 0}, c));
    ASSERT_TRUE(h.g.locateCell({0, 0, 0}, c));
    int found = 0;
    h.g.forEachInBlock(c[0], c[1], c[2], [&](int) { ++found; });
    EXPECT_EQ(found, 5);

    // Sizes that are not positive and finite borrow the largest valid one,
    // or 1; sizes far too small for the extent are enlarged.
    auto mesh = loadedMesh(BoxGrid(2, 2, 2).data());
    const float mixed[3] = {0.0f, 2.0f, kNaN}, none[3] = {0.0f, -1.0f, kInf}, tiny[3] = {1e-30f, 1e-30f, 1e-30f};
    const std::string warned = buildQuietly(acc, *mesh, mixed);
    EXPECT_HAS(warned, "Warning: nodal grid cell size along x (0) is not positive and finite; using 2.\n");
    EXPECT_HAS(warned, "Grid: (2, 2, 2)\n Cell dimensions (2.000000, 2.000000, 2.000000)\n");
    EXPECT_HAS(buildQuietly(acc, *mesh, none), "Grid: (3, 3, 3)\n Cell dimensions (1.000000, 1.000000, 1.000000)\n");
    EXPECT_HAS(buildQuietly(acc, *mesh, tiny), "elements linked/check: 27 / 27\n");
    EXPECT_LE(acc.cellCount(), 1 << 20);
}

TEST(SurfaceTrace, RaysLandOnTheRightFaceAtTheRightPointAndMissesKeepTheirPosition) {
    auto mesh = loadedMesh(BoxGrid(3, 2, 2).data());
    auto tracer = createSurfaceRayTracer(1);
    ASSERT_NE(tracer, nullptr);
    EXPECT_EQ(createSurfaceRayTracer(0), nullptr);
    CaptureStdout();
    tracer->buildAccelerator(*mesh);
    tracer->buildAccelerator(*mesh);  // a rebuild replaces the arrays
    EXPECT_HAS(GetCapturedStdout(), "Grid: (4, 3, 3)\n Cell dimensions (1.000000, 1.000000, 1.000000)\n");

    struct Case {
        Vec3 p, d, hit;
        int axis;  // of the plane hit, -1 for a miss
    };
    const Vec3 slant = Vec3(0.3f, -0.2f, 1.0f).normalized();
    const std::vector<Case> cases = {
        {{-4, 0.5f, 1.5f}, {1, 0, 0}, {0, 0.5f, 1.5f}, 0},
        {{2.5f, -3, 0.25f}, {0, 1, 0}, {2.5f, 0, 0.25f}, 1},
        {{0.5f, 1.5f, 9}, {0, 0, -1}, {0.5f, 1.5f, 2}, 2},
        {Vec3(1.3f, 0.7f, 0) - slant * 5.0f, slant, {1.3f, 0.7f, 0}, 2},  // oblique, from below
        {{1, 1, 6}, {0, 0, -1}, {1, 1, 2}, 2},                            // onto a shared corner
        {{1.5f, 1, 1}, {0, 1, 0}, {1.5f, 2, 1}, 1},                       // from inside: exit face
        {{-4, 5, 1}, {1, 0, 0}, {-4, 5, 1}, -1},                          // beside the box
        {{0.5f, 0.5f, 9}, {0, 0, 1}, {0.5f, 0.5f, 9}, -1},                // pointing away
    };
    const int n = static_cast<int>(cases.size());
    RayCollection rays(n);
    std::vector<float> pos(3 * n), dir(3 * n), payload(n, 0.5f);
    const std::vector<int> stale(n, 4);  // entry faces of an earlier trace
    for (int i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) pos[a * n + i] = cases[i].p[a], dir[a * n + i] = cases[i].d[a];
    dev::upload(rays.h_rdata.positions, pos.data(), pos.size());
    dev::upload(rays.h_rdata.directions, dir.data(), dir.size());
    dev::upload(rays.h_rdata.payloads, payload.data(), payload.size());
    dev::upload(rays.h_rdata.faceIds, stale.data(), stale.size());
    tracer->traceRays(rays, *mesh);

    const std::vector<float> landed = fetch(rays.h_rdata.positions, 3 * n);
    const std::vector<int> faceIds = fetch(rays.h_rdata.faceIds, n);
    EXPECT_EQ(fetch(rays.h_rdata.directions, 3 * n), dir);
    EXPECT_EQ(fetch(rays.h_rdata.payloads, n), payload);
    const Faces faces(*mesh);
    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        for (int a = 0; a < 3; ++a) EXPECT_NEAR(landed[a * n + i], c.hit[a], 1e-5f);
        if (c.axis < 0) {
            EXPECT_EQ(faceIds[i], -1);
            continue;
        }
        // The face lies in the plane hit and its box holds the landing point.
        ASSERT_GE(faceIds[i], 0);
        Vec3 lo, hi;
        faces.box(faceIds[i], lo, hi);
        EXPECT_EQ(lo[c.axis], c.hit[c.axis]);
        EXPECT_EQ(hi[c.axis], c.hit[c.axis]);
        for (int a = 0; a < 3; ++a) EXPECT_TRUE(lo[a] <= c.hit[a] && c.hit[a] <= hi[a]);
    }

    RayCollection none(0);  // nothing to launch
    tracer->traceRays(none, *mesh);
    EXPECT_STREQ(dev::lastError(), "no error");
}

}  // namespace
