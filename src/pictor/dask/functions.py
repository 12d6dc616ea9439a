"""pictor's functions on dask arrays: ``pictor.dask.NAME(x, **keywords)``
checks what ``pictor.NAME`` checks, before any work, and is lazily equal to
it bit for bit for any chunking: at full depth (the default) for uint16
images, the tool method's route otherwise."""

from pictor import chunks
from pictor.axes import validated_axes
from pictor.dask import routes
from pictor.dask.planes import planewise
from pictor.functions import check_keywords, image_functions, package_functions


def plan_function(function, x, given, reread=None):
    """(route, lazy result) of pictor.NAME(x, **given); reread as for
    pictor.dask.apply_rereading."""
    name = function.__name__
    check_keywords(name, function.keywords, given)
    x = routes.as_dask(x)
    function.check_layout(x.dtype, x.shape)
    operation, keywords = chunks.operation_of(function, x.dtype, given)
    return routes.plan(operation, x, keywords, reread)


def lazy_function(function):
    def lazy(x, /, *, axes=None, **given):
        if axes is None:
            result = plan_function(function, x, given)[1]
        else:
            x = routes.as_dask(x)
            axes = validated_axes(function.__name__, x.shape, axes, function.grey_only)
            result = planewise(x, axes, lambda plane, index: plan_function(function, plane, given)[1])
        return (result, object_count(result, axes)) if function.counted else result

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
    return package_functions().get(name)


def object_count(labels, axes=None):
    """The count of a lazy labelling's objects, lazily (a dask array: one
    number, or one per plane over the stacked axes in their order): its
    largest label, as the labels run from 1 up to the count in scan order."""
    if axes is None:
        return labels.max()
    letters = [letter for letter in axes if letter != "S"]  # labels are grey
    return labels.max(axis=(letters.index("Y"), letters.index("X")))
