#include "scoring/matching/assignment_solver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using Matrix = std::vector<std::vector<double>>;

struct Solution {
  std::vector<int32_t> rowAssignment;
  std::vector<int32_t> columnAssignment;
  std::vector<double> rowDual;
  std::vector<double> columnDual;
  double total = 0.0;
};

// Outputs start at sentinels, so a value the solver failed to write shows.
Solution solve(const Matrix& costs) {
  const auto n = static_cast<int32_t>(costs.size());
  std::vector<const double*> rows;
  for (const auto& row : costs) rows.push_back(row.data());
  Solution s{std::vector<int32_t>(n, -7), std::vector<int32_t>(n, -7), std::vector<double>(n, 7.5),
             std::vector<double>(n, 7.5)};
  s.total = solveAssignment(n, rows.data(), s.rowAssignment.data(), s.columnAssignment.data(),
                            s.rowDual.data(), s.columnDual.data());
  return s;
}

double bruteForceMinimum(const Matrix& costs) {
  std::vector<int> permutation(costs.size());
  std::iota(permutation.begin(), permutation.end(), 0);
  double best = std::numeric_limits<double>::infinity();
  do {
    double sum = 0.0;
    for (size_t i = 0; i < costs.size(); ++i) sum += costs[i][permutation[i]];
    best = std::min(best, sum);
  } while (std::next_permutation(permutation.begin(), permutation.end()));
  return best;
}

// Checks every promise of the solver on `costs`, whose cells are small
// integers so that all sums and prices are exact.
void expectOptimalWithFeasibleDuals(const Matrix& costs) {
  const Matrix original = costs;
  const Solution s = solve(costs);
  EXPECT_EQ(costs, original);

  const auto n = static_cast<int32_t>(costs.size());
  double chosenSum = 0.0;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t j = s.rowAssignment[i];
    ASSERT_TRUE(j >= 0 && j < n) << "row " << i << " got column " << j;
    // In range and inverted by columnAssignment for every row: a permutation.
    ASSERT_EQ(s.columnAssignment[j], i) << "column " << j;
    chosenSum += costs[i][j];
  }
  EXPECT_EQ(s.total, chosenSum);
  EXPECT_EQ(s.total, bruteForceMinimum(costs));

  for (int32_t i = 0; i < n; ++i) {
    for (int32_t j = 0; j < n; ++j) {
      const double slack = costs[i][j] - s.rowDual[i] - s.columnDual[j];
      if (s.rowAssignment[i] == j) {
        EXPECT_EQ(slack, 0.0) << "assigned cell " << i << "," << j;
      } else {
        EXPECT_GE(slack, 0.0) << "cell " << i << "," << j;
      }
    }
  }
}

TEST(AssignmentSolverTest, ZeroDimensionWritesNothing) {
  int32_t rowAssignment = -7;
  int32_t columnAssignment = -7;
  double rowDual = 7.5;
  double columnDual = 7.5;
  EXPECT_EQ(solveAssignment(0, nullptr, &rowAssignment, &columnAssignment, &rowDual, &columnDual),
            0.0);
  EXPECT_EQ(rowAssignment, -7);
  EXPECT_EQ(columnAssignment, -7);
  EXPECT_EQ(rowDual, 7.5);
  EXPECT_EQ(columnDual, 7.5);
}

TEST(AssignmentSolverTest, SingleCellTransfersTheCeilingToItsColumnPrice) {
  // Column price -1; the row has no other column, so the transfer subtracts
  // the ceiling: -1 - 100000 = -100001. Row price -1 - (-100001) = 100000.
  const Solution s = solve({{-1.0}});
  EXPECT_EQ(s.rowAssignment, std::vector<int32_t>{0});
  EXPECT_EQ(s.columnAssignment, std::vector<int32_t>{0});
  EXPECT_EQ(s.columnDual, std::vector<double>{-100001.0});
  EXPECT_EQ(s.rowDual, std::vector<double>{100000.0});
  EXPECT_EQ(s.total, -1.0);
}

TEST(AssignmentSolverTest, AllZeroMatrixGivesFreeRowsTheLowestFreeColumns) {
  // Row 0 holds every column minimum and keeps column 2. Row 1 ties columns
  // 0 and 1, column 0 is free: takes it. Row 2 ties them too, column 0 is
  // held, so it takes column 1. No price moves from 0.
  const Solution s = solve(Matrix(3, std::vector<double>(3, 0.0)));
  EXPECT_EQ(s.rowAssignment, (std::vector<int32_t>{2, 0, 1}));
  EXPECT_EQ(s.columnAssignment, (std::vector<int32_t>{1, 2, 0}));
  EXPECT_EQ(s.rowDual, (std::vector<double>{0.0, 0.0, 0.0}));
  EXPECT_EQ(s.columnDual, (std::vector<double>{0.0, 0.0, 0.0}));
  EXPECT_EQ(s.total, 0.0);
}

TEST(AssignmentSolverTest, RowsTiedOnOneColumnAreSeparatedByThePathSearch) {
  // Column minima: prices (-1, 0, -1); row 0 keeps column 1 (of 1 and 0),
  // row 1 takes column 2, row 2 is free. Row 1's transfer is min(1, 0) = 0.
  // Row 2's reduced costs (1, 0, 0) tie columns 1 and 2: the first pass gives
  // it column 2 and frees row 1, the second pass swaps them back. The search
  // from row 2 reaches columns 1 and 2 at distance 0, scans column 1 through
  // row 0 and reaches free column 0 at (-1 - -1) - 0 = 0: row 0 takes column
  // 0, row 2 column 1. Nothing was scanned before the last minimum, so the
  // prices stay; row prices -1 - -1, -1 - -1, 0 - 0. Total -1 - 1 + 0.
  const Solution s = solve({{-1.0, 0.0, 0.0}, {0.0, 0.0, -1.0}, {0.0, 0.0, -1.0}});
  EXPECT_EQ(s.rowAssignment, (std::vector<int32_t>{0, 2, 1}));
  EXPECT_EQ(s.columnAssignment, (std::vector<int32_t>{0, 2, 1}));
  EXPECT_EQ(s.columnDual, (std::vector<double>{-1.0, 0.0, -1.0}));
  EXPECT_EQ(s.rowDual, (std::vector<double>{0.0, 0.0, 0.0}));
  EXPECT_EQ(s.total, -2.0);
}

TEST(AssignmentSolverTest, RowDisplacedByAPriceDropIsServedBeforeLaterFreeRows) {
  // Row 0 holds all three column minima (prices -1, -1, -1) and keeps column
  // 2. Row 1's reduced costs (1, 1, 0): column 2 at 0 < 1, price -1 - (1 - 0)
  // = -2, row 0 displaced and served next: reduced (0, 0, 1) tie, column 0
  // free, takes it. Row 2's reduced (1, 1, 1) tie, column 0 held: takes 1.
  // Row prices -1 - -1, -1 - -2, 0 - -1. Total -1 - 1 + 0.
  const Solution s = solve({{-1.0, -1.0, -1.0}, {0.0, 0.0, -1.0}, {0.0, 0.0, -1.0}});
  EXPECT_EQ(s.rowAssignment, (std::vector<int32_t>{0, 2, 1}));
  EXPECT_EQ(s.columnAssignment, (std::vector<int32_t>{0, 2, 1}));
  EXPECT_EQ(s.columnDual, (std::vector<double>{-1.0, -1.0, -2.0}));
  EXPECT_EQ(s.rowDual, (std::vector<double>{0.0, 1.0, 1.0}));
  EXPECT_EQ(s.total, -2.0);
}

// Each case has its own seed, printed on failure, so it can be rerun alone.
constexpr uint32_t kBaseSeed = 20240611;

TEST(AssignmentSolverTest, RandomMatchMatricesReachTheBruteForceOptimum) {
  uint32_t seed = kBaseSeed;
  for (int32_t n = 1; n <= 8; ++n) {
    for (const int density : {10, 30, 50, 70, 90}) {
      for (int repeat = 0; repeat < (n == 8 ? 2 : 12); ++repeat, ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", n " + std::to_string(n) + ", density " +
                     std::to_string(density) + "%");
        std::mt19937 rng(seed);
        Matrix costs(n, std::vector<double>(n));
        for (auto& row : costs) {
          for (double& cell : row) cell = rng() % 100 < static_cast<uint32_t>(density) ? -1.0 : 0.0;
        }
        expectOptimalWithFeasibleDuals(costs);
        if (HasFailure()) return;
      }
    }
  }
}

TEST(AssignmentSolverTest, RandomIntegerMatricesReachTheBruteForceOptimum) {
  uint32_t seed = kBaseSeed + 100000;
  for (int32_t n = 1; n <= 8; ++n) {
    for (const int range : {2, 5, 20}) {
      for (int repeat = 0; repeat < (n == 8 ? 3 : 25); ++repeat, ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", n " + std::to_string(n) + ", cells in [-" +
                     std::to_string(range) + ", " + std::to_string(range) + "]");
        std::mt19937 rng(seed);
        Matrix costs(n, std::vector<double>(n));
        for (auto& row : costs) {
          for (double& cell : row) cell = static_cast<int>(rng() % (2 * range + 1)) - range;
        }
        expectOptimalWithFeasibleDuals(costs);
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
