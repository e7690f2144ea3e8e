// The optical-path objective: the sampled path of the first ray of a set.
//
// The objective holds M slots of five doubles (x, y, z, s, E). At the end of
// every element visit of ray 0 the trace fills the first empty slot with the
// point where the ray leaves the element, the geometric path length travelled
// and the remaining power (see `OpticalPathDevice`), until all M are filled.
// Slots are never emptied, so the points of later traces follow those of
// earlier ones until the objective is configured again. `result` writes the
// filled slots as a numbered CSV table with the header "x,y,z,s,E".
//
// The objective owns its device slots and their pinned staging copies:
// configuring again replaces them, destruction frees them. Movable, not
// copyable.
#pragma once

#include "device/Buffer.hpp"
#include "objectives/Objective.hpp"

class OpticalPath : public Objective {
public:
    static constexpr int kValuesPerPoint = 5;
    static constexpr int kOutputFileLength = 255;  // characters kept of the output file name

#if defined(LVX_WITH_TOML)
    // Keys "output_file" (a non-empty string) and "datapoints_amount" (an
    // integer from 0 to 2^31 - 1); then as configureOutput, and prints
    // "Configured Optical Path Objective".
    void configureFromTable(const toml::table& table, const Mesh& mesh) override;
#endif

    // Keeps at most 255 characters of `outputFile` (null keeps the current
    // name) and replaces the slots by `size` empty ones (negative counts as 0).
    void configureOutput(const char* outputFile, int size) override;

    // CSV file of the filled slots, in slot order up to the first empty one;
    // prints "Results written to CSV file: <name>". A file that cannot be
    // opened is reported and nothing is written; the number is used up.
    void result(const Mesh& mesh) override;
    // Extra fields do not apply: a warning, then `result(mesh)`.
    void resultWithField(const Mesh& mesh, const double* deviceField) override;
    void resultWithFields(const Mesh& mesh, const double* fields, int count) override;

    void getResult(double* hostPtr) override;  // copies 5 * M doubles
    double* getResultArrayDevicePtr() override { return data_.get(); }

    OpticalPathDevice device() const {
        return OpticalPathDevice{data_.get(), marks_.get(), kValuesPerPoint, startGate_, capacity()};
    }
    int capacity() const { return static_cast<int>(marks_.size()); }
    const char* outputFile() const { return outputFile_; }

private:
    dev::Buffer<double> data_;      // device, capacity * 5 doubles
    dev::Buffer<int> marks_;        // device, capacity flags: -1 empty, 1 filled
    dev::Buffer<double> hostData_;  // pinned staging copies of the two
    dev::Buffer<int> hostMarks_;
    int startGate_ = 0;             // the trace records while it is below the capacity
    // The default name is the light-transport default; the file is CSV all the same.
    char outputFile_[kOutputFileLength + 1] = "output.vtu";
};
