// The optical-path objective: the sampled path of the first ray of a set
// (or of every ray, see configurePaths).
//
// The objective holds M slots of five doubles (x, y, z, s, E) per recorded
// ray. At the end of every element visit of a recorded ray the trace fills its
// first empty slot with the point where the ray leaves the element, the
// geometric path length travelled and the remaining power (see
// `OpticalPathDevice`), until all M are filled.
// Slots are never emptied, so the points of later traces follow those of
// earlier ones until the objective is configured again. `result` writes the
// filled slots of ray 0 as a numbered CSV table with the header "x,y,z,s,E".
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
    // name) and replaces the slots by `size` empty ones of ray 0 (negative
    // counts as 0).
    void configureOutput(const char* outputFile, int size) override;
    // The same with `pointsPerRay` empty slots for each of the first `rays`
    // rays (negative counts as 0).
    void configurePaths(const char* outputFile, int pointsPerRay, int rays);

    // CSV file of the filled slots, in slot order up to the first empty one;
    // prints "Results written to CSV file: <name>". A file that cannot be
    // opened is reported and nothing is written; the number is used up.
    void result(const Mesh& mesh) override;
    // Extra fields do not apply: a warning, then `result(mesh)`.
    void resultWithField(const Mesh& mesh, const double* deviceField) override;
    void resultWithFields(const Mesh& mesh, const double* fields, int count) override;

    void getResult(double* hostPtr) override;  // copies 5 * M doubles per recorded ray
    // Copies the M slot flags of every recorded ray (1: filled, else empty).
    void getSlotFlags(int* hostPtr) const;
    double* getResultArrayDevicePtr() override { return data_.get(); }

    OpticalPathDevice device() const {
        return OpticalPathDevice{data_.get(), marks_.get(), kValuesPerPoint, startGate_, capacity_, rays_};
    }
    int capacity() const { return capacity_; }  // slots per ray
    int rays() const { return rays_; }
    const char* outputFile() const { return outputFile_; }

private:
    dev::Buffer<double> data_;      // device, rays * capacity * 5 doubles
    dev::Buffer<int> marks_;        // device, rays * capacity flags: -1 empty, 1 filled
    dev::Buffer<double> hostData_;  // pinned staging copies of the two
    dev::Buffer<int> hostMarks_;
    int startGate_ = 0;             // the trace records while it is below the capacity
    int capacity_ = 0;              // slots per ray
    int rays_ = 1;                  // rays that record
    // The default name is the light-transport default; the file is CSV all the same.
    char outputFile_[kOutputFileLength + 1] = "output.vtu";
};
