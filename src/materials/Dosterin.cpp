// Dose-threshold cure model: buffers, the step launcher and the read-back.
#include "materials/Dosterin.hpp"

#include "device/Launch.hpp"
#include "device/MemoryBudget.hpp"
#include "materials/ParameterChecks.hpp"

#include <stdexcept>
#include <string>

namespace {

void checkCount(int n) {
    if (n < 0) throw std::runtime_error("n_nodes must not be negative, got " + std::to_string(n));
}

// The material the step writes into the mesh must stay a valid medium, and
// the energy must stay finite.
void checkProps(const MatProps& p) {
    using lvx::Allowed;
    const char* owner = "Dosterin step refused";
    lvx::requireParameter(owner, "matprops.n0", p.n0, Allowed::Positive);
    lvx::requireParameter(owner, "matprops.n1", p.n1, Allowed::Positive);
    lvx::requireParameter(owner, "matprops.alpha0", p.alpha0, Allowed::NonNegative);
    lvx::requireParameter(owner, "matprops.alpha1", p.alpha1, Allowed::NonNegative);
    lvx::requireParameter(owner, "matprops.gelE", p.gelE, Allowed::NonNegative);
    lvx::requireParameter(owner, "matprops.cureE", p.cureE, Allowed::NonNegative);
    lvx::requireParameter(owner, "matprops.dt", p.dt, Allowed::NonNegative);
}

}  // namespace

Dosterin::Dosterin(int nNodes, const MatProps& props) : matprops(props) {
    checkCount(nNodes);
    const std::size_t count = static_cast<std::size_t>(nNodes);
    dev::requireMemory("a Dosterin of " + std::to_string(nNodes) + " nodes", 2 * count * sizeof(double));
    d_eddf = dev::deviceBuffer<double>(count);
    d_doc = dev::deviceBuffer<double>(count);
    dev::memset(d_eddf.get(), 0, count * sizeof(double));
    dev::memset(d_doc.get(), 0, count * sizeof(double));
    n_nodes = allocated = nNodes;
}

// Growing would need new buffers, and the energy already accumulated would
// then have to be kept for some nodes and invented for others. A model is tied
// to one mesh, so a larger count is refused: create a new model for a larger
// mesh. Shrinking only narrows the range that steps and copies touch.
void Dosterin::setNNodes(int n) {
    checkCount(n);
    if (n > allocated)
        throw std::runtime_error("n_nodes " + std::to_string(n) + " exceeds the " +
                                 std::to_string(allocated) +
                                 " nodes this Dosterin was created for");
    n_nodes = n;
}

void Dosterin::reactionStep(std::uintptr_t resultDevicePtr, std::uintptr_t meshDevlinkPtr) {
    if (resultDevicePtr == 0) throw std::runtime_error("result_device_ptr is null");
    if (meshDevlinkPtr == 0) throw std::runtime_error("mesh_devlink_ptr is null");

    // The record lives in host memory on both backends; its array fields are
    // device addresses. A count mismatch would run past the mesh's arrays (or
    // leave nodes unupdated), so it is refused before anything is launched.
    const MeshDataFlat& mesh = *reinterpret_cast<const MeshDataFlat*>(meshDevlinkPtr);
    if (mesh.nNodes != n_nodes)
        throw std::runtime_error("Dosterin has " + std::to_string(n_nodes) +
                                 " nodes but the mesh has " + std::to_string(mesh.nNodes) +
                                 " nodes");
    checkProps(matprops);

    const double* power = reinterpret_cast<const double*>(resultDevicePtr);
    double* eddf = d_eddf.get();
    double* doc = d_doc.get();
    float* absorptivity = mesh.absorptivity;
    float* refrIndex = mesh.refrIndex;
    const MatProps props = matprops;
    const int n = n_nodes;
    dev::forEach("updateMaterialPropertiesKernel", n, LVX_LAMBDA(int i) {
        updateMaterialProperties(power, eddf, doc, absorptivity, refrIndex, props, n, i);
    });
    dev::synchronize();
}

void Dosterin::getEddf(double* out) const {
    dev::download(out, d_eddf.get(), static_cast<std::size_t>(n_nodes));
}

void Dosterin::getDoc(double* out) const {
    dev::download(out, d_doc.get(), static_cast<std::size_t>(n_nodes));
}
