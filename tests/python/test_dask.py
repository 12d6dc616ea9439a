"""pictor.dask: every chunked result equals the whole-image call, bit for bit."""

import pickle

import numpy as np
import pytest

da = pytest.importorskip("dask.array")  # the optional 'dask' extra
dask = pytest.importorskip("dask")
cloudpickle = pytest.importorskip("cloudpickle")

from conftest import assert_same_array  # noqa: E402
from pictor import dask as pd  # noqa: E402
from pictor import chunks  # noqa: E402
from pictor.chunks import blocks  # noqa: E402
from pictor.dask import routes  # noqa: E402
from pictor import lumenops  # noqa: E402

# 2-D tiles, uneven row bands, one chunk.
CHUNKINGS = [(64, 50), (37, -1), (-1, -1)]
SHAPES = {"grey": (203, 157), "colour": (150, 131, 3)}
# Keywords beyond the defaults: large kernels, derived sizes, uneven passes, errors.
EDGE_KEYWORDS = {
    "ImageSmoother.gaussian_blur": [dict(ksize=31), dict(ksize=-4)],
    "ImageSmoother.mean_blur": [dict(ksize=20)],
    "ImageSmoother.median_blur": [dict(ksize=7)],
    "ImageSmoother.bilateral_filter": [dict(ksize=0, sigma_space=10)],
    "ImageSmoother.nlm_blur": [dict(template_win=5, search_win=15)],
    "ImageEnhancer.glow": [dict(radius=12)],
    "ImageEnhancer.multi_scale_adaptive_hard_light_enhancement": [dict(multi_scale=3)],
    "ImageEnhancer.auto_level": [dict(low_percent=0.2, high_percent=0.3), dict(high_percent=0)],
    "ImageEnhancer.adaptive_histogram_truncation_stretched": [dict(scale_l=1, scale_r=0.8), dict(scale_r=True)],
    "ImageEnhancer.gamma_stretched": [dict(gamma_value=0.7)],
    "ImageEnhancer.unsharpen_mask": [dict(ksize=12, alpha=2)],
    "ImageSegmenter.adaptive_threshold_segmentation": [dict(ksize=8, ratio=0.05)],
    "GeometricTransformation.flip": [dict(mode=0), dict(mode=-1)],
    "GeometricTransformation.crop": [dict(start_x=5, start_y=-90, width=70, height=60)],
    "GeometricTransformation.rotate": [dict(angle=33, scale=0.7)],
    "ImageEnhancer.multi_scale_fuse_enhancement": [dict(mode_truncation=1, max_ksize=30),
                                                   dict(mode_fuse=1, mode_truncation=2),
                                                   dict(gamma_value=-0.5, mode_truncation=1)],  # inf, NaN
    "ImageSegmenter.local_histogram_threshold_segmentation": [dict(low_thr=0), dict(low_thr=-3), dict(low_thr=2.5),
                                                              dict(low_thr=251)],
    # Swapped and fractional; left to cv2.Canny by the whole call (a NumPy float, 2^31).
    "FeatureDetection.canny_edge": [dict(low_thr=120.7, high_thr=-3), dict(low_thr=np.float64(30.5), high_thr=10),
                                    dict(low_thr=2.0 ** 31, high_thr=5)],
}
CASES = [(name, {}) for name in pd.METHODS if name != "DeepLearning.super_resolution"] + [
    (name, keywords) for name, cases in EDGE_KEYWORDS.items() for keywords in cases]


def whole_call(name, src, **keywords):
    class_name, _, method = name.partition(".")
    return getattr(getattr(lumenops, class_name)(), method)(src=src, **keywords)


def image(dtype, shape, seed=0):
    """Noise over a ramp: flat areas, edges and every level range."""
    rng = np.random.default_rng(seed)
    top = np.iinfo(dtype).max
    ramp = np.linspace(0, top // 2, shape[1])[None, :]
    ramp = ramp[..., None] if len(shape) == 3 else ramp
    return (rng.integers(0, top // 2, shape) + ramp).astype(dtype)


def assert_chunked_equals_whole(name, src, chunks, **keywords):
    chunks = tuple(chunks) + (-1,) * (src.ndim - len(chunks))
    x = da.from_array(src, chunks=chunks)
    try:
        expected = whole_call(name, src, **keywords)
    except Exception as error:  # the same exception type, at the latest on compute
        with pytest.raises(type(error)):
            pd.apply(x, name, **keywords).compute(scheduler="synchronous")
        return
    lazy = pd.apply(x, name, **keywords)
    assert isinstance(lazy, da.Array) and lazy.dtype == expected.dtype
    if not np.isnan(lazy.shape).any():
        assert lazy.shape == expected.shape
    assert_same_array(lazy.compute(scheduler="synchronous"), expected)


@pytest.mark.parametrize("name, keywords", CASES, ids=lambda v: v if isinstance(v, str) else repr(v))
def test_chunked_equals_whole(name, keywords):
    for dtype in (np.uint8, np.uint16):
        for kind, shape in SHAPES.items():
            if kind == "colour" and name.endswith(("resize", "make_data")):
                continue  # grey only; the whole call's refusal is covered by one block
            src = image(dtype, shape)
            for chunks in CHUNKINGS:
                assert_chunked_equals_whole(name, src, chunks, **keywords)


@pytest.mark.parametrize("name", [n for n, (route, _) in pd.METHODS.items() if route != "one block"])
def test_covered_methods_really_run_chunked(name):
    x = da.from_array(image(np.uint16, SHAPES["grey"]), chunks=(64, 50))
    assert pd.route_of(name, x) == pd.METHODS[name][0]


def test_wide_blur_crosses_many_stripes(monkeypatch):
    # shadows_highlight's sigma-50 blur reaches 200 rows: three tiles of whole
    # chunks, each with that halo; the result keeps the input's chunks.
    monkeypatch.setattr(routes, "TILE_HALOS", 1)
    src = image(np.uint16, (1000, 60))
    x = da.from_array(src, chunks=(100, 30))
    assert routes._tiles(x, 202).numblocks == (3, 1)
    result = pd.apply(x, "ImageEnhancer.shadows_highlight")
    assert result.chunks == x.chunks
    assert_same_array(result.compute(), whole_call("ImageEnhancer.shadows_highlight", src))


# Odd 2-D chunkings of large images, scaled down: (1000, 3000) and (777, 16000)
# on 16000 x 16000, tiles narrower than a halo, a last chunk of one row.
ODD_CHUNKINGS = [(13, 29), (10, -1), (5, 7), (202, 156)]
ODD_CASES = [("gaussian_blur", dict(ksize=5)), ("gaussian_blur", dict(ksize=31)), ("median_blur", dict(ksize=7)),
             ("auto_level", {}), ("ImageSegmenter.maximum_entropy_threshold_segmentation", {}),
             ("canny_edge", {}), ("laplacian_pyramid", {}), ("multiply_fusion", {}), ("glow", dict(radius=12)),
             ("threshold", dict(method="li"))]


@pytest.mark.parametrize("name, keywords", ODD_CASES, ids=lambda v: v if isinstance(v, str) else repr(v))
def test_odd_chunkings_equal_whole_in_the_inputs_chunks(name, keywords):
    import pictor

    for src in (image(np.uint16, SHAPES["grey"], seed=5), image(np.uint8, SHAPES["colour"], seed=6)):
        if "." in name:
            expected = whole_call(name, src, **keywords)
        else:
            expected = getattr(pictor, name)(src, **keywords)
        for chunking in ODD_CHUNKINGS:
            x = da.from_array(src, chunks=chunking + (-1,) * (src.ndim - 2))
            result = pd.apply(x, name, **keywords)
            assert result.chunks[:2] == x.chunks[:2]
            assert_same_array(result.compute(), expected)


@pytest.mark.parametrize("kind", ["grey", "colour"])
def test_pyramid_on_aligned_stripes(kind, monkeypatch):
    src = image(np.uint16, (701, 203) + SHAPES[kind][2:])
    x = da.from_array(src, chunks=(100, 64) + SHAPES[kind][2:])
    expected = whole_call("ImageEnhancer.laplacian_pyramid", src, min_ksize=8)
    lazy = pd.apply(x, "ImageEnhancer.laplacian_pyramid", min_ksize=8)
    assert lazy.numblocks[0] > 2
    assert_same_array(lazy.compute(), expected)
    pyramid = chunks.ROUTES["ImageEnhancer.laplacian_pyramid"]
    for align, reach in [(8, pyramid.reach), (pyramid.align, 20)]:  # misaligned, or too short a halo
        monkeypatch.setattr(pyramid, "align", align)
        monkeypatch.setattr(pyramid, "reach", reach)
        assert np.any(pd.apply(x, "ImageEnhancer.laplacian_pyramid", min_ksize=8).compute() != expected)


@pytest.mark.parametrize("kind, mode", [("grey", 0), ("colour", 0), ("grey", 1)])
def test_fuse_on_aligned_stripes(kind, mode, monkeypatch):
    src = np.random.default_rng(3).integers(0, 3000, (2700, 120) + SHAPES[kind][2:]).astype(np.uint16)
    x = da.from_array(src, chunks=(100, 64) + SHAPES[kind][2:])
    name = "ImageEnhancer.multi_scale_fuse_enhancement"
    expected = whole_call(name, src, mode_truncation=mode)
    lazy = pd.apply(x, name, mode_truncation=mode)
    assert lazy.numblocks[0] > 2
    assert_same_array(lazy.compute(), expected)
    # Each stripe truncated at its own mean (its own maximum clips nothing
    # either way), or too short a halo.
    if mode == 0:
        monkeypatch.setattr(blocks, "fuse_block", lambda block, bounds, method_name, keywords: blocks.call(
            block, method_name, keywords))
        assert np.any(pd.apply(x, name, mode_truncation=mode).compute() != expected)
        monkeypatch.undo()
    monkeypatch.setattr(chunks.ROUTES[name], "reach", 60)
    assert np.any(pd.apply(x, name, mode_truncation=mode).compute() != expected)


def test_local_histogram_counts_channel_zero_only(monkeypatch):
    # Channel 0 dark, the others bright: counting every channel finds another level.
    rng = np.random.default_rng(2)
    src = np.stack([rng.integers(0, 90, (300, 200)), rng.integers(120, 255, (300, 200)),
                    rng.integers(150, 255, (300, 200))], axis=-1).astype(np.uint8)
    name = "ImageSegmenter.local_histogram_threshold_segmentation"
    assert_chunked_equals_whole(name, src, (64, 50))
    monkeypatch.setattr(blocks, "channel0_working_level_counts_block", blocks.working_level_counts_block)
    wrong = pd.apply(da.from_array(src, chunks=(64, 50, 3)), name).compute()
    assert np.any(wrong != whole_call(name, src))


class AlteringTool:
    """Stands in for the segmenter's UtilityTool with other answers."""

    def normalize_and_calculate_variance(self, counts):
        nozero_len, mean, low, position, variance = lumenops.UtilityTool().normalize_and_calculate_variance(counts)
        return nozero_len, mean * 3, low, position + 1, variance

    def calculate_entropy(self, probabilities):
        return -lumenops.UtilityTool().calculate_entropy(probabilities) * 1.5


@pytest.mark.parametrize("name", ["ImageSegmenter.local_histogram_threshold_segmentation",
                                  "ImageSegmenter.maximum_entropy_threshold_segmentation"])
def test_threshold_search_asks_the_segmenters_tool(name, monkeypatch):
    rng = np.random.default_rng(4)
    src = np.concatenate([rng.normal(60, 12, 30000), rng.normal(170, 20, 30000)]).clip(0, 255)
    src = src.astype(np.uint8).reshape(300, 200)
    plain = whole_call(name, src)
    monkeypatch.setattr(lumenops.ImageSegmenter(), "tool", AlteringTool())
    assert np.any(whole_call(name, src) != plain)
    assert_chunked_equals_whole(name, src, (64, 50))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])  # float64 where a keyword widens the levels
@pytest.mark.parametrize("chunks", [5000, 77777, -1])
def test_coarse_level_mean_in_numpy_order(chunks, dtype):
    # A tree of chunk sums gives other bits than np.mean for 5000- and 77777-sample chunks.
    level = (np.random.default_rng(0).random((300, 151, 3), dtype=dtype) - 0.3) * 0.7
    assert routes._level_bound(da.from_array(level.ravel(), chunks=chunks), True).compute() == np.mean(level)


@pytest.mark.parametrize("name", ["ImageEnhancer.histogram_enhancement",
                                  "ImageSegmenter.maximum_inter_class_variance_segmentation",
                                  "ImageSegmenter.maximum_entropy_threshold_segmentation",
                                  "ImageSegmenter.local_histogram_threshold_segmentation"])
@pytest.mark.parametrize("kind", ["flat", "two levels", "above 2**24 samples"])
def test_working_level_tables_on_edge_histograms(name, kind):
    rng = np.random.default_rng(5)
    src = {
        "flat": np.full((300, 200), 300, np.uint16),
        "two levels": np.where(rng.random((300, 200)) < 0.3, 10, 200).astype(np.uint8),
        # cumulative counts past 2**24 lose bits in OpenCV's float32 scaling
        "above 2**24 samples": (rng.random((4200, 4000)) ** 3 * 255).astype(np.uint8),
    }[kind]
    assert_chunked_equals_whole(name, src, (997, -1))


@pytest.mark.parametrize("chunks", CHUNKINGS)
def test_float_mean_folded_in_numpy_order(chunks):
    # brightness_transfer's factor uses np.mean of a float image: the chunked
    # graph must give NumPy's bits (a tree of the run sums, or runs not cut at
    # multiples of 8192 samples, give others for this image).
    src = image(np.uint16, (2000, 1999))
    target = 0.5 * 65535.0
    transfer = (src - np.mean(src)) + target
    norm = (transfer - np.min(transfer)) / (np.max(transfer) - np.min(transfer))
    _, mean = routes._transfer_plan(da.from_array(src, chunks=chunks), target)
    assert mean.compute() == np.mean(norm)


def test_too_small_halo_is_caught(monkeypatch):
    src = image(np.uint8, SHAPES["grey"])
    monkeypatch.setattr(chunks.ROUTES["ImageSmoother.gaussian_blur"], "halo", lambda k: k["ksize"] // 2 - 1)
    x = da.from_array(src, chunks=(40, -1))
    ours = pd.apply(x, "ImageSmoother.gaussian_blur", ksize=9).compute()
    assert np.any(ours != whole_call("ImageSmoother.gaussian_blur", src, ksize=9))


@pytest.mark.parametrize("slope", [0, 1])
def test_canny_weak_chain_across_chunks(slope):
    # A faint step edge down the whole image (straight, or turning diagonal
    # after row 30), strong only in its first rows: hysteresis follows it over
    # every chunk.
    src = np.zeros((240, 240), np.uint8)
    rows, columns = np.indices(src.shape)
    region = columns >= 20 + slope * np.maximum(rows - 30, 0)
    src[region] = 15
    src[:10][region[:10]] = 255
    whole = whole_call("FeatureDetection.canny_edge", src, low_thr=20, high_thr=200)
    strong_only = whole_call("FeatureDetection.canny_edge", src, low_thr=200, high_thr=200)
    assert whole[200:].any() and not strong_only[40:].any()  # the far end is reached through weak pixels
    for chunks in CHUNKINGS:
        assert_chunked_equals_whole("FeatureDetection.canny_edge", src, chunks, low_thr=20, high_thr=200)


def snake(dtype, channels=()):
    """A faint thick line winding down and up across the rows (each turn a U
    whose two arms meet only at its bottom or top), strong only at its last
    arm's end: hysteresis reaches its start through weak pixels over many seams."""
    import cv2

    src = np.zeros((120, 150), np.uint8)
    xs = np.repeat(np.arange(10, 140, 12), 2)
    ys = np.tile([8, 110, 110, 8], len(xs) // 4 + 1)[:len(xs)]
    cv2.polylines(src, [np.stack([xs, ys], 1).astype(np.int32)], False, 15, 3)
    end = src[ys[-1] - 4:ys[-1] + 5, xs[-1] - 3:xs[-1] + 4]
    end[end > 0] = 255
    src = src.astype(dtype) * (257 if dtype == np.uint16 else 1)
    return np.repeat(src[..., None], 3, 2) if channels else src


CANNY_IMAGES = {
    "noise": lambda dtype, channels: image(dtype, (61, 47) + channels, seed=5),
    "smooth": lambda dtype, channels: np.ascontiguousarray(np.repeat(np.repeat(
        image(dtype, (16, 12) + channels, seed=6), 4, 0), 4, 1)[:61, :47]),
    "snake": snake,
}
CANNY_THRESHOLDS = dict(low_thr=20, high_thr=200)


def canny_whole(src, full_depth):
    import pictor

    tool = lumenops.FeatureDetection()
    return pictor.canny_edge(src, **CANNY_THRESHOLDS) if full_depth else tool.canny_edge(src=src, **CANNY_THRESHOLDS)


@pytest.mark.parametrize("picture", sorted(CANNY_IMAGES))
@pytest.mark.parametrize("full_depth", [False, True], ids=["tool", "full depth"])
def test_canny_on_row_stripes_equals_whole(picture, full_depth):
    for dtype in (np.uint16,) if full_depth else (np.uint8, np.uint16):
        for channels in [(), (3,)]:
            src = CANNY_IMAGES[picture](dtype, channels)
            expected = canny_whole(src, full_depth)
            for rows in (3, 4, 9):
                x = da.from_array(src, chunks=(rows,) + src.shape[1:])
                lazy = pd.canny_edge(x, **CANNY_THRESHOLDS) if full_depth else pd.apply(
                    x, "FeatureDetection.canny_edge", **CANNY_THRESHOLDS)
                assert lazy.numblocks[0] > 5
                assert_same_array(lazy.compute(scheduler="synchronous"), expected)


@pytest.mark.parametrize("picture", ["noise", "snake"])
def test_canny_stripe_steps_at_any_stripe_height(picture):
    # The steps the stripe engine runs, on stripes down to one row (the
    # stripes' cells cut from the whole image's, which the test above covers).
    import pictor._chunked as chunked
    from pictor.chunks.seams import stripe_seeds

    src = CANNY_IMAGES[picture](np.uint8, ())
    expected = canny_whole(src, False)
    cells = chunked.canny_cells(src, CANNY_THRESHOLDS["low_thr"], CANNY_THRESHOLDS["high_thr"], False)
    if picture == "snake":  # the start is reached through the rest of the snake only
        unseeded = chunked.canny_stripe_edges(cells[:, :30], np.zeros(30, bool), np.zeros(30, bool))
        assert expected[:, :14].any() and not unseeded.any()
    for height in (1, 2, 3, 4):
        stripes = [cells[top:top + height] for top in range(0, len(cells), height)]
        summaries = [chunked.canny_stripe_summary(stripe) for stripe in stripes]
        for stripe, (top, bottom, strong, count) in zip(stripes, summaries):
            assert count <= src.shape[1] + 1 and strong.shape == (count + 1,) and not strong[0]
            assert np.array_equal(top > 0, stripe[0] > 0) and np.array_equal(bottom > 0, stripe[-1] > 0)
        seeds = stripe_seeds(summaries)
        edges = [chunked.canny_stripe_edges(stripe, *ends) for stripe, ends in zip(stripes, seeds)]
        assert_same_array(np.concatenate(edges), expected)


@pytest.mark.parametrize("name", ["ImageSmoother.gaussian_blur", "ImageEnhancer.auto_level",
                                  "ImageFusion.multiply_fusion", "GeometricTransformation.rotate"])
def test_nothing_computed_until_compute(name):
    calls = []

    def load():
        calls.append(1)
        return image(np.uint16, SHAPES["grey"])

    x = da.from_delayed(dask.delayed(load)(), shape=SHAPES["grey"], dtype=np.uint16).rechunk((64, 64))
    class_name, _, method = name.partition(".")
    result = getattr(getattr(pd, class_name)(), method)(src=x)
    assert calls == [] and isinstance(result, da.Array)
    assert_same_array(result.compute(scheduler="synchronous"), whole_call(name, load()))


def test_numpy_input_is_accepted_and_unknown_names_refused():
    src = image(np.uint8, SHAPES["grey"])
    assert_same_array(pd.apply(src, "ImageEnhancer.east").compute(), whole_call("ImageEnhancer.east", src))
    with pytest.raises(ValueError, match="no chunked method"):
        pd.apply(src, "UtilityTool.get_boundary")


# --- pictor's functions: checked, full depth ---------------------------------------------------

FULL_DEPTH_KEYWORDS = {"glow": dict(radius=12), "bilateral_filter": dict(ksize=5)}


@pytest.mark.parametrize("name", sorted(chunks.FULL_DEPTH_ROUTES), ids=lambda n: n.partition(".")[2])
def test_full_depth_chunked_equals_whole_function(name):
    import pictor

    name = name.partition(".")[2]
    function, lazy = getattr(pictor, name), getattr(pd, name)
    keywords = FULL_DEPTH_KEYWORDS.get(name, {})
    for kind, shape in SHAPES.items():
        if kind == "colour" and function.grey_only:
            continue
        src = image(np.uint16, shape, seed=3)
        expected = function(src, **keywords)
        for chunks in CHUNKINGS:
            result = lazy(da.from_array(src, chunks=tuple(chunks) + (-1,) * (src.ndim - 2)), **keywords)
            assert result.shape == expected.shape
            assert_same_array(result.compute(scheduler="synchronous"), expected)
        assert_same_array(pd.apply(src, name, **keywords).compute(), expected)


def test_functions_check_before_any_work_and_keep_the_tools_results():
    src = image(np.uint16, SHAPES["grey"])
    x = da.from_array(src, chunks=(64, 50))
    with pytest.raises(TypeError, match="did you mean 'ksize'"):
        pd.gaussian_blur(x, ksiz=5)
    with pytest.raises(ValueError, match="depth must be"):
        pd.median_blur(x, depth="deep")
    with pytest.raises(ValueError, match=r"shape \(203, 157, 2\)"):
        pd.super_resolution(da.stack([x, x, x], axis=2).rechunk((64, 50, 3))[:, :, :2])
    assert_same_array(pd.gaussian_blur(x, ksize=7, depth="working").compute(),
                      whole_call("ImageSmoother.gaussian_blur", src, ksize=7))
    assert_same_array(pd.auto_level(x).compute(), whole_call("ImageEnhancer.auto_level", src))
    assert pd.route_of("histogram_enhancement", x) == "level table"


# --- pickling ---------------------------------------------------------------------------------

def picklable_objects():
    smoother = lumenops.ImageSmoother()
    return [smoother.gaussian_blur, lumenops.ImageSmoother.gaussian_blur, smoother,
            lumenops.ImageEnhancer._ImageEnhancer__hard_light, lumenops.ImageEnhancer().auto_level]


@pytest.mark.parametrize("module", [pickle, cloudpickle])
def test_methods_and_tools_pickle_by_reference(module):
    for original in picklable_objects():
        restored = pickle.loads(module.dumps(original))
        assert restored == original
        if not hasattr(original, "__self__"):
            assert restored is original  # the receiving process's own function or singleton


def test_pickled_method_runs_in_a_worker_process():
    from concurrent.futures import ProcessPoolExecutor
    import multiprocessing

    src = image(np.uint16, SHAPES["colour"])
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        remote = pool.submit(lumenops.ImageSmoother().gaussian_blur, src=src, ksize=5).result()
        tool = pool.submit(pickle.loads, pickle.dumps(lumenops.ImageFusion())).result()
    assert_same_array(remote, lumenops.ImageSmoother().gaussian_blur(src=src, ksize=5))
    assert tool is lumenops.ImageFusion()


def test_deep_learning_refused_before_construction_without_model(fresh_python, tmp_path):
    report = fresh_python("""
        import pickle
        from pictor import _lookup, lumenops
        _lookup.INSTALLED_MODEL = "no/such/model.onnx"  # as if the package had been installed without it
        data = pickle.dumps(lumenops.DeepLearning.__new__(lumenops.DeepLearning))
        try:
            pickle.loads(data)
        except FileNotFoundError as error:
            print(type(error).__name__, "universal.onnx" in str(error))
        print(lumenops.DeepLearning._instance._initialized)
    """, cwd=str(tmp_path))
    assert report.split() == ["FileNotFoundError", "True", "False"]


def test_the_model_is_found_from_the_package_outside_the_checkout(fresh_python, tmp_path):
    report = fresh_python("""
        import numpy as np
        import pictor.dask
        x = np.random.default_rng(2).integers(0, 256, (96, 80), dtype=np.uint8)
        print(pictor.dask.make_data(x, scale=2).compute().shape)
    """, cwd=str(tmp_path))
    assert report.strip().endswith("(48, 40)")
