// Sums of doubles in the order numpy adds them. The benchmark evaluators
// compute their figures with numpy, and a figure reproduced to the last bit
// must add its terms in the same order: numpy's add.reduce sums a contiguous
// array in blocks of 8,192 values (its buffer), each block pairwise, with
// eight accumulators under 128 values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace numeric {

/// numpy.sum of a contiguous array of doubles (and of a matrix's row, or of
/// a whole C-ordered matrix, which numpy sums as one array).
double numpySum(std::span<const double> values);

/// numpy.mean of a contiguous array of doubles: numpySum / size.
double numpyMean(std::span<const double> values);

/// numpy.sum of an array of `length` doubles of which only those at
/// `positions` (strictly increasing, each below `length`) are not zero,
/// `values[k]` at `positions[k]`, without building the array: the very
/// additions numpy makes, less those of a zero to a partial sum (which
/// change nothing). For sums over a sparse matrix (G x H identities) that
/// numpy adds whole.
double numpySparseSum(uint64_t length, std::span<const uint64_t> positions,
                      std::span<const double> values);

}  // namespace numeric
