#include "scoring/tracking/linear_sum_assignment.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace tracking {

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();
}

std::span<const int32_t> LinearSumAssignment::solve(std::span<const double> costs, int32_t rows,
                                                    int32_t columns) {
  result_.assign(static_cast<std::size_t>(std::max(rows, 0)), -1);
  if (rows <= 0 || columns <= 0) return result_;
  // A cost that is not a finite number (an IoU of boxes beyond the doubles'
  // range is NaN) would leave a row without a path: SciPy refuses such a
  // matrix, and so does this solver, rather than follow a path that is not.
  for (const double cost : costs.first(static_cast<std::size_t>(rows) * columns)) {
    if (!std::isfinite(cost)) {
      throw std::invalid_argument("linear sum assignment: a cost is not a finite number");
    }
  }
  const bool transpose = columns < rows;
  if (transpose) {
    transposed_.resize(costs.size());
    for (int32_t i = 0; i < rows; ++i) {
      for (int32_t j = 0; j < columns; ++j) {
        transposed_[static_cast<std::size_t>(j) * rows + i] =
            costs[static_cast<std::size_t>(i) * columns + j];
      }
    }
    cost_ = transposed_.data();
    rows_ = columns;
    columns_ = rows;
  } else {
    cost_ = costs.data();
    rows_ = rows;
    columns_ = columns;
  }
  const auto nr = static_cast<std::size_t>(rows_);
  const auto nc = static_cast<std::size_t>(columns_);
  rowDual_.assign(nr, 0.0);
  columnDual_.assign(nc, 0.0);
  shortest_.assign(nc, kInfinity);
  path_.assign(nc, -1);
  columnOfRow_.assign(nr, -1);
  rowOfColumn_.assign(nc, -1);
  rowSeen_.assign(nr, 0);
  columnSeen_.assign(nc, 0);
  remaining_.assign(nc, 0);

  for (int32_t currentRow = 0; currentRow < rows_; ++currentRow) {
    double minimum = 0.0;
    const int32_t sink = augmentingPath(currentRow, minimum);
    // Every cost is finite, so a column is always reached.
    rowDual_[static_cast<std::size_t>(currentRow)] += minimum;
    for (std::size_t i = 0; i < nr; ++i) {
      if (rowSeen_[i] && i != static_cast<std::size_t>(currentRow)) {
        rowDual_[i] += minimum - shortest_[static_cast<std::size_t>(columnOfRow_[i])];
      }
    }
    for (std::size_t j = 0; j < nc; ++j) {
      if (columnSeen_[j]) columnDual_[j] -= minimum - shortest_[j];
    }
    int32_t j = sink;
    while (true) {
      const int32_t i = path_[static_cast<std::size_t>(j)];
      rowOfColumn_[static_cast<std::size_t>(j)] = i;
      std::swap(columnOfRow_[static_cast<std::size_t>(i)], j);
      if (i == currentRow) break;
    }
  }

  if (transpose) {
    for (std::size_t i = 0; i < nr; ++i) {
      result_[static_cast<std::size_t>(columnOfRow_[i])] = static_cast<int32_t>(i);
    }
  } else {
    std::copy(columnOfRow_.begin(), columnOfRow_.end(), result_.begin());
  }
  return result_;
}

int32_t LinearSumAssignment::augmentingPath(int32_t currentRow, double& minimum) {
  const auto nc = static_cast<std::size_t>(columns_);
  minimum = 0.0;
  std::size_t remainingCount = nc;
  // Filled from the last column down: a constant matrix gives the identity.
  for (std::size_t it = 0; it < nc; ++it) remaining_[it] = static_cast<int32_t>(nc - it - 1);
  std::fill(rowSeen_.begin(), rowSeen_.end(), 0);
  std::fill(columnSeen_.begin(), columnSeen_.end(), 0);
  std::fill(shortest_.begin(), shortest_.end(), kInfinity);

  int32_t sink = -1;
  int32_t i = currentRow;
  while (sink == -1) {
    std::size_t index = nc;
    double lowest = kInfinity;
    rowSeen_[static_cast<std::size_t>(i)] = 1;
    const double* row = cost_ + static_cast<std::size_t>(i) * nc;
    const double rowDual = rowDual_[static_cast<std::size_t>(i)];
    for (std::size_t it = 0; it < remainingCount; ++it) {
      const auto j = static_cast<std::size_t>(remaining_[it]);
      const double reduced = minimum + row[j] - rowDual - columnDual_[j];
      if (reduced < shortest_[j]) {
        path_[j] = i;
        shortest_[j] = reduced;
      }
      if (shortest_[j] < lowest || (shortest_[j] == lowest && rowOfColumn_[j] == -1)) {
        lowest = shortest_[j];
        index = it;
      }
    }
    minimum = lowest;
    if (index == nc) return -1;  // only with infinite costs, which callers never pass
    const auto j = static_cast<std::size_t>(remaining_[index]);
    if (rowOfColumn_[j] == -1) {
      sink = static_cast<int32_t>(j);
    } else {
      i = rowOfColumn_[j];
    }
    columnSeen_[j] = 1;
    remaining_[index] = remaining_[--remainingCount];
  }
  return sink;
}

}  // namespace tracking
