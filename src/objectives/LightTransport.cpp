#include "objectives/LightTransport.hpp"

#include "IO/VtuWriter.hpp"
#include "device/Device.hpp"
#include "mesh/Mesh.hpp"

#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// Copies at most `maxChars` bytes of `text` into `slot` and terminates it. A
// cut never splits a UTF-8 character: it moves back past continuation bytes.
void copyCut(char* slot, const char* text, std::size_t textLength, std::size_t maxChars) {
    std::size_t n = textLength < maxChars ? textLength : maxChars;
    if (n < textLength)
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(slot, text, n);
    slot[n] = '\0';
}

// Host copies of the mesh arrays the result file shows.
struct MeshSnapshot {
    std::vector<float> coords, refrIndex, absorptivity;
    std::vector<int> connectivity;
    int nNodes = 0, nElements = 0;

    explicit MeshSnapshot(const Mesh& mesh) {
        const MeshDataFlat& m = mesh.h_mdata_devlink;
        nNodes = m.nNodes > 0 ? m.nNodes : 0;
        nElements = m.nElements > 0 ? m.nElements : 0;
        const std::size_t n = static_cast<std::size_t>(nNodes);
        const std::size_t e = static_cast<std::size_t>(nElements);
        coords.resize(3 * n);
        refrIndex.resize(n);
        absorptivity.resize(n);
        connectivity.resize(8 * e);
        if (n > 0) {
            dev::download(coords.data(), m.nodeCoords, 3 * n);
            dev::download(refrIndex.data(), m.refrIndex, n);
            dev::download(absorptivity.data(), m.absorptivity, n);
        }
        if (e > 0) dev::download(connectivity.data(), m.elementNodes, 8 * e);
    }
};

}  // namespace

void LightTransport::configureOutput(const char* outputFile, int size) {
    if (outputFile != nullptr)
        copyCut(outputFile_, outputFile, std::strlen(outputFile), static_cast<std::size_t>(kOutputFileLength));
    const std::size_t n = size > 0 ? static_cast<std::size_t>(size) : 0;
    // Both are allocated before the old ones go, so that a failed allocation
    // (which throws) leaves the previous buffers in place.
    auto resultArray = dev::deviceBuffer<double>(n);
    auto hostResult = dev::pinnedBuffer<double>(n);
    dev::memset(resultArray.get(), 0, n * sizeof(double));
    resultArray_ = std::move(resultArray);
    hostResult_ = std::move(hostResult);
}

void LightTransport::result(const Mesh& mesh) { resultWithFields(mesh, nullptr, 0); }

void LightTransport::resultWithField(const Mesh& mesh, const double* deviceField) {
    // Check before copying: N doubles read from a field sized for the mesh
    // would overrun it when the counts differ.
    if (refuseMismatchedMesh(mesh)) return;
    if (deviceField == nullptr) {
        resultWithFields(mesh, nullptr, 0);
        return;
    }
    std::vector<double> field(resultArray_.size());
    dev::download(field.data(), deviceField, field.size());
    resultWithFields(mesh, field.data(), 1);
}

// A mesh whose node count differs from N is refused rather than written in
// part: the buffers hold N values while the file, the mesh arrays and the
// caller's fields all follow the mesh, so no consistent file exists. The
// number is used up all the same, as for a file that cannot be opened.
bool LightTransport::refuseMismatchedMesh(const Mesh& mesh) {
    if (mesh.nodeCount() == size()) return false;
    const std::string name = numberedFileName(outputFile_, writeCount);
    ++writeCount;
    std::printf("Error: mesh has %d nodes but the light transport result holds %d; %s not written\n",
                mesh.nodeCount(), size(), name.c_str());
    return true;
}

void LightTransport::resultWithFields(const Mesh& mesh, const double* fields, int count) {
    if (refuseMismatchedMesh(mesh)) return;
    if (fields == nullptr || count < 0) count = 0;

    const MeshSnapshot snapshot(mesh);
    const int n = snapshot.nNodes;  // equals size()
    double* hostResult = hostResult_.get();
    dev::download(hostResult, resultArray_.get(), static_cast<std::size_t>(n));

    const std::string name = numberedFileName(outputFile_, writeCount);
    ++writeCount;

    // Stored names apply only when they match the fields one to one.
    bool named = fieldNameCount_ == count;
    for (int j = 0; named && j < count; ++j) named = fieldNames_[j][0] != '\0';

    VtuWriter vtu(name.c_str());
    if (!vtu.isOpen()) {
        std::printf("Error: Cannot open file %s for writing\n", name.c_str());
        return;
    }
    vtu.beginPiece(n, snapshot.nElements);
    vtu.writePoints(snapshot.coords.data(), n);
    vtu.writeCells(snapshot.connectivity.data(), snapshot.nElements, VtuCellShape::Hexahedron);
    vtu.beginPointData();
    vtu.writeDataArray("Volumetric absorbed power Q", hostResult, n);
    vtu.writeDataArray("RefractiveIndex", snapshot.refrIndex.data(), n);
    for (int j = 0; j < count; ++j) {
        char numbered[32];
        if (count == 1)
            std::snprintf(numbered, sizeof numbered, "Field");
        else
            std::snprintf(numbered, sizeof numbered, "Field_%d", j);
        vtu.writeDataArray(named ? fieldNames_[j] : numbered, fields + static_cast<std::size_t>(j) * n, n);
    }
    vtu.writeDataArray("Absorptivity", snapshot.absorptivity.data(), n);
    vtu.endPointData();
    vtu.beginCellData();
    vtu.endCellData();
    vtu.endPiece();
    vtu.close();
    std::printf("Results written to VTU file: %s\n", name.c_str());
}

void LightTransport::setFieldNames(const std::vector<std::string>& names) {
    clearFieldNames();
    if (names.size() > kMaxFieldNames)
        std::printf("Warning: %zu field names given but at most %d are kept; the fields are written with "
                    "numbered names Field_0 ... Field_%zu\n",
                    names.size(), kMaxFieldNames, names.size() - 1);
    const std::size_t stored = names.size() < kMaxFieldNames ? names.size() : kMaxFieldNames;
    for (std::size_t j = 0; j < stored; ++j) {
        copyCut(fieldNames_[j], names[j].c_str(), std::strlen(names[j].c_str()),
                static_cast<std::size_t>(kFieldNameLength));
        if (fieldNames_[j][0] != '\0') ++fieldNameCount_;
    }
}

void LightTransport::clearFieldNames() {
    std::memset(fieldNames_, 0, sizeof fieldNames_);
    fieldNameCount_ = 0;
}

void LightTransport::getResult(double* hostPtr) {
    if (hostPtr == nullptr) {
        std::printf("Error: hostPtr is nullptr in getResult\n");
        return;
    }
    dev::download(hostPtr, resultArray_.get(), resultArray_.size());
}

void LightTransport::resetResult() { dev::memset(resultArray_.get(), 0, resultArray_.size() * sizeof(double)); }
