"""Named axes on dask arrays: every Y x X (x S) plane of a stack as its own
lazy computation, restacked with the input's axes.

Chunks along T, Z and C only select planes; the Y and X chunks of each plane
take the method's own exact route, so the result equals the method on each
plane of the computed stack.
"""

import math
from itertools import product

from pictor.axes import plane_order, result_axes


def take_plane(x, axes, index):
    """The plane at INDEX (over the stacked axes, in their order) of X, in the methods' layout."""
    return x.transpose(plane_order(axes)[2])[index]


def _as_array(result):
    """A plane's lazy result as a dask array: a number (threshold_level's delayed level) as a 0-d one."""
    import dask.array as da
    import numpy as np
    from dask import delayed
    from dask.delayed import Delayed

    if not isinstance(result, Delayed):
        return result
    return da.from_delayed(delayed(np.asarray)(result, np.float64), (), np.float64)


def planewise(x, axes, per_plane):
    """per_plane(plane, index) -> the lazy result of one plane (a dask array);
    the planes of X (a dask array with these AXES letters) restacked with its axes."""
    import dask.array as da

    stack_letters, _, order = plane_order(axes)
    planes = x.transpose(order)
    counts = planes.shape[:len(stack_letters)]
    results = {index: _as_array(per_plane(planes[index], index)) for index in product(*(range(n) for n in counts))}
    first = next(iter(results.values()))
    known = not any(math.isnan(size) for size in first.shape)  # a one-block route's size is known when computed
    for index, result in results.items():
        if result.dtype != first.dtype or (known and result.shape != first.shape):
            raise ValueError("plane {} gives a result of shape {} {}, the first plane {} {}".format(
                index, result.shape, result.dtype, first.shape, first.dtype))

    def stacked(prefix):
        if len(prefix) == len(counts):
            return results[prefix]
        parts = [stacked(prefix + (number,)) for number in range(counts[len(prefix)])]
        if known:
            return da.stack(parts)
        return da.concatenate([part[None] for part in parts], axis=0, allow_unknown_chunksizes=True)

    letters = result_axes(axes, first)
    planes_letters = stack_letters + [letter for letter in "YXS" if letter in letters]
    return stacked(()).transpose([planes_letters.index(letter) for letter in letters])
