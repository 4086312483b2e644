// The arguments of the element loops, and the order in which they visit the elements.
//
// An argument is a column: one value per element (step 1) or one value for all (step 0).
// Elements with the same model (the arguments other than the spot, strike, dividend yield
// and kind) share most of a price's work when priced together as a strip; the loops
// visit the elements in an order where those of one model are adjacent, whatever the
// array layout the caller chose: the natural order where its runs are already long,
// otherwise the elements bucketed by model (group_by_model). Results are written back at
// each element's own index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace batch {

template <typename T>
struct Column {
    const T *values;
    std::size_t step;
    const T &operator[](std::size_t e) const { return values[e * step]; }
};

// The columns that make up an element's model; two elements share it where every column
// holds equal values (==, so that -0.0 and 0.0 are one value).
struct ModelKey {
    static constexpr int kMaxColumns = 10;
    Column<double> columns[kMaxColumns];
    int count = 0;

    bool same(std::size_t a, std::size_t b) const {
        for (int c = 0; c < count; ++c) {
            if (!(columns[c][a] == columns[c][b])) {
                return false;
            }
        }
        return true;
    }
    std::uint64_t hash(std::size_t e) const;  // equal for elements that are the same()

    // The key of the columns that vary (step 1): a column of one value never tells two
    // elements apart.
    static ModelKey varying(std::initializer_list<Column<double>> columns) {
        ModelKey key;
        for (const Column<double> &c : columns) {
            if (c.step != 0) {
                key.columns[key.count++] = c;
            }
        }
        return key;
    }
};

// A visiting order of the positions 0 .. size - 1: position i visits element order[i].
class Order {
public:
    std::size_t operator[](std::size_t i) const { return index_.empty() ? i : index_[i]; }
    bool natural() const { return index_.empty(); }

private:
    friend Order group_by_model(std::size_t size, const ModelKey &key);
    std::vector<std::uint32_t> index_;
};

// The order for the elements' models: the natural order where its runs of one model are
// already long (on average kLongRun elements or more) or where bucketing would not make
// them so (fewer than kShortestGroup elements per model on average); otherwise the
// elements of each model together, models in order of first appearance and elements in
// ascending index within each. O(size) time: one hash lookup per natural run. size must
// be below 2^32 (the elements are counted in 32 bits).
constexpr std::size_t kLongRun = 16;
constexpr std::size_t kShortestGroup = 4;
Order group_by_model(std::size_t size, const ModelKey &key);

// Visits positions [begin, end) of an order in runs of at most `limit` (<= kMaxRun)
// consecutive positions whose elements share a model: run(elements, count) receives each
// run's element indices.
constexpr std::size_t kMaxRun = 256;
template <typename Same, typename Run>
void for_each_run(const Order &order, std::size_t begin, std::size_t end, std::size_t limit,
                  const Same &same, const Run &run) {
    std::size_t elements[kMaxRun];
    for (std::size_t i = begin; i < end;) {
        std::size_t count = 0;
        elements[count++] = order[i];
        while (i + count < end && count < limit && same(elements[0], order[i + count])) {
            elements[count] = order[i + count];
            ++count;
        }
        run(static_cast<const std::size_t *>(elements), count);
        i += count;
    }
}

}  // namespace batch
