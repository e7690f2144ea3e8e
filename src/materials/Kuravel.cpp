// Kinetics state, its kernels and the step: construction, the nodal grid and
// Dirichlet masks, the reaction half-steps, the two transports and the
// material update of the mesh.
#include "materials/Kuravel.hpp"

#include "device/Launch.hpp"
#include "mesh/Mesh.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_set>

namespace kuravel {

namespace {

std::string nodeCountMismatch(int own, int mesh) {
    return "Kuravel was created for " + std::to_string(own) + " nodes, but the mesh has " + std::to_string(mesh) +
           " nodes; create the model with the mesh's node count";
}

// Largest finite extent of the nodes along any axis, or 0.
float largestExtent(const MeshDataFlat& m) {
    const int n = std::max(m.nNodes, 0);
    if (n == 0 || !m.nodeCoords) return 0.0f;
    std::vector<float> coords(3 * static_cast<std::size_t>(n));
    dev::download(coords.data(), m.nodeCoords, coords.size());
    float extent = 0.0f;
    for (int a = 0; a < 3; ++a) {
        float lo = std::numeric_limits<float>::infinity(), hi = -lo;
        for (int i = 0; i < n; ++i) {
            const float x = coords[static_cast<std::size_t>(a) * n + i];
            if (!std::isfinite(x)) continue;
            lo = std::min(lo, x);
            hi = std::max(hi, x);
        }
        if (hi >= lo && std::isfinite(hi - lo)) extent = std::max(extent, hi - lo);
    }
    return extent;
}

// Number of the `count` floats of `a` and `b` whose bits differ (so that a
// value that is not a number equals itself), counted in `d_counter`.
unsigned long long differingWords(const float* a, const float* b, int count, unsigned long long* d_counter) {
    const unsigned* now = reinterpret_cast<const unsigned*>(a);
    const unsigned* then = reinterpret_cast<const unsigned*>(b);
    dev::memset(d_counter, 0, sizeof *d_counter);
    dev::forEach("differingWordsKernel", count, LVX_LAMBDA(int i) {
        if (now[i] != then[i]) dev::atomicAddCount(d_counter, 1ull);
    });
    dev::synchronize();
    unsigned long long h_count = 0;
    dev::download(&h_count, d_counter, 1);
    return h_count;
}

}  // namespace

// --- kernels ---------------------------------------------------------------------

void initializeStateKernel(MaterialStateDataFlat* d_state, int nNodes, MaterialStateVec initial) {
    MaterialStateDataFlat* s = d_state;
    dev::forEach("initializeStateKernel", nNodes, LVX_LAMBDA(int i) {
        s->monomer[i] = initial.monomer;
        s->radical[i] = initial.radical;
        s->oxygen[i] = initial.oxygen;
        s->degreeOfCuring[i] = initial.degreeOfCuring;
        // One writer for the shared reference value (all would write the same).
        if (i == 0) s->monomer0 = initial.monomer;
    }, {dev::kSetupBlockSize});
    dev::synchronize();
}

void diffuseKernelAccelerated(double* out, const double* in, double* source, const float* nodeCoords,
                              double D, double t, int nNodes, const GridAcceleratorData& grid,
                              const NeighbourTableData& neighbours, const double* doc, int gate, double cut,
                              const int* mask, int mode, double value, dev::Stream stream) {
    const Transport species{out, in, source, nodeCoords, D, t, nNodes, grid, neighbours, doc, gate, cut, mask, mode,
                            value};
    // Every source is written before any node reads its neighbours' (and
    // before `out`, which may be `in`, changes).
    dev::forEach("transportSourceKernel", nNodes, LVX_LAMBDA(int i) { source[i] = species.sourceAt(i); },
                 {dev::kBlockSize, dev::Schedule::Static, stream});
    dev::forEach("diffuseKernelAccelerated", nNodes, LVX_LAMBDA(int i) { species.at(i); },
                 {dev::kBlockSize, dev::Schedule::Static, stream});
}

float nodalCellSize(double diffusionOxygen, double dt) {
    const float s = static_cast<float>(std::sqrt(4.0 * diffusionOxygen * dt * kLn100));
    return s > 0.0f && std::isfinite(s) ? s : 0.0f;
}

// --- MaterialState ------------------------------------------------------------------

MaterialState::MaterialState(int nNodes, const KuravelProps& props) {
    if (nNodes < 0)
        throw std::runtime_error("n_nodes must not be negative (got " + std::to_string(nNodes) + ")");
    d_state_ = dev::deviceBuffer<MaterialStateDataFlat>(1);
    {  // the parameters, then the arrays (the members free them if this throws)

        MaterialStateDataFlat& h = h_state_;
        h.kpropagation = props.kpropagation;
        h.koxygen = props.koxygen;
        h.monomer0 = props.c_monomer0;  // the initialising kernel writes the same on the device
        h.dtReaction = 0.5 * props.dt;
        h.dtDiff = props.dt;
        h.n0 = props.n0;
        h.n1 = props.n1;
        h.alpha0 = props.alpha0;
        h.alpha1 = props.alpha1;
        h.diffusion_oxygen = props.diffusion_oxygen;
        h.diffusion_radical = props.diffusion_radical;
        h.diffusion_bc = props.diffusion_bc;
        h.bcRadical = props.diffusion_bc_radical;
        h.bcOxygen = props.diffusion_bc_oxygen;
        if (h.bcRadical == 0 && h.bcOxygen == 0 && props.diffusion_bc != 0)
            h.bcRadical = h.bcOxygen = props.diffusion_bc;
        h.dirichlet_radical = props.dirichlet_radical;
        h.dirichlet_oxygen = props.dirichlet_oxygen;
        h.oxygen_gel_point = props.oxygen_gel_point;

        oxygenGroups_ = props.oxygen_dirichlet_bc_groups;
        oxygenFaceIds_ = props.oxygen_dirichlet_face_ids;
        oxygenAllBoundary_ = props.oxygen_dirichlet_all_boundary && oxygenGroups_.empty() && oxygenFaceIds_.empty();

        allocate(nNodes);
        initialize(MaterialStateVec{props.c_monomer0, props.c_radical0, props.c_oxygen0, props.degree_of_curing0});
    }
}

void MaterialState::allocate(int nNodes) {
    const std::size_t n = static_cast<std::size_t>(nNodes);
    const auto array = [n] { return dev::deviceBuffer<double>(n); };
    arrays_ = NodeArrays{array(), array(), array(), array(), array(), array()};
    MaterialStateDataFlat& h = h_state_;
    const NodeArrays& a = arrays_;
    h.nNodes = nNodes;
    std::tie(h.monomer, h.radical, h.oxygen, h.degreeOfCuring, h.radicalSource, h.oxygenSource) =
        dev::views(a.monomer, a.radical, a.oxygen, a.degreeOfCuring, a.radicalSource, a.oxygenSource);
    d_state_.upload(h);
}

void MaterialState::initialize(const MaterialStateVec& initial) {
    initializeStateKernel(d_state_.get(), h_state_.nNodes, initial);
}

void MaterialState::initializeAccelerator(const Mesh* mesh) {
    if (!mesh) throw std::runtime_error("mesh_ptr is null");
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    if (m.nNodes != h_state_.nNodes) throw std::runtime_error(nodeCountMismatch(h_state_.nNodes, m.nNodes));

    const float s = nodalCellSize(h_state_.diffusion_oxygen, h_state_.dtDiff);
    transportActive_ = s > 0.0f;
    float size = s;
    if (!transportActive_) {
        // No diffusion length: transport will copy every value, so the grid
        // is never searched; one coarse cell per node box keeps it small.
        std::printf("Warning: oxygen diffusivity * dt = %g gives no diffusion length; "
                    "transport leaves radical and oxygen values unchanged.\n",
                    h_state_.diffusion_oxygen * h_state_.dtDiff);
        const float extent = largestExtent(m);
        size = extent > 0.0f ? extent : 1.0f;
    }
    const float cellSize[3] = {size, size, size};
    gridBuilt_ = false;
    grid_.buildNodal(*mesh, cellSize);
    buildNeighbourTables(m.nodeCoords);
    buildBoundaryMasks(*mesh);
    gridBuilt_ = true;
}

void MaterialState::buildNeighbourTables(const float* coords) {
    radicalTable_.release();
    oxygenTable_.release();
    d_coordsSnapshot_.reset();
    const int N = h_state_.nNodes;
    if (!transportActive_ || N <= 0 || !coords) return;

    const std::size_t n = static_cast<std::size_t>(N);
    std::vector<float> xyz(3 * n);
    dev::download(xyz.data(), coords, xyz.size());
    const GridAcceleratorData& g = grid_.data();
    std::vector<int> head(static_cast<std::size_t>(grid_.cellCount())), next(n);
    dev::download(head.data(), g.cellHead, head.size());
    dev::download(next.data(), g.nextInCell, next.size());
    GridAcceleratorData h_grid = g;
    h_grid.cellHead = head.data();
    h_grid.nextInCell = next.data();

    // a = 1 / (4 D t) of each species; a species that does not move needs no table.
    const auto exponent = [&](double D) {
        const double a = 1.0 / (4.0 * D * h_state_.dtDiff);
        return D > 0.0 && a < HUGE_VAL ? a : 0.0;
    };
    const double aRadical = exponent(h_state_.diffusion_radical), aOxygen = exponent(h_state_.diffusion_oxygen);
    sharedTable_ = aRadical > 0.0 && aRadical == aOxygen;
    if (aRadical > 0.0) radicalTable_.build(xyz.data(), N, h_grid, aRadical);
    if (aOxygen > 0.0 && !sharedTable_) oxygenTable_.build(xyz.data(), N, h_grid, aOxygen);
    if (!radicalTable_.built() && !oxygenTable_.built()) return;

    auto snapshot = dev::deviceBuffer<float>(xyz.size());
    dev::upload(snapshot.get(), xyz.data(), xyz.size());
    d_coordsSnapshot_ = std::move(snapshot);
    if (!d_movedCount_) d_movedCount_ = dev::deviceBuffer<unsigned long long>(1);
}

bool MaterialState::positionsMoved(const float* coords) const {
    return differingWords(coords, d_coordsSnapshot_.get(), 3 * h_state_.nNodes, d_movedCount_.get()) != 0;
}

void MaterialState::buildBoundaryMasks(const Mesh& mesh) {
    const int N = h_state_.nNodes;
    if (N <= 0) return;
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    const int F = std::max(m.nFaces, 0);
    const std::size_t n = static_cast<std::size_t>(N);
    std::vector<int> radical(n, 0), oxygen(n, 0);

    std::vector<int> faceNodes;
    if (F > 0 && m.faceNodes) {
        faceNodes.resize(4 * static_cast<std::size_t>(F));
        dev::download(faceNodes.data(), m.faceNodes, faceNodes.size());
        for (int id : faceNodes)
            if (id >= 0 && id < N) radical[static_cast<std::size_t>(id)] = 1;
    }

    const auto negative = [](const std::vector<int>& v) {
        return std::any_of(v.begin(), v.end(), [](int x) { return x < 0; });
    };
    if (oxygenAllBoundary_ || (oxygenGroups_.empty() && oxygenFaceIds_.empty()) || negative(oxygenGroups_) ||
        negative(oxygenFaceIds_)) {
        oxygen = radical;
    } else {
        const auto markFace = [&](int face) {
            for (int k = 0; k < 4; ++k) {
                const int id = faceNodes[4 * static_cast<std::size_t>(face) + k];
                if (id >= 0 && id < N) oxygen[static_cast<std::size_t>(id)] = 1;
            }
        };
        if (!faceNodes.empty())
            for (int face : oxygenFaceIds_)
                if (face < F) markFace(face);  // ids outside the boundary are ignored
        if (!oxygenGroups_.empty() && m.faceBC && !faceNodes.empty()) {
            std::vector<int> faceBC(static_cast<std::size_t>(F));
            dev::download(faceBC.data(), m.faceBC, faceBC.size());
            const std::unordered_set<int> groups(oxygenGroups_.begin(), oxygenGroups_.end());
            for (int face = 0; face < F; ++face)
                if (groups.count(faceBC[static_cast<std::size_t>(face)])) markFace(face);
        }
    }

    radicalCount_ = static_cast<int>(std::count(radical.begin(), radical.end(), 1));
    oxygenCount_ = static_cast<int>(std::count(oxygen.begin(), oxygen.end(), 1));
    d_radicalMask_ = dev::uploadedBuffer<int>(radical);
    d_oxygenMask_ = dev::uploadedBuffer<int>(oxygen);
}

void MaterialState::step(const double* power, const MeshDataFlat* meshRecord) {
    if (!power) throw std::runtime_error("result_device_ptr is null");
    if (!meshRecord) throw std::runtime_error("mesh_devlink_ptr is null");
    if (!gridBuilt_)
        throw std::runtime_error("accelerator is not initialized; call initialize_accelerator(mesh_ptr) first");
    const int N = h_state_.nNodes;
    if (meshRecord->nNodes != N) throw std::runtime_error(nodeCountMismatch(N, meshRecord->nNodes));
    const double m0 = h_state_.monomer0;
    if (!(m0 != 0.0 && std::isfinite(m0))) {
        char message[200];
        std::snprintf(message, sizeof message,
                      "c_monomer0 is %g: the degree of curing is measured against the initial monomer "
                      "concentration, which must be non-zero and finite",
                      m0);
        throw std::runtime_error(message);
    }

    const MaterialStateDataFlat& h = h_state_;
    const float* coords = meshRecord->nodeCoords;
    const GridAcceleratorData& g = grid_.data();
    // Without a diffusion length the transports copy (a time of 0 does that).
    const double t = transportActive_ ? h.dtDiff : 0.0;
    // The neighbourhoods follow nodes moved since they were found; the grid
    // stays the one initialize_accelerator built.
    if (d_coordsSnapshot_ && positionsMoved(meshRecord->nodeCoords)) buildNeighbourTables(meshRecord->nodeCoords);

    // Two passes over the nodes. The first takes the reaction half-step under
    // the absorbed power and writes what each species' transport reads of the
    // node; the second transports both species into the node (reading only
    // those sources), takes the second half-step under the transported
    // radical field and updates the node's material.
    const Transport radical{h.radical, power, h.radicalSource, coords, h.diffusion_radical, t, N, g,
                            radicalNeighbours().data(), nullptr, 0, 1.0, d_radicalMask_.get(), h.bcRadical,
                            h.dirichlet_radical};
    const Transport oxygen{h.oxygen, h.oxygen, h.oxygenSource, coords, h.diffusion_oxygen, t, N, g,
                           oxygenNeighbours().data(), h.degreeOfCuring, 1, h.oxygen_gel_point, d_oxygenMask_.get(),
                           h.bcOxygen, h.dirichlet_oxygen};
    const MaterialStateDataFlat* s = d_state_.get();
    float* absorptivity = meshRecord->absorptivity;
    float* refrIndex = meshRecord->refrIndex;
    dev::forEach("reactionSourcesKernel", N, LVX_LAMBDA(int i) {
        solveRateEquationsAt(*s, power, i);
        radical.source[i] = radical.sourceAt(i);
        oxygen.source[i] = oxygen.sourceAt(i);
    });
    // A pair of neighbouring nodes per item: their transports share the
    // reads of their neighbourhoods.
    dev::forEach("transportReactionKernel", (N + 1) / 2, LVX_LAMBDA(int q) {
        const int i = 2 * q, last = i + 1 < N ? i + 1 : i;
        if (last > i) {
            radical.pairAt(i);
            oxygen.pairAt(i);
        } else {
            radical.at(i);
            oxygen.at(i);
        }
        for (int j = i; j <= last; ++j) {
            solveRateEquationsAt(*s, s->radical, j);
            updateMaterialAt(*s, absorptivity, refrIndex, j);
        }
    });
    dev::synchronize();
}

}  // namespace kuravel
