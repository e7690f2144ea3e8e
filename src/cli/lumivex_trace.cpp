// lumivex-trace: one volumetric trace described by a TOML file.
//
// Loads a legacy VTK mesh and a .ry ray file, applies optional material
// constants and one boundary condition for all boundary faces, carries the
// rays to the surface, traces them through the volume with the chosen solver
// and objective, and writes the objective's result file. `--help` lists the
// keys. Errors go to standard error with exit status 1.
#include "IO/ReadMesh.hpp"
#include "accel/SurfaceRayTracer.hpp"
#include "device/Device.hpp"
#include "mesh/Mesh.hpp"
#include "mesh/MeshLoad.hpp"
#include "objectives/ObjectiveConfig.hpp"
#include "rays/RayCollection.hpp"
#include "tracer/FiniteElementRayTracer.hpp"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;
using namespace lvx::config;

namespace {

constexpr const char* kHelp = R"(Usage: lumivex-trace CONFIG.toml
       lumivex-trace --help

Runs one volumetric trace described by the TOML file CONFIG.toml and writes
the objective's result file. Relative paths in the file are taken relative to
the directory of CONFIG.toml.

Keys:
  mesh               string, required. Legacy VTK mesh of hexahedra; its point
                     scalars RefractiveIndex and Absorptivity give the material
                     (1 and 0 where absent).
  rays               string, required. Ray file (.ry): a count line, then one
                     line per ray: x y z dx dy dz power.
  solver             "FE" (forward Euler, the default) or "RK4" (fourth-order
                     Runge-Kutta): the integration of curved paths in elements.
  objective          required, one of
                       "light_transport"  absorbed power per unit volume on the
                                          mesh nodes, written as a VTU file
                       "render"           one pixel per ray, coloured from the
                                          normal of the surface it meets,
                                          written as a 24-bit BMP image
                       "optical_path"     the path of the first ray, one point
                                          per element it crosses, written as a
                                          CSV table x,y,z,s,E (position, path
                                          length, remaining power)
  output_file        string, required. Result file name; the number of the
                     result is inserted before the extension, so "out.vtu"
                     gives out_0.vtu.
  pixel_width        integer >= 1, render only: image width in pixels.
  pixel_height       integer >= 1, render only: image height in pixels. Ray i
                     colours pixel i, counted row by row from the bottom left,
                     so the ray file should hold width x height rays.
  pixel_size         number > 0, render only: edge length of one pixel.
  datapoints_amount  integer >= 0, optical_path only: the most points recorded.

  [material]         optional; replaces the mesh file's values on all nodes
  refractive_index   number
  absorptivity       number, per unit length (dP/ds = -absorptivity * P)

  [boundary]         optional; one optical condition for every boundary face
                     (without it, rays pass the surface unchanged)
  interaction_type   "transmit" (the default) or "reflect"
  refractive_index_real  number, refractive index outside (default 1)
  refractive_index_imag  number, extinction coefficient outside (default 0)
  rough_surface      boolean (default false): microfacet reflection/refraction
  roughness          number >= 0, Beckmann roughness of a rough surface (default 0)

Example:
  mesh = "box.vtk"
  rays = "rays.ry"
  solver = "RK4"
  objective = "light_transport"
  output_file = "absorbed.vtu"

  [material]
  refractive_index = 1.5
  absorptivity = 0.3

  [boundary]
  interaction_type = "transmit"
  refractive_index_real = 1.0

The backend is the GPU when one is present, else the CPU; LUMIVEX_DEVICE=cpu
or LUMIVEX_DEVICE=cuda forces one.
)";

struct ObjectiveChoice {
    const char* name;
    ObjectiveKind kind;
};

constexpr ObjectiveChoice kObjectives[] = {{"render", ObjectiveKind::Render},
                                           {"optical_path", ObjectiveKind::OpticalPath},
                                           {"light_transport", ObjectiveKind::LightTransport}};

// Keys of every objective are known; each objective reads only its own.
const std::set<std::string_view> kTopKeys = {"mesh",        "rays",        "solver",       "objective",
                                             "output_file", "pixel_width", "pixel_height", "pixel_size",
                                             "datapoints_amount", "material", "boundary"};
const std::set<std::string_view> kMaterialKeys = {"refractive_index", "absorptivity"};
const std::set<std::string_view> kBoundaryKeys = {"interaction_type", "refractive_index_real",
                                                  "refractive_index_imag", "rough_surface", "roughness"};

// A misspelt key would otherwise be ignored silently.
void rejectUnknownKeys(const toml::table& table, const std::set<std::string_view>& known, std::string_view owner) {
    for (const auto& [key, node] : table)
        if (known.count(key.str()) == 0) badKey(owner, key.str(), "is not a known key (see --help)", &node);
}

const toml::table* optionalTable(const toml::table& table, std::string_view key) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return nullptr;
    if (!node->is_table()) badKey("configuration", key, std::string("must be a table, not ") + typeName(*node), node);
    return node->as_table();
}

std::string resolved(const fs::path& base, const std::string& path) {
    const fs::path p(path);
    return p.is_absolute() ? path : (base / p).lexically_normal().string();
}

// The output name the objective stores (which may be cut to its field size).
const char* objectiveOutputFile(Objective* objective) {
    if (auto* o = dynamic_cast<LightTransport*>(objective)) return o->outputFile();
    if (auto* o = dynamic_cast<Render*>(objective)) return o->outputFile();
    if (auto* o = dynamic_cast<OpticalPath*>(objective)) return o->outputFile();
    return nullptr;
}

void applyMaterial(const toml::table* material, Mesh& mesh) {
    if (material == nullptr) return;
    rejectUnknownKeys(*material, kMaterialKeys, "[material]");
    const auto n = optionalNumber(*material, "refractive_index", "[material]");
    const auto alpha = optionalNumber(*material, "absorptivity", "[material]");
    if (n && !(*n > 0.0)) badKey("[material]", "refractive_index", "must be positive", material->get("refractive_index"));
    if (alpha && *alpha < 0.0) badKey("[material]", "absorptivity", "must not be negative", material->get("absorptivity"));
    if (n) mesh.setRefractiveIndexConstant(*n);
    if (alpha) mesh.setAbsorptivityConstant(*alpha);
}

void applyBoundary(const toml::table* boundary, Mesh& mesh) {
    if (boundary == nullptr) return;
    constexpr const char* owner = "[boundary]";
    rejectUnknownKeys(*boundary, kBoundaryKeys, owner);
    OpticalBoundaryCondition bc;
    const std::string type = optionalString(*boundary, "interaction_type", owner).value_or("transmit");
    if (type == "transmit")
        bc.interaction_type = TRANSMIT;
    else if (type == "reflect")
        bc.interaction_type = REFLECT;
    else
        badKey(owner, "interaction_type", "must be \"transmit\" or \"reflect\", not \"" + type + "\"",
               boundary->get("interaction_type"));
    bc.refractive_index_real = optionalNumber(*boundary, "refractive_index_real", owner).value_or(1.0);
    bc.refractive_index_imag = optionalNumber(*boundary, "refractive_index_imag", owner).value_or(0.0);
    bc.rough_surface = optionalBool(*boundary, "rough_surface", owner).value_or(false);
    bc.roughness = optionalNumber(*boundary, "roughness", owner).value_or(0.0);
    if (!(bc.refractive_index_real > 0.0))
        badKey(owner, "refractive_index_real", "must be positive", boundary->get("refractive_index_real"));
    if (bc.roughness < 0.0) badKey(owner, "roughness", "must not be negative", boundary->get("roughness"));
    for (int f = 0; f < mesh.faceCount(); ++f) bc.faces.push_back(f);
    mesh.setBoundaryConditions({bc});
}

int run(const char* configPath) {
    toml::table config;
    try {
        config = toml::parse_file(configPath);
    } catch (const toml::parse_error& e) {
        const auto& at = e.source().begin;
        throw std::runtime_error(std::string(configPath) + ":" + std::to_string(at.line) + ":" +
                                 std::to_string(at.column) + ": " + std::string(e.description()));
    }
    rejectUnknownKeys(config, kTopKeys, "configuration");
    const fs::path base = fs::path(configPath).parent_path();

    const std::string meshPath = resolved(base, requireString(config, "mesh", "configuration"));
    const std::string raysPath = resolved(base, requireString(config, "rays", "configuration"));
    const std::string solver = optionalString(config, "solver", "configuration").value_or("FE");
    if (solver != "FE" && solver != "RK4")
        badKey("configuration", "solver", "must be \"FE\" or \"RK4\", not \"" + solver + "\"", config.get("solver"));
    const std::string objectiveName = requireString(config, "objective", "configuration");
    const ObjectiveChoice* choice = nullptr;
    for (const ObjectiveChoice& c : kObjectives)
        if (objectiveName == c.name) choice = &c;
    if (choice == nullptr)
        badKey("configuration", "objective",
               "must be \"render\", \"optical_path\" or \"light_transport\", not \"" + objectiveName + "\"",
               config.get("objective"));
    const toml::table* material = optionalTable(config, "material");
    const toml::table* boundary = optionalTable(config, "boundary");

    // The objective reads its keys from the table itself; only its output
    // file is placed beside the configuration first.
    if (const auto output = optionalString(config, "output_file", "configuration"))
        config.insert_or_assign("output_file", resolved(base, *output));

    std::printf("lumivex-trace: %s, solver %s, objective %s, device %s\n", configPath, solver.c_str(), choice->name,
                dev::backendName());
    std::unique_ptr<BaseRayTracer> tracer = createFiniteElementRayTracer(
        solver == "RK4" ? SolverKind::RungeKutta4 : SolverKind::ForwardEuler, choice->kind);
    Mesh mesh;
    try {
        loadMesh(readVTKData(meshPath.c_str()), mesh, kVtkFileLoaded);
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot read mesh file " + meshPath + ": " + e.what());
    }
    tracer->configureFromTable(config, mesh);  // checks the objective's keys before any tracing
    applyMaterial(material, mesh);
    applyBoundary(boundary, mesh);

    std::unique_ptr<RayCollection> rays;
    try {
        rays = readRays(raysPath.c_str());
    } catch (const std::exception& e) {
        throw std::runtime_error("cannot read ray file " + raysPath + ": " + e.what());
    }

    std::unique_ptr<SurfaceRayTracerBase> surface = createSurfaceRayTracer(1);
    surface->buildAccelerator(mesh);
    surface->traceRays(*rays, mesh);
    tracer->traceRays(*rays, mesh);

    std::vector<int> faces(static_cast<std::size_t>(rays->nRays));
    dev::download(faces.data(), rays->h_rdata.faceIds, faces.size());
    int reached = 0;
    for (int f : faces) reached += f >= 0;

    // The result operations report a file they cannot write only as text, so
    // the program looks for the file itself (removing an older one first).
    Objective* objective = tracer->getObjective();
    const std::string resultFile = numberedFileName(objectiveOutputFile(objective), objective->writeCount);
    std::error_code ignored;
    fs::remove(resultFile, ignored);
    tracer->result(mesh);
    std::fflush(stdout);
    if (!fs::is_regular_file(resultFile, ignored)) throw std::runtime_error("no result file written: " + resultFile);
    std::printf("lumivex-trace: %d rays, %d reached the mesh, %llu element visits; wrote %s\n", rays->nRays, reached,
                tracer->lastElementVisits(), resultFile.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        std::fputs("Usage: lumivex-trace CONFIG.toml  (lumivex-trace --help lists the keys)\n", stderr);
        return 1;
    }
    try {
        return run(argv[1]);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "lumivex-trace: error: %s\n", e.what());
        return 1;
    }
}
