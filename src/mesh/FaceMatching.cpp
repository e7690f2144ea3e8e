#include "mesh/FaceMatching.hpp"

#include <algorithm>

namespace {

// Slots grouped by their face's lowest node, ascending within each group.
struct SlotGroups {
    std::vector<int> start;  // one more entry than groups
    std::vector<int> slots;
};

SlotGroups groupByLowestNode(const int* cells, int nCells, int nPoints) {
    const std::size_t groups = static_cast<std::size_t>(std::max(nPoints, 1));
    const auto groupOf = [&](std::size_t slot) {
        const int* nodes = cells + 8 * (slot / 6);
        const int* face = kFaceNodeTable[slot % 6];
        const int lowest = std::min(std::min(nodes[face[0]], nodes[face[1]]), std::min(nodes[face[2]], nodes[face[3]]));
        const std::size_t g = static_cast<unsigned>(lowest);
        return g < groups ? g : g % groups;  // ids out of range never index past the groups
    };
    const std::size_t nSlots = 6 * static_cast<std::size_t>(nCells);
    SlotGroups g;
    g.start.assign(groups + 1, 0);
    for (std::size_t s = 0; s < nSlots; ++s) ++g.start[groupOf(s) + 1];
    for (std::size_t k = 1; k <= groups; ++k) g.start[k] += g.start[k - 1];
    // Fill by advancing each group's start to its end, then shift back.
    g.slots.resize(nSlots);
    for (std::size_t s = 0; s < nSlots; ++s) g.slots[static_cast<std::size_t>(g.start[groupOf(s)]++)] = static_cast<int>(s);
    for (std::size_t k = groups; k > 0; --k) g.start[k] = g.start[k - 1];
    g.start[0] = 0;
    return g;
}

}  // namespace

FaceMatches matchElementFaces(const int* cells, int nCells, int nPoints) {
    const SlotGroups groups = groupByLowestNode(cells, nCells, nPoints);
    FaceMatches m;
    m.partner.resize(groups.slots.size());
    std::vector<FaceKey> keys;
    std::vector<char> done;
    std::vector<int> members;
    for (std::size_t g = 0; g + 1 < groups.start.size(); ++g) {
        const int* slots = groups.slots.data() + groups.start[g];
        const int count = groups.start[g + 1] - groups.start[g];
        keys.clear();
        for (int k = 0; k < count; ++k) keys.push_back(faceKey(cells + 8 * static_cast<std::size_t>(slots[k] / 6), slots[k] % 6));
        done.assign(static_cast<std::size_t>(count), 0);
        for (int k = 0; k < count; ++k) {
            if (done[k]) continue;
            members.assign(1, slots[k]);
            for (int q = k + 1; q < count; ++q)
                if (!done[q] && keys[q] == keys[k]) {
                    members.push_back(slots[q]);
                    done[q] = 1;
                }
            if (members.size() == 1) {
                m.partner[members[0]] = FaceMatches::kSingle;
            } else if (members.size() == 2) {
                m.partner[members[0]] = members[1];
                m.partner[members[1]] = members[0];
            } else {
                for (int s : members) m.partner[s] = -2 - members[0];
                ++m.crowdedFaces;
            }
        }
    }
    return m;
}
