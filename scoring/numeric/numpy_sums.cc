#include "scoring/numeric/numpy_sums.h"

#include <algorithm>

namespace numeric {

namespace {

constexpr std::size_t kBufferSize = 8192;
constexpr std::size_t kPairwiseBlock = 128;

// numpy's pairwise_sum of a[0..n).
double pairwiseSum(const double* a, std::size_t n) {
  if (n < 8) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i];
    return sum;
  }
  if (n <= kPairwiseBlock) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - n % 8; i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) sum += a[i];
    return sum;
  }
  std::size_t half = n / 2;
  half -= half % 8;
  return pairwiseSum(a, half) + pairwiseSum(a + half, n - half);
}

// The same additions over [start, start + n) of the sparse array whose
// nonzero entries in that range are positions[first..last). A zero entry
// only ever joins a partial sum (x + 0 == x, and the sums start from the
// array's own entries or from 0.0), so skipping it leaves every bit alone.
class SparseSum {
 public:
  SparseSum(std::span<const uint64_t> positions, std::span<const double> values)
      : positions_(positions), values_(values) {}

  double sum(uint64_t start, uint64_t n, std::size_t first, std::size_t last) const {
    if (first == last) return 0.0;
    if (n < 8) {
      double sum = 0.0;
      for (std::size_t k = first; k < last; ++k) sum += values_[k];
      return sum;
    }
    if (n <= kPairwiseBlock) {
      // Accumulator j holds the entries at offsets j, j + 8, ... below the
      // last whole group of eight; the rest are added to the total in turn.
      const uint64_t grouped = n - n % 8;
      double r[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
      std::size_t k = first;
      for (; k < last && positions_[k] - start < grouped; ++k) {
        r[(positions_[k] - start) % 8] += values_[k];
      }
      double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
      for (; k < last; ++k) sum += values_[k];
      return sum;
    }
    uint64_t half = n / 2;
    half -= half % 8;
    const std::size_t middle = static_cast<std::size_t>(
        std::lower_bound(positions_.begin() + static_cast<std::ptrdiff_t>(first),
                         positions_.begin() + static_cast<std::ptrdiff_t>(last), start + half) -
        positions_.begin());
    return sum(start, half, first, middle) + sum(start + half, n - half, middle, last);
  }

 private:
  std::span<const uint64_t> positions_;
  std::span<const double> values_;
};

}  // namespace

double numpySum(std::span<const double> values) {
  double sum = 0.0;
  for (std::size_t at = 0; at < values.size(); at += kBufferSize) {
    sum += pairwiseSum(values.data() + at, std::min(kBufferSize, values.size() - at));
  }
  return sum;
}

double numpyMean(std::span<const double> values) {
  return numpySum(values) / static_cast<double>(values.size());
}

double numpySparseSum(uint64_t length, std::span<const uint64_t> positions,
                      std::span<const double> values) {
  const SparseSum sparse(positions, values);
  double sum = 0.0;
  std::size_t first = 0;
  for (uint64_t at = 0; at < length && first < positions.size(); at += kBufferSize) {
    const uint64_t n = std::min<uint64_t>(kBufferSize, length - at);
    std::size_t last = first;
    while (last < positions.size() && positions[last] < at + n) ++last;
    sum += sparse.sum(at, n, first, last);
    first = last;
  }
  return sum;
}

}  // namespace numeric
