"""pictor.pipeline against the functions called one after another, bit for
bit: in memory, on dask arrays, through files and from the command line."""

import pickle

import cv2
import numpy as np
import pytest

da = pytest.importorskip("dask.array")
tifffile = pytest.importorskip("tifffile")
zarr = pytest.importorskip("zarr")

import pictor  # noqa: E402
import pictor.chunks.blocks  # noqa: E402,F401
from test_cli import run_pictor, write  # noqa: E402

CHAINS = {
    "statistic, full-depth blur, canny": ("auto_level", ("gaussian_blur", {"ksize": 5}), "canny_edge"),
    "pointwise, pyramid, median": (("brightness_contrast", {"brightness": 20, "contrast": 1.5}),
                                   "laplacian_pyramid", ("median_blur", {"ksize": 5})),
    "threshold, mean, working depth": ("maximum_inter_class_variance_segmentation",
                                       ("mean_blur", {"ksize": 3, "depth": "working"}), "gamma_stretched"),
    "blur, level counts, unsharp": (("gaussian_blur", {"ksize": 9}), "auto_level", ("unsharpen_mask", {"ksize": 7})),
}


def one_after_another(steps, image):
    for step in steps:
        name, keywords = (step, {}) if isinstance(step, str) else step
        image = getattr(pictor, name)(image, **keywords)
    return image


def image(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    smooth = rng.integers(0, np.iinfo(dtype).max, shape, dtype=dtype)
    return np.sort(smooth, axis=1)  # gradients as well as noise, so edges and thresholds have work to do


@pytest.mark.parametrize("chain", list(CHAINS), ids=list(CHAINS))
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("colour", [False, True], ids=["grey", "colour"])
def test_in_memory_and_lazy_equal_the_calls_in_turn(chain, dtype, colour):
    steps = CHAINS[chain]
    img = image((157, 83, 3) if colour else (157, 83), dtype)
    expected = one_after_another(steps, img)
    pipe = pictor.pipeline(*steps)
    for stripe_rows, threads in [(1, 1), (7, 2), (None, None), (1000, None)]:
        result = pipe(img, stripe_rows=stripe_rows, threads=threads)
        assert result.dtype == expected.dtype and np.array_equal(result, expected), (stripe_rows, threads)
    lazy = pipe(da.from_array(img, chunks=(40, 30) + img.shape[2:]))
    assert isinstance(lazy, da.Array) and np.array_equal(lazy.compute(), expected)


@pytest.mark.parametrize("target, tile, compression, expected_layout", [
    ("out.tif", None, None, (64, 8)),                  # the input's tiles and zlib
    ("out.ome.tif", 32, "none", (32, 1)),
    ("out.zarr", None, None, None),
])
@pytest.mark.parametrize("stripe_samples, threads", [(None, None), (64 * 130, 1)], ids=["one stripe", "windows"])
def test_files_out_of_core(tmp_path, monkeypatch, target, tile, compression, expected_layout, stripe_samples,
                           threads):
    if stripe_samples:  # blocks of one tile row: five blocks, each step's halo across four cuts
        monkeypatch.setattr("pictor.stream.files.BLOCK_SAMPLES", stripe_samples)
        monkeypatch.setattr("pictor.stream.plan.JOINED_BLOCK_CELLS", stripe_samples)
    steps = CHAINS["statistic, full-depth blur, canny"]
    img = image((300, 130), np.uint16, seed=2)
    source = tmp_path / "scan.tif"
    tifffile.imwrite(str(source), img, tile=(64, 64), compression="zlib")
    written = pictor.pipeline(*steps).run_file(source, tmp_path / target, compression=compression, tile=tile,
                                               threads=threads)
    expected = one_after_another(steps, img)
    if expected_layout is None:
        assert np.array_equal(zarr.open_array(str(written), mode="r")[:], expected)
    else:
        with tifffile.TiffFile(str(written)) as tiff:
            page = tiff.pages[0]
            assert (page.tilelength, int(page.compression)) == expected_layout
            assert tiff.is_ome == target.endswith(".ome.tif")
            assert np.array_equal(page.asarray(), expected)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["scan.tif", target])  # nothing partial left


@pytest.mark.parametrize("shape, layout", [
    ((300, 130), dict(tile=(64, 64), compression="zlib")),     # edge tiles on both sides
    ((300, 130, 3), dict(tile=(48, 32), photometric="rgb")),   # colour, tiles taller than wide
    ((301, 131), dict(rowsperstrip=16)),                       # strips, a short last one
    ((5, 7), {}),                                              # one strip
])
def test_files_are_read_a_band_at_a_time_as_stored(tmp_path, shape, layout):
    from pictor.stream.files import tiff_bands

    stored = image(shape, np.uint16, seed=3)
    tifffile.imwrite(str(tmp_path / "in.tif"), stored, **layout)
    assert np.array_equal(np.concatenate(list(tiff_bands(tmp_path / "in.tif"))), stored)


@pytest.mark.parametrize("steps, error, words", [
    (("auto_level", "gaussian_blurr"), ValueError, ["step 2", "did you mean 'gaussian_blur'"]),
    (("auto_level", "gamma_stretched", ("canny_edge", {"low_thr": "50"})), TypeError, ["step 3", "low_thr"]),
    (("auto_level", ("median_blur", {"ksiz": 5})), TypeError, ["step 2", "ksize"]),
    (("auto_level", ("gaussian_blur", {"depth": "half"})), ValueError, ["step 2", "depth"]),
    ((), ValueError, ["at least one"]),
    ((("gaussian_blur", 5),), TypeError, ["step 1"]),
])
def test_steps_are_checked_when_built(steps, error, words):
    with pytest.raises(error) as raised:
        pictor.pipeline(*steps)
    assert all(word in str(raised.value) for word in words), str(raised.value)


def test_a_step_that_cannot_take_the_previous_result_fails_before_work():
    pipe = pictor.pipeline("auto_level", "histogram_enhancement")  # grey only, given colour
    with pytest.raises(ValueError, match="histogram_enhancement"):
        pipe(da.zeros((10, 10, 3), dtype=np.uint8))


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("target", ["out.tif", "out.zarr"])
def test_a_step_failing_midway_stops_the_run_and_leaves_nothing(tmp_path, monkeypatch, threads, target):
    monkeypatch.setattr("pictor.stream.files.BLOCK_SAMPLES", 16 * 130)
    calls = []

    def failing_on_the_fifth_block(block, method_name, keywords):
        calls.append(block.shape)
        if len(calls) == 5:
            raise RuntimeError("the fifth block fails")
        return real(block, method_name, keywords)

    real = pictor.chunks.blocks.call
    monkeypatch.setattr("pictor.chunks.blocks.call", failing_on_the_fifth_block)
    tifffile.imwrite(str(tmp_path / "scan.tif"), image((300, 130), np.uint16), tile=(32, 32))
    pipe = pictor.pipeline("auto_level", ("gaussian_blur", {"ksize": 5}), "canny_edge")
    with pytest.raises(RuntimeError, match="fifth block"):
        pipe.run_file(tmp_path / "scan.tif", tmp_path / target, threads=threads)
    assert [p.name for p in tmp_path.iterdir()] == ["scan.tif"]
    with pytest.raises(RuntimeError, match="fifth block"):
        calls.clear()
        pipe(image((300, 130), np.uint16), stripe_rows=16, threads=threads)


def test_a_pipeline_pickles_as_its_steps():
    pipe = pickle.loads(pickle.dumps(pictor.pipeline("auto_level", ("gaussian_blur", {"ksize": 3}))))
    assert [(s.name, s.keywords) for s in pipe.steps] == [("auto_level", {}), ("gaussian_blur", {"ksize": 3})]


CLI_CHAIN = "auto_level | gaussian_blur ksize=5 | canny_edge low_thr=20 high_thr=60"
CLI_STEPS = ("auto_level", ("gaussian_blur", {"ksize": 5}), ("canny_edge", {"low_thr": 20, "high_thr": 60}))


def test_command_line_chain_on_folders_and_chunked_files(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    images = {"a.tif": image((64, 50), np.uint16, 3), "b.png": image((40, 30), np.uint8, 4)}
    for name, img in images.items():
        write(folder / name, img)
    done = run_pictor("apply", CLI_CHAIN, folder, "-o", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    assert {p.name for p in (tmp_path / "out").iterdir()} == set(images)
    for name, img in images.items():
        found = cv2.imread(str(tmp_path / "out" / name), cv2.IMREAD_UNCHANGED)
        assert np.array_equal(found, one_after_another(CLI_STEPS, img))

    big = image((260, 90), np.uint16, 5)
    tifffile.imwrite(str(tmp_path / "big.tif"), big, tile=(32, 32))
    done = run_pictor("apply", CLI_CHAIN, tmp_path / "big.tif", "-o", tmp_path / "edges.tif", "--chunked",
                      "--compression", "zlib", "--workers", "2")
    assert done.returncode == 0, done.stderr
    assert np.array_equal(tifffile.imread(str(tmp_path / "edges.tif")), one_after_another(CLI_STEPS, big))


@pytest.mark.parametrize("chain, message", [
    ("auto_level | gausian_blur | canny_edge", "step 2 (gausian_blur): unknown operation"),
    ("auto_level | gaussian_blur ksize=5 | canny_edge low_thr='x'", "step 3 (canny_edge)"),
    ("auto_level | gaussian_blur ksize=5 | canny_edge lowthr=5", "did you mean 'low_thr'"),
    ("auto_level || canny_edge", "step 2 of"),
])
def test_command_line_chain_errors_come_before_any_file_is_read(tmp_path, chain, message):
    done = run_pictor("apply", chain, tmp_path / "missing.tif", "-o", tmp_path / "out", "--chunked")
    assert done.returncode == 2 and message in done.stderr and "missing.tif" not in done.stderr, done.stderr
    assert not (tmp_path / "out").exists()
