"""Formats as people hold them: ImageJ hyperstacks, OME-Zarr chunks and
metadata that follows the operation, damaged inputs, missing codecs, and the
command line's words in any order. Real files, the real command."""

import subprocess
import sys
import time

import numpy as np
import pytest
import tifffile

import pictor
from conftest import pictor_environment, with_sitecustomize
from test_cli import run_pictor
from test_ome_files import CZYX_SCALE, ORIGIN, ome_zarr_image, read_ome_zarr

pytest.importorskip("dask.array")
RNG = np.random.default_rng(30)


@pytest.mark.parametrize("chunked", [False, True])
def test_imagej_hyperstack_round_trip(tmp_path, chunked):
    stack = RNG.integers(0, 4096, (2, 3, 40, 36), dtype=np.uint16)
    source = tmp_path / "in" / "cells.tif"
    source.parent.mkdir()
    tifffile.imwrite(str(source), stack, imagej=True, resolution=(2.0, 4.0),
                     metadata={"axes": "ZCYX", "spacing": 1.5, "unit": "um", "Ranges": (0.0, 9.0) * 3})
    done = run_pictor("apply", "rotate", *(["--chunked", source] if chunked else [source.parent]),
                      "-o", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    expected = np.stack([[pictor.rotate(plane) for plane in planes] for planes in stack])
    with tifffile.TiffFile(str(tmp_path / "out" / "cells.tif")) as tiff:
        assert len(tiff.series) == 1 and tiff.series[0].axes == "ZCYX"
        np.testing.assert_array_equal(tiff.series[0].asarray(), expected)
        metadata, page = tiff.imagej_metadata, tiff.pages[0]
        assert (metadata["spacing"], metadata["unit"]) == (1.5, "um")
        ranges = [value for channel in range(3) for value in (expected[:, channel].min(), expected[:, channel].max())]
        assert list(metadata["Ranges"]) == ranges
        # a quarter turn swaps the pixel sizes of X and Y
        assert (page.tags["XResolution"].value, page.tags["YResolution"].value) == ((4, 1), (2, 1))


@pytest.mark.parametrize("chunked", [False, True])
@pytest.mark.parametrize("operation, keywords, start, factor", [
    ("auto_level", [], (0, 0), 1),
    ("crop", ["start_x=8", "start_y=4", "width=30", "height=20"], (4, 8), 1),
    # a chain: the crop's start counts in the pixels of the resized image
    ("resize scale=2 | crop start_x=8 start_y=4 width=15 height=10", [], (8, 16), 2),
])
def test_ome_zarr_keeps_chunks_and_metadata_follows(tmp_path, chunked, operation, keywords, start, factor):
    pytest.importorskip("ome_zarr")
    stack = RNG.integers(0, 4096, (3, 2, 64, 80), dtype=np.uint16)
    ome_zarr_image(tmp_path / "cells.zarr", stack, "0.4")
    done = run_pictor("apply", operation, tmp_path / "cells.zarr", "-o", tmp_path / "out", *keywords,
                      *(["--chunked"] if chunked else []))
    assert done.returncode == 0, done.stderr
    import zarr

    written = tmp_path / "out" / "cells.zarr"
    samples, multiscale, omero, _ = read_ome_zarr(written)
    level = zarr.open_array(str(written / multiscale["datasets"][0]["path"]), mode="r")
    assert level.chunks == tuple(min(c, s) for c, s in zip((1, 1, 16, 40), samples.shape))
    for channel in omero["channels"]:
        assert (channel["window"]["start"], channel["window"]["end"]) == (samples.min(), samples.max())
    transformations = {t["type"]: t for t in multiscale["datasets"][0]["coordinateTransformations"]}
    assert transformations["scale"]["scale"][2:] == [CZYX_SCALE["y"] * factor, CZYX_SCALE["x"] * factor]
    start_y, start_x = start  # the crop moves the image's origin
    assert transformations["translation"]["translation"] == ORIGIN[:2] + [ORIGIN[2] + start_y * CZYX_SCALE["y"],
                                                                          ORIGIN[3] + start_x * CZYX_SCALE["x"]]


@pytest.mark.parametrize("chunked", [True, False])
def test_a_truncated_tiff_is_named(tmp_path, chunked):
    """Out of core, a warning (its missing tiles read as zeros); whole, a failure: never silent zeros."""
    source = tmp_path / "cut.tif"
    tifffile.imwrite(str(source), RNG.integers(0, 65536, (256, 256), dtype=np.uint16), tile=(64, 64))
    data = source.read_bytes()
    source.write_bytes(data[:len(data) // 2])
    done = run_pictor("apply", *(["--chunked"] if chunked else []), "gaussian_blur", source, "-o", tmp_path / "out")
    assert str(source) in done.stderr and "truncated" in done.stderr, done.stderr
    assert ("warning" in done.stderr) if chunked else (done.returncode == 1 and not (tmp_path / "out").exists()
                                                        or not list((tmp_path / "out").iterdir()))


def test_options_anywhere_repeated_keywords_and_dry_run(tmp_path):
    source = tmp_path / "big.tif"
    image = RNG.integers(0, 65536, (96, 80), dtype=np.uint16)
    tifffile.imwrite(str(source), image, tile=(32, 32))
    chain = run_pictor("apply", "--chunked", "gaussian_blur depth=working ksize=5 | auto_level", source,
                       "-o", tmp_path / "o.tif")
    assert chain.returncode == 0, chain.stderr
    expected = pictor.auto_level(pictor.gaussian_blur(image, depth="working", ksize=5))
    np.testing.assert_array_equal(tifffile.imread(str(tmp_path / "o.tif")), expected)
    twice = run_pictor("apply", "gaussian_blur", source, "ksize=5", "ksize=7", "-o", tmp_path / "twice")
    assert twice.returncode == 2 and "ksize" in twice.stderr and "twice" in twice.stderr
    dry = run_pictor("apply", "--dry-run", "gaussian_blur", source, "-o", tmp_path / "dry")
    assert dry.returncode == 0 and str(tmp_path / "dry" / "big.tif") in dry.stderr
    assert not (tmp_path / "dry").exists()
    whole = run_pictor("apply", "gaussian_blur", source, "-o", tmp_path / "w", "--tile", "64")
    assert whole.returncode == 2 and "--chunked" in whole.stderr


def test_a_missing_codec_is_named(tmp_path):
    source = tmp_path / "big.tif"
    tifffile.imwrite(str(source), RNG.integers(0, 65536, (64, 64), dtype=np.uint16), tile=(32, 32))
    # a machine without imagecodecs: the package cannot be imported in the run
    without = with_sitecustomize(pictor_environment(), tmp_path / "site",
                                 "import sys\nsys.modules['imagecodecs'] = None\n")
    done = subprocess.run([sys.executable, "-m", "pictor", "apply", "--chunked", "--compression", "zstd",
                           "gaussian_blur", str(source), "-o", str(tmp_path / "o.tif")], env=without,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode != 0 and "imagecodecs" in done.stderr and not (tmp_path / "o.tif").exists()


@pytest.mark.parametrize("chunks", [(16, 24), (40, 80)])
def test_the_chunk_counter_reaches_its_true_total(tmp_path, monkeypatch, capsys, chunks):
    import dask.array as da

    from pictor.dask import files
    from pictor.io import progress

    monkeypatch.setattr(progress, "PROGRESS_AFTER", 0.0)
    monkeypatch.setattr("sys.stderr.isatty", lambda: True, raising=False)
    x = da.from_array(RNG.integers(0, 65536, (80, 96), dtype=np.uint16), chunks=chunks)
    files.write_zarr(pictor.dask.gaussian_blur(x, ksize=5), tmp_path / "o.zarr", show_progress=True)
    import zarr

    total = zarr.open_array(str(tmp_path / "o.zarr"), mode="r").nchunks  # one task stores each chunk
    drawn = [part.split()[0] for part in capsys.readouterr().err.split("]")[1:]]
    # a redraw of a slow run repeats a count (or shows 0 before the first chunk)
    counts = [count for position, count in enumerate(drawn)
              if not count.startswith("0/") and (position == 0 or count != drawn[position - 1])]
    assert counts == ["{}/{}".format(done, total) for done in range(1, total + 1)]


def test_a_pass_that_advances_nothing_still_shows_the_time(monkeypatch, capsys):
    from pictor.io import progress

    monkeypatch.setattr(progress, "PROGRESS_AFTER", 0.0)
    monkeypatch.setattr(progress, "TICK", 0.01)
    bar, shown = progress.Bar(10, "rows", visible=True), ""
    try:
        for _ in range(3000):  # the ticker's first redraw, however late it comes
            shown += capsys.readouterr().err
            if "0/10 rows" in shown:
                break
            time.sleep(0.01)
    finally:
        bar.close()
    assert "0/10 rows" in shown


def per_channel(function, image):
    return np.stack([function(np.ascontiguousarray(image[..., c])) for c in range(image.shape[-1])], -1)


@pytest.mark.parametrize("photometric, shape, axes, expected", [
    ("minisblack", (40, 30, 3), None, lambda f, x: per_channel(f, x)),          # fluorescence channels
    ("rgb", (40, 30, 3), None, lambda f, x: f(x[..., ::-1].copy())[..., ::-1]),  # colour, BGR in the methods
    ("minisblack", (40, 30, 3), "YXS", lambda f, x: f(x[..., ::-1].copy())[..., ::-1]),
    ("minisblack", (4, 40, 30), "ZYX", lambda f, x: np.stack([f(plane) for plane in x])),
])
def test_files_without_axes_metadata(tmp_path, photometric, shape, axes, expected):
    image = RNG.integers(0, 4096, shape, dtype=np.uint16)
    source = tmp_path / "plain.tif"
    tifffile.imwrite(str(source), image, photometric=photometric,
                     planarconfig="contig" if shape[-1] == 3 else None, metadata=None)
    done = run_pictor("apply", "auto_level", source, "-o", tmp_path / "out", *(["--axes", axes] if axes else []))
    assert done.returncode == 0, done.stderr
    np.testing.assert_array_equal(tifffile.imread(str(tmp_path / "out" / "plain.tif")),
                                  expected(pictor.auto_level, image))


@pytest.mark.parametrize("axes, status", [("ZYX", 2), (None, 1)])
def test_chunked_runs_take_their_axes_from_the_file(tmp_path, axes, status):
    """--axes is refused with --chunked, and a plain stack is refused there rather than read as rows."""
    source = tmp_path / "stack.tif"
    tifffile.imwrite(str(source), RNG.integers(0, 4096, (4, 40, 30), dtype=np.uint16), photometric="minisblack")
    done = run_pictor("apply", "--chunked", "auto_level", source, "-o", tmp_path / "out.tif",
                      *(["--axes", axes] if axes else []))
    assert done.returncode == status and "--axes" in done.stderr and "without --chunked" in done.stderr, done.stderr
    assert not (tmp_path / "out.tif").exists()


@pytest.mark.parametrize("chunked", [False, True])
def test_pyramidal_ome_tiff_keeps_its_levels_tiles_and_compression(tmp_path, chunked):
    stack = RNG.integers(0, 65536, (2, 256, 192), dtype=np.uint16)
    source = tmp_path / "in" / "pyramid.ome.tif"
    source.parent.mkdir()
    with tifffile.TiffWriter(str(source), bigtiff=True, ome=True) as writer:
        writer.write(stack, subifds=2, tile=(64, 64), compression="zlib", metadata={"axes": "ZYX"})
        for step in (2, 4):
            writer.write(stack[:, ::step, ::step], subfiletype=1, tile=(64, 64), compression="zlib")
    done = run_pictor("apply", "gaussian_blur", *(["--chunked", source] if chunked else [source.parent]),
                      "-o", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    expected = np.stack([pictor.gaussian_blur(plane) for plane in stack])
    with tifffile.TiffFile(str(tmp_path / "out" / "pyramid.ome.tif")) as tiff:
        series, page = tiff.series[0], tiff.pages[0]
        assert tiff.is_bigtiff and (page.tilelength, page.tilewidth, page.compression) == (64, 64, 8)
        assert len(series.levels) == 3
        np.testing.assert_array_equal(series.asarray(), expected)
        for level, step in zip(series.levels[1:], (2, 4)):
            np.testing.assert_array_equal(level.asarray(), expected[:, ::step, ::step])
