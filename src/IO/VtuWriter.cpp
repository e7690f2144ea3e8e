#include "IO/VtuWriter.hpp"

#include <string>

namespace {

// Large stdio buffer: output files hold one short line per node and cell.
constexpr std::size_t kBufferBytes = std::size_t(1) << 20;

// `name` with the characters that XML gives a meaning to written as entities,
// so that any array name stays inside its Name="..." attribute.
std::string xmlEscaped(const char* name) {
    std::string out;
    for (const char* c = name; *c; ++c) {
        switch (*c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += *c;
        }
    }
    return out;
}

}  // namespace

int vtuNodesPerCell(VtuCellShape shape) { return shape == VtuCellShape::Quad ? 4 : 8; }

VtuWriter::VtuWriter(const char* path) {
    if (path == nullptr) return;
    file_ = std::fopen(path, "wb");
    if (file_ != nullptr) std::setvbuf(file_, nullptr, _IOFBF, kBufferBytes);
}

VtuWriter::~VtuWriter() { close(); }

bool VtuWriter::close() {
    if (file_ == nullptr) return false;
    const bool writeFailed = std::ferror(file_) != 0;
    const bool closeFailed = std::fclose(file_) != 0;
    file_ = nullptr;
    return !writeFailed && !closeFailed;
}

void VtuWriter::line(const char* text) { std::fputs(text, file_); }

void VtuWriter::endDataArray() { line("        </DataArray>\n"); }

void VtuWriter::beginPiece(int nPoints, int nCells) {
    line("<?xml version=\"1.0\"?>\n");
    line("<VTKFile type=\"UnstructuredGrid\" version=\"0.1\" byte_order=\"LittleEndian\">\n");
    line("  <UnstructuredGrid>\n");
    std::fprintf(file_, "    <Piece NumberOfPoints=\"%d\" NumberOfCells=\"%d\">\n", nPoints, nCells);
}

void VtuWriter::writePoints(const float* coords, int nPoints) {
    line("      <Points>\n");
    line("        <DataArray type=\"Float64\" NumberOfComponents=\"3\" format=\"ascii\">\n");
    const long long n = nPoints;
    for (long long j = 0; j < n; ++j)
        std::fprintf(file_, "%e %e %e\n", static_cast<double>(coords[j]),
                     static_cast<double>(coords[n + j]), static_cast<double>(coords[2 * n + j]));
    endDataArray();
    line("      </Points>\n");
}

void VtuWriter::writeCells(const int* connectivity, int nCells, VtuCellShape shape) {
    const long long perCell = vtuNodesPerCell(shape);
    line("      <Cells>\n");
    line("        <DataArray type=\"Int32\" Name=\"connectivity\" format=\"ascii\">\n");
    for (long long c = 0; c < nCells; ++c) {
        for (long long k = 0; k < perCell; ++k) std::fprintf(file_, "%d ", connectivity[perCell * c + k]);
        line("\n");
    }
    endDataArray();
    line("        <DataArray type=\"Int32\" Name=\"offsets\" format=\"ascii\">\n");
    for (long long c = 1; c <= nCells; ++c) std::fprintf(file_, "%lld\n", perCell * c);
    endDataArray();
    line("        <DataArray type=\"UInt8\" Name=\"types\" format=\"ascii\">\n");
    const int type = static_cast<int>(shape);
    for (long long c = 0; c < nCells; ++c) std::fprintf(file_, "%d\n", type);
    endDataArray();
    line("      </Cells>\n");
}

void VtuWriter::beginPointData() { line("      <PointData>\n"); }
void VtuWriter::endPointData() { line("      </PointData>\n"); }
void VtuWriter::beginCellData() { line("      <CellData>\n"); }
void VtuWriter::endCellData() { line("      </CellData>\n"); }

void VtuWriter::writeDataArray(const char* name, const int* values, int count) {
    std::fprintf(file_, "        <DataArray type=\"Int32\" Name=\"%s\" format=\"ascii\">\n",
                 xmlEscaped(name).c_str());
    for (int i = 0; i < count; ++i) std::fprintf(file_, "%d\n", values[i]);
    endDataArray();
}

void VtuWriter::writeDataArray(const char* name, const double* values, int count) {
    std::fprintf(file_, "        <DataArray type=\"Float64\" Name=\"%s\" format=\"ascii\">\n",
                 xmlEscaped(name).c_str());
    for (int i = 0; i < count; ++i) std::fprintf(file_, "%e\n", values[i]);
    endDataArray();
}

void VtuWriter::writeDataArray(const char* name, const float* values, int count) {
    std::fprintf(file_, "        <DataArray type=\"Float64\" Name=\"%s\" format=\"ascii\">\n",
                 xmlEscaped(name).c_str());
    for (int i = 0; i < count; ++i) std::fprintf(file_, "%e\n", static_cast<double>(values[i]));
    endDataArray();
}

void VtuWriter::endPiece() {
    line("    </Piece>\n");
    line("  </UnstructuredGrid>\n");
    line("</VTKFile>\n");
}
