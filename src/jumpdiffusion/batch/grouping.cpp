#include "grouping.h"

#include <cstring>

namespace batch {

namespace {

// The last steps of SplitMix64 (Steele, Lea and Flood, "Fast splittable pseudorandom
// number generators", OOPSLA 2014): every bit of the input moves about half the output's.
std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

std::uint64_t ModelKey::hash(std::size_t e) const {
    std::uint64_t h = 0;
    for (int c = 0; c < count; ++c) {
        const double x = columns[c][e] + 0.0;  // -0.0 + 0.0 is +0.0: one bit pattern per value
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        h = (h ^ bits) * 0x9E3779B97F4A7C15ull;  // Fibonacci hashing's multiplier, then one mix
        h ^= h >> 32;
    }
    return mix(h);
}

Order group_by_model(std::size_t size, const ModelKey &key) {
    Order order;
    if (size < 2 * kShortestGroup) {
        return order;
    }
    // The natural runs: where each starts.
    std::vector<std::uint32_t> starts;
    std::size_t runs = 1;
    for (std::size_t e = 1; e < size; ++e) {
        runs += key.same(e - 1, e) ? 0 : 1;
    }
    if (runs * kLongRun <= size) {
        return order;
    }
    starts.reserve(runs + 1);
    starts.push_back(0);
    for (std::size_t e = 1; e < size; ++e) {
        if (!key.same(e - 1, e)) {
            starts.push_back(static_cast<std::uint32_t>(e));
        }
    }
    starts.push_back(static_cast<std::uint32_t>(size));

    // Each run's model: an open-addressed table of the models' first elements (entry + 1,
    // 0 for empty), doubled when half full; the models numbered as they first appear.
    const std::size_t mostGroups = size / kShortestGroup;
    std::vector<std::uint32_t> table(64, 0), first;  // first[g]: model g's first element
    std::vector<std::uint32_t> runGroup(runs);
    std::size_t mask = table.size() - 1;
    for (std::size_t r = 0; r < runs; ++r) {
        const std::size_t e = starts[r];
        std::size_t slot = static_cast<std::size_t>(key.hash(e)) & mask;
        while (table[slot] != 0 && !key.same(first[table[slot] - 1], e)) {
            slot = (slot + 1) & mask;
        }
        if (table[slot] == 0) {
            if (first.size() >= mostGroups) {
                return order;  // too few elements per model to gain from bucketing
            }
            first.push_back(static_cast<std::uint32_t>(e));
            table[slot] = static_cast<std::uint32_t>(first.size());
            if (2 * first.size() > table.size()) {  // rehash into twice the slots
                std::vector<std::uint32_t> wider(2 * table.size(), 0);
                mask = wider.size() - 1;
                for (std::size_t g = 0; g < first.size(); ++g) {
                    std::size_t s = static_cast<std::size_t>(key.hash(first[g])) & mask;
                    while (wider[s] != 0) {
                        s = (s + 1) & mask;
                    }
                    wider[s] = static_cast<std::uint32_t>(g + 1);
                }
                table.swap(wider);
                runGroup[r] = static_cast<std::uint32_t>(first.size() - 1);
                continue;
            }
        }
        runGroup[r] = table[slot] - 1;
    }
    // Counting sort of the runs' elements by model, runs kept in their order.
    std::vector<std::uint32_t> offset(first.size() + 1, 0);
    for (std::size_t r = 0; r < runs; ++r) {
        offset[runGroup[r] + 1] += starts[r + 1] - starts[r];
    }
    for (std::size_t g = 0; g < first.size(); ++g) {
        offset[g + 1] += offset[g];
    }
    order.index_.resize(size);
    for (std::size_t r = 0; r < runs; ++r) {
        std::uint32_t &at = offset[runGroup[r]];
        for (std::uint32_t e = starts[r]; e < starts[r + 1]; ++e) {
            order.index_[at++] = e;
        }
    }
    return order;
}

}  // namespace batch
