// Broadcasting for the fast intake of the price functions: an argument written out to the
// broadcast shape (numpy's rule: axes aligned from the last, extent 1 repeated).
#pragma once

#include <cstddef>
#include <cstdint>

namespace batch {

constexpr int kMaxDims = 64;  // numpy's own limit (NPY_MAXDIMS)

// A broadcast shape, grown argument by argument.
class Shape {
public:
    // Broadcasts with an argument of shape own[0 .. ownDims - 1]; false (the shape left as
    // it was) where the two do not broadcast.
    bool broadcast_with(int ownDims, const std::int64_t *own);
    bool equals(int ownDims, const std::int64_t *own) const;
    std::size_t size() const;
    // Whether it holds at most `most` elements (checked factor by factor: no overflow).
    bool at_most(std::size_t most) const;
    int dims() const { return dims_; }
    const std::int64_t *extents() const { return extent_; }

private:
    int dims_ = 0;
    std::int64_t extent_[kMaxDims] = {};
};

// The C-contiguous values of an array of shape own[0 .. ownDims - 1] into `to`, in the
// broadcast shape shape[0 .. dims - 1] (dims >= ownDims, each own extent 1 or the
// broadcast one), last axis fastest.
void broadcast_copy(const double *from, int ownDims, const std::int64_t *own, int dims,
                    const std::int64_t *shape, double *to);

}  // namespace batch
