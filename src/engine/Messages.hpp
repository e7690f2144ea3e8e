// Engine messages: printf-style lines on stdout, short notices on stderr.
// Both are flushed at once so they interleave correctly with Python's output.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace lvx {

// Texts whose exact wording is a contract: scripts and tests match them
// character for character (spelling slips included), so change them only
// together with every caller that matches them. Stdout lines end in "\n";
// the stderr notices get theirs from notice().
namespace msg {

// Stdout, from the engine's checks and readiness guard.
constexpr const char* kMeshMissing = "Error: mesh not loaded yet!\n";
constexpr const char* kRaysMissing = "Error: rays not loaded yet!\n";
constexpr const char* kTracerMissing = "Error: FERT not initialized yet!\n";
constexpr const char* kResultMissing = "Error: FERT result array pointer is null. Configure objective first.\n";
constexpr const char* kSolverEuler = "Solver is configured as forward euler\n";
constexpr const char* kSolverRungeKutta = "Solver is configured as 4th order Runge-Kutta\n";
constexpr const char* kSolverUnknown = "Solver type not recognized using default: Forwar-Euler\n";
constexpr const char* kGuardSolverDefault = "Warning: solver type not configured using default solver (Forward Euler)\n";
constexpr const char* kGuardTracerDefault = "Warning: FERT not initialized yet!\n";
constexpr const char* kGuardSurfaceTracerDefault = "Warning: SRT not initialized yet!\n";
constexpr const char* kGuardDefaultSettings = "         -> initializing with default settings\n";
constexpr const char* kGuardAcceleratorMissing = "Error: SRT accelerator structure not built yet!\n";
constexpr const char* kGuardObjectiveDefault = "Warning: objective not configured yet!\n";
constexpr const char* kGuardDefaultOutput = "         -> using default outfilename out.vtu\n";
constexpr const char* kAbortCompute = "Aborting: Can not solve optics before proper initialization.\n";
constexpr const char* kAbortResponse = "Aborting: Can not compute ray responses before proper initialization.\n";
constexpr const char* kAbortOutput = "Aborting: Can not create output file before proper initialization.\n";
constexpr const char* kNotLightTransport =
    "Error: the objective is not light transport (configure_outfilename selects it)\n";
constexpr const char* kNotRender = "Error: the objective is not render (configure_render selects it)\n";
constexpr const char* kNotOpticalPath =
    "Error: the objective is not optical path (configure_optical_path selects it)\n";
constexpr const char* kStalledRays =
    "Warning: %lld rays ended early: they cycled between elements without progress (a tangled mesh?)\n";

// Stderr notices.
constexpr const char* kSolverNotConfigured =
    "Warning: Solver type not configured before FERt initialization, using default setting (FORWARD EULER).";
constexpr const char* kSurfaceTracerNeedsMesh = "Error: Mesh must be loaded before SRT initialization.";
constexpr const char* kAcceleratorNeedsSurfaceTracer =
    "Error: SRT must be initialized before initializing its accelerator structure.";
constexpr const char* kOutputNeedsTracerAndMesh =
    "Error: FERT must be initialized and mesh must be loaded before configuring output file name in objective.";

// Exceptions of the readers.
constexpr const char* kFileOpenFailed = "Failed to open file";

}  // namespace msg

inline void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// Writes `text` and a newline to stderr.
inline void notice(const char* text) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

}  // namespace lvx
