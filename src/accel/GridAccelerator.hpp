// Uniform grids over mesh elements: the face grid that carries rays to the
// boundary and the nodal grid that finds the nodes near a node.
//
// `GridAcceleratorData` is the plain record kernels receive by value: a
// uniform grid of equal cells, each holding a singly linked list of element
// indices in two flat device arrays (`cellHead` per cell, `nextInCell` per
// element, -1 ends a list). Lists run in ascending element index. The record
// holds no virtual functions, so it can be captured by device lambdas.
//
// `GridAccelerator` is the host owner: it builds the grid over a `Mesh`, owns
// the two device arrays and hands out the record.
#pragma once

#include "device/Buffer.hpp"
#include "mesh/MeshDataFlat.hpp"
#include "rays/RaysDataFlat.hpp"

#include <cmath>

class Mesh;

struct GridAcceleratorData {
    int* cellHead = nullptr;    // nx*ny*nz entries, first element of each cell or -1
    int* nextInCell = nullptr;  // one entry per element, next in the same cell or -1
    int gridDims[3] = {0, 0, 0};
    float cellSize[3] = {0.0f, 0.0f, 0.0f};
    float gridOrigin[3] = {0.0f, 0.0f, 0.0f};  // lower corner of cell (0, 0, 0)

    // Linear index of cell (ix, iy, iz), x fastest.
    LVX_HD int cellIndex(int ix, int iy, int iz) const {
        return (iz * gridDims[1] + iy) * gridDims[0] + ix;
    }
    LVX_HD bool containsCell(int ix, int iy, int iz) const {
        return ix >= 0 && ix < gridDims[0] && iy >= 0 && iy < gridDims[1] && iz >= 0 && iz < gridDims[2];
    }

    // Cell coordinates of point p: (p - origin) / size truncated toward zero
    // per axis. Returns false (c undefined) unless all three lie in [0, n);
    // non-finite coordinates never lie in the grid.
    LVX_HD bool locateCell(const Vec3& p, int c[3]) const {
        for (int a = 0; a < 3; ++a) {
            const float f = (p[a] - gridOrigin[a]) / cellSize[a];
            // Truncation gives 0 for f in (-1, 0); the bound keeps the cast defined.
            if (!(f > -1.0f && f < 2147483520.0f)) return false;
            c[a] = static_cast<int>(f);
            if (c[a] >= gridDims[a]) return false;
        }
        return true;
    }
    // Linear index of the cell holding p, or -1.
    LVX_HD int findCell(const Vec3& p) const {
        int c[3];
        return locateCell(p, c) ? cellIndex(c[0], c[1], c[2]) : -1;
    }

    // Calls visit(element) for every element listed in the 3 x 3 x 3 block of
    // cells around (ix, iy, iz) that lies in the grid; cells in the order
    // k = 0..26 with x fastest, each list from its head. In inline code that
    // both nvcc and the host compiler see, pass a named visitor type rather
    // than a lambda (see findIntersection).
    template <class Visitor>
    LVX_HD void forEachInBlock(int ix, int iy, int iz, Visitor&& visit) const {
        for (int k = 0; k < 27; ++k) {
            const int cx = ix + k % 3 - 1, cy = iy + (k / 3) % 3 - 1, cz = iz + k / 9 - 1;
            if (!containsCell(cx, cy, cz)) continue;
            for (int e = cellHead[cellIndex(cx, cy, cz)]; e != -1; e = nextInCell[e]) visit(e);
        }
    }

    // Appends `element` at the tail of cell `cell`'s list. Not thread-safe.
    LVX_HD void insertElement(int cell, int element) {
        int* slot = &cellHead[cell];
        while (*slot != -1) slot = &nextInCell[*slot];
        *slot = element;
    }

    // Cell where the ray starts: its own cell when its origin lies inside the
    // grid (the upper face of an axis counts as outside), otherwise the cell
    // just inside the point where it enters the grid's box. -1 when none. The
    // sign of the entry parameter is not tested; the face test rejects hits
    // behind the origin.
    LVX_HD int findInitialCell(const Ray& ray) const {
        const Vec3& p = ray.position;
        const Vec3& d = ray.direction;
        bool inside[3];
        bool allInside = true;
        for (int a = 0; a < 3; ++a) {
            inside[a] = gridOrigin[a] <= p[a] && p[a] < gridOrigin[a] + gridDims[a] * cellSize[a];
            allInside = allInside && inside[a];
        }
        if (allInside) return findCell(p);
        for (int a = 0; a < 3; ++a)
            if (!inside[a] && fabsf(d[a]) < 1e-10f) return -1;
        float t = -1e20f;
        for (int a = 0; a < 3; ++a) {
            float ta = -INFINITY;
            if (!inside[a]) {
                ta = d[a] > 0.0f ? (gridOrigin[a] - p[a]) / d[a]
                                 : (gridOrigin[a] + gridDims[a] * cellSize[a] - p[a]) / d[a];
            }
            t = fmaxf(t, ta);
        }
        // Step a little into the grid; the nudge is 1e-5 of the grid's length
        // along each axis, in units of the ray parameter.
        Vec3 q;
        for (int a = 0; a < 3; ++a) q[a] = p[a] + (t + 1e-5f * gridDims[a] * cellSize[a]) * d[a];
        return findCell(q);
    }

    // Watertight ray/triangle test (Woop, Benthin, Wald) of triangle a, b, c,
    // given relative to the ray origin. True for a hit with 0 < t <= the
    // ray's hit distance and t <= its distance bound; t is set then.
    LVX_HD static bool hitTriangle(const Ray& ray, const Vec3& a, const Vec3& b, const Vec3& c, float& t) {
        const Vec3& d = ray.direction;
        const float ax = fabsf(d.x), ay = fabsf(d.y), az = fabsf(d.z);
        const int kz = (ax > ay && ax > az) ? 0 : (ay > az ? 1 : 2);
        const int kx = (kz + 1) % 3;
        const int ky = (kx + 1) % 3;
        const float sx = -d[kx] / d[kz];
        const float sy = -d[ky] / d[kz];
        const float sz = 1.0f / d[kz];

        const float Ax = a[kx] + sx * a[kz], Ay = a[ky] + sy * a[kz];
        const float Bx = b[kx] + sx * b[kz], By = b[ky] + sy * b[kz];
        const float Cx = c[kx] + sx * c[kz], Cy = c[ky] + sy * c[kz];
        const float U = Bx * Cy - By * Cx;
        const float V = Cx * Ay - Cy * Ax;
        const float W = Ax * By - Ay * Bx;

        const float eps = 1e-16f;
        if ((U < -eps || V < -eps || W < -eps) && (U > eps || V > eps || W > eps)) return false;
        const float det = U + V + W;
        if (fabsf(det) < eps) return false;
        const float T = (sz * a[kz]) * U + (sz * b[kz]) * V + (sz * c[kz]) * W;
        if (det < 0.0f) {
            if (T >= 0.0f || T < det * ray.hitDistance || T < det * ray.maxDistance) return false;
        } else if (det > 0.0f) {
            if (T <= 0.0f || T > det * ray.hitDistance || T > det * ray.maxDistance) return false;
        } else {
            return false;  // not a number: a degenerate direction
        }
        t = T / det;
        return true;
    }

    // Tests boundary face `face` as the triangles (n0, n1, n2) and, if that
    // misses, (n0, n2, n3). A hit no farther than the ray's current hit stores
    // its distance, the face and the face's normal (n1 - n0) x (n3 - n0).
    LVX_HD void intersectFace(Ray& ray, const MeshDataFlat& mesh, int face) const {
        const int* nodes = mesh.faceNodes + 4 * face;
        const Vec3 n0 = getNodeVec(mesh, nodes[0], mesh.nodeCoords);
        const Vec3 n1 = getNodeVec(mesh, nodes[1], mesh.nodeCoords);
        const Vec3 n2 = getNodeVec(mesh, nodes[2], mesh.nodeCoords);
        const Vec3 n3 = getNodeVec(mesh, nodes[3], mesh.nodeCoords);
        const Vec3 a = n0 - ray.position;
        float t;
        if (!hitTriangle(ray, a, n1 - ray.position, n2 - ray.position, t) &&
            !hitTriangle(ray, a, n2 - ray.position, n3 - ray.position, t))
            return;
        ray.hitDistance = t;
        ray.face = face;
        ray.hitNormal = (n1 - n0).cross(n3 - n0).normalized();
    }

    // State of a walk along a ray through the cells.
    struct Walk {
        int cell[3];
        int step[3];
        float delta[3];
        float tau[3];
    };

    // Starts the walk in the ray's start cell; false when there is none. The
    // crossing parameters start at one full step, not at the first cell
    // wall; the 3 x 3 x 3 blocks searched around each cell absorb the lag.
    LVX_HD bool beginWalk(const Ray& ray, Walk& w) const {
        const int start = findInitialCell(ray);
        if (start < 0) return false;
        w.cell[0] = start % gridDims[0];
        w.cell[1] = (start / gridDims[0]) % gridDims[1];
        w.cell[2] = start / (gridDims[0] * gridDims[1]);
        for (int a = 0; a < 3; ++a) {
            const float da = ray.direction[a];
            const float s = fabsf(da) < 1e-10f ? 1e20f : cellSize[a] / da;
            w.step[a] = s < 0.0f ? -1 : 1;
            w.delta[a] = fabsf(s);
            w.tau[a] = w.delta[a];
        }
        return true;
    }

    // Moves one cell along the axis whose crossing parameter is smallest
    // (ties: x, then y); false once the walk has left the grid. Every step
    // moves one index monotonically, so a walk ends after at most
    // nx + ny + nz steps.
    LVX_HD bool advanceWalk(Walk& w) const {
        int axis;
        if (w.tau[0] <= w.tau[1] && w.tau[0] <= w.tau[2])
            axis = 0;
        else if (w.tau[1] > w.tau[2])
            axis = 2;
        else
            axis = 1;
        w.cell[axis] += w.step[axis];
        w.tau[axis] += w.delta[axis];
        return containsCell(w.cell[0], w.cell[1], w.cell[2]);
    }

    // Calls visit(ix, iy, iz) for every cell of the walk along the ray.
    template <class Visitor>
    LVX_HD void walkCells(const Ray& ray, Visitor&& visit) const {
        Walk w;
        if (!beginWalk(ray, w)) return;
        do visit(w.cell[0], w.cell[1], w.cell[2]);
        while (advanceWalk(w));
    }

    // Tests every face listed in the block around each cell of the walk; the
    // ray keeps the nearest hit, and of equal ones the one tested last (its
    // face, distance and normal are unchanged when there is none). The walk
    // does not stop at the first hit.
    //
    // Written without lambdas on purpose: this header is compiled by both
    // nvcc and the host compiler, and the linker keeps one copy of each
    // inline instantiation, which is only safe when both agree on every
    // closure layout.
    LVX_HD void findIntersection(Ray& ray, const MeshDataFlat& mesh) const {
        Walk w;
        if (!beginWalk(ray, w)) return;
        do {
            for (int k = 0; k < 27; ++k) {
                const int cx = w.cell[0] + k % 3 - 1, cy = w.cell[1] + (k / 3) % 3 - 1, cz = w.cell[2] + k / 9 - 1;
                if (!containsCell(cx, cy, cz)) continue;
                for (int f = cellHead[cellIndex(cx, cy, cz)]; f != -1; f = nextInCell[f]) intersectFace(ray, mesh, f);
            }
            if (pastNearestHit(ray, w.cell)) return;
        } while (advanceWalk(w));
    }

    // True when no face that a later step of the walk can test meets the ray
    // before its current hit: such faces lie within two cells of the walk's
    // cell (centre in the 3x3x3 block, extent at most one cell), and the walk
    // only moves on along the ray. Stopping then gives the same hit as walking
    // to the edge of the grid, without testing the faces behind it.
    LVX_HD bool pastNearestHit(const Ray& ray, const int cell[3]) const {
        const float limit = fminf(ray.hitDistance, ray.maxDistance);
        if (!(limit < INFINITY)) return false;
        float earliest = -INFINITY;
        for (int a = 0; a < 3; ++a) {
            const float d = ray.direction[a];
            if (d == 0.0f) continue;
            const float low = gridOrigin[a] + (cell[a] - 2) * cellSize[a];
            const float high = gridOrigin[a] + (cell[a] + 3) * cellSize[a];
            earliest = fmaxf(earliest, ((d > 0.0f ? low : high) - ray.position[a]) / d);
        }
        return earliest > limit;
    }
};

// Polymorphic base of the accelerators; its operations do nothing.
class Accelerator {
public:
    virtual void build(const Mesh& mesh) { (void)mesh; }
    virtual void buildNodal(const Mesh& mesh, const float cellSize[3]) {
        (void)mesh;
        (void)cellSize;
    }
    virtual ~Accelerator() = default;
};

class GridAccelerator : public Accelerator {
public:
    using Data = GridAcceleratorData;

    GridAccelerator() = default;
    GridAccelerator(const GridAccelerator&) = delete;
    GridAccelerator& operator=(const GridAccelerator&) = delete;

    // Face grid over the mesh's boundary faces: cells as large as the largest
    // face along each axis, each face listed in the cell of its box centre.
    // An axis along which every face is flat borrows the largest other size
    // (or 1); a face with a non-finite corner is reported ("ERROR: cell not
    // found") and left out of the lists and the bounds. Either build caps the
    // grid at max(64 * elements, 2^20) cells by enlarging all sizes by one
    // factor (with a warning). Prints the layout and the occupancy report.
    void build(const Mesh& mesh) override;

    // Nodal grid with the given cell sizes, each node listed in its cell.
    // A size that is not positive and finite is replaced (with a warning) by
    // the largest valid one of the other axes, or 1.
    void buildNodal(const Mesh& mesh, const float cellSize[3]) override;

    // Occupancy statistics of a grid with this accelerator's dimensions,
    // from host copies of its lists.
    void printOccupancy(int elementCount, const int* h_cellHead, const int* h_nextInCell, int nCells,
                        const char* label) const;

    // The record kernels receive by value.
    const GridAcceleratorData& data() const { return data_; }
    int cellCount() const { return data_.gridDims[0] * data_.gridDims[1] * data_.gridDims[2]; }
    int elementCount() const { return elementCount_; }

private:
    // Replaces the lists with those of `layout` filled from `points` (all x,
    // then all y, then all z; one point per element), uploads them and prints
    // the face-grid or nodal-grid report.
    void fill(const GridAcceleratorData& layout, const float* points, int count, bool nodal);

    GridAcceleratorData data_;  // its list fields view the two buffers
    dev::Buffer<int> cellHead_;
    dev::Buffer<int> nextInCell_;
    int elementCount_ = 0;
};
