"""Numbers as the command takes them in its options (thresholds, threads) and
writes them in its reports (the shortest text of a single-precision value)."""

import numbers

import numpy as np

from . import _talmira


def _jobs(jobs):
    if jobs is None:
        return 0
    if isinstance(jobs, bool) or not isinstance(jobs, numbers.Integral) or not 1 <= jobs <= 4096:
        raise ValueError("jobs %r is not a whole number from 1 to 4096" % (jobs,))
    return int(jobs)


def _fraction(value, what):
    """A threshold by the command line's rule: a number from 0 to 1."""
    if isinstance(value, str):
        return _talmira.parse_fraction(value, what)
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError("%s %r is not a number" % (what, value))
    return _talmira.parse_fraction(repr(float(value)), what)


def _confidence(value):
    return _fraction(value, "confidence")


def _nmodta(value):
    # The double nearest the shortest text of the single-precision value,
    # as the command's JSON gives it: 0.833333313, not 0.8333333134651184.
    return float(_talmira.shortest_text(value))


def _shortest(values):
    """Single-precision values as the doubles nearest their shortest texts,
    the numbers the command writes (0.833333313, not 0.8333333134651184)."""
    values = np.asarray(values, dtype=np.float32)
    uniques, inverse = np.unique(values, return_inverse=True)
    doubles = np.array([float(_talmira.shortest_text(float(v))) for v in uniques],
                       dtype=np.float64)
    return doubles[inverse.reshape(-1)] if len(values) else np.zeros(0, dtype=np.float64)
