#include "objectives/OpticalPath.hpp"

#include "device/Device.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

OpticalPath::~OpticalPath() { releaseBuffers(); }

OpticalPath::OpticalPath(OpticalPath&& other) noexcept : Objective(other) { takeFrom(other); }

OpticalPath& OpticalPath::operator=(OpticalPath&& other) noexcept {
    if (this != &other) {
        releaseBuffers();
        Objective::operator=(other);
        takeFrom(other);
    }
    return *this;
}

// Moves buffers and name out of `other`, leaving it without slots.
void OpticalPath::takeFrom(OpticalPath& other) {
    data_ = std::exchange(other.data_, nullptr);
    marks_ = std::exchange(other.marks_, nullptr);
    hostData_ = std::exchange(other.hostData_, nullptr);
    hostMarks_ = std::exchange(other.hostMarks_, nullptr);
    startGate_ = other.startGate_;
    capacity_ = std::exchange(other.capacity_, 0);
    std::memcpy(outputFile_, other.outputFile_, sizeof outputFile_);
}

void OpticalPath::releaseBuffers() {
    dev::freeArray(data_);
    dev::freeArray(marks_);
    dev::freeHost(hostData_);
    dev::freeHost(hostMarks_);
    hostData_ = nullptr;
    hostMarks_ = nullptr;
    capacity_ = 0;
}

void OpticalPath::configureOutput(const char* outputFile, int size) {
    const std::size_t m = size > 0 ? static_cast<std::size_t>(size) : 0;
    const std::size_t values = m * kValuesPerPoint;
    // All four buffers are allocated before the old ones go, so a failed
    // allocation (which throws) leaves the objective as it was.
    struct Staged {
        double* data = nullptr;
        int* marks = nullptr;
        double* hostData = nullptr;
        int* hostMarks = nullptr;
        ~Staged() {
            dev::free(data);
            dev::free(marks);
            dev::freeHost(hostData);
            dev::freeHost(hostMarks);
        }
    } fresh;
    fresh.data = dev::allocArray<double>(values);
    fresh.marks = dev::allocArray<int>(m);
    fresh.hostData = static_cast<double*>(dev::hostAllocPinned(values * sizeof(double)));
    fresh.hostMarks = static_cast<int*>(dev::hostAllocPinned(m * sizeof(int)));
    dev::memset(fresh.data, 0, values * sizeof(double));
    dev::memset(fresh.marks, 0xFF, m * sizeof(int));  // every bit set: -1, empty

    storeFileName(outputFile_, outputFile, kOutputFileLength);
    releaseBuffers();
    data_ = std::exchange(fresh.data, nullptr);
    marks_ = std::exchange(fresh.marks, nullptr);
    hostData_ = std::exchange(fresh.hostData, nullptr);
    hostMarks_ = std::exchange(fresh.hostMarks, nullptr);
    capacity_ = static_cast<int>(m);
}

void OpticalPath::result(const Mesh&) {
    const std::size_t m = static_cast<std::size_t>(capacity_);
    dev::download(hostData_, data_, m * kValuesPerPoint);
    dev::download(hostMarks_, marks_, m);
    const std::string name = numberedFileName(outputFile_, writeCount);
    ++writeCount;

    std::string text = "x,y,z,s,E\n";
    char line[160];
    for (std::size_t j = 0; j < m && hostMarks_[j] >= 1; ++j) {
        const double* p = hostData_ + j * kValuesPerPoint;
        const int n = std::snprintf(line, sizeof line, "%e,%e,%e,%e,%e\n", p[0], p[1], p[2], p[3], p[4]);
        text.append(line, static_cast<std::size_t>(n));
    }

    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr) {
        std::printf("Error: Cannot open file %s for writing\n", name.c_str());
        return;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) {
        std::remove(name.c_str());
        std::printf("Error: Cannot write file %s\n", name.c_str());
        return;
    }
    std::printf("Results written to CSV file: %s\n", name.c_str());
}

void OpticalPath::resultWithField(const Mesh& mesh, const double*) {
    std::printf(
        "Warning: result with field argument not implemented for OpticalPath objective. Calling result without "
        "field argument instead.\n");
    result(mesh);
}

void OpticalPath::resultWithFields(const Mesh& mesh, const double*, int) { resultWithField(mesh, nullptr); }

void OpticalPath::getResult(double* hostPtr) {
    if (hostPtr == nullptr) {
        std::printf("Error: hostPtr is nullptr in getResult\n");
        return;
    }
    dev::download(hostPtr, data_, static_cast<std::size_t>(capacity_) * kValuesPerPoint);
}
