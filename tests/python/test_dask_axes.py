"""pictor.dask with named axes: each plane of a chunked stack equals the tool
method on that plane, whichever axes the chunks cut."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")  # the optional 'dask' extra

from conftest import assert_same_array, loop_over_planes  # noqa: E402
from pictor import dask as pd  # noqa: E402
from pictor import _lookup  # noqa: E402
import pictor  # noqa: E402

# One method of each route.
ROUTE_SAMPLES = sorted({route: name for name, (route, _) in pd.METHODS.items()
                        if not name.startswith("DeepLearning.super")}.values())
STACKS = [  # axes, shape, chunks: along Z, along C, along Y and Z at once, colour planes
    ("ZYX", (4, 70, 52), (1, -1, -1)),
    ("CZYX", (5, 2, 40, 36), (2, 2, -1, -1)),
    ("ZYX", (3, 90, 44), (2, 23, -1)),
    ("YXZ", (50, 40, 3), (17, -1, 1)),
    ("ZYXS", (2, 48, 40, 3), (1, 20, 40, 3)),
]


@pytest.mark.parametrize("method_name, axes, shape, chunks", [
    (name, axes, shape, chunks) for name in ROUTE_SAMPLES for axes, shape, chunks in STACKS
    if "S" not in axes or not getattr(pictor, name.partition(".")[2]).grey_only])
def test_chunked_stack_equals_the_method_on_each_plane(method_name, axes, shape, chunks):
    stack = np.random.default_rng(len(shape)).integers(0, 65536, shape, dtype=np.uint16)
    lazy = pd.apply(da.from_array(stack, chunks=chunks), method_name, axes=axes)
    method = _lookup.method(method_name)
    assert_same_array(lazy.compute(), loop_over_planes(lambda plane: method(src=plane), stack, axes))


def test_tool_classes_take_axes_and_numpy_stacks():
    # a NumPy stack is chunked by the routes themselves
    stack = np.random.default_rng(3).integers(0, 256, (3, 30, 20), dtype=np.uint8)
    lazy = pd.ImageSmoother().gaussian_blur(src=stack, axes="CYX", ksize=5)
    assert_same_array(lazy.compute(), np.stack([_lookup.method("ImageSmoother.gaussian_blur")(src=p, ksize=5)
                                                for p in stack]))


def test_grey_only_methods_refuse_colour_stacks():
    with pytest.raises(ValueError, match="grey planes only"):
        pd.apply(da.zeros((2, 10, 10, 3), dtype=np.uint16), "GeometricTransformation.resize", axes="ZYXS")
