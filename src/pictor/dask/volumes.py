"""pictor's volume filters on Dask arrays (pictor.dask.gaussian_filter,
median_filter, uniform_filter): the same checks, keywords and result as the
whole call, for any chunking, by the catalogue's "volume" route: each chunk
with a halo along every filtered axis as deep as the filter reaches
(pictor.chunks.routes.Volume says how deep, and which axes stay whole)."""

import dask.array as da
import numpy as np

from pictor import volumes as _volumes
from pictor.chunks import function_operation
from pictor.dask import routes


def lazy_volume_function(function):
    name = function.__name__

    def lazy(x, /, *args, axes=None, **given):
        values = _volumes.checked_values(name, function.keywords, args, given)
        x = da.asarray(x)
        _volumes.check_volume(name, np.empty((0,) * x.ndim, x.dtype))
        _volumes.filtered_axes(name, np.broadcast_to(np.zeros((), x.dtype), x.shape), axes)  # checked now
        return routes.plan(function_operation(name), x, dict(values, axes=axes))[1]

    lazy.__name__ = lazy.__qualname__ = name
    lazy.__module__ = "pictor.dask"
    lazy.__signature__ = function.__signature__
    lazy.__doc__ = "Lazy, chunked pictor.{}: the same checks, keywords and result.\n\n{}".format(
        name, function.__doc__)
    return lazy


def lazy_volume_functions():
    return {name: lazy_volume_function(function) for name, function in _volumes.volume_functions().items()}
