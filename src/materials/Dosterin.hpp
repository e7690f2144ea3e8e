// Dose-threshold cure model: accumulated energy per node, a degree of curing
// (DoC) between a gel and a cure threshold, and the refractive index and
// absorptivity that follow from it, written in place into lumivex's mesh.
#pragma once

#include "device/Buffer.hpp"
#include "mesh/MeshDataFlat.hpp"

#include <cstdint>

// Parameters of the model; passed to the kernel by value. A default record
// has every field 0.
struct MatProps {
    double n0 = 0.0;      // refractive index at DoC 0
    double n1 = 0.0;      // refractive index at DoC 1
    double alpha0 = 0.0;  // absorptivity at DoC 0
    double alpha1 = 0.0;  // absorptivity at DoC 1
    double cureE = 0.0;   // accumulated energy at which the DoC reaches 1
    double gelE = 0.0;    // accumulated energy at which the DoC starts to rise
    double dt = 0.0;      // exposure time of one step (energy = power * dt)
};

// One step for node i of n: adds dt * power to the node's energy, turns the
// energy into a DoC clamped to [0, 1] and rewrites the node's material values.
// All arithmetic in double precision. Equal thresholds make a step function
// (cured above the threshold); the ratio would give NaN at the threshold
// itself, e.g. for every unexposed node of a default record, and a NaN would
// spread into the mesh's material.
LVX_HD inline void updateMaterialProperties(const double* power, double* eddf, double* doc,
                                            float* absorptivity, float* refrIndex, MatProps p,
                                            int n, int i) {
    if (i >= n) return;
    const double energy = p.dt * power[i] + eddf[i];
    eddf[i] = energy;
    double x = p.cureE != p.gelE ? (energy - p.gelE) / (p.cureE - p.gelE) : (energy > p.gelE ? 1.0 : 0.0);
    if (x > 1.0) x = 1.0;
    if (x < 0.0) x = 0.0;
    doc[i] = x;
    refrIndex[i] = static_cast<float>(p.n1 * x + p.n0 * (1.0 - x));
    absorptivity[i] = static_cast<float>(p.alpha1 * x + p.alpha0 * (1.0 - x));
}

// Owns the energy (EDDF) and DoC buffers of n_nodes doubles each on the
// device, zeroed at construction. The mesh arrays a step writes belong to the
// lumivex engine and are borrowed for the duration of the call.
class Dosterin {
public:
    explicit Dosterin(int nNodes, const MatProps& props = MatProps());
    Dosterin(const Dosterin&) = delete;
    Dosterin& operator=(const Dosterin&) = delete;

    // One step from the addresses lumivex hands out: the device address of
    // its absorbed-power array (one double per node) and the host address of
    // its MeshDataFlat record whose array fields are device addresses.
    // Throws std::runtime_error for a null address and when the mesh's node
    // count differs from n_nodes; waits for the device before returning.
    void reactionStep(std::uintptr_t resultDevicePtr, std::uintptr_t meshDevlinkPtr);

    // Copy n_nodes values of the buffers into host memory at `out`.
    void getEddf(double* out) const;
    void getDoc(double* out) const;

    int nNodes() const { return n_nodes; }
    // Changes the count used by later calls; the buffers keep their size, so
    // a negative count or one beyond the created size throws.
    void setNNodes(int n);

    MatProps matprops;

private:
    dev::Buffer<double> d_eddf;
    dev::Buffer<double> d_doc;
    int n_nodes = 0;
    int allocated = 0;  // entries of each buffer
};
