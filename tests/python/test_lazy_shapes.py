"""The one-block routes of pictor.dask declare their result's shape, so that
the lazy result can be stored (da.to_zarr needs known chunks)."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
pytest.importorskip("zarr")

from pictor import dask as pd  # noqa: E402
from pictor import lumenops  # noqa: E402

ROTATE, RESIZE = "GeometricTransformation.rotate", "GeometricTransformation.resize"
MAKE_DATA, SUPER = "DeepLearning.make_data", "DeepLearning.super_resolution"


@pytest.mark.parametrize("method, shape, keywords, expected", [
    (ROTATE, (100, 60), {}, (60, 100)),                      # a quarter turn swaps the sides
    (ROTATE, (100, 100), {"angle": 45}, (141, 141)),
    (ROTATE, (40, 30, 3), {"angle": 0, "scale": 2.0}, (80, 60, 3)),
    (ROTATE, (51, 33), {"scale": 0.5}, (16, 25)),
    (RESIZE, (100, 100), {}, (33, 33)),
    (RESIZE, (101, 99), {"scale": 2}, (50, 49)),
    (MAKE_DATA, (100, 60), {}, (100, 60)),
    (MAKE_DATA, (1000, 600), {"scale": 4}, (250, 150)),
    (SUPER, (70, 50), {}, (70, 50)),
])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_one_block_routes_declare_their_shape(tmp_path, method, shape, keywords, expected, dtype):
    image = np.random.default_rng(1).integers(0, np.iinfo(dtype).max, shape, dtype=dtype)
    lazy = pd.apply(da.from_array(image, chunks=(17,) + shape[1:]), method, **keywords)
    assert pd.route_of(method, image, **keywords) == "one block"
    assert lazy.shape == expected
    class_name, _, name = method.partition(".")
    whole = getattr(getattr(lumenops, class_name)(), name)(src=image, **keywords)
    da.to_zarr(lazy, str(tmp_path / "out.zarr"))
    stored = da.from_zarr(str(tmp_path / "out.zarr")).compute()
    assert stored.dtype == whole.dtype and np.array_equal(stored, whole)


def test_a_declared_shape_that_the_call_contradicts_is_refused():
    from pictor.chunks.blocks import call_of_shape as _call_of_shape

    image = np.zeros((10, 8), np.uint8)
    with pytest.raises(RuntimeError, match="declared"):
        _call_of_shape(image, RESIZE, {"scale": 2}, (4, 4))
