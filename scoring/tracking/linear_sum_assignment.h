// Rectangular linear sum assignment with the tie-breaking of the solver the
// tracking benchmarks' evaluator calls (scipy.optimize.linear_sum_assignment:
// the shortest augmenting path method for rectangular matrices of D. F.
// Crouse, "On implementing 2D rectangular assignment algorithms", IEEE
// Transactions on Aerospace and Electronic Systems 52(4), 2016).
//
// Where several assignments are optimal, which one the solver returns
// decides the evaluator's pairs (CLEAR's and HOTA's per-frame matches), so
// every step that can break a tie is taken as that solver takes it: rows
// are augmented in order, the columns still to reach are scanned from a
// list that starts from the last column and loses its members by moving
// the list's last into their place, a column left free wins a tie of path
// costs, a wider than tall matrix is solved transposed, and every reduced
// cost is computed with the same operations in the same order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tracking {

/// Solves assignments one after another, keeping its working arrays.
class LinearSumAssignment {
 public:
  /// Assigns min(rows, columns) rows to distinct columns at least total
  /// cost, for the rows x columns matrix `costs` (row-major, every cost
  /// finite). Returns the column of each row, -1 for a row left out (only
  /// when rows > columns). The span lives until the next call. Throws
  /// std::invalid_argument for a cost that is NaN or infinite.
  std::span<const int32_t> solve(std::span<const double> costs, int32_t rows, int32_t columns);

 private:
  int32_t augmentingPath(int32_t currentRow, double& minimum);

  // The problem as solved: never more rows than columns.
  const double* cost_ = nullptr;
  int32_t rows_ = 0;
  int32_t columns_ = 0;
  std::vector<double> transposed_;
  std::vector<double> rowDual_;
  std::vector<double> columnDual_;
  std::vector<double> shortest_;
  std::vector<int32_t> path_;
  std::vector<int32_t> columnOfRow_;
  std::vector<int32_t> rowOfColumn_;
  std::vector<char> rowSeen_;
  std::vector<char> columnSeen_;
  std::vector<int32_t> remaining_;
  std::vector<int32_t> result_;
};

}  // namespace tracking
