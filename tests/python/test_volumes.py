"""pictor.gaussian_filter, median_filter and uniform_filter against
scipy.ndimage, whole and chunked."""
import cv2
import numpy as np
import pytest

import pictor

ndi = pytest.importorskip("scipy.ndimage")

DTYPES = [np.uint8, np.uint16, np.float32]
MODES = ["reflect", "mirror", "nearest", "wrap"]
# (function, keywords): odd and even sizes, anisotropic sigma.
FILTERS = [
    ("gaussian_filter", {"sigma": (0.8, 2.5, 1.5)}),
    ("gaussian_filter", {"sigma": 1.3, "truncate": 2.2}),
    ("median_filter", {"size": (3, 4, 5)}),
    ("median_filter", {"size": 3}),
    ("uniform_filter", {"size": (2, 5, 3)}),
]


def volume(dtype, shape=(9, 31, 45), structured=False, seed=0):
    """Random samples over the type's range, or steps and ramps with plateaus (ties, edges)."""
    rng = np.random.default_rng(seed)
    top = {np.uint8: 255, np.uint16: 65535, np.float32: 1e4}[dtype]
    if structured:
        z, y, x = np.indices(shape)
        values = ((x // 7 + y // 5 + z) % 4) * top / 3 + (x * y) % 3
        return np.clip(values, 0, top).astype(dtype)
    values = rng.random(shape) * top
    return values.astype(dtype) if dtype != np.float32 else (values - top / 2).astype(dtype)


def assert_equal_to_scipy(name, img, **keywords):
    ours = getattr(pictor, name)(img, **keywords)
    expected = getattr(ndi, name)(img, **keywords)
    assert ours.dtype == expected.dtype and ours.shape == expected.shape
    np.testing.assert_array_equal(ours.view(np.uint8), expected.view(np.uint8))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda t: t.__name__)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name, keywords", FILTERS)
@pytest.mark.parametrize("structured", [False, True], ids=["random", "structured"])
def test_equal_to_scipy(dtype, mode, name, keywords, structured):
    assert_equal_to_scipy(name, volume(dtype, structured=structured), mode=mode, **keywords)


@pytest.mark.parametrize("name, keywords", [
    ("gaussian_filter", {"sigma": 3}),          # kernel far wider than the axes
    ("median_filter", {"size": (9, 9, 9)}),     # beyond the selection network: a selection per sample
    ("median_filter", {"size": (1, 1, 2)}),     # the upper of two
    ("uniform_filter", {"size": 7}),
])
@pytest.mark.parametrize("shape", [(1, 1, 1), (2, 3, 1), (3, 4, 5), (2, 40)])
@pytest.mark.parametrize("mode", MODES)
def test_tiny_arrays(name, keywords, shape, mode):
    img = volume(np.uint16, shape[:3]).reshape(shape)
    keywords = {k: v[-len(shape):] if isinstance(v, tuple) else v for k, v in keywords.items()}
    assert_equal_to_scipy(name, img, mode=mode, **keywords)


@pytest.mark.parametrize("name, keywords", FILTERS)
def test_named_axes_filter_z_y_x_volume_by_volume(name, keywords):
    pytest.importorskip("scipy", minversion="1.11")  # scipy's own axes= to compare with
    img = np.stack([volume(np.uint16, seed=seed) for seed in range(4)]).reshape((2, 2, 9, 31, 45))
    ours = getattr(pictor, name)(img, axes="TCZYX", **keywords)
    np.testing.assert_array_equal(ours, getattr(ndi, name)(img, axes=(2, 3, 4), **keywords))
    # scipy's own axes, in any order (the passes follow it) and on a non-contiguous view
    order = (4, 2, 3)
    keywords = {k: v[::-1] if isinstance(v, tuple) else v for k, v in keywords.items()}
    view = img[:, :, :, ::2]
    np.testing.assert_array_equal(getattr(pictor, name)(view, axes=order, **keywords),
                                  getattr(ndi, name)(view, axes=order, **keywords))


def test_spacing_gives_sigma_in_its_units():
    img = volume(np.uint16)
    ours = pictor.gaussian_filter(img, 2.0, spacing=(4.0, 0.5, 1.0))
    np.testing.assert_array_equal(ours, ndi.gaussian_filter(img, (0.5, 4.0, 2.0)))
    # a sigma of zero (or below scipy's 1e-15) leaves the axis alone
    np.testing.assert_array_equal(pictor.gaussian_filter(img, (0, 0, 1)), ndi.gaussian_filter(img, (0, 0, 1)))


@pytest.mark.parametrize("name, keywords", FILTERS)
def test_result_independent_of_threads(name, keywords):
    img = volume(np.float32, shape=(12, 128, 300))
    threads = cv2.getNumThreads()
    try:
        cv2.setNumThreads(1)
        alone = getattr(pictor, name)(img, **keywords)
    finally:
        cv2.setNumThreads(threads)
    np.testing.assert_array_equal(getattr(pictor, name)(img, **keywords), alone)


def test_empty_arrays_and_unfiltered_calls():
    for shape in [(0, 5), (3, 0, 4)]:
        for name in ("median_filter", "uniform_filter"):
            assert getattr(pictor, name)(np.zeros(shape, np.uint8)).shape == shape
        assert pictor.gaussian_filter(np.zeros(shape, np.float32), 2).shape == shape
    img = volume(np.uint8)
    copy = pictor.uniform_filter(img, 1)
    assert copy is not img and np.array_equal(copy, img)


@pytest.mark.parametrize("call, error, words", [
    (lambda img: pictor.gaussian_filter(img.astype(np.int32), 1), TypeError, "dtype int32"),
    (lambda img: pictor.gaussian_filter(img.tolist(), 1), TypeError, "NumPy array"),
    (lambda img: pictor.gaussian_filter(img), TypeError, "sigma"),
    (lambda img: pictor.gaussian_filter(img, 1, sigmaa=2), TypeError, "did you mean 'sigma'"),
    (lambda img: pictor.gaussian_filter(img, -1), ValueError, "sigma must be"),
    (lambda img: pictor.gaussian_filter(img, (1, 2)), ValueError, "3 filtered axes"),
    (lambda img: pictor.gaussian_filter(img, 1, spacing=0), ValueError, "spacing must be"),
    (lambda img: pictor.gaussian_filter(img, 1e5, truncate=100), ValueError, "taps"),
    (lambda img: pictor.median_filter(img, 3, mode="constant"), ValueError, "mode must be"),
    (lambda img: pictor.median_filter(img[None], 3), ValueError, "at most 3"),
    (lambda img: pictor.median_filter(img, 2.5), TypeError, "size must be an integer"),
    (lambda img: pictor.uniform_filter(img, 3, axes="ZYQ"), ValueError, "letter"),
    (lambda img: pictor.uniform_filter(img, 3, axes=(0, 0)), ValueError, "twice"),
    (lambda img: pictor.uniform_filter(img, 3, axes=(5,)), ValueError, "indices"),
])
def test_refusals(call, error, words):
    with pytest.raises(error, match=words):
        call(volume(np.uint16, shape=(3, 4, 5)))


@pytest.mark.parametrize("name, keywords", FILTERS)
@pytest.mark.parametrize("mode", ["reflect", "wrap"])
@pytest.mark.parametrize("dtype", [np.uint16, np.float32], ids=lambda t: t.__name__)
def test_chunked_equals_whole(name, keywords, mode, dtype):
    da = pytest.importorskip("dask.array")
    import pictor.dask as pd

    img = np.stack([volume(dtype, seed=seed) for seed in range(2)])
    whole = getattr(pictor, name)(img, axes="CZYX", mode=mode, **keywords)
    for chunks in [(1, 4, 12, 17), (2, 9, 31, 13)]:
        lazy = getattr(pd, name)(da.from_array(img, chunks=chunks), axes="CZYX", mode=mode, **keywords)
        np.testing.assert_array_equal(lazy.compute(scheduler="sync"), whole)
    with pytest.raises(ValueError, match="must be"):
        getattr(pd, name)(da.from_array(img), axes="CZYX", mode="constant", **keywords)


# 2-D calls as a pipeline takes them: (function, keywords) with a halo of rows.
PLANE_FILTERS = [
    ("gaussian_filter", {"sigma": (2.0, 1.5)}),
    ("median_filter", {"size": (5, 3), "mode": "nearest"}),
    ("uniform_filter", {"size": 4, "mode": "mirror"}),
    ("gaussian_filter", {"sigma": 1.2, "mode": "wrap"}),  # no stripes: the whole call
]


@pytest.mark.parametrize("name, keywords", PLANE_FILTERS)
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda t: t.__name__)
def test_pipeline_stripes_equal_whole(name, keywords, dtype):
    img = volume(dtype, shape=(67, 45))
    whole = getattr(pictor, name)(img, **keywords)
    pipe = pictor.pipeline((name, keywords))
    for stripe_rows in (1, 5, 16):
        np.testing.assert_array_equal(pipe(img, stripe_rows=stripe_rows), whole)
    # the chain goes on with a tool's function on the filtered plane
    if dtype != np.float32:
        chained = pictor.pipeline((name, keywords), ("median_blur", {"ksize": 3}))(img, stripe_rows=7)
        np.testing.assert_array_equal(chained, pictor.median_blur(whole, ksize=3))


@pytest.mark.parametrize("name, keywords", FILTERS[::2])
def test_stack_out_of_core_streams_planes_with_a_z_halo(tmp_path, monkeypatch, name, keywords):
    zarr = pytest.importorskip("zarr")
    from pictor.stream import files

    stack = volume(np.uint16, shape=(23, 31, 45), structured=True)
    source = zarr.open_array(str(tmp_path / "stack.zarr"), mode="w", shape=stack.shape, dtype=stack.dtype,
                             chunks=(4, 31, 45))
    source[:] = stack
    monkeypatch.setattr(files, "BLOCK_SAMPLES", 31 * 45)  # one plane a block: every cut has Z neighbours
    pipe = pictor.pipeline((name, keywords))
    pipe.run_file(tmp_path / "stack.zarr", tmp_path / "out.zarr")
    np.testing.assert_array_equal(zarr.open_array(str(tmp_path / "out.zarr"))[:],
                                  getattr(pictor, name)(stack, **keywords))
    # a TIFF holds an image, not this stack: refused before any work, nothing left behind
    with pytest.raises(ValueError, match="stack of planes"):
        pipe.run_file(tmp_path / "stack.zarr", tmp_path / "out.tif")
    assert not (tmp_path / "out.tif").exists()


def test_pipeline_keeps_every_steps_alignment():
    # a filter's blocks (multiples of two halos) and the pyramid's (multiples of 32 rows) in one chain
    img = volume(np.uint8, shape=(300, 70))
    steps = [("gaussian_filter", {"sigma": (5, 1)}), ("laplacian_pyramid", {})]
    whole = pictor.laplacian_pyramid(pictor.gaussian_filter(img, sigma=(5, 1)))
    np.testing.assert_array_equal(pictor.pipeline(*steps)(img, stripe_rows=8), whole)


@pytest.mark.parametrize("kind", ["ome", "imagej", "ome-zarr"])
def test_command_line_takes_the_voxel_size_from_the_file(tmp_path, kind):
    tifffile = pytest.importorskip("tifffile")
    from test_cli import run_pictor
    from test_ome_files import ome_zarr_image, read_ome_zarr

    stack = volume(np.uint16, shape=(9, 30, 40))
    source = tmp_path / {"ome": "stack.ome.tif", "imagej": "stack.tif", "ome-zarr": "stack.zarr"}[kind]
    sizes = (2.0, 0.25, 0.5)
    if kind == "ome":
        tifffile.imwrite(source, stack, ome=True, metadata={
            "axes": "ZYX", "PhysicalSizeX": 0.5, "PhysicalSizeY": 0.25, "PhysicalSizeZ": 2.0})
    elif kind == "imagej":
        tifffile.imwrite(source, stack, imagej=True, resolution=(2.0, 4.0),
                         metadata={"axes": "ZYX", "spacing": 2.0, "unit": "um"})
    else:  # one channel of C, Z, Y, X; its scale 2, 0.5, 0.5 along Z, Y, X
        ome_zarr_image(source, stack[None], "0.5")
        sizes = (2.0, 0.5, 0.5)
    for given, spacing in [((), sizes), (("spacing=1",), 1)]:  # the user's spacing wins
        out = tmp_path / "out{}".format(len(given))
        done = run_pictor("apply", "gaussian_filter", "sigma=1.5", *given, source, "-o", out)
        assert done.returncode == 0, done.stderr
        result = read_ome_zarr(out / source.name)[0][0] if kind == "ome-zarr" else tifffile.imread(out / source.name)
        np.testing.assert_array_equal(result, pictor.gaussian_filter(stack, sigma=1.5, spacing=spacing))
    # out of core, a file of named axes would go plane by plane: refused, nothing written
    pytest.importorskip("dask.array")  # --chunked runs on Dask
    done = run_pictor("apply", "gaussian_filter", "sigma=1.5", "--chunked", source, "-o", tmp_path / "chunked")
    assert done.returncode != 0 and "cannot be represented" in done.stderr
    assert not list(tmp_path.glob("chunked/*"))
