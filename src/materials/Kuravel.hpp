// Photopolymerization kinetics on the mesh nodes of a lumivex engine.
//
// Per node the model carries monomer, radical and oxygen concentrations and the
// degree of curing, all in double precision on the device. One step advances
// them by `dt` with operator splitting: a reaction half-step under the
// absorbed power, radical and oxygen transport (a Gaussian-kernel average over
// the nodes near each node, found through a nodal grid), a second reaction
// half-step under the transported radical field, and finally refractive index
// and absorptivity of the mesh, interpolated by the degree of curing.
//
// `KuravelProps` is the parameter record the user fills in;
// `MaterialStateDataFlat` the flat record kernels receive by address;
// `MaterialState` the host owner of the arrays, the grid, the Dirichlet masks
// and the two streams of the transport. Everything lives in namespace
// `kuravel` so that the test executables can link this library next to the
// dose-threshold model, which has kernels of the same names.
#pragma once

#include "accel/GridAccelerator.hpp"
#include "device/Buffer.hpp"
#include "materials/KuravelNeighbours.hpp"
#include "mesh/MeshDataFlat.hpp"

#include <cmath>
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
    double* radicalSource = nullptr;  // scratch: absorbed power before its transport
    double* oxygen = nullptr;
    double* oxygenPrev = nullptr;     // scratch: oxygen before its transport
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

// Accumulates the Gaussian-weighted values of the candidates j around a node
// at p (a named type rather than a lambda, since this header is compiled by
// both nvcc and the host compiler).
struct GaussianSum {
    const double* in;
    const float* coords;
    const double* doc;  // null unless the curing gate is active
    double cut;         // saturated gel point of the gate
    double a;           // 1 / (4 D t)
    int n;
    Vec3 p;
    double sum = 0.0;
    double weight = 0.0;

    LVX_HD void operator()(int j) {
        const double v = in[j];
        if (v < kMinSignal) return;
        if (doc && saturate(doc[j]) >= cut) return;
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

// Gaussian-kernel transport of node i: out[i] becomes the weighted mean of the
// non-negligible values of in[] over the node's neighbours, the nodes of the
// 27-cell block around it inside the weight cut-off: precomputed in `nb` for
// this D and t, or, without a table, found by scanning the block of `grid`. `doc` with `gate` != 0 freezes nodes cured to `cut` or beyond
// (they keep their value and their neighbours ignore them) and slows the
// others by (1 - degree of curing); `mode` 1 with a mask holds masked nodes at
// `value`.
LVX_HD inline void diffuseAt(int i, double* out, const double* in, const float* coords, double D, double t, int n,
                             const GridAcceleratorData& grid, const NeighbourTableData& nb, const double* doc,
                             int gate, double cut, const int* mask, int mode, double value) {
    if (mode == 1 && mask && mask[i] != 0) {
        out[i] = value;
        return;
    }
    const bool gated = doc && gate != 0;
    const double gel = saturate(cut);
    if (gated) {
        const double own = saturate(doc[i]);
        if (own >= gel) {
            out[i] = in[i];
            return;
        }
        D *= 1.0 - own;
    }
    if (t <= 0.0 || D <= 0.0) {
        out[i] = in[i];
        return;
    }
    // The normalisation (4 pi D t)^(-3/2) cancels in the ratio below and the
    // cut-off is relative to it, so the weights stay unnormalised; that also
    // keeps them finite for any positive D t. A D t so small that 1 / (4 D t)
    // overflows is a kernel narrower than any node distance: a copy.
    const double a = 1.0 / (4.0 * D * t);
    if (!(a < HUGE_VAL)) {
        out[i] = in[i];
        return;
    }
    const double* frozen = gated ? doc : nullptr;
    if (!nb.patternOf) {
        GaussianSum acc{in, coords, frozen, gel, a, n, Vec3(coords[i], coords[n + i], coords[2 * n + i])};
        int c[3];
        if (grid.cellHead && grid.locateCell(acc.p, c)) grid.forEachInBlock(c[0], c[1], c[2], acc);
        out[i] = fabs(acc.weight) > 0.0 ? acc.sum / acc.weight : in[i];
        return;
    }
    const int pattern = nb.patternOf[i];
    if (pattern < 0) {
        out[i] = in[i];
        return;
    }
    const NeighbourEntry* e = nb.entries + nb.patternStart[pattern];
    const int count = nb.patternStart[pattern + 1] - nb.patternStart[pattern];
    // Two accumulators each halve the chain of dependent additions.
    double sum[2] = {0.0, 0.0}, weight[2] = {0.0, 0.0};
    if (a == nb.a) {
        // The table's own kernel: stored weights.
        for (int k = 0; k < count; ++k) {
            const int j = i + e[k].offset;
            const double v = in[j];
            if (v < kMinSignal || (frozen && saturate(frozen[j]) >= gel)) continue;
            sum[k & 1] += e[k].w * v;
            weight[k & 1] += e[k].w;
        }
    } else {
        // A kernel slowed by curing is narrower: the weights are recomputed,
        // one exponential per distinct distance, and the list (nearest first)
        // ends at the cut-off.
        float r2 = -1.0f;
        double w = 0.0;
        for (int k = 0; k < count; ++k) {
            if (e[k].r2 != r2) {
                r2 = e[k].r2;
                w = exp(-a * r2);
                if (w < kWeightCut) break;
            }
            const int j = i + e[k].offset;
            const double v = in[j];
            if (v < kMinSignal || (frozen && saturate(frozen[j]) >= gel)) continue;
            sum[k & 1] += w * v;
            weight[k & 1] += w;
        }
    }
    const double total = weight[0] + weight[1];
    out[i] = fabs(total) > 0.0 ? (sum[0] + sum[1]) / total : in[i];
}

// --- launchers (one thread per node) ---------------------------------------------
// `d_state` is the device copy of the record. The first three wait for the
// device; the last two are queued on `stream` and do not wait.

void initializeStateKernel(MaterialStateDataFlat* d_state, int nNodes, MaterialStateVec initial);
void solveRateEquations(const MaterialStateDataFlat* d_state, const double* intensity, int nNodes);
void updateMaterialProperties(const MaterialStateDataFlat* d_state, float* absorptivity, float* refrIndex,
                              int nNodes);
void applyDirichletBoundaryKernel(double* field, const int* mask, double value, int nNodes, dev::Stream stream = {});
// `neighbours` without a table (patternOf null) makes the kernel scan the
// grid's block around each node instead.
void diffuseKernelAccelerated(double* out, const double* in, const float* nodeCoords, double D, double t, int nNodes,
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
        dev::Buffer<double> monomer, radical, radicalSource, oxygen, oxygenPrev, degreeOfCuring;
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
    dev::OwnedStream streamA_, streamB_;
    dev::OwnedEvent eventA_, eventB_;
    bool gridBuilt_ = false;
    bool transportActive_ = false;
};

// Cell size of the nodal grid: the distance at which the oxygen kernel has
// fallen to 1/100, sqrt(4 D dt ln 100), as a float. 0 when not positive and
// finite.
float nodalCellSize(double diffusionOxygen, double dt);

}  // namespace kuravel
