// Precomputed neighbourhoods of the Gaussian transport.
//
// The transport of a node averages the values of the nodes of the 27-cell
// block around it whose weight exp(-a r^2), a = 1 / (4 D t), is at least
// 0.001 of the central one. Those neighbours and their weights depend only on
// the node positions, the grid and a, so they are found once, on the host,
// instead of in every step: the kernel then reads a short list instead of
// scanning the block, and needs no square root and (for the nodes the curing
// gate leaves alone) no exponential.
//
// A node's list is stored as a pattern: neighbour index offsets (j - i) in
// runs of equal squared distance, nearest run first, each run with its
// distance and weight. Identical patterns are stored once, so on a structured
// mesh almost every node shares a handful of them and the per-node cost in
// memory is one pattern index.
#pragma once

#include "accel/GridAccelerator.hpp"
#include "device/Buffer.hpp"

#include <cstddef>

namespace kuravel {

// A neighbour while a row is built: offset, squared distance, weight.
struct NeighbourEntry {
    int offset;  // neighbour index minus node index
    float r2;    // squared distance, single precision like the coordinates
    float w;     // exp(-a r2) at the table's a
};

// Neighbours of one squared distance in a stored pattern.
struct NeighbourRun {
    float r2;
    float w;    // exp(-a r2) at the table's a
    int count;  // offsets of this run, following the previous run's
};

// The record kernels receive by value. Pattern p has the runs
// runs[runStart[p] .. runStart[p + 1]) and their offsets from
// offsets[offsetStart[p]] on.
struct NeighbourTableData {
    const int* patternOf = nullptr;  // per node: its pattern, or -1 when it lies outside the grid
    const int* runStart = nullptr;   // one more entry than patterns
    const int* offsetStart = nullptr;
    const NeighbourRun* runs = nullptr;
    const int* offsets = nullptr;
    double a = 0.0;                  // 1 / (4 D t) the weights were computed for
};

class NeighbourTable {
public:
    // Lists, for each of the n nodes at `xyz` (host, all x then all y then
    // all z), the nodes of the 27-cell block of `grid` around it (host copies
    // of its lists) whose weight exp(-a r^2) is at least 0.001; a must be
    // positive and finite. Replaces any earlier table. Returns false, and
    // leaves no table, for a kernel so wide that the table would hold more
    // than a few hundred neighbours per node.
    bool build(const float* xyz, int n, const GridAcceleratorData& grid, double a);
    void release();

    bool built() const { return data_.patternOf != nullptr; }
    const NeighbourTableData& data() const { return data_; }
    int patternCount() const { return patterns_; }
    std::size_t entryCount() const { return entryCount_; }

private:
    dev::Buffer<int> patternOf_, runStart_, offsetStart_, offsets_;
    dev::Buffer<NeighbourRun> runs_;
    NeighbourTableData data_;
    int patterns_ = 0;
    std::size_t entryCount_ = 0;
};

}  // namespace kuravel
