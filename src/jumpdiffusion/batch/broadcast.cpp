#include "broadcast.h"

namespace batch {

bool Shape::broadcast_with(int ownDims, const std::int64_t *own) {
    const int dims = ownDims > dims_ ? ownDims : dims_;
    std::int64_t shape[kMaxDims];
    for (int k = 0; k < dims; ++k) {
        const int mine = k - (dims - dims_), theirs = k - (dims - ownDims);
        const std::int64_t x = mine >= 0 ? extent_[mine] : 1, y = theirs >= 0 ? own[theirs] : 1;
        if (x != y && x != 1 && y != 1) {
            return false;
        }
        shape[k] = x == 1 ? y : x;
    }
    for (int k = 0; k < dims; ++k) {
        extent_[k] = shape[k];
    }
    dims_ = dims;
    return true;
}

bool Shape::equals(int ownDims, const std::int64_t *own) const {
    bool same = ownDims == dims_;
    for (int k = 0; same && k < dims_; ++k) {
        same = own[k] == extent_[k];
    }
    return same;
}

std::size_t Shape::size() const {
    std::size_t n = 1;
    for (int k = 0; k < dims_; ++k) {
        n *= static_cast<std::size_t>(extent_[k]);
    }
    return n;
}

bool Shape::at_most(std::size_t most) const {
    std::size_t n = 1;
    for (int k = 0; k < dims_; ++k) {
        const auto extent = static_cast<std::size_t>(extent_[k]);
        if (extent == 0) {
            return true;
        }
        if (extent > most / n) {
            return false;
        }
        n *= extent;
    }
    return true;
}

void broadcast_copy(const double *from, int ownDims, const std::int64_t *own, int dims,
                    const std::int64_t *shape, double *to) {
    // Element strides of the argument in the broadcast shape (0 where it repeats).
    std::int64_t stride[kMaxDims] = {}, index[kMaxDims] = {};
    std::int64_t step = 1, size = 1;
    for (int k = ownDims - 1; k >= 0; --k) {
        const int at = k + dims - ownDims;
        stride[at] = own[k] == 1 ? 0 : step;
        step *= own[k];
    }
    for (int k = 0; k < dims; ++k) {
        size *= shape[k];
    }
    std::int64_t offset = 0;
    for (std::int64_t e = 0; e < size; ++e) {
        to[e] = from[offset];
        for (int k = dims - 1; k >= 0; --k) {  // the next index, last axis fastest
            offset += stride[k];
            if (++index[k] < shape[k]) {
                break;
            }
            offset -= stride[k] * shape[k];
            index[k] = 0;
        }
    }
}

}  // namespace batch
