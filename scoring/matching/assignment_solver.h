// Dense square linear assignment.
#pragma once

#include <cstdint>

/// Cost used as "unbounded" by the minimum searches; every cost and price must
/// stay far below it in magnitude.
inline constexpr double kCostCeiling = 100000.0;

/// Assigns every row of the n x n matrix `costs` (n row pointers) to one column
/// at least total cost. Writes the column of each row, the row of each column
/// and the dual prices, and returns the total cost. With n = 0 it writes
/// nothing and returns 0.0. `costs` is never modified.
double solveAssignment(int32_t dimension, const double* const* costs, int32_t* rowAssignment,
                       int32_t* columnAssignment, double* rowDual, double* columnDual);
