"""The pictor command line, run as a user runs it: in a subprocess, on files."""

import subprocess
import sys

import cv2
import numpy as np
import pytest

import pictor
from conftest import pictor_environment

TOOL_METHOD = "ImageSmoother.gaussian_blur"


def run_pictor(*arguments, cwd=None):
    return subprocess.run([sys.executable, "-m", "pictor", *map(str, arguments)], cwd=cwd,
                          env=pictor_environment(), capture_output=True, text=True, timeout=300)


def write(path, image):
    assert cv2.imwrite(str(path), image)
    return path


def sample_images(folder):
    rng = np.random.default_rng(7)
    grey8 = rng.integers(0, 256, (40, 50), dtype=np.uint8)
    colour16 = rng.integers(0, 65536, (30, 20, 3), dtype=np.uint16)
    return {
        "grey8.png": write(folder / "grey8.png", grey8),
        "grey8.tif": write(folder / "grey8.tif", grey8),
        "grey16.tif": write(folder / "grey16.tif", (grey8.astype(np.uint16) * 257 + 3)),
        "colour16.png": write(folder / "colour16.png", colour16),
        "colour8.tif": write(folder / "colour8.tif", (colour16 // 257).astype(np.uint8)),
    }


def test_list_shows_each_operation_apply_takes_on_one_line():
    listing = run_pictor("list")
    assert listing.returncode == 0, listing.stderr
    lines = listing.stdout.splitlines()
    assert len(lines) == len(pictor.__all__)
    assert any(line.startswith("gaussian_blur(ksize=3, depth='full'): Gaussian blur") for line in lines)
    assert any(line.startswith("maximum_gray_level() [8-bit result]: ") for line in lines)
    assert "get_boundary" not in listing.stdout and "crop_return" not in listing.stdout
    blurs = run_pictor("list", "BLUR").stdout.splitlines()
    assert {line.split("(")[0] for line in blurs} >= {"gaussian_blur", "mean_blur", "median_blur", "glow"}
    assert len(blurs) < len(lines)


@pytest.mark.parametrize("keywords", [[], ["ksize=7"], ["ksize=0", "--depth", "working"]])
def test_apply_writes_each_result_with_its_depth(tmp_path, keywords):
    inputs = sample_images(tmp_path)
    outdir = tmp_path / "out"
    result = run_pictor("apply", TOOL_METHOD, *inputs.values(), "-o", outdir, *keywords, "--workers", "2")
    assert result.returncode == 0, result.stderr
    ksize = int(keywords[0].split("=")[1]) if keywords else 3
    depth = "working" if "working" in keywords else "full"
    for name, source in inputs.items():
        written = cv2.imread(str(outdir / name), cv2.IMREAD_UNCHANGED)
        expected = pictor.gaussian_blur(cv2.imread(str(source), cv2.IMREAD_UNCHANGED), ksize=ksize, depth=depth)
        np.testing.assert_array_equal(written, expected)
        assert written.dtype == np.uint16


def test_apply_keeps_eight_bit_results_in_the_input_format(tmp_path):
    source = write(tmp_path / "in.png", np.arange(64, dtype=np.uint8).reshape(8, 8))
    result = run_pictor("apply", "ImageEnhancer.maximum_gray_level", source, "-o", tmp_path / "out")
    assert result.returncode == 0, result.stderr
    written = cv2.imread(str(tmp_path / "out" / "in.png"), cv2.IMREAD_UNCHANGED)
    assert written.dtype == np.uint8


def test_jpeg_inputs_with_16_bit_results_become_tiff(tmp_path):
    source = write(tmp_path / "photo.jpg", np.full((8, 8), 100, np.uint8))
    result = run_pictor("apply", TOOL_METHOD, source, "-o", tmp_path / "out")
    assert result.returncode == 0, result.stderr
    written = cv2.imread(str(tmp_path / "out" / "photo.tif"), cv2.IMREAD_UNCHANGED)
    assert written.dtype == np.uint16 and written.shape == (8, 8)


def test_inputs_that_would_overwrite_each_other_are_refused(tmp_path):
    first = write(tmp_path / "a.jpg", np.zeros((4, 4), np.uint8))
    second = write(tmp_path / "a.tif", np.zeros((4, 4), np.uint8))
    result = run_pictor("apply", TOOL_METHOD, first, second, "-o", tmp_path / "out")
    assert result.returncode == 2
    assert "would both be written" in result.stderr


def test_a_broken_file_does_not_stop_the_others(tmp_path):
    inputs = sample_images(tmp_path)
    broken = tmp_path / "broken.tif"
    broken.write_bytes(b"not an image")
    result = run_pictor("apply", TOOL_METHOD, broken, *inputs.values(), "-o", tmp_path / "out")
    assert result.returncode == 1
    assert "broken.tif" in result.stderr
    assert len(list((tmp_path / "out").iterdir())) == len(inputs)


def test_fail_fast_stops_at_the_first_failure(tmp_path):
    broken = tmp_path / "broken.tif"
    broken.write_bytes(b"not an image")
    result = run_pictor("apply", TOOL_METHOD, broken, "-o", tmp_path / "out", "--fail-fast", "--workers", "1")
    assert result.returncode == 1
    assert "broken.tif" in result.stderr


def test_folders_are_expanded_and_workers_agree(tmp_path):
    sample_images(tmp_path / "in" if (tmp_path / "in").mkdir() is None else None)
    one = run_pictor("apply", TOOL_METHOD, tmp_path / "in", "-o", tmp_path / "one", "--workers", "1")
    two = run_pictor("apply", TOOL_METHOD, tmp_path / "in", "-o", tmp_path / "two", "--workers", "2")
    assert one.returncode == two.returncode == 0
    names = sorted(p.name for p in (tmp_path / "one").iterdir())
    assert names == sorted(p.name for p in (tmp_path / "two").iterdir()) and len(names) == 5
    for name in names:
        assert (tmp_path / "one" / name).read_bytes() == (tmp_path / "two" / name).read_bytes()


@pytest.mark.parametrize("arguments, message", [
    (["ksize=[1"], "not a Python literal"),
    (["kszie=3"], "no keyword 'kszie'"),
    (["src=3"], "no keyword 'src'"),
])
def test_bad_keywords_are_named(tmp_path, arguments, message):
    source = write(tmp_path / "a.png", np.zeros((4, 4), np.uint8))
    result = run_pictor("apply", TOOL_METHOD, source, "-o", tmp_path / "out", *arguments)
    assert result.returncode == 2
    assert message in result.stderr


@pytest.mark.parametrize("operation", ["Nothing.mean_blur", "ImageSmoother.nothing", "UtilityTool.get_boundary",
                                       "GeometricTransformation.crop_return", "ImageSmoother"])
def test_unknown_operations_are_refused(tmp_path, operation):
    source = write(tmp_path / "a.png", np.zeros((4, 4), np.uint8))
    result = run_pictor("apply", operation, source, "-o", tmp_path / "out")
    assert result.returncode == 2
    assert "pictor list" in result.stderr


@pytest.mark.parametrize("command", [["gallery", "-o", "gallery.png"],
                                     ["apply", "super_resolution", "in.png", "-o", "out"]])
def test_a_plain_run_prints_no_warning(tmp_path, command):
    """As a user runs it: the bundled photograph or a plain PNG, no warning filters set."""
    write(tmp_path / "in.png", np.tile(np.arange(0, 256, 4, dtype=np.uint8), (48, 1)))
    environment = pictor_environment()
    environment.pop("PYTHONWARNINGS", None)
    result = subprocess.run([sys.executable, "-m", "pictor", *command], cwd=tmp_path, env=environment,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert "warn" not in (result.stdout + result.stderr).lower()


def test_gallery_has_one_tile_per_operation(tmp_path):
    from pictor.cli import gallery

    source = write(tmp_path / "in.png", np.tile(np.arange(0, 256, 4, dtype=np.uint8), (48, 1)))
    target = tmp_path / "gallery.png"
    result = run_pictor("gallery", source, "-o", target, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    sheet = cv2.imread(str(target))
    tile_height = gallery.TILE_SIDE + gallery.LABEL_HEIGHT
    tiles = len(gallery.functions()) + 1  # the input comes first
    rows = -(-tiles // gallery.GALLERY_COLUMNS)
    # then a row of its own: a stack's plane before and after each volume filter
    assert sheet.shape == ((rows + 1) * tile_height, gallery.GALLERY_COLUMNS * gallery.TILE_SIDE, 3)
    last_tile = sheet[(rows - 1) * tile_height:, ((tiles - 1) % gallery.GALLERY_COLUMNS) * gallery.TILE_SIDE:][:tile_height, :gallery.TILE_SIDE]
    assert last_tile.any(), "the last method's tile is empty"
    stack_row = sheet[rows * tile_height + gallery.LABEL_HEIGHT:].reshape(
        gallery.TILE_SIDE, gallery.GALLERY_COLUMNS, gallery.TILE_SIDE, 3)
    before, *after = [stack_row[:, column] for column in range(1 + len(gallery.volume_functions()))]
    assert all(picture.any() and not np.array_equal(picture, before) for picture in after)
