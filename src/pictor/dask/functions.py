"""pictor's functions on dask arrays: ``pictor.dask.NAME(x, **keywords)``
checks what ``pictor.NAME`` checks, before any work, and is lazily equal to
it bit for bit for any chunking: at full depth (the default) for uint16
images, the tool method's route otherwise."""

from pictor import chunks
from pictor.axes import validated_axes
from pictor.dask import routes
from pictor.dask.planes import planewise
from pictor.functions import check_image_layout, check_keywords, image_functions


def plan_function(function, x, given, reread=None):
    """(route, lazy result) of pictor.NAME(x, **given); reread as for
    pictor.dask.apply_rereading."""
    name = function.__name__
    check_keywords(name, function.keywords, given)
    x = routes.as_dask(x)
    check_image_layout(name, x.dtype, x.shape, function.grey_only)
    operation, keywords = chunks.operation_of(function, x.dtype, given)
    return routes.plan(operation, x, keywords, reread)


def lazy_function(function):
    def lazy(x, /, *, axes=None, **given):
        if axes is None:
            return plan_function(function, x, given)[1]
        x = routes.as_dask(x)
        axes = validated_axes(function.__name__, x.shape, axes, function.grey_only)
        return planewise(x, axes, lambda plane, index: plan_function(function, plane, given)[1])

    lazy.__name__ = lazy.__qualname__ = function.__name__
    lazy.__module__ = "pictor.dask"
    lazy.__signature__ = function.__signature__
    lazy.__doc__ = "Lazy, chunked pictor.{}: the same checks, keywords and result.\n\n{}".format(
        function.__name__, function.__doc__)
    return lazy


def lazy_functions():
    """{name: lazy function} for every function of the package."""
    from pictor.dask.volumes import lazy_volume_functions

    lazy = {name: lazy_function(function) for name, function in image_functions().items()}
    lazy.update(lazy_volume_functions())
    return lazy


def function_by_name(name):
    """The package's function NAME, or None when NAME is not one."""
    return image_functions().get(name)
