"""pictor.pipeline with named axes: NumPy and dask stacks, and stacks in
files (run_file and the command line's --chunked), equal the chain called on
each plane in turn."""

import numpy as np
import pytest
import tifffile

da = pytest.importorskip("dask.array")

import pictor  # noqa: E402
from conftest import assert_same_array, loop_over_planes  # noqa: E402
from test_cli import run_pictor  # noqa: E402
from test_ome_files import ome_zarr_image, read_ome_zarr  # noqa: E402

CHAINS = {
    "statistic, blur, canny": ("auto_level", ("gaussian_blur", {"ksize": 5}), "canny_edge"),
    "shrink, threshold": (("resize", {"scale": 3}), "maximum_inter_class_variance_segmentation"),
    "colour to grey": (("median_blur", {"ksize": 5}), "canny_edge"),
}
STACKS = [  # axes, shape, dask chunks
    ("ZYX", (4, 61, 47), (1, 30, -1)),
    ("TCYX", (2, 3, 40, 33), (1, 2, -1, 20)),
    ("YXZ", (45, 38, 3), (20, -1, 1)),  # planes not last: strided views
    ("ZYXS", (2, 40, 36, 3), (1, 40, 18, 3)),
]


def chain_in_turn(steps, plane):
    for step in steps:
        name, keywords = (step, {}) if isinstance(step, str) else step
        plane = getattr(pictor, name)(plane, **keywords)
    return plane


@pytest.mark.parametrize("chain, axes, shape, chunks", [
    (chain, *stack) for chain in CHAINS for stack in STACKS if "S" not in stack[0] or chain != "shrink, threshold"])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_stack_equals_the_chain_on_each_plane(chain, axes, shape, chunks, dtype):
    steps = CHAINS[chain]
    rng = np.random.default_rng(len(shape))
    stack = np.sort(rng.integers(0, np.iinfo(dtype).max, shape, dtype=dtype), axis=axes.index("X"))
    expected = loop_over_planes(lambda plane: chain_in_turn(steps, plane), stack, axes)
    pipe = pictor.pipeline(*steps)
    assert_same_array(pipe(stack, axes=axes), expected)
    assert_same_array(pipe(stack, axes=axes, stripe_rows=7, threads=2), expected)
    lazy = pipe(da.from_array(stack, chunks=chunks), axes=axes)
    assert isinstance(lazy, da.Array)
    assert_same_array(lazy.compute(), expected)


@pytest.mark.parametrize("steps, image, axes, error, words", [
    (("gaussian_blur",), np.zeros((3, 20, 20), np.uint8), "ZY", ValueError, ["names 2 axes"]),
    (("resize",), np.zeros((2, 20, 20, 3), np.uint8), "ZYXS", ValueError, ["resize", "grey planes only"]),
    (("gaussian_blur",), np.zeros((3, 20, 20), np.float32), "ZYX", TypeError, ["dtype float32"]),
    (("gaussian_blur",), [[1, 2], [3, 4]], "YX", TypeError, ["NumPy array"]),
])
def test_stack_is_checked_before_any_work(steps, image, axes, error, words):
    with pytest.raises(error) as raised:
        pictor.pipeline(*steps)(image, axes=axes)
    assert all(word in str(raised.value) for word in words), raised.value


def test_default_axes_are_the_plain_call():
    img = np.random.default_rng(1).integers(0, 65536, (30, 20, 3), dtype=np.uint16)
    pipe = pictor.pipeline(("gaussian_blur", {"ksize": 5}))
    assert_same_array(pipe(img, axes="YXS"), pictor.gaussian_blur(img, ksize=5))


# 12-bit stacks as microscopes write them: (file name, axes, shape)
STACK_FILES = [
    ("cells.ome.tif", "ZYX", (3, 40, 36)),
    ("cells.tif", "TZCYX", (2, 2, 2, 32, 40)),  # an ImageJ hyperstack
    ("cells.zarr", "CZYX", (2, 2, 32, 40)),  # an OME-Zarr
]
# a statistic after a step: its planes read again
FILE_STEPS, FILE_CHAIN = (("gaussian_blur", {"ksize": 5}), "auto_level"), "gaussian_blur ksize=5 | auto_level"


def write_stack(path, axes, stack):
    if path.suffix == ".zarr":
        ome_zarr_image(path, stack, "0.4")
    elif axes == "ZYX":
        tifffile.imwrite(str(path), stack, ome=True, tile=(16, 16), metadata={"axes": axes, "PhysicalSizeX": 0.5})
    else:
        tifffile.imwrite(str(path), stack, imagej=True, resolution=(2.0, 2.0), metadata={"axes": axes})


def read_stack(path):
    """(samples, axes, a pixel size) of a written stack."""
    if path.suffix == ".zarr":
        data, multiscale, _, _ = read_ome_zarr(path)
        scale = next(t["scale"] for t in multiscale["datasets"][0]["coordinateTransformations"]
                     if t["type"] == "scale")
        return data, "".join(axis["name"] for axis in multiscale["axes"]).upper(), scale[-1]
    with tifffile.TiffFile(str(path)) as tiff:
        series = tiff.series[0]
        size = tiff.ome_metadata and tifffile.xml2dict(tiff.ome_metadata)["OME"]["Image"]["Pixels"]["PhysicalSizeX"]
        return series.asarray(), series.axes, size or tiff.pages[0].tags["XResolution"].value


@pytest.mark.parametrize("name, axes, shape", STACK_FILES)
@pytest.mark.parametrize("through", ["run_file", "--chunked"])
def test_stack_file_equals_the_chain_on_each_plane(tmp_path, name, axes, shape, through):
    stack = np.random.default_rng(len(shape)).integers(0, 4096, shape, dtype=np.uint16)
    source, target = tmp_path / "in" / name, tmp_path / "out" / name
    source.parent.mkdir()
    write_stack(source, axes, stack)
    if through == "run_file":
        target.parent.mkdir()
        pictor.pipeline(*FILE_STEPS).run_file(source, target)
    else:
        done = run_pictor("apply", "--chunked", FILE_CHAIN, source, "-o", target.parent)
        assert done.returncode == 0, done.stderr
    data, written_axes, size = read_stack(target)
    _, _, source_size = read_stack(source)
    assert (written_axes, size) == (axes, source_size)
    assert_same_array(data, loop_over_planes(lambda plane: chain_in_turn(FILE_STEPS, plane), stack, axes))
