#include "materials/Kuravel.hpp"
#include "mesh_fixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace kuravel;

namespace {

template <class T>
struct DeviceArray {  // device copy of a host vector
    T* ptr;
    explicit DeviceArray(const std::vector<T>& v) : ptr(dev::allocArray<T>(v.size())) {
        dev::upload(ptr, v.data(), v.size());
    }
    ~DeviceArray() { dev::free(ptr); }
};

// One node at the origin, no faces: transport of a single node is the identity.
struct OneNode {
    Mesh mesh{1, 0, 0};
    OneNode() { dev::memset(mesh.h_mdata_devlink.nodeCoords, 0, 3 * sizeof(float)); }
    MaterialStateVec step(MaterialState& s, double power) {
        s.initializeAccelerator(&mesh);
        DeviceArray<double> p({power});
        s.step(p.ptr, &mesh.h_mdata_devlink);
        const MaterialStateDataFlat& h = s.hostRecord();
        return {fetch(h.monomer, 1)[0], fetch(h.radical, 1)[0], fetch(h.oxygen, 1)[0], fetch(h.degreeOfCuring, 1)[0]};
    }
    float refr() const { return fetch(mesh.h_mdata_devlink.refrIndex, 1)[0]; }
    float absorb() const { return fetch(mesh.h_mdata_devlink.absorptivity, 1)[0]; }
};

// Host copy of a nodal grid's lists.
struct HostGrid {
    std::vector<int> head, next;
    GridAcceleratorData g;
    HostGrid(const GridAccelerator& acc, int n)
        : head(fetch(acc.data().cellHead, acc.cellCount())), next(fetch(acc.data().nextInCell, n)), g(acc.data()) {
        g.cellHead = head.data();
        g.nextInCell = next.data();
    }
};

KuravelProps reacting() {
    KuravelProps p;
    p.kpropagation = 0.5, p.koxygen = 0.8, p.diffusion_oxygen = p.diffusion_radical = 0.1, p.dt = 0.1;
    p.c_monomer0 = 2.0, p.c_radical0 = 0.3, p.c_oxygen0 = 0.25, p.degree_of_curing0 = 0.1;
    p.n0 = 1.5, p.n1 = 1.6, p.alpha0 = 0.2, p.alpha1 = 0.05;
    return p;
}

}  // namespace

TEST(Rates, DarkNodesStayPut) {
    std::vector<double> M{2.0}, R{0.3}, O{0.25}, A{0.1}, I{4.0};
    MaterialStateDataFlat s;
    s.nNodes = 1, s.monomer = M.data(), s.radical = R.data(), s.oxygen = O.data(), s.degreeOfCuring = A.data();
    s.kpropagation = 0.5, s.koxygen = 0.8, s.monomer0 = 2.0, s.dtReaction = 0.05;
    // Below 1e-15 nothing happens, not even the clamp of a negative monomer.
    for (double dark : {9e-16, 0.0, -1.0}) {
        M[0] = -1.0, O[0] = 0.5, A[0] = 1.5, I[0] = dark;
        solveRateEquationsAt(s, I.data(), 0);
        EXPECT_EQ(std::vector<double>({M[0], O[0], A[0]}), std::vector<double>({-1.0, 0.5, 1.5})) << dark;
    }
}

TEST(Rates, OneStepIsTwoHalfStepsAroundTheTransportedPower) {
    OneNode node;
    MaterialState state(1, reacting());
    const MaterialStateVec y = node.step(state, 4.0);
    // Half-step h = 0.05 at I = 4: r_p = 0.5 * 2 * sqrt(0.75 * 4) = sqrt(3), and
    // oxygen 0.25 - 0.05 * 0.8 * 0.25 * sqrt(0.25 * 4) = 0.24. The radical field then
    // becomes the power (4), so the second half-step runs at the same intensity.
    const double m1 = 2.0 - 0.05 * std::sqrt(3.0), o1 = 0.24, a1 = 0.1 + 0.05 * std::sqrt(3.0) / 2.0;
    const double rp = 0.5 * m1 * std::sqrt((1.0 - o1) * 4.0);
    EXPECT_DOUBLE_EQ(y.monomer, m1 - 0.05 * rp);
    EXPECT_DOUBLE_EQ(y.oxygen, o1 - 0.05 * 0.8 * o1 * std::sqrt(o1 * 4.0));
    EXPECT_DOUBLE_EQ(y.degreeOfCuring, a1 + 0.05 * rp / 2.0);
    EXPECT_EQ(y.radical, 4.0);
    EXPECT_EQ(node.refr(), static_cast<float>((1.0 - y.degreeOfCuring) * 1.5 + y.degreeOfCuring * 1.6));
    EXPECT_EQ(node.absorb(), static_cast<float>((1.0 - y.degreeOfCuring) * 0.2 + y.degreeOfCuring * 0.05));

    // A fast reaction saturates: alpha exactly 1, monomer 0, material = the cured values.
    KuravelProps fast = reacting();
    fast.kpropagation = 1e6;
    MaterialState cured(1, fast);
    const MaterialStateVec z = node.step(cured, 4.0);
    EXPECT_EQ(z.degreeOfCuring, 1.0);
    EXPECT_EQ(z.monomer, 0.0);
    EXPECT_EQ(node.refr(), 1.6f);
    EXPECT_EQ(node.absorb(), 0.05f);
}

// Transport on a 5 x 5 x 5 box of unit cells, 4 D t = 1, with cells wide
// enough (3) that the 27-cell block holds every node of weight >= 0.001.
class GaussianTransport : public ::testing::Test {
protected:
    BoxGrid box{5, 5, 5};
    std::unique_ptr<Mesh> mesh = loadedMesh(box.data());
    GridAccelerator grid;
    NeighbourTable table;
    int n = mesh->nodeCount();
    std::vector<float> xyz = fetch(mesh->h_mdata_devlink.nodeCoords, 3 * static_cast<std::size_t>(n));

    void SetUp() override {
        grid.buildNodal(*mesh, std::vector<float>(3, 3.0f).data());
        HostGrid h(grid, n);
        table.build(xyz.data(), n, h.g, 1.0);
    }
    // With `scan` the kernel has no table and scans the grid instead.
    std::vector<double> run(const std::vector<double>& in, const std::vector<double>* doc = nullptr,
                            bool scan = false) {
        DeviceArray<double> din(in), dout(std::vector<double>(n, -7.0)), ddoc(doc ? *doc : in), source(in);
        diffuseKernelAccelerated(dout.ptr, din.ptr, source.ptr, mesh->h_mdata_devlink.nodeCoords, 0.25, 1.0, n,
                                 grid.data(),
                                 scan ? NeighbourTableData() : table.data(),
                                 doc ? ddoc.ptr : nullptr, doc ? 1 : 0, 0.5, nullptr, 1, 0.0);
        dev::synchronize();
        return fetch(dout.ptr, in.size());
    }
    // Weighted mean over all nodes, weights exp(-r^2) (D scaled by 1 - doc)
    // from 0.001 up, skipping values below 1e-15 and nodes cured past 0.5.
    double reference(const std::vector<double>& in, int i, double dScale = 1.0,
                     const std::vector<double>* doc = nullptr) {
        double sum = 0.0, weight = 0.0;
        for (int j = 0; j < n; ++j) {
            if ((doc && (*doc)[j] >= 0.5) || in[j] < 1e-15) continue;
            float r2 = 0.0f;  // distances in single precision, as the mesh stores them
            for (int a = 0; a < 3; ++a) r2 += (xyz[a * n + j] - xyz[a * n + i]) * (xyz[a * n + j] - xyz[a * n + i]);
            const double r = std::sqrt(r2), w = std::exp(-r * r / dScale);
            if (w >= 0.001) sum += w * in[j], weight += w;
        }
        return sum / weight;
    }
};

TEST_F(GaussianTransport, GaussianWeightedMeanWithGelledNodesKeptAndIgnored) {
    for (double v : run(std::vector<double>(n, 0.7))) EXPECT_NEAR(v, 0.7, 1e-15);
    for (double v : run(std::vector<double>(n, 0.0))) EXPECT_EQ(v, 0.0);  // nothing to average: kept
    std::vector<double> in(n, 1.0), doc(n, 0.0);
    const int gel = box.node(2, 2, 2), slow = box.node(5, 5, 5);
    in[gel] = 101.0;
    std::vector<double> out = run(in);  // a point source spreads
    for (int i = 0; i < n; ++i) EXPECT_NEAR(out[i], reference(in, i), 1e-6) << i;  // single-precision weights
    out = run(in, nullptr, true);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(out[i], reference(in, i), 1e-12) << i;

    in[gel] = 50.0, doc[gel] = 0.5;  // at the gel point
    in[box.node(5, 5, 4)] = 9.0, doc[slow] = 0.375;
    out = run(in, &doc);
    EXPECT_EQ(out[gel], 50.0);
    EXPECT_NEAR(out[box.node(3, 2, 2)], 1.0, 1e-15);
    EXPECT_NEAR(out[slow], reference(in, slow, 0.625, &doc), 1e-6);  // D scaled by 1 - 0.375
    EXPECT_GT(std::fabs(out[slow] - reference(in, slow)), 0.1);
}

TEST(KuravelState, DirichletOxygenIsHeldOnItsMaskAndNoDiffusionLengthCopies) {
    const BoxGrid box(4, 4, 4);  // 98 boundary nodes
    auto mesh = loadedMesh(box.data());
    const int n = mesh->nodeCount();
    KuravelProps p = reacting();
    p.kpropagation = p.koxygen = 0.0, p.diffusion_bc_oxygen = 1, p.dirichlet_oxygen = 0.9, p.c_oxygen0 = 0.2;
    p.diffusion_oxygen = 2.0, p.dt = 1.0;
    MaterialState state(n, p);
    DeviceArray<double> power(std::vector<double>(n, 1.0));
    const MeshDataFlat* rec = &mesh->h_mdata_devlink;
    state.initializeAccelerator(mesh.get());
    state.step(power.ptr, rec);
    const std::vector<double> o = fetch(state.oxygenDevice(), n);
    EXPECT_EQ(o[box.node(0, 2, 2)], 0.9);
    EXPECT_GT(o[box.node(1, 2, 2)], 0.2);  // fed by the held boundary
    EXPECT_LT(o[box.node(1, 2, 2)], 0.9);

    // A face-id list (repeats and unknown ids ignored) overrides the whole boundary; group -1 means all of it.
    const std::vector<int> faces = fetch(rec->faceNodes, 4 * static_cast<std::size_t>(mesh->faceCount()));
    p.oxygen_dirichlet_face_ids = {3, 3, 999};
    MaterialState picked(n, p);
    picked.initializeAccelerator(mesh.get());
    EXPECT_EQ(picked.radicalMaskCount(), 98);
    EXPECT_EQ(picked.oxygenMaskCount(), 4);
    const std::vector<int> mask = fetch(picked.oxygenMask(), n);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(mask[faces[12 + k]], 1);
    p.oxygen_dirichlet_face_ids = {}, p.oxygen_dirichlet_bc_groups = {-1};
    MaterialState all(n, p);
    all.initializeAccelerator(mesh.get());
    EXPECT_EQ(all.oxygenMaskCount(), 98);

    // No diffusion length (D_O = 0): a tiny grid, and transport copies.
    p.diffusion_oxygen = 0.0, p.diffusion_radical = 5.0, p.diffusion_bc_oxygen = 0;
    MaterialState still(n, p);
    still.initializeAccelerator(mesh.get());
    EXPECT_FALSE(still.transportActive());
    EXPECT_LE(still.grid().cellCount(), 8);
    std::vector<double> ramp(n);
    for (int i = 0; i < n; ++i) ramp[i] = 0.01 * i;
    DeviceArray<double> rampPower(ramp);
    still.step(rampPower.ptr, rec);
    EXPECT_EQ(fetch(still.hostRecord().radical, n), ramp);
}

// The transport as a plain scan: every candidate of the 27-cell block around
// the node, its distance by square root, one exponential per candidate.
double plainTransport(int i, const std::vector<double>& in, double D, double t, const std::vector<float>& xyz,
                      const GridAcceleratorData& grid, const std::vector<double>* doc, double gel,
                      const std::vector<int>& mask, int mode, double value) {
    const int n = static_cast<int>(in.size());
    if (mode == 1 && mask[i]) return value;
    if (doc) {
        const double own = saturate((*doc)[i]);
        if (own >= gel) return in[i];
        D *= 1.0 - own;
    }
    const double a = 1.0 / (4.0 * D * t);
    const Vec3 p(xyz[i], xyz[n + i], xyz[2 * n + i]);
    double sum = 0.0, weight = 0.0;
    int c[3];
    if (!grid.locateCell(p, c)) return in[i];
    grid.forEachInBlock(c[0], c[1], c[2], [&](int j) {
        if (in[j] < kMinSignal || (doc && saturate((*doc)[j]) >= gel)) return;
        const double r = (Vec3(xyz[j], xyz[n + j], xyz[2 * n + j]) - p).length();
        const double w = std::exp(-a * r * r);
        if (w >= kWeightCut) sum += w * in[j], weight += w;
    });
    return weight > 0.0 ? sum / weight : in[i];
}

// Largest difference relative to the reference field's largest magnitude.
double relativeError(const std::vector<double>& got, const std::vector<double>& want) {
    double diff = 0.0, scale = 0.0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        diff = std::max(diff, std::fabs(got[i] - want[i]));
        scale = std::max(scale, std::fabs(want[i]));
    }
    return scale > 0.0 ? diff / scale : diff;
}

// Several whole steps on a box (radical and oxygen with different reaches,
// gelled and Dirichlet nodes), then a step after the nodes have moved, against
// the plain scan on the host. Distorted, every node has its own
// neighbourhood; regular, neighbouring nodes share theirs and are transported
// in pairs.
class KuravelSteps : public ::testing::TestWithParam<float> {};

TEST_P(KuravelSteps, MatchAPlainScanOfTheBlockAlsoAfterNodesMove) {
    const float distortion = GetParam();
    const BoxGrid box = distortion > 0.0f ? BoxGrid(6, 5, 4) : BoxGrid(10, 6, 6);
    HexMeshData data = box.data();
    for (std::size_t k = 0; k < data.points.size(); ++k) data.points[k] += distortion * std::sin(1.7f * k);
    auto mesh = loadedMesh(data);
    const int n = mesh->nodeCount();
    KuravelProps p = reacting();
    p.kpropagation = 2.0, p.diffusion_radical = 0.4, p.diffusion_oxygen = 0.15, p.dt = 1.0;
    p.diffusion_bc_oxygen = 1, p.dirichlet_oxygen = 0.6, p.oxygen_gel_point = 0.4;
    MaterialState state(n, p);
    state.initializeAccelerator(mesh.get());
    const std::vector<int> pattern = fetch(state.oxygenNeighbours().data().patternOf, n);
    int sharedPairs = 0;
    for (int i = 0; i + 1 < n; i += 2) sharedPairs += pattern[i] >= 0 && pattern[i] == pattern[i + 1];
    if (distortion > 0.0f)
        ASSERT_GT(state.oxygenNeighbours().patternCount(), n / 2);
    else
        ASSERT_GT(sharedPairs, n / 20);

    std::vector<double> power(n);
    for (int i = 0; i < n; ++i) power[i] = i % 7 == 0 ? 0.0 : 1.0 + std::cos(0.3 * i);
    DeviceArray<double> d_power(power);
    const MeshDataFlat* rec = &mesh->h_mdata_devlink;
    const HostGrid grid(state.grid(), n);
    const std::vector<int> oxygenMask = fetch(state.oxygenMask(), n), noMask(n, 0);
    std::vector<double> M(n, p.c_monomer0), R(n, p.c_radical0), O(n, p.c_oxygen0), A(n, p.degree_of_curing0);
    MaterialStateDataFlat h = state.hostRecord();
    h.monomer = M.data(), h.radical = R.data(), h.oxygen = O.data(), h.degreeOfCuring = A.data();
    std::vector<float> xyz = fetch(rec->nodeCoords, 3 * static_cast<std::size_t>(n));

    for (int step = 0; step < 5; ++step) {
        if (step == 4) {  // nodes move: the next step must use the new distances
            for (float& x : xyz) x *= 1.1f;
            dev::upload(rec->nodeCoords, xyz.data(), xyz.size());
        }
        state.step(d_power.ptr, rec);
        for (int i = 0; i < n; ++i) solveRateEquationsAt(h, power.data(), i);
        std::vector<double> prevO = O;
        for (int i = 0; i < n; ++i)
            if (oxygenMask[i]) prevO[i] = p.dirichlet_oxygen;
        for (int i = 0; i < n; ++i) {
            R[i] = plainTransport(i, power, p.diffusion_radical, p.dt, xyz, grid.g, nullptr, 1.0, noMask, 0, 0.0);
            O[i] = plainTransport(i, prevO, p.diffusion_oxygen, p.dt, xyz, grid.g, &A, p.oxygen_gel_point,
                                  oxygenMask, 1, p.dirichlet_oxygen);
        }
        for (int i = 0; i < n; ++i) solveRateEquationsAt(h, R.data(), i);
        const MaterialStateDataFlat& d = state.hostRecord();
        EXPECT_LE(relativeError(fetch(d.monomer, n), M), 1e-6) << step;
        EXPECT_LE(relativeError(fetch(d.radical, n), R), 1e-6) << step;
        EXPECT_LE(relativeError(fetch(d.oxygen, n), O), 1e-6) << step;
        EXPECT_LE(relativeError(fetch(d.degreeOfCuring, n), A), 1e-6) << step;
    }
    // The cure has gelled some nodes, so the gate took part.
    EXPECT_GT(std::count_if(A.begin(), A.end(), [&](double x) { return x >= p.oxygen_gel_point; }), 0);
}

INSTANTIATE_TEST_SUITE_P(DistortedAndRegular, KuravelSteps, ::testing::Values(0.2f, 0.0f));
