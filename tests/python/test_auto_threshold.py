"""pictor.threshold_level / threshold against scikit-image's automatic
thresholds, pictor.label against scipy.ndimage.label, and how well the
thresholds find known objects."""

import importlib.util

import numpy as np
import pytest
from scipy import ndimage
from skimage import filters

import pictor
from conftest import assert_same_array, blob_image, loop_over_planes

METHODS = ["otsu", "li", "triangle", "yen", "isodata", "mean", "minimum"]
# 8-bit, 12-bit, low-range 16-bit (two real ranges) and full 16-bit levels.
KINDS = {"8-bit": (0, 255, np.uint8), "12-bit": (0, 4095, np.uint16), "0..235": (0, 235, np.uint16),
         "104..375": (104, 375, np.uint16), "16-bit": (0, 65535, np.uint16)}


def skimage_level(method, image):
    """skimage's level, or the type of the error it raises."""
    try:
        return getattr(filters, "threshold_" + method)(image)
    except (RuntimeError, IndexError, ValueError) as error:
        return type(error)


# scikit-image's minimum smooths 65,536 sparse bins in Python for minutes
# before it gives up; its 12-bit failures cover that path.
LEVEL_CASES = [(method, kind) for method in METHODS for kind in KINDS if (method, kind) != ("minimum", "16-bit")]


@pytest.mark.parametrize("method, kind", LEVEL_CASES)
@pytest.mark.parametrize("seed", [0, 1])
def test_level_equals_scikit_image(method, kind, seed):
    image, _ = blob_image(*KINDS[kind], seed=seed)
    if seed:  # a skewed, noisier histogram: few objects
        image, _ = blob_image(*KINDS[kind], shape=(150, 170), seed=seed, blobs=6)
    expected = skimage_level(method, image)
    if isinstance(expected, type):
        with pytest.raises(expected):
            pictor.threshold_level(image, method=method)
        return
    level = pictor.threshold_level(image, method=method)
    assert type(level) is float and level == expected


@pytest.mark.parametrize("method", METHODS)
def test_mask_is_the_samples_above_the_level(method):
    grey, _ = blob_image(0, 4095, np.uint16, shape=(64, 80))
    colour = np.stack([grey, grey // 2 + 100, grey[::-1]], axis=-1)
    for image in (grey, colour, (grey // 16).astype(np.uint8)):
        level = skimage_level(method, image)
        if isinstance(level, type):
            continue
        expected = np.where(image > level, 65535, 0).astype(np.uint16)
        assert_same_array(pictor.threshold(image, method=method), expected)


@pytest.mark.parametrize("method", METHODS[:-1])
@pytest.mark.parametrize("value", [0, 7, 65535])
def test_constant_image_gives_its_level(method, value):
    image = np.full((5, 6), value, np.uint16)
    assert pictor.threshold_level(image, method=method) == value
    assert not pictor.threshold(image, method=method).any()


def test_levels_and_masks_per_plane():
    stack = np.stack([blob_image(0, 4095, np.uint16, shape=(40, 50), seed=seed)[0] for seed in range(6)])
    stack = stack.reshape(2, 3, 40, 50).transpose(2, 0, 3, 1)  # YCXZ
    levels = pictor.threshold_level(stack, method="li", axes="YCXZ")
    expected = [[filters.threshold_li(stack[:, c, :, z]) for z in range(3)] for c in range(2)]
    assert levels.shape == (2, 3) and levels.tolist() == expected
    assert_same_array(pictor.threshold(stack, method="yen", axes="YCXZ"),
                      loop_over_planes(lambda plane: pictor.threshold(plane, method="yen"), stack, "YCXZ"))
    if importlib.util.find_spec("dask") is not None:  # the levels of a lazy stack, plane by plane
        import dask.array as da

        import pictor.dask as pictor_dask

        lazy = pictor_dask.threshold_level(da.from_array(stack, chunks=(20, 1, 50, 1)), method="li", axes="YCXZ")
        assert lazy.shape == (2, 3) and lazy.compute().tolist() == expected


def scipy_label(mask, connectivity):
    return ndimage.label(mask, ndimage.generate_binary_structure(2, connectivity))


@pytest.mark.parametrize("connectivity", [1, 2])
@pytest.mark.parametrize("density", [0.05, 0.4, 0.6, 0.95])
@pytest.mark.parametrize("dtype", [np.bool_, np.uint8, np.uint16])
def test_label_equals_scipy(connectivity, density, dtype):
    rng = np.random.default_rng(int(density * 100))
    mask = (rng.random((173, 211)) < density).astype(dtype) * np.array(65535 if dtype == np.uint16 else 1, dtype)
    labels, count = pictor.label(mask, connectivity=connectivity)
    expected, expected_count = scipy_label(mask, connectivity)
    assert_same_array(labels, expected.astype(np.int32))
    assert count == expected_count


def seam_crossing_masks(shape, rng):
    """Random masks of three densities; a comb whose teeth meet only in its
    last row and a snake, single objects whose parts are first met apart."""
    masks = [rng.random(shape) < density for density in (0.3, 0.6, 0.9)]
    comb = np.zeros(shape, bool)
    comb[:, ::3], comb[-1] = True, True
    snake = np.zeros(shape, bool)
    snake[::4] = True
    snake[1::8, -1], snake[2::8, -1], snake[3::8, -1] = True, True, True
    snake[5::8, 0], snake[6::8, 0], snake[7::8, 0] = True, True, True
    return masks + [comb, snake]


@pytest.mark.parametrize("connectivity", [1, 2])
@pytest.mark.parametrize("dtype, values", [(np.bool_, [1]), (np.uint8, [1, 128, 255]), (np.uint16, [1, 256, 32768])])
def test_label_over_threads_equals_scipy(connectivity, dtype, values):
    """Planes large enough for the kernel to label row stripes on threads and
    join them at their seams, 603 columns (not a whole number of words),
    non-zero samples of any bit."""
    import cv2

    rng = np.random.default_rng(len(values))
    threads = cv2.getNumThreads()
    try:
        for mask in seam_crossing_masks((700, 603), rng):
            mask = np.where(mask, rng.choice(values, mask.shape), 0).astype(dtype)
            expected, expected_count = scipy_label(mask, connectivity)
            for count in (4, 7):
                cv2.setNumThreads(count)
                labels, found = pictor.label(mask, connectivity=connectivity)
                assert_same_array(labels, expected.astype(np.int32))
                assert found == expected_count
    finally:
        cv2.setNumThreads(threads)


@pytest.mark.parametrize("shape", [(1, 1), (1, 9), (9, 1), (3, 3)])
def test_label_small_planes(shape):
    for mask in (np.zeros(shape, bool), np.ones(shape, bool), np.eye(*shape, dtype=bool)):
        for connectivity in (1, 2):
            labels, count = pictor.label(mask, connectivity=connectivity)
            expected, expected_count = scipy_label(mask, connectivity)
            assert (labels == expected).all() and count == expected_count


def test_label_per_plane():
    rng = np.random.default_rng(3)
    stack = rng.random((40, 4, 50)) < 0.45  # YZX
    labels, counts = pictor.label(stack, connectivity=2, axes="YZX")
    for z in range(4):
        expected, expected_count = scipy_label(stack[:, z], 2)
        assert (labels[:, z] == expected).all() and counts[z] == expected_count
    assert labels.dtype == np.int32 and counts.shape == (4,)


def jaccard(mask, truth):
    return (mask & truth).sum() / (mask | truth).sum()


SEARCHES = ["maximum_entropy_threshold_segmentation", "maximum_inter_class_variance_segmentation"]


@pytest.mark.parametrize("kind", KINDS)
def test_masks_find_the_objects_as_well_as_otsu(kind):
    """Every automatic threshold and both full-depth searches overlap known
    objects about as well as scikit-image's Otsu (Jaccard index). On full
    16-bit data with few samples per level, the triangle's peak and the
    minimum's smoothing follow the noise of single levels (as in scikit-image)."""
    image, truth = blob_image(*KINDS[kind], seed=5)
    reference = jaccard(image > filters.threshold_otsu(image), truth)
    assert reference > 0.95
    names = METHODS + SEARCHES
    if kind == "16-bit":
        names = [name for name in names if name not in ("triangle", "minimum")]
    for name in names:
        mask = pictor.threshold(image, method=name) if name in METHODS else getattr(pictor, name)(image)
        assert jaccard(mask > 0, truth) >= reference - 0.1, name


@pytest.mark.parametrize("method", ["otsu", "li", "yen", "mean", "minimum"])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_threshold_chunked_and_streamed_equal_whole(method, dtype):
    da = pytest.importorskip("dask.array")
    import pictor.dask as pictor_dask

    image, _ = blob_image(0, 235 if dtype == np.uint16 else 255, dtype, shape=(120, 90), seed=2)
    whole = pictor.threshold(image, method=method)
    x = da.from_array(image, chunks=(17, 40))
    assert pictor_dask.route_of("threshold", x, method=method) == "level counts"
    assert pictor_dask.route_of("threshold_level", x, method=method) == "level"
    assert_same_array(pictor_dask.threshold(x, method=method).compute(), whole)
    level = pictor_dask.threshold_level(x, method=method).compute()
    assert type(level) is float and level == pictor.threshold_level(image, method=method)
    assert_same_array(pictor.pipeline(("threshold", {"method": method}))(image, stripe_rows=11), whole)


@pytest.mark.parametrize("connectivity", [1, 2])
@pytest.mark.parametrize("rows", [1, 6, 50, 200])
def test_label_chunked_and_streamed_equal_whole(connectivity, rows):
    """Stripes of any height (one row included) joined at their seams: spirals
    and snakes cross many seams and join objects first met apart."""
    da = pytest.importorskip("dask.array")
    import pictor.dask as pictor_dask

    rng = np.random.default_rng(rows)
    mask = rng.random((200, 150)) < 0.5
    mask[::8, :] = True  # long rows joined by few columns: components crossing many seams
    mask[1::8, :] = False
    whole, count = pictor.label(mask, connectivity=connectivity)
    x = da.from_array(mask, chunks=(rows, 64))
    assert pictor_dask.route_of("label", x, connectivity=connectivity) == "labels"  # bool masks too
    labels, lazy_count = pictor_dask.label(x, connectivity=connectivity)
    assert_same_array(labels.compute(), whole)
    assert lazy_count.compute() == count
    streamed = pictor.pipeline(("label", {"connectivity": connectivity}))(mask.astype(np.uint8), stripe_rows=rows)
    assert_same_array(streamed, whole)


def test_dask_label_counts_each_plane():
    da = pytest.importorskip("dask.array")
    import pictor.dask as pictor_dask

    stack = np.random.default_rng(8).random((3, 60, 2, 70)) < 0.4  # ZYCX
    labels, counts = pictor_dask.label(da.from_array(stack, chunks=(1, 25, 1, 70)), connectivity=2, axes="ZYCX")
    expected, expected_counts = pictor.label(stack, connectivity=2, axes="ZYCX")
    assert_same_array(labels.compute(), expected)
    assert counts.compute().tolist() == expected_counts.tolist()


def test_threshold_then_label_out_of_core(tmp_path):
    import tifffile

    image, _ = blob_image(104, 375, np.uint16, shape=(300, 260), seed=4)
    source, target = tmp_path / "nuclei.tif", tmp_path / "labels.tif"
    tifffile.imwrite(source, image, tile=(64, 64))
    pictor.pipeline("threshold", ("label", {"connectivity": 2})).run_file(source, target)
    expected, _ = pictor.label(pictor.threshold(image), connectivity=2)
    assert_same_array(tifffile.imread(target), expected)


def test_stripe_summaries_keep_rows_not_stripes():
    """The summaries wait for the join of every stripe: each holds its own two
    rows, not views keeping the stripe's labels alive (a whole image's labels
    out of core)."""
    from pictor.chunks import blocks

    mask = np.random.default_rng(2).random((300, 40)) < 0.5
    count, first, last = blocks.label_stripe_summary(mask, 2)
    labels, expected_count = pictor.label(mask, connectivity=2)
    assert count == expected_count and (first == labels[0]).all() and (last == labels[-1]).all()
    assert first.base is None and last.base is None
