// Reads matrices ("rows columns" then the costs, row by row) from standard
// input and writes each row's column as the solver assigns it, a matrix a
// line: for comparing the solver's choices among optima with SciPy's.
#include <cstdio>
#include <vector>

#include "scoring/tracking/linear_sum_assignment.h"

int main() {
  tracking::LinearSumAssignment solver;
  int rows = 0;
  int columns = 0;
  std::vector<double> costs;
  while (std::scanf("%d %d", &rows, &columns) == 2) {
    if (rows < 0 || columns < 0 || rows > 4096 || columns > 4096) return 2;
    costs.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns));
    for (double& cost : costs) {
      if (std::scanf("%lf", &cost) != 1) return 2;
    }
    for (const int column : solver.solve(costs, rows, columns)) std::printf("%d ", column);
    std::printf("\n");
  }
  return 0;
}
