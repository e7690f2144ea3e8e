// ASCII writer for XML VTK unstructured-grid files (.vtu).
//
// All our VTU outputs share one layout: header and piece, the mesh nodes as
// points, one block of cells of a single shape, named PointData / CellData
// arrays, then the closing tags. `VtuWriter` emits those pieces in the order
// the caller asks for them, with fixed indentation and printf-style numbers
// ("%e" for reals, "%d" for integers), so that a file is reproducible byte for
// byte. Typical use:
//
//     VtuWriter vtu(path);
//     if (!vtu.isOpen()) { /* report */ return; }
//     vtu.beginPiece(nPoints, nCells);
//     vtu.writePoints(coords, nPoints);
//     vtu.writeCells(connectivity, nCells, VtuCellShape::Hexahedron);
//     vtu.beginPointData();
//     vtu.writeDataArray("Name", values, nPoints);
//     vtu.endPointData();
//     vtu.endPiece();
//     vtu.close();
#pragma once

#include <cstdio>

// Cell shapes we write, with their VTK type codes.
enum class VtuCellShape { Quad = 9, Hexahedron = 12 };

// Nodes per cell of a shape.
int vtuNodesPerCell(VtuCellShape shape);

class VtuWriter {
public:
    // Creates or truncates `path` for writing, without newline translation.
    // Check `isOpen()` before writing; the writer reports nothing itself.
    explicit VtuWriter(const char* path);
    ~VtuWriter();  // closes the file if still open
    VtuWriter(const VtuWriter&) = delete;
    VtuWriter& operator=(const VtuWriter&) = delete;

    bool isOpen() const { return file_ != nullptr; }

    // XML declaration, VTKFile and UnstructuredGrid tags, opening Piece tag.
    void beginPiece(int nPoints, int nCells);
    // Points block, one "%e %e %e" line per point. `coords` is a structure of
    // arrays: all x, then all y, then all z (3 * nPoints floats).
    void writePoints(const float* coords, int nPoints);
    // Cells block: connectivity (`vtuNodesPerCell(shape)` ids per cell, each
    // followed by one space, one line per cell), offsets and types.
    void writeCells(const int* connectivity, int nCells, VtuCellShape shape);

    void beginPointData();
    void endPointData();
    void beginCellData();
    void endCellData();

    // One named data array, one value per line: Int32 as "%d", Float64 as
    // "%e" (float values are widened to double). The name is XML-escaped.
    void writeDataArray(const char* name, const int* values, int count);
    void writeDataArray(const char* name, const double* values, int count);
    void writeDataArray(const char* name, const float* values, int count);

    // Closing Piece, UnstructuredGrid and VTKFile tags.
    void endPiece();

    // Closes the file. Returns false if a write or the close failed.
    bool close();

private:
    void line(const char* text);
    void endDataArray();

    std::FILE* file_ = nullptr;
};
