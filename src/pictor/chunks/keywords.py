"""Keyword values as the routes read them: a value of an unusual type (a
bool, a NumPy scalar of another kind, NaN where a size is derived) makes the
call run as one block, so that it fails, or not, exactly as the whole call."""

import math
import numbers

import numpy as np


class OneBlock(Exception):
    """Raised while planning: the catalogue says this call runs as one block."""


def integer(value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise OneBlock
    return int(value)


def real(value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise OneBlock
    return value


def odd(value):
    value = integer(value)
    return value if value % 2 != 0 else value + 1


def plain_real(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise OneBlock  # other scalar types change the arithmetic's types; NaN and inf its clipping
    return float(value)


def counted_low_threshold(value):
    # An integer low_thr counts one bin per level; other values (and bounds
    # beyond these) make cv2.calcHist's own bins, which only the whole call makes.
    if type(value) is not int or not -65536 <= value < 251:
        raise OneBlock
    return value


def abs_odd_half(value):
    """Half a kernel size, made odd as OpenCV makes it: the rows it reaches on each side."""
    return abs(odd(value)) // 2
