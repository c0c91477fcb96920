// Dense square linear assignment by the shortest augmenting path method of
// R. Jonker and A. Volgenant, "A shortest augmenting path algorithm for dense
// and sparse linear assignment problems", Computing 38 (1987), 325-340.
//
// Three cheap initialisation phases (column reduction, reduction transfer and
// two passes of augmenting row reduction) assign most rows and leave column
// prices under which every assignment made is a shortest one; a shortest
// augmenting path search from each row still free then completes an optimal
// assignment. Every tie is broken by a fixed rule, so equally cheap
// assignments always come out the same way and the frame matching built on
// this solver is reproducible.
#include "scoring/matching/assignment_solver.h"

#include <utility>
#include <vector>

namespace {

// One call's working state: the caller's outputs, used in place, and the
// five scratch arrays, allocated once here and released with the object.
class DenseAssignment {
 public:
  DenseAssignment(int32_t dimension, const double* const* costs, int32_t* rowAssignment,
                  int32_t* columnAssignment, double* columnDual)
      : n_(dimension),
        costs_(costs),
        rowAssignment_(rowAssignment),
        columnAssignment_(columnAssignment),
        columnDual_(columnDual),
        freeRows_(dimension),
        columnList_(dimension),
        matchCount_(dimension, 0),
        distance_(dimension),
        predecessor_(dimension) {}

  void reduceColumns();
  void transferReductions();
  void reduceRowsByAugmenting();
  void augmentFreeRows();

 private:
  void augmentFrom(int32_t startRow);

  // Always this operand order, so the exact equality tests below see the
  // same rounding wherever a reduced cost is recomputed.
  double reducedCost(int32_t row, int32_t column) const {
    return costs_[row][column] - columnDual_[column];
  }

  const int32_t n_;
  const double* const* const costs_;
  int32_t* const rowAssignment_;
  int32_t* const columnAssignment_;
  double* const columnDual_;

  std::vector<int32_t> freeRows_;
  int32_t freeCount_ = 0;
  std::vector<int32_t> columnList_;
  std::vector<int32_t> matchCount_;
  std::vector<double> distance_;
  std::vector<int32_t> predecessor_;
};

// Phase 1, column reduction: each column is priced at its minimum and offered
// to the row holding that minimum.
void DenseAssignment::reduceColumns() {
  // Walking the columns from last to first lets a row that holds several
  // minima keep the highest-numbered one; the rest stay free for later.
  for (int32_t column = n_ - 1; column >= 0; --column) {
    // Strictly smaller only: the lowest row wins among equal minima.
    double minimum = costs_[0][column];
    int32_t minimumRow = 0;
    for (int32_t row = 1; row < n_; ++row) {
      if (costs_[row][column] < minimum) {
        minimum = costs_[row][column];
        minimumRow = row;
      }
    }
    columnDual_[column] = minimum;
    if (++matchCount_[minimumRow] == 1) {
      rowAssignment_[minimumRow] = column;
      columnAssignment_[column] = minimumRow;
    } else {
      columnAssignment_[column] = -1;
    }
  }
}

// Phase 2, reduction transfer: a row holding exactly one column passes its
// slack to that column's price, which makes the column dearer for every other
// row, so the free rows look elsewhere first.
void DenseAssignment::transferReductions() {
  for (int32_t row = 0; row < n_; ++row) {
    if (matchCount_[row] == 0) {
      freeRows_[freeCount_++] = row;
    } else if (matchCount_[row] == 1) {
      // The ceiling stands for "no other column", so a lone column (n = 1)
      // has its price lowered by the ceiling itself.
      const int32_t ownColumn = rowAssignment_[row];
      double minimum = kCostCeiling;
      for (int32_t column = 0; column < n_; ++column) {
        if (column != ownColumn && reducedCost(row, column) < minimum) {
          minimum = reducedCost(row, column);
        }
      }
      columnDual_[ownColumn] = columnDual_[ownColumn] - minimum;
    }
    // A row holding several minima keeps its column and transfers nothing:
    // its slack towards each of them is zero.
  }
}

// Phase 3, one pass of augmenting row reduction: each free row takes its
// cheapest column, lowering that column's price to the row's second-best
// value so the displaced row, if any, meets the new price.
void DenseAssignment::reduceRowsByAugmenting() {
  // The new list is written over the one being read; it grows only when an
  // entry is consumed without replacement, so it never overtakes the reader.
  const int32_t previousCount = freeCount_;
  freeCount_ = 0;
  int32_t next = 0;
  while (next < previousCount) {
    const int32_t row = freeRows_[next++];

    // Only strictly smaller values replace the minimum, so `lowestColumn` is
    // the lowest column of the smallest value; `secondColumn` may hold the
    // same value, so that a tie is seen as one. `secondColumn` starts at
    // `lowestColumn` because it stays unset when every other reduced cost
    // reaches the ceiling.
    double lowest = reducedCost(row, 0);
    double secondLowest = kCostCeiling;
    int32_t lowestColumn = 0;
    int32_t secondColumn = lowestColumn;
    for (int32_t column = 1; column < n_; ++column) {
      const double value = reducedCost(row, column);
      if (value < secondLowest) {
        if (value >= lowest) {
          secondLowest = value;
          secondColumn = column;
        } else {
          secondLowest = lowest;
          lowest = value;
          secondColumn = lowestColumn;
          lowestColumn = column;
        }
      }
    }

    int32_t displacedRow = columnAssignment_[lowestColumn];
    const bool strictMinimum = lowest < secondLowest;
    if (strictMinimum) {
      columnDual_[lowestColumn] = columnDual_[lowestColumn] - (secondLowest - lowest);
    } else if (displacedRow >= 0) {
      // With a tie the price cannot drop, so taking the held column would
      // only trade one free row for another; the equally cheap second column
      // may be free.
      lowestColumn = secondColumn;
      displacedRow = columnAssignment_[secondColumn];
    }
    rowAssignment_[row] = lowestColumn;
    columnAssignment_[lowestColumn] = row;

    // The displaced row's own entry stays stale until it gets a column again.
    if (displacedRow >= 0) {
      if (strictMinimum) {
        // The lowered price may already suit it, so it is tried at once.
        freeRows_[--next] = displacedRow;
      } else {
        freeRows_[freeCount_++] = displacedRow;
      }
    }
  }
}

// Phase 4, augmentation: every row still free gets a column along a shortest
// augmenting path.
void DenseAssignment::augmentFreeRows() {
  for (int32_t k = 0; k < freeCount_; ++k) augmentFrom(freeRows_[k]);
}

void DenseAssignment::augmentFrom(int32_t startRow) {
  for (int32_t column = 0; column < n_; ++column) {
    distance_[column] = reducedCost(startRow, column);
    predecessor_[column] = startRow;
    columnList_[column] = column;
  }

  // columnList_ holds in [0, low) the columns already scanned, in [low, up)
  // those at the current minimum distance still to be scanned, and in
  // [up, n) the others.
  int32_t low = 0;
  int32_t up = 0;
  int32_t last = -1;
  double minimum = 0.0;
  int32_t endColumn = -1;
  while (endColumn < 0) {
    if (up == low) {
      // Collect every column at the new minimum distance: `<=` lets equal
      // distances join the set, and a strictly smaller one restarts it.
      last = low - 1;
      minimum = distance_[columnList_[up++]];
      for (int32_t k = up; k < n_; ++k) {
        const int32_t column = columnList_[k];
        const double value = distance_[column];
        if (value <= minimum) {
          if (value < minimum) {
            up = low;
            minimum = value;
          }
          std::swap(columnList_[k], columnList_[up++]);
        }
      }
      // No path can be shorter than the minimum, so the first free column
      // in list order ends the search.
      for (int32_t k = low; k < up; ++k) {
        if (columnAssignment_[columnList_[k]] < 0) {
          endColumn = columnList_[k];
          break;
        }
      }
      if (endColumn >= 0) break;
    }

    // Scan the next column at the minimum through the row that holds it.
    const int32_t scanned = columnList_[low++];
    const int32_t row = columnAssignment_[scanned];
    const double offset = reducedCost(row, scanned) - minimum;
    for (int32_t k = up; k < n_; ++k) {
      const int32_t column = columnList_[k];
      const double value = reducedCost(row, column) - offset;
      if (value < distance_[column]) {
        predecessor_[column] = row;
        if (value == minimum) {
          // A free column reached at the minimum is as short as any path
          // can be, so the search stops without storing its distance.
          if (columnAssignment_[column] < 0) {
            endColumn = column;
            break;
          }
          std::swap(columnList_[k], columnList_[up++]);
        }
        distance_[column] = value;
      }
    }
  }

  // Lower the prices of the columns scanned before the last minimum was
  // taken, so that every assignment along the path keeps a zero reduced cost.
  for (int32_t k = 0; k <= last; ++k) {
    const int32_t column = columnList_[k];
    columnDual_[column] = (distance_[column] + columnDual_[column]) - minimum;
  }

  // Flip the path back to the start row: each row on it takes the column it
  // was reached through and hands its old column to the row before it. The
  // start row may never have held a column, so its entry is only written.
  int32_t column = endColumn;
  for (;;) {
    const int32_t row = predecessor_[column];
    columnAssignment_[column] = row;
    if (row == startRow) {
      rowAssignment_[row] = column;
      break;
    }
    std::swap(column, rowAssignment_[row]);
  }
}

}  // namespace

double solveAssignment(int32_t dimension, const double* const* costs, int32_t* rowAssignment,
                       int32_t* columnAssignment, double* rowDual, double* columnDual) {
  if (dimension <= 0) return 0.0;

  DenseAssignment solver(dimension, costs, rowAssignment, columnAssignment, columnDual);
  solver.reduceColumns();
  solver.transferReductions();
  // Two passes: the second picks up the rows the first one displaced on ties.
  solver.reduceRowsByAugmenting();
  solver.reduceRowsByAugmenting();
  solver.augmentFreeRows();

  // Phase 5: each row's price is its reduced cost at its own column, and the
  // total is summed in row order.
  double total = 0.0;
  for (int32_t row = 0; row < dimension; ++row) {
    const int32_t column = rowAssignment[row];
    rowDual[row] = costs[row][column] - columnDual[column];
    total = total + costs[row][column];
  }
  return total;
}
