"""pictor's volume filters on Dask arrays (pictor.dask.gaussian_filter,
median_filter, uniform_filter): the same checks, keywords and result as the
whole call, for any chunking.

Each chunk is filtered with a halo along every filtered axis as deep as the
filter reaches (Dask's map_overlap): the separable passes of a chunk are exact
wherever their window lies inside the chunk and its halo, and each later pass
reads only the positions along its own axis, so the chunk's own samples come
out as in the whole call. At the array's ends the chunk's own mode extends it,
as the whole call does; "wrap" takes the far end's samples as the halo
instead. A float32 mean is scipy's running sum along each whole line, whose
rounding depends on where the line starts: its filtered axes are not cut.
"""

import dask.array as da
import numpy as np

from pictor import volumes as _volumes


def lazy_volume_function(function):
    name = function.__name__
    implementation = _volumes.IMPLEMENTATIONS[name]

    def lazy(x, /, *args, axes=None, **given):
        values = _volumes.checked_values(name, function.keywords, args, given)
        x = da.asarray(x)
        _volumes.check_volume(name, np.empty((0,) * x.ndim, x.dtype))
        depths = _volumes.halo(name, x, axes, values)

        def filtered(block):
            return implementation(block, axes=axes, **values)

        if name == "uniform_filter" and x.dtype == np.float32:
            whole_lines = x.rechunk({axis: -1 for axis, depth in depths.items() if depth})
            return whole_lines.map_blocks(filtered, dtype=x.dtype)
        boundary = "periodic" if values["mode"] == "wrap" else "none"
        return x.map_overlap(filtered, depth=depths, boundary={axis: boundary for axis in depths}, trim=True,
                             dtype=x.dtype)

    lazy.__name__ = lazy.__qualname__ = name
    lazy.__module__ = "pictor.dask"
    lazy.__signature__ = function.__signature__
    lazy.__doc__ = "Lazy, chunked pictor.{}: the same checks, keywords and result.\n\n{}".format(
        name, function.__doc__)
    return lazy


def lazy_volume_functions():
    return {name: lazy_volume_function(function) for name, function in _volumes.volume_functions().items()}
