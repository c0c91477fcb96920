// The tracking measures' exact building blocks against independent ways of
// reaching the same result: numpy's sum of a sparse array against the sum
// of the whole array, and the identity matching against a dense assignment
// and, for small graphs, against every pairing.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "scoring/numeric/numpy_sums.h"
#include "scoring/tracking/identity_matching.h"
#include "scoring/tracking/linear_sum_assignment.h"

namespace {

TEST(NumpySparseSum, AddsAsTheWholeArrayWouldBeAdded) {
  std::mt19937_64 random(7);
  // Lengths around the pairwise blocks (8, 128) and numpy's buffer (8,192).
  const std::vector<uint64_t> lengths = {1,   7,    8,    9,    127,  128,   129,
                                         255, 1000, 8191, 8192, 8193, 20000, 40000};
  int differentFromSequential = 0;
  for (const uint64_t length : lengths) {
    for (int round = 0; round < 20; ++round) {
      const double density = std::uniform_real_distribution<double>(0.001, 1.0)(random);
      std::vector<double> dense(length, 0.0);
      std::vector<uint64_t> positions;
      std::vector<double> values;
      for (uint64_t k = 0; k < length; ++k) {
        if (std::uniform_real_distribution<double>(0, 1)(random) < density) {
          dense[k] = std::uniform_real_distribution<double>(0, 1)(random) * 1e3;
          positions.push_back(k);
          values.push_back(dense[k]);
        }
      }
      const double whole = numeric::numpySum(dense);
      EXPECT_EQ(numeric::numpySparseSum(length, positions, values), whole)
          << "length " << length << " entries " << positions.size();
      double sequential = 0.0;
      for (const double v : values) sequential += v;
      differentFromSequential += sequential != whole;
    }
  }
  // The order matters: plain addition differs in the last bits often.
  EXPECT_GT(differentFromSequential, 20);
}

// The best matching's weight by trying every pairing (rows <= 7).
int64_t bestByEnumeration(int32_t rows, int32_t columns, const std::vector<int64_t>& weight) {
  int64_t best = 0;
  std::vector<int32_t> choice(static_cast<std::size_t>(rows), -1);
  std::vector<char> used(static_cast<std::size_t>(columns), 0);
  auto search = [&](auto&& self, int32_t row, int64_t total) -> void {
    if (row == rows) {
      best = std::max(best, total);
      return;
    }
    self(self, row + 1, total);
    for (int32_t c = 0; c < columns; ++c) {
      if (used[static_cast<std::size_t>(c)]) continue;
      used[static_cast<std::size_t>(c)] = 1;
      self(self, row + 1, total + weight[static_cast<std::size_t>(row * columns + c)]);
      used[static_cast<std::size_t>(c)] = 0;
    }
  };
  search(search, 0, 0);
  return best;
}

TEST(IdentityMatching, FindsTheLargestWeight) {
  std::mt19937_64 random(11);
  tracking::LinearSumAssignment dense;
  for (int round = 0; round < 600; ++round) {
    const bool small = round % 2 == 0;
    const auto rows = static_cast<int32_t>(random() % (small ? 7 : 60) + 1);
    const auto columns = static_cast<int32_t>(random() % (small ? 7 : 60) + 1);
    const double density = std::uniform_real_distribution<double>(0.02, 0.9)(random);
    // Few distinct weights make many optima; long ranges make long paths.
    const int64_t range = round % 3 == 0 ? 3 : 1000;
    std::vector<int64_t> weight(static_cast<std::size_t>(rows * columns), 0);
    std::vector<tracking::IdentityPair> pairs;
    for (int32_t r = 0; r < rows; ++r) {
      for (int32_t c = 0; c < columns; ++c) {
        if (std::uniform_real_distribution<double>(0, 1)(random) >= density) continue;
        const int64_t w = static_cast<int64_t>(random() % static_cast<uint64_t>(range)) + 1;
        weight[static_cast<std::size_t>(r * columns + c)] = w;
        pairs.push_back({r, c, w});
      }
    }
    std::shuffle(pairs.begin(), pairs.end(), random);
    const int64_t found = tracking::maximumIdentityMatching(rows, columns, pairs);
    std::vector<double> costs(weight.size());
    for (std::size_t k = 0; k < weight.size(); ++k) costs[k] = -static_cast<double>(weight[k]);
    const std::span<const int32_t> assigned = dense.solve(costs, rows, columns);
    int64_t denseTotal = 0;
    for (int32_t r = 0; r < rows; ++r) {
      if (assigned[static_cast<std::size_t>(r)] >= 0) {
        denseTotal +=
            weight[static_cast<std::size_t>(r * columns + assigned[static_cast<std::size_t>(r)])];
      }
    }
    ASSERT_EQ(found, denseTotal) << "round " << round;
    if (small) {
      ASSERT_EQ(found, bestByEnumeration(rows, columns, weight)) << "round " << round;
    }
  }
}

TEST(LinearSumAssignment, IsOptimalAndOneToOne) {
  std::mt19937_64 random(5);
  tracking::LinearSumAssignment solver;
  for (int round = 0; round < 400; ++round) {
    const auto rows = static_cast<int32_t>(random() % 7 + 1);
    const auto columns = static_cast<int32_t>(random() % 7 + 1);
    std::vector<int64_t> weight(static_cast<std::size_t>(rows * columns));
    std::vector<double> costs(weight.size());
    for (std::size_t k = 0; k < weight.size(); ++k) {
      weight[k] = static_cast<int64_t>(random() % 4);
      costs[k] = -static_cast<double>(weight[k]);
    }
    const std::span<const int32_t> assigned = solver.solve(costs, rows, columns);
    std::vector<char> used(static_cast<std::size_t>(columns), 0);
    int64_t total = 0;
    int32_t count = 0;
    for (int32_t r = 0; r < rows; ++r) {
      const int32_t c = assigned[static_cast<std::size_t>(r)];
      if (c < 0) continue;
      ASSERT_LT(c, columns);
      ASSERT_FALSE(used[static_cast<std::size_t>(c)]);
      used[static_cast<std::size_t>(c)] = 1;
      total += weight[static_cast<std::size_t>(r * columns + c)];
      ++count;
    }
    ASSERT_EQ(count, std::min(rows, columns));
    ASSERT_EQ(total, bestByEnumeration(rows, columns, weight)) << "round " << round;
  }
}

// A cost that is NaN (the IoU of boxes beyond the doubles' range) or
// infinite is refused, as SciPy's solver refuses it; the solver once
// followed a path from a column no row had reached, and never ended.
TEST(LinearSumAssignment, RefusesCostsThatAreNotFiniteNumbers) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  tracking::LinearSumAssignment solver;
  const std::vector<std::vector<double>> matrices = {
      {nan},                         // every cost
      {-1, nan, -0.5, -1},           // one among finite costs, 2 x 2
      {-0.6, nan, nan, -0.7, 0, 0},  // 3 x 2, solved transposed
      {0, -inf},
      {inf, 0, 0, 0}};
  const std::vector<std::pair<int32_t, int32_t>> shapes = {{1, 1}, {2, 2}, {3, 2}, {1, 2}, {2, 2}};
  for (std::size_t k = 0; k < matrices.size(); ++k) {
    EXPECT_THROW(solver.solve(matrices[k], shapes[k].first, shapes[k].second),
                 std::invalid_argument)
        << "matrix " << k;
  }
  // And it still solves the next matrix.
  const std::vector<double> costs = {-1, 0, 0, -1};
  const std::span<const int32_t> assigned = solver.solve(costs, 2, 2);
  EXPECT_EQ(std::vector<int32_t>(assigned.begin(), assigned.end()), (std::vector<int32_t>{0, 1}));
}

}  // namespace
