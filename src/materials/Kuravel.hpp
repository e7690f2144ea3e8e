// Photopolymerization kinetics on the mesh nodes of a lumivex engine.
//
// Per node the model carries monomer, radical and oxygen concentrations and the
// degree of curing, all in double precision on the device. One step advances
// them by `dt` with operator splitting: a reaction half-step under the
// absorbed power, radical and oxygen transport (a Gaussian-kernel average over
// the nodes near each node, from neighbour tables built once through a nodal
// grid), a second reaction half-step under the transported radical field, and
// finally refractive index and absorptivity of the mesh, interpolated by the
// degree of curing. The step takes two passes over the nodes: the first half-
// step with what each species' transport reads of the node, then everything
// else, which needs only the node itself and those values of its neighbours.
//
// `KuravelProps` is the parameter record the user fills in;
// `MaterialStateDataFlat` the flat record kernels receive by address;
// `MaterialState` the host owner of the arrays, the grid, the neighbour
// tables and the Dirichlet masks. Everything lives in namespace `kuravel` so
// that the test executables can link this library next to the dose-threshold
// model, which has kernels of the same names.
#pragma once

#include "accel/GridAccelerator.hpp"
#include "device/Buffer.hpp"
#include "materials/KuravelNeighbours.hpp"
#include "mesh/MeshDataFlat.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

class Mesh;

namespace kuravel {

// Model parameters; fields and defaults as seen from Python.
struct KuravelProps {
    double kpropagation = 0.0;       // propagation rate constant k_p
    double koxygen = 0.0;            // oxygen consumption rate constant k_o
    double diffusion_oxygen = 0.0;   // oxygen diffusivity
    double diffusion_radical = 0.0;  // radical diffusivity
    int diffusion_bc = 0;            // mode for both species when both below are 0
    int diffusion_bc_radical = 0;    // 1: radical held on its Dirichlet nodes
    int diffusion_bc_oxygen = 0;     // 1: oxygen held on its Dirichlet nodes
    double dirichlet_radical = 0.0;
    double dirichlet_oxygen = 0.0;
    double oxygen_gel_point = 1.0;   // degree of curing from which oxygen stops moving
    bool oxygen_dirichlet_all_boundary = true;
    std::vector<int> oxygen_dirichlet_bc_groups;  // optical boundary-condition indices
    std::vector<int> oxygen_dirichlet_face_ids;   // global boundary-face ids
    double dt = 0.0;
    double n0 = 0.0;
    double n1 = 0.0;
    double alpha0 = 0.0;
    double alpha1 = 0.0;
    double c_monomer0 = 0.0;
    double c_radical0 = 0.0;
    double c_oxygen0 = 0.0;
    double degree_of_curing0 = 0.0;
};

// One node's state, in this order.
struct MaterialStateVec {
    double monomer = 0.0;
    double radical = 0.0;
    double oxygen = 0.0;
    double degreeOfCuring = 0.0;
};

struct MaterialStateDataFlat {
    int nNodes = 0;
    double* monomer = nullptr;
    double* radical = nullptr;
    double* radicalSource = nullptr;  // scratch: the absorbed power as transport reads it
    double* oxygen = nullptr;
    double* oxygenSource = nullptr;   // scratch: oxygen as transport reads it
    double* degreeOfCuring = nullptr;
    double kpropagation = 0.0;
    double koxygen = 0.0;
    double monomer0 = 0.0;    // reference monomer concentration of the degree of curing
    double dtReaction = 0.0;  // dt / 2, one reaction half-step
    double dtDiff = 0.0;      // dt, the transport time of one step
    double n0 = 0.0;
    double n1 = 0.0;
    double alpha0 = 0.0;
    double alpha1 = 0.0;
    double diffusion_oxygen = 0.0;
    double diffusion_radical = 0.0;
    int diffusion_bc = 0;
    int bcRadical = 0;  // resolved boundary modes
    int bcOxygen = 0;
    double dirichlet_radical = 0.0;
    double dirichlet_oxygen = 0.0;
    double oxygen_gel_point = 0.0;
};

// Intensities below this count as darkness: the node's reaction is skipped,
// and transport neither averages such values nor lets them dilute others.
constexpr double kMinSignal = 1e-15;
// Relative Gaussian weight below which a neighbour is left out of the average.
constexpr double kWeightCut = 0.001;
// Slightly above ln 1000: exp(-x) < kWeightCut for every x beyond it.
constexpr double kWeightCutExponent = 6.907755278982137 + 1e-9;
// ln 100: at the nodal grid's cell size the oxygen kernel has fallen to 1/100.
constexpr double kLn100 = 4.605170185988091;

// --- per-node device functions --------------------------------------------------

LVX_HD inline double saturate(double x) { return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x); }

// Rates of the local reaction at state y under intensity I.
LVX_HD inline MaterialStateVec derivativeSqrtI(const MaterialStateDataFlat& s, const MaterialStateVec& y,
                                               double intensity) {
    const double rp = s.kpropagation * y.monomer * sqrt((1.0 - y.oxygen) * intensity);
    MaterialStateVec d;
    d.monomer = -rp;
    d.radical = 0.0;
    d.oxygen = -s.koxygen * y.oxygen * sqrt(y.oxygen * intensity);
    d.degreeOfCuring = rp / s.monomer0;
    return d;
}

// One explicit Euler half-step of node i; dark nodes stay untouched.
LVX_HD inline void solveRateEquationsAt(const MaterialStateDataFlat& s, const double* intensity, int i) {
    const double I = intensity[i];
    if (I < kMinSignal) return;
    MaterialStateVec y{s.monomer[i], s.radical[i], s.oxygen[i], s.degreeOfCuring[i]};
    const MaterialStateVec d = derivativeSqrtI(s, y, I);
    const double h = s.dtReaction;
    y.monomer += h * d.monomer;
    y.oxygen += h * d.oxygen;
    y.degreeOfCuring += h * d.degreeOfCuring;
    // Written so that NaN passes unchanged.
    if (y.monomer < 0.0) y.monomer = 0.0;
    if (y.radical < 0.0) y.radical = 0.0;
    if (y.oxygen < 0.0) y.oxygen = 0.0;
    if (y.degreeOfCuring < 0.0) y.degreeOfCuring = 0.0;
    if (y.degreeOfCuring > 1.0) y.degreeOfCuring = 1.0;
    s.monomer[i] = y.monomer;
    s.radical[i] = y.radical;
    s.oxygen[i] = y.oxygen;
    s.degreeOfCuring[i] = y.degreeOfCuring;
}

// Refractive index and absorptivity of node i, interpolated by its degree of curing.
LVX_HD inline void updateMaterialAt(const MaterialStateDataFlat& s, float* absorptivity, float* refrIndex, int i) {
    const double alpha = s.degreeOfCuring[i];
    refrIndex[i] = static_cast<float>((1.0 - alpha) * s.n0 + alpha * s.n1);
    absorptivity[i] = static_cast<float>((1.0 - alpha) * s.alpha0 + alpha * s.alpha1);
}

// Node i's value as its neighbours' transport reads it: held at `value` on a
// masked node in mode 1, and 0 where it does not count (dark, or with the
// gate `doc` cured to `gel`). A value that counts is not 0 (it is at least
// kMinSignal, or not a number), so the sums need no separate flag.
LVX_HD inline double transportSourceAt(int i, const double* in, const double* doc, double gel, const int* mask,
                                       int mode, double value) {
    const double v = mode == 1 && mask && mask[i] != 0 ? value : in[i];
    const bool counted = !(v < kMinSignal) && !(doc && saturate(doc[i]) >= gel);
    return counted ? v : 0.0;
}

// Gaussian sums over the sources of the nodes j passed to it, around a node
// at p (a named type rather than a lambda, since this header is compiled by
// both nvcc and the host compiler).
struct GaussianSum {
    const double* source;
    const float* coords;
    double a;  // 1 / (4 D t)
    int n;
    Vec3 p;
    double sum = 0.0;
    double weight = 0.0;

    LVX_HD void operator()(int j) {
        const double v = source[j];
        if (v == 0.0) return;
        const Vec3 q(coords[j], coords[n + j], coords[2 * n + j]);
        const double r = (q - p).length();  // single precision, as the mesh
        const double x = a * r * r;
        // Most candidates of the block lie well beyond the cut-off; they are
        // rejected without the exponential (the margin leaves the exact test
        // below to decide the borderline ones).
        if (x > kWeightCutExponent) return;
        const double w = exp(-x);
        if (w < kWeightCut) return;
        sum += w * v;
        weight += w;
    }
};

#if !defined(__CUDA_ARCH__)
constexpr double kLn2 = 0.6931471805599453, kLog2e = 1.4426950408889634;

// exp(-u) for u in [0, ln 2), to about 5e-9 relative: a degree-7 Taylor
// polynomial in d = u - ln 2 / 2 (where exp(-u) is 2^-1/2), in Estrin's order
// for a short dependency chain. For a scalar or a vector of lanes.
template <class T>
inline T expReduced(T u) {
    const T d = u - 0.5 * kLn2, d2 = d * d, d4 = d2 * d2;
    const T p01 = 1.0 - d, p23 = 0.5 - d * (1.0 / 6), p45 = 1.0 / 24 - d * (1.0 / 120),
            p67 = 1.0 / 720 - d * (1.0 / 5040);
    return 0.7071067811865476 * ((p01 + d2 * p23) + d4 * (p45 + d2 * p67));
}
#endif

// exp(-x) for x >= 0, to about 1e-8 relative, and 0 beyond the weight
// cut-off (where only "below the cut" matters). On the CPU the library call
// costs more than the rest of a node's sum; the GPU keeps its own exp.
LVX_HD inline double transportWeight(double x) {
    if (!(x <= kWeightCutExponent)) return 0.0;
#if defined(__CUDA_ARCH__)
    return exp(-x);
#else
    if (x == 0.0) return 1.0;
    const int n = static_cast<int>(x * kLog2e);
    const std::uint64_t bits = static_cast<std::uint64_t>(1023 - n) << 52;  // 2^-n, n <= 9
    double scale;
    std::memcpy(&scale, &bits, sizeof scale);
    return expReduced(x - n * kLn2) * scale;
#endif
}

// transportWeight of two exponents at once: on the CPU, both lanes of one
// vector register go through the polynomial together.
LVX_HD inline void transportWeights(double x0, double x1, double& w0, double& w1) {
#if defined(__CUDA_ARCH__) || defined(__CUDACC__)
    w0 = transportWeight(x0), w1 = transportWeight(x1);
#else
    typedef double Lanes __attribute__((vector_size(16)));
    typedef long long LaneInts __attribute__((vector_size(16)));
    const Lanes x = {x0, x1};
    const LaneInts inside = x <= kWeightCutExponent;  // false beyond the cut-off and for NaN
    const Lanes clipped = inside ? x : Lanes{0.0, 0.0};
    const LaneInts n = __builtin_convertvector(clipped * kLog2e, LaneInts);
    const LaneInts bits = (1023 - n) << 52;  // 2^-n, n <= 9
    Lanes scale;
    std::memcpy(&scale, &bits, sizeof scale);
    const Lanes w = expReduced(clipped - __builtin_convertvector(n, Lanes) * kLn2) * scale;
    const Lanes settled = clipped == 0.0 ? Lanes{1.0, 1.0} : w;
    const Lanes result = inside ? settled : Lanes{0.0, 0.0};
    w0 = result[0], w1 = result[1];
#endif
}

// Gaussian sums over the neighbours of node i in table pattern p: per run of
// equal distance, the sources and their count summed unweighted, then
// weighted once, with the table's weight when a is the table's own, else with
// exp(-a r^2), the runs ending at the cut-off.
LVX_HD inline void tableSum(int i, const NeighbourTableData& nb, int p, const double* source, double a,
                            double& sum, double& weight) {
    const int* offset = nb.offsets + nb.offsetStart[p];
    for (int r = nb.runStart[p]; r < nb.runStart[p + 1]; ++r) {
        const NeighbourRun run = nb.runs[r];
        const double w = a == nb.a ? static_cast<double>(run.w) : transportWeight(a * run.r2);
        if (w < kWeightCut) break;
        // Two partial sums halve the chains of dependent additions; the
        // counts are integers, added without a branch.
        double s0 = 0.0, s1 = 0.0;
        int c0 = 0, c1 = 0;
        int k = 0;
        for (; k + 1 < run.count; k += 2) {
            const double v0 = source[i + offset[k]], v1 = source[i + offset[k + 1]];
            s0 += v0, c0 += v0 != 0.0;
            s1 += v1, c1 += v1 != 0.0;
        }
        if (k < run.count) {
            const double v0 = source[i + offset[k]];
            s0 += v0, c0 += v0 != 0.0;
        }
        offset += run.count;
        sum += w * (s0 + s1);
        weight += w * (c0 + c1);
    }
}

// Gaussian sums over the neighbours of the nodes i and i + 1, which share
// table pattern p, with kernel exponents a0 and a1. Their neighbours lie
// side by side in memory (j and j + 1), so both sums advance together, two
// lanes that a CPU adds in one instruction. A lane stops at its own cut-off.
LVX_HD inline void tableSumPair(int i, const NeighbourTableData& nb, int p, const double* source, double a0,
                                double a1, double sum[2], double weight[2]) {
    const int* offset = nb.offsets + nb.offsetStart[p];
    for (int r = nb.runStart[p]; r < nb.runStart[p + 1]; ++r) {
        const NeighbourRun run = nb.runs[r];
        double w0 = run.w, w1 = run.w;
        if (a0 != nb.a || a1 != nb.a) {
            transportWeights(a0 * run.r2, a1 * run.r2, w0, w1);
            if (a0 == nb.a) w0 = run.w;
            if (a1 == nb.a) w1 = run.w;
        }
        if (w0 < kWeightCut && w1 < kWeightCut) break;
#if defined(__CUDA_ARCH__)
        double s0 = 0.0, s1 = 0.0;
        int c0 = 0, c1 = 0;
        for (int k = 0; k < run.count; ++k) {
            const double* v = source + i + offset[k];
            s0 += v[0], c0 += v[0] != 0.0;
            s1 += v[1], c1 += v[1] != 0.0;
        }
#else
        // Both lanes in one vector register: a load, an addition and a
        // comparison per neighbour (a comparison's true lane is -1).
        typedef double Lanes __attribute__((vector_size(16)));
        typedef long long LaneCounts __attribute__((vector_size(16)));
        Lanes s = {0.0, 0.0};
        LaneCounts c = {0, 0};
        for (int k = 0; k < run.count; ++k) {
            Lanes v;
            std::memcpy(&v, source + i + offset[k], sizeof v);
            s += v;
            c -= v != Lanes{0.0, 0.0};
        }
        const double s0 = s[0], s1 = s[1];
        const long long c0 = c[0], c1 = c[1];
#endif
        offset += run.count;
        if (w0 >= kWeightCut) sum[0] += w0 * s0, weight[0] += w0 * static_cast<double>(c0);
        if (w1 >= kWeightCut) sum[1] += w1 * s1, weight[1] += w1 * static_cast<double>(c1);
    }
}

// Gaussian-kernel transport of one species: out[i] becomes the weighted mean
// of the counting `source` values of node i's neighbours, the nodes of the 27-cell
// block around it inside the weight cut-off: precomputed in `nb` for this D
// and t, or, without a table, found by scanning the block of `grid`. Without
// any, it keeps in[i] (its own value; out may be in). `doc` with `gate` != 0
// freezes nodes cured to `cut` or beyond (they keep their value) and slows the
// others by (1 - degree of curing); `mode` 1 with a mask holds masked nodes at
// `value`.
struct Transport {
    double* out;
    const double* in;  // before transport; may be out
    double* source;    // written by sourceAt before any node's sums read it
    const float* coords;
    double D;
    double t;
    int n;
    GridAcceleratorData grid;
    NeighbourTableData nb;
    const double* doc;
    int gate;
    double cut;
    const int* mask;
    int mode;
    double value;

    LVX_HD double sourceAt(int i) const {
        return transportSourceAt(i, in, gate != 0 ? doc : nullptr, saturate(cut), mask, mode, value);
    }

    // Kernel exponent a = 1 / (4 D t) of node i, or 0 once out[i] is settled
    // without neighbours (held, frozen, or no diffusion length).
    LVX_HD double exponentAt(int i) const {
        if (mode == 1 && mask && mask[i] != 0) {
            out[i] = value;
            return 0.0;
        }
        double d = D;
        if (doc && gate != 0) {
            const double own = saturate(doc[i]);
            if (own >= saturate(cut)) {
                out[i] = in[i];
                return 0.0;
            }
            d *= 1.0 - own;
        }
        // The normalisation (4 pi D t)^(-3/2) cancels in the mean and the
        // cut-off is relative to it, so the weights stay unnormalised; that
        // also keeps them finite for any positive D t. A D t so small that
        // 1 / (4 D t) overflows is a kernel narrower than any node distance:
        // a copy.
        const double a = t > 0.0 && d > 0.0 ? 1.0 / (4.0 * d * t) : HUGE_VAL;
        if (!(a < HUGE_VAL)) {
            out[i] = in[i];
            return 0.0;
        }
        return a;
    }

    LVX_HD void finish(int i, double sum, double weight) const {
        out[i] = fabs(weight) > 0.0 ? sum / weight : in[i];
    }

    // Node i with exponent a > 0.
    LVX_HD void sumsAt(int i, double a) const {
        double sum = 0.0, weight = 0.0;
        if (nb.patternOf) {
            const int pattern = nb.patternOf[i];
            if (pattern >= 0) tableSum(i, nb, pattern, source, a, sum, weight);
        } else {
            GaussianSum acc{source, coords, a, n, Vec3(coords[i], coords[n + i], coords[2 * n + i])};
            int c[3];
            if (grid.cellHead && grid.locateCell(acc.p, c)) grid.forEachInBlock(c[0], c[1], c[2], acc);
            sum = acc.sum, weight = acc.weight;
        }
        finish(i, sum, weight);
    }

    LVX_HD void at(int i) const {
        const double a = exponentAt(i);
        if (a > 0.0) sumsAt(i, a);
    }

    // Nodes i and i + 1 (< n), together where they share a table pattern.
    LVX_HD void pairAt(int i) const {
        const double a0 = exponentAt(i), a1 = exponentAt(i + 1);
        const int p = nb.patternOf ? nb.patternOf[i] : -1;
        if (a0 > 0.0 && a1 > 0.0 && p >= 0 && nb.patternOf[i + 1] == p) {
            double sum[2] = {0.0, 0.0}, weight[2] = {0.0, 0.0};
            tableSumPair(i, nb, p, source, a0, a1, sum, weight);
            finish(i, sum[0], weight[0]);
            finish(i + 1, sum[1], weight[1]);
            return;
        }
        if (a0 > 0.0) sumsAt(i, a0);
        if (a1 > 0.0) sumsAt(i + 1, a1);
    }
};

// --- launchers (one thread per node) ---------------------------------------------

// Sets every node of the state `d_state` (the device copy of the record) to
// `initial`; waits for the device.
void initializeStateKernel(MaterialStateDataFlat* d_state, int nNodes, MaterialStateVec initial);
// Transport of `in` into `out` (which may be `in`), through the scratch
// `source` (one per node); see Transport. `neighbours` without a table
// (patternOf null) makes the kernel scan the grid's block around each node.
void diffuseKernelAccelerated(double* out, const double* in, double* source, const float* nodeCoords,
                              double D, double t, int nNodes,
                              const GridAcceleratorData& grid, const NeighbourTableData& neighbours,
                              const double* doc, int gate, double cut, const int* mask, int mode, double value,
                              dev::Stream stream = {});

// --- the host owner ---------------------------------------------------------------

class MaterialState {
public:
    // Copies the parameters and initialises every node to the initial values.
    // Throws std::runtime_error for a negative node count.
    MaterialState(int nNodes, const KuravelProps& props);
    MaterialState(const MaterialState&) = delete;
    MaterialState& operator=(const MaterialState&) = delete;

    // Builds the nodal grid (cells of the oxygen diffusion length) and the
    // Dirichlet masks from `mesh`; may be repeated, replacing both. Throws
    // std::runtime_error for a null mesh or one whose node count differs.
    void initializeAccelerator(const Mesh* mesh);

    // Advances the model by dt. `power` is the device address of the absorbed
    // power (one double per node), `meshRecord` the mesh's h_mdata_devlink.
    // Throws std::runtime_error, before any work, for null addresses, a
    // missing grid, a mesh of another node count or a zero reference monomer
    // concentration. Returns after the device is idle.
    void step(const double* power, const MeshDataFlat* meshRecord);

    // Dirichlet masks from the mesh's boundary faces (part of initializeAccelerator).
    void buildBoundaryMasks(const Mesh& mesh);

    int nodeCount() const { return h_state_.nNodes; }
    const MaterialStateDataFlat& hostRecord() const { return h_state_; }
    MaterialStateDataFlat* deviceRecord() const { return d_state_.get(); }
    const double* degreeOfCuringDevice() const { return h_state_.degreeOfCuring; }
    const double* oxygenDevice() const { return h_state_.oxygen; }
    double dtDiff() const { return h_state_.dtDiff; }
    bool acceleratorReady() const { return gridBuilt_; }
    const GridAccelerator& grid() const { return grid_; }
    // Transport neighbourhoods of each species (the oxygen table serves both
    // when the diffusivities are equal); empty while that species does not move.
    const NeighbourTable& radicalNeighbours() const { return radicalTable_; }
    const NeighbourTable& oxygenNeighbours() const { return sharedTable_ ? radicalTable_ : oxygenTable_; }
    // False when the diffusion length gives no usable cell size (oxygen
    // diffusivity or dt of 0); transport then copies every value.
    bool transportActive() const { return transportActive_; }
    const int* radicalMask() const { return d_radicalMask_.get(); }
    const int* oxygenMask() const { return d_oxygenMask_.get(); }
    int radicalMaskCount() const { return radicalCount_; }
    int oxygenMaskCount() const { return oxygenCount_; }
    bool oxygenDirichletAllBoundary() const { return oxygenAllBoundary_; }

private:
    // Owners of the per-node arrays that h_state_ points at.
    struct NodeArrays {
        dev::Buffer<double> monomer, radical, oxygen, degreeOfCuring, radicalSource, oxygenSource;
    };

    void allocate(int nNodes);
    // Neighbour tables from the grid and the node positions at `coords`; a
    // snapshot of those positions lets a step notice that they have moved.
    void buildNeighbourTables(const float* coords);
    bool positionsMoved(const float* coords) const;
    void initialize(const MaterialStateVec& initial);

    dev::Buffer<MaterialStateDataFlat> d_state_;
    MaterialStateDataFlat h_state_;
    NodeArrays arrays_;
    GridAccelerator grid_;
    dev::Buffer<int> d_radicalMask_;
    dev::Buffer<int> d_oxygenMask_;
    NeighbourTable radicalTable_, oxygenTable_;
    bool sharedTable_ = false;
    dev::Buffer<float> d_coordsSnapshot_;
    dev::Buffer<unsigned long long> d_movedCount_;
    int radicalCount_ = 0;
    int oxygenCount_ = 0;
    bool oxygenAllBoundary_ = true;
    std::vector<int> oxygenGroups_;
    std::vector<int> oxygenFaceIds_;
    bool gridBuilt_ = false;
    bool transportActive_ = false;
};

// Cell size of the nodal grid: the distance at which the oxygen kernel has
// fallen to 1/100, sqrt(4 D dt ln 100), as a float. 0 when not positive and
// finite.
float nodalCellSize(double diffusionOxygen, double dt);

}  // namespace kuravel
