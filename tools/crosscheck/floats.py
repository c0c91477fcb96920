"""Single-precision arithmetic as the scorer does it: rounding doubles,
rationals and decimal texts to the nearest single, and the shortest decimal
text that reads back as a single.
"""

import math
import re
import struct
from decimal import Decimal
from fractions import Fraction


U32 = 1 << 32

FLOAT_RE = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def f32(x):
    """Round a Python float (double) to the nearest single-precision value."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def _f32_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def _f32_from_bits(b):
    return struct.unpack("<f", struct.pack("<I", b & 0xFFFFFFFF))[0]


def f32_from_fraction(q):
    """Correctly rounded (ties to even) single-precision value of a rational."""
    d = float(q)
    f = f32(d)
    if Fraction(f) == q:
        return f
    bits = _f32_bits(f)
    cands = {f}
    for delta in (-1, 1):
        nb = bits + delta
        if 0 <= nb < U32:
            c = _f32_from_bits(nb)
            if math.isfinite(c):
                cands.add(c)
    if f == 0.0:
        cands.add(_f32_from_bits(1))
        cands.add(-_f32_from_bits(1))

    def key(c):
        return (abs(Fraction(c) - q), _f32_bits(c) & 1)

    return min(cands, key=key)


def f32_of_decimal(text):
    """Correctly rounded single-precision value of a decimal text."""
    d = float(text)
    if math.isfinite(d) and abs(d) < 3e38:
        # float() rounds correctly; when both double neighbours of d round
        # to the same single as d, so does the exact value between them
        f = f32(d)
        if f32(math.nextafter(d, math.inf)) == f == f32(math.nextafter(d, -math.inf)):
            return f
    return f32_from_fraction(Fraction(Decimal(text)))


def f32_text_value(text):
    """The single-precision value a decimal text reads back as, or None."""
    if not FLOAT_RE.fullmatch(text):
        return None
    return f32_of_decimal(text)


def significant_digits(text):
    m = re.fullmatch(r"[+-]?(\d*)(?:\.(\d*))?(?:[eE][+-]?\d+)?", text)
    return max(len((m.group(1) + (m.group(2) or "")).strip("0")), 1)


def f32_shortest(x):
    """Fewest significant digits that read back as the single-precision x."""
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if math.isnan(x):
        return "nan"
    for digits in range(1, 10):
        text = "%.*g" % (digits, x)
        if f32_text_value(text) == x:
            return text
    raise AssertionError("no shortest form for %r" % x)


def shortest_text_ok(text, x):
    """Is text a shortest decimal of the single-precision x?"""
    if math.isinf(x) or math.isnan(x):
        return text == f32_shortest(x)
    value = f32_text_value(text)
    return (value is not None and value == x
            and significant_digits(text) == significant_digits(f32_shortest(x)))
