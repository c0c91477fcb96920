#!/usr/bin/env python3
"""The assignment solver's choice among equally good assignments against
scipy.optimize.linear_sum_assignment's, the solver the tracking benchmarks'
evaluator calls: on random matrices full of ties (few distinct values,
zeros, the continuation bonus of 1000, IoUs at 0.5), every row must get the
same column. Usage: assignment_vs_scipy.py PROBE [CASES] [SEED]. Exits 77
(skipped) without SciPy, unless the environment variable CI is set."""

import os
import subprocess
import sys

try:
    import numpy as np
    from scipy.optimize import linear_sum_assignment
except ImportError:
    print("SciPy is not installed: tools/install-deps --for tests installs it")
    sys.exit(1 if os.environ.get("CI") else 77)


def matrices(count, seed):
    rng = np.random.default_rng(seed)
    for t in range(count):
        rows, columns = int(rng.integers(1, 10)), int(rng.integers(1, 10))
        kind = t % 5
        if kind == 0:
            m = rng.integers(0, 3, (rows, columns)).astype(float)
        elif kind == 1:
            m = rng.random((rows, columns)) * (rng.random((rows, columns)) < 0.5)
        elif kind == 2:
            bonus = 1000.0 * (rng.random((rows, columns)) < 0.2)
            m = -(bonus + rng.choice([0.0, 0.5, 0.25, 0.7, 0.5000000000000001], (rows, columns)))
        elif kind == 3:
            m = np.zeros((rows, columns))
        else:
            m = -np.round(rng.random((rows, columns)), 1)
        yield m


def main():
    probe = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 4000
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    cases = list(matrices(count, seed))
    text = "".join(
        f"{m.shape[0]} {m.shape[1]} " + " ".join(repr(float(x)) for x in m.ravel()) + "\n"
        for m in cases)
    lines = subprocess.run([probe], input=text, capture_output=True, text=True,
                           check=True).stdout.splitlines()
    failed = 0
    for m, line in zip(cases, lines):
        expected = [-1] * m.shape[0]
        for r, c in zip(*linear_sum_assignment(m)):
            expected[int(r)] = int(c)
        got = [int(x) for x in line.split()]
        if got != expected:
            failed += 1
            if failed <= 3:
                print(f"differs on\n{m!r}\nSciPy {expected}\nsolver {got}")
    if len(lines) != len(cases):
        print(f"the probe answered {len(lines)} of {len(cases)} matrices")
        return 1
    print(f"{len(cases) - failed} of {len(cases)} matrices assigned as SciPy assigns them")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
