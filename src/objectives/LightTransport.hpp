// The light-transport objective: absorbed power per mesh node.
//
// During a trace every element visit of every ray adds its absorbed power,
// divided by the nodal volumes, to the element's eight nodes (see
// `LightTransportDevice`). The per-node sums stay on the device, where the
// cure models read them through `getResultArrayDevicePtr()`, until
// `resetResult()` zeroes them. `result*` writes them, with the mesh, its
// refractive index, its absorptivity and optional extra per-node fields, to a
// numbered VTU file.
//
// The object owns its device result array and its pinned host staging copy:
// configuring again replaces both (the device address handed out changes) and
// destruction frees them. Movable, not copyable.
#pragma once

#include "device/Buffer.hpp"
#include "objectives/Objective.hpp"

class LightTransport : public Objective {
public:
    static constexpr int kMaxFieldNames = 16;
    static constexpr int kFieldNameLength = 127;    // characters kept of each field name
    static constexpr int kOutputFileLength = 255;   // characters kept of the output file name

#if defined(LVX_WITH_TOML)
    // Key "output_file" (a non-empty string); buffers for the mesh's nodes,
    // as configureOutput. Prints "Configured Light Transport Objective".
    void configureFromTable(const toml::table& table, const Mesh& mesh) override;
#endif

    // Keeps at most 255 characters of `outputFile` (null keeps the current
    // name) and allocates zeroed buffers of `size` doubles (negative sizes
    // count as 0), releasing the previous ones.
    void configureOutput(const char* outputFile, int size) override;

    // VTU file without extra fields.
    void result(const Mesh& mesh) override;
    // VTU file with one extra field of N doubles at device address
    // `deviceField` (null: no extra field).
    void resultWithField(const Mesh& mesh, const double* deviceField) override;
    // VTU file with `count` extra fields of N doubles each, stored one after
    // the other in host memory (`fields` null or `count` <= 0: none). The mesh
    // must have the N nodes the buffers were sized for; otherwise an error is
    // printed and nothing is written.
    void resultWithFields(const Mesh& mesh, const double* fields, int count) override;

    // Stores up to 16 names (each cut to 127 bytes, on a UTF-8 character
    // boundary; more names are reported) for the extra fields of the next write. They are used only when their count of non-empty
    // names equals the number of fields written and none of the first `count`
    // slots is empty; otherwise fields are named "Field" (one) or "Field_<j>".
    void setFieldNames(const std::vector<std::string>& names) override;
    void clearFieldNames() override;

    void getResult(double* hostPtr) override;  // copies N doubles
    void resetResult() override;               // zeroes the N doubles
    double* getResultArrayDevicePtr() override { return resultArray_.get(); }

    LightTransportDevice device() const { return LightTransportDevice{resultArray_.get(), size()}; }
    int size() const { return static_cast<int>(resultArray_.size()); }
    const char* outputFile() const { return outputFile_; }
    int fieldNameCount() const { return fieldNameCount_; }
    const char* fieldName(int slot) const { return fieldNames_[slot]; }  // slot in 0 .. 15

private:
    // Prints an error and uses up the file number when the mesh's node count
    // is not the one the buffers were sized for.
    bool refuseMismatchedMesh(const Mesh& mesh);

    dev::Buffer<double> resultArray_;  // device, N doubles
    dev::Buffer<double> hostResult_;   // pinned host staging copy, N doubles
    int fieldNameCount_ = 0;  // non-empty stored names
    char fieldNames_[kMaxFieldNames][kFieldNameLength + 1] = {};
    char outputFile_[kOutputFileLength + 1] = "output.vtu";
};
