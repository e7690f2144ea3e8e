// Host build of the transport neighbourhoods (see KuravelNeighbours.hpp).
#include "materials/KuravelNeighbours.hpp"

#include "materials/Kuravel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kuravel {

namespace {

// Tables are for kernels a few node spacings wide. Wider ones would take more
// memory than scanning the grid costs time: the build gives up, and the
// transport scans the grid's block instead.
constexpr std::size_t kMaxRow = 256;
std::size_t maxEntries(int n) { return 64 * static_cast<std::size_t>(n) + (std::size_t{1} << 20); }

// The grid's lists as compressed arrays: the nodes of each cell together, in
// ascending order, with their coordinates beside them, so that scanning a
// block reads memory in order.
struct CompressedCells {
    std::vector<int> start;  // per cell, plus one
    std::vector<int> node;
    std::vector<float> x, y, z;

    CompressedCells(const GridAcceleratorData& grid, const float* xyz, int n) {
        const std::size_t cells =
            grid.cellHead ? static_cast<std::size_t>(grid.gridDims[0]) * grid.gridDims[1] * grid.gridDims[2] : 0;
        start.assign(cells + 1, 0);
        for (std::size_t c = 0; c < cells; ++c) {
            for (int j = grid.cellHead[c]; j != -1; j = grid.nextInCell[j]) {
                node.push_back(j);
                x.push_back(xyz[j]);
                y.push_back(xyz[n + j]);
                z.push_back(xyz[2 * static_cast<std::size_t>(n) + j]);
            }
            start[c + 1] = static_cast<int>(node.size());
        }
    }
};

// Neighbours of node i at p inside the weight cut-off, from the 27-cell
// block around cell c, sorted nearest first: equal distances sit together
// (one exponential each when the weights must be recomputed) and a narrower
// kernel's cut-off ends the list early.
// Returns false, with the row unfinished, when it would exceed kMaxRow.
bool collectRow(const GridAcceleratorData& grid, const CompressedCells& cells, const int c[3], int i, const Vec3& p,
                double a, std::vector<NeighbourEntry>& row) {
    row.clear();
    for (int k = 0; k < 27; ++k) {
        const int cx = c[0] + k % 3 - 1, cy = c[1] + (k / 3) % 3 - 1, cz = c[2] + k / 9 - 1;
        if (!grid.containsCell(cx, cy, cz)) continue;
        const int cell = grid.cellIndex(cx, cy, cz);
        for (int q = cells.start[cell]; q < cells.start[cell + 1]; ++q) {
            const float dx = cells.x[q] - p.x, dy = cells.y[q] - p.y, dz = cells.z[q] - p.z;
            const float r2 = dx * dx + dy * dy + dz * dz;
            if (!(a * r2 <= kWeightCutExponent)) continue;  // beyond the cut-off (or not a number)
            if (row.size() == kMaxRow) return false;
            row.push_back(NeighbourEntry{cells.node[q] - i, r2, 0.0f});
        }
    }
    // Insertion sort (short rows) by distance, then offset: a canonical order,
    // so that nodes with the same neighbourhood share one pattern wherever
    // the grid's cells happen to cut it.
    const auto before = [](const NeighbourEntry& x, const NeighbourEntry& y) {
        return x.r2 < y.r2 || (x.r2 == y.r2 && x.offset < y.offset);
    };
    for (std::size_t k = 1; k < row.size(); ++k) {
        const NeighbourEntry e = row[k];
        std::size_t q = k;
        for (; q > 0 && before(e, row[q - 1]); --q) row[q] = row[q - 1];
        row[q] = e;
    }
    // Weights, one exponential per distance; the row ends where they fall
    // below the cut.
    for (std::size_t k = 0; k < row.size(); ++k) {
        const double w = k > 0 && row[k].r2 == row[k - 1].r2 ? row[k - 1].w : std::exp(-a * row[k].r2);
        if (w < kWeightCut) {
            row.resize(k);
            break;
        }
        row[k].w = static_cast<float>(w);
    }
    return true;
}

std::uint64_t hashRow(const std::vector<NeighbourEntry>& row) {
    // FNV-1a over the entries' 32-bit words (a word at a time: the rows are
    // hashed for every node).
    std::uint64_t h = 1469598103934665603ull;
    for (const NeighbourEntry& e : row) {
        std::uint32_t words[3];
        std::memcpy(words, &e, sizeof words);
        for (std::uint32_t w : words) h = (h ^ w) * 1099511628211ull;
    }
    return h;
}

}  // namespace

void NeighbourTable::release() {
    for (dev::Buffer<int>* b : {&patternOf_, &runStart_, &offsetStart_, &offsets_}) b->reset();
    runs_.reset();
    data_ = NeighbourTableData();
    patterns_ = 0;
    entryCount_ = 0;
}

bool NeighbourTable::build(const float* xyz, int n, const GridAcceleratorData& grid, double a) {
    release();
    static_assert(sizeof(NeighbourEntry) == 12, "entries are compared and hashed as bytes");
    std::vector<int> patternOf(static_cast<std::size_t>(n), -1);
    std::vector<int> patternStart{0};
    std::vector<NeighbourEntry> entries;
    std::unordered_multimap<std::uint64_t, int> known;  // row hash -> pattern
    const int scanned = grid.cellHead ? n : 0;  // no lists: every node outside the grid
    const CompressedCells cells(grid, xyz, scanned);

    // Blocks of nodes: their rows are found in parallel, then matched
    // against the known patterns in node order.
    constexpr int kBlock = 1 << 14;
    std::vector<std::vector<NeighbourEntry>> rows(kBlock);
    std::vector<std::uint64_t> hashes(kBlock);
    std::vector<char> inside(kBlock);
    int last = -1;
    std::uint64_t lastHash = 0;
    for (int first = 0; first < scanned; first += kBlock) {
        const int count = std::min(kBlock, scanned - first);
        int tooWide = 0;
#pragma omp parallel for schedule(dynamic, 256) reduction(| : tooWide)
        for (int k = 0; k < count; ++k) {
            const int i = first + k;
            const Vec3 p(xyz[i], xyz[n + i], xyz[2 * static_cast<std::size_t>(n) + i]);
            int c[3];
            inside[k] = grid.locateCell(p, c);
            if (!inside[k]) continue;
            if (!collectRow(grid, cells, c, i, p, a, rows[k])) tooWide = 1;
            hashes[k] = hashRow(rows[k]);
        }
        if (tooWide) return false;
        for (int k = 0; k < count; ++k) {
            if (!inside[k]) continue;
            const std::vector<NeighbourEntry>& row = rows[k];
            const auto matches = [&](int q) {
                const std::size_t length = static_cast<std::size_t>(patternStart[q + 1] - patternStart[q]);
                return length == row.size() &&
                       std::memcmp(entries.data() + patternStart[q], row.data(), length * sizeof row[0]) == 0;
            };
            // Neighbouring nodes mostly share a pattern: the last one found is
            // tried before the hash lookup.
            int found = last >= 0 && hashes[k] == lastHash && matches(last) ? last : -1;
            for (auto [it, end] = known.equal_range(hashes[k]); found < 0 && it != end; ++it)
                if (matches(it->second)) found = it->second;
            last = found, lastHash = hashes[k];
            if (found < 0) {
                found = static_cast<int>(patternStart.size()) - 1;
                entries.insert(entries.end(), row.begin(), row.end());
                patternStart.push_back(static_cast<int>(entries.size()));
                known.emplace(hashes[k], found);
            }
            last = found;
            patternOf[static_cast<std::size_t>(first + k)] = found;
        }
        if (entries.size() > maxEntries(n)) return false;
    }

    // The patterns as runs of equal distance. The new arrays replace the old
    // ones only once all are on the device.
    std::vector<int> runStart{0}, offsetStart, offsets;
    std::vector<NeighbourRun> runs;
    offsets.reserve(entries.size());
    for (std::size_t q = 0; q + 1 < patternStart.size(); ++q) {
        offsetStart.push_back(static_cast<int>(offsets.size()));
        for (int k = patternStart[q]; k < patternStart[q + 1]; ++k) {
            const NeighbourEntry& e = entries[static_cast<std::size_t>(k)];
            if (k == patternStart[q] || e.r2 != runs.back().r2) runs.push_back(NeighbourRun{e.r2, e.w, 0});
            ++runs.back().count;
            offsets.push_back(e.offset);
        }
        runStart.push_back(static_cast<int>(runs.size()));
    }
    offsetStart.push_back(static_cast<int>(offsets.size()));
    auto d_patternOf = dev::uploadedBuffer<int>(patternOf);
    auto d_runStart = dev::uploadedBuffer<int>(runStart);
    auto d_offsetStart = dev::uploadedBuffer<int>(offsetStart);
    auto d_runs = dev::uploadedBuffer<NeighbourRun>(runs);
    auto d_offsets = dev::uploadedBuffer<int>(offsets);
    patternOf_ = std::move(d_patternOf);
    runStart_ = std::move(d_runStart);
    offsetStart_ = std::move(d_offsetStart);
    runs_ = std::move(d_runs);
    offsets_ = std::move(d_offsets);
    data_ = NeighbourTableData{patternOf_.get(), runStart_.get(), offsetStart_.get(), runs_.get(), offsets_.get(), a};
    patterns_ = static_cast<int>(patternStart.size()) - 1;
    entryCount_ = entries.size();
    return true;
}

}  // namespace kuravel
