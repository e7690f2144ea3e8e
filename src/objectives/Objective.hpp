// Host side of an objective: what a volumetric trace accumulates, where the
// result lives and how it is written.
//
// The tracer holds one objective by value. Before each launch it asks the
// objective for its device record (`device()`, see DeviceObjectives.hpp),
// whose hooks the kernel calls; the host class itself never reaches the GPU.
// The base `Objective` is usable and records nothing: its operations print a
// warning (or nothing) and return. Messages go to standard output.
#pragma once

#include "objectives/DeviceObjectives.hpp"

#include <cstddef>
#include <string>
#include <vector>

class Mesh;

#if defined(LVX_WITH_TOML)
// The toml++ table type, declared rather than included: these headers are
// also compiled by nvcc, which never sees toml++. ObjectiveConfig.cpp checks
// that the included library declares the same type.
namespace toml {
inline namespace v3 {
class table;
}
}  // namespace toml
#endif

class Objective {
public:
    // Result files written so far; the suffix of the next numbered file name.
    // Every result call uses up one number, whether or not a file appears.
    int writeCount = 0;

    virtual ~Objective();

#if defined(LVX_WITH_TOML)
    // Configures the objective from a parsed TOML table for `mesh` (the keys
    // each objective reads are listed with it). A missing or mistyped key
    // throws std::runtime_error naming the key, before anything changes. The
    // base objective prints a warning.
    virtual void configureFromTable(const toml::table& table, const Mesh& mesh);
#endif

    // Sets the output file name and sizes the result buffers for `size` entries.
    virtual void configureOutput(const char* outputFile, int size);

    // Writes the next numbered result file, optionally with extra per-node
    // fields: one given by device address, or `count` fields from host memory,
    // field after field.
    virtual void result(const Mesh& mesh);
    virtual void resultWithField(const Mesh& mesh, const double* deviceField);
    virtual void resultWithFields(const Mesh& mesh, const double* fields, int count);

    // Names of the extra fields of the next write.
    virtual void setFieldNames(const std::vector<std::string>& names);
    virtual void clearFieldNames();

    // Copies the result to caller memory / zeroes it / its device address.
    virtual void getResult(double* hostPtr);
    virtual void resetResult();
    virtual double* getResultArrayDevicePtr();

    ObjectiveDevice device() const { return ObjectiveDevice{}; }
};

// Result file name number `count` for `outputFile`: the name split at its last
// '.', with "_<count>" inserted before it ("out.vtu" -> "out_0.vtu"), or
// appended when there is no '.' ("results/run" -> "results/run_0"). The split
// uses the last '.' anywhere, so "a.d/run" gives "a_0.d/run". Names longer
// than 511 characters are cut.
std::string numberedFileName(const char* outputFile, int count);

// Stores at most `maxChars` characters of `name` in `slot` (maxChars + 1
// bytes), always terminated; a null name leaves the slot as it is.
void storeFileName(char* slot, const char* name, std::size_t maxChars);
