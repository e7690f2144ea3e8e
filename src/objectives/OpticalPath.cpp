#include "objectives/OpticalPath.hpp"

#include "device/Device.hpp"
#include "device/MemoryBudget.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

void OpticalPath::configureOutput(const char* outputFile, int size) { configurePaths(outputFile, size, 1); }

void OpticalPath::configurePaths(const char* outputFile, int pointsPerRay, int rays) {
    const std::size_t perRay = pointsPerRay > 0 ? static_cast<std::size_t>(pointsPerRay) : 0;
    const std::size_t nRays = rays > 0 ? static_cast<std::size_t>(rays) : 0;
    const std::size_t m = perRay * nRays;  // slots in all
    const std::size_t values = m * kValuesPerPoint;
    // Saturating: two counts of up to INT_MAX make a product that overflows.
    const std::size_t bytes = dev::bytesFor(m, kValuesPerPoint * sizeof(double) + sizeof(int));
    dev::requireMemory("an optical path of " + std::to_string(m) + " data points", bytes, bytes);
    // All four buffers are allocated before the old ones go, so a failed
    // allocation (which throws) leaves the objective as it was.
    auto data = dev::deviceBuffer<double>(values);
    auto marks = dev::deviceBuffer<int>(m);
    auto hostData = dev::pinnedBuffer<double>(values);
    auto hostMarks = dev::pinnedBuffer<int>(m);
    dev::memset(data.get(), 0, values * sizeof(double));
    dev::memset(marks.get(), 0xFF, m * sizeof(int));  // every bit set: -1, empty

    storeFileName(outputFile_, outputFile, kOutputFileLength);
    data_ = std::move(data);
    marks_ = std::move(marks);
    hostData_ = std::move(hostData);
    hostMarks_ = std::move(hostMarks);
    capacity_ = static_cast<int>(perRay);
    rays_ = static_cast<int>(nRays);
}

void OpticalPath::result(const Mesh&) {
    // The table holds ray 0's path: its slots come first.
    const std::size_t m = rays_ > 0 ? static_cast<std::size_t>(capacity_) : 0;
    const double* hostData = hostData_.get();
    const int* hostMarks = hostMarks_.get();
    dev::download(hostData_.get(), data_.get(), m * kValuesPerPoint);
    dev::download(hostMarks_.get(), marks_.get(), m);
    const std::string name = numberedFileName(outputFile_, writeCount);
    ++writeCount;

    std::string text = "x,y,z,s,E\n";
    char line[160];
    for (std::size_t j = 0; j < m && hostMarks[j] >= 1; ++j) {
        const double* p = hostData + j * kValuesPerPoint;
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
    dev::download(hostPtr, data_.get(), data_.size());
}

void OpticalPath::getSlotFlags(int* hostPtr) const {
    if (hostPtr != nullptr) dev::download(hostPtr, marks_.get(), marks_.size());
}
