"""The batch command keeps every file whole: refusals, reruns, interruptions,
multi-page TIFF and a full disk, run as a user runs it."""
import resource
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import tifffile

import pictor
from conftest import pictor_environment
from test_cli import run_pictor, write

RNG = np.random.default_rng(11)
METHOD = "gaussian_blur"


def pictor_command(*arguments):
    return [sys.executable, "-m", "pictor", *map(str, arguments)]


def partials(folder):
    from pictor.io.safety import is_temporary

    return [path for path in folder.rglob("*") if is_temporary(path.name)]


def grey_png(folder, name="a.png", shape=(24, 30)):
    folder.mkdir(parents=True, exist_ok=True)
    return write(folder / name, RNG.integers(0, 256, shape, dtype=np.uint8))


@pytest.mark.parametrize("output", ["in", "in/sub"])
def test_output_in_the_input_folder_needs_in_place(tmp_path, output):
    original = grey_png(tmp_path / "in").read_bytes()
    refused = run_pictor("apply", METHOD, tmp_path / "in", "-o", tmp_path / output)
    assert refused.returncode == 2 and "--in-place" in refused.stderr
    assert (tmp_path / "in" / "a.png").read_bytes() == original
    allowed = run_pictor("apply", METHOD, tmp_path / "in", "-o", tmp_path / output, "--in-place", "--overwrite")
    assert allowed.returncode == 0, allowed.stderr
    assert (tmp_path / output / "a.png").read_bytes() != original


def test_existing_results_are_skipped_unless_overwrite(tmp_path):
    grey_png(tmp_path / "in")
    assert run_pictor("apply", METHOD, tmp_path / "in", "-o", tmp_path / "out").returncode == 0
    result = tmp_path / "out" / "a.png"
    fresh = result.read_bytes()
    result.write_bytes(b"kept")
    rerun = run_pictor("apply", METHOD, tmp_path / "in", "-o", tmp_path / "out")
    assert rerun.returncode == 0 and "skipped" in rerun.stderr and "--overwrite" in rerun.stderr
    assert result.read_bytes() == b"kept"
    forced = run_pictor("apply", METHOD, tmp_path / "in", "-o", tmp_path / "out", "--overwrite")
    assert forced.returncode == 0 and result.read_bytes() == fresh


@pytest.mark.parametrize("arguments, message", [
    (["gausian_blur", "{missing}", "-o", "{out}"], "did you mean 'gaussian_blur'"),
    ([METHOD, "{missing}", "-o", "{out}", "ksiz=5"], "did you mean 'ksize'"),
    ([METHOD, "{missing}", "-o", "{out}", "ksize=5.5"], "ksize must be an integer"),
    ([METHOD, "{missing}", "-o", "{out}", "ksize=-4"], "ksize must be an integer from 0 to 999"),
    ([METHOD, "{missing}", "-o", "{out}", "--workers", "-3"], "must be a positive integer"),
])
def test_command_line_is_checked_before_any_file_is_read(tmp_path, arguments, message):
    filled = [word.format(missing=tmp_path / "missing.png", out=tmp_path / "out") for word in arguments]
    result = run_pictor("apply", *filled)
    assert result.returncode == 2 and message in result.stderr
    assert "Traceback" not in result.stderr and not (tmp_path / "out").exists()


def test_paths_with_equals_signs_and_nested_folders(tmp_path):
    grey_png(tmp_path / "in", "gain=2.png")
    grey_png(tmp_path / "in" / "day 1", "b.png")
    flat = run_pictor("apply", METHOD, tmp_path / "in" / "gain=2.png", tmp_path / "in", "-o", tmp_path / "flat")
    assert flat.returncode == 0 and "1 of 1 files written" in flat.stderr  # a path, and the same file twice
    flat = run_pictor("apply", METHOD, tmp_path / "in", "-o", tmp_path / "flat")
    assert flat.returncode == 0 and "day 1" in flat.stderr and "-r" in flat.stderr
    assert sorted(p.name for p in (tmp_path / "flat").rglob("*.png")) == ["gain=2.png"]
    deep = run_pictor("apply", METHOD, tmp_path / "in", "-o", tmp_path / "deep", "-r")
    assert deep.returncode == 0, deep.stderr
    assert (tmp_path / "deep" / "day 1" / "b.png").is_file() and (tmp_path / "deep" / "gain=2.png").is_file()


def tiff_stack(path, pages):
    with tifffile.TiffWriter(str(path)) as writer:
        for number, page in enumerate(pages):
            writer.write(page, photometric="rgb" if page.ndim == 3 else "minisblack", metadata=None,
                         description="page {}".format(number), datetime="2024:05:0{} 10:00:00".format(number + 1),
                         resolution=(300, 300), resolutionunit="INCH", extratags=[(315, "s", 0, "me", True)])


def test_multi_page_tiff_keeps_every_page_and_its_tags(tmp_path):
    (tmp_path / "in").mkdir()
    pages = [RNG.integers(0, 65536, (20, 26), dtype=np.uint16) for _ in range(4)]
    pages.append(RNG.integers(0, 65536, (20, 26, 3), dtype=np.uint16))
    tiff_stack(tmp_path / "in" / "stack.tif", pages)
    result = run_pictor("apply", METHOD, tmp_path / "in", "-o", tmp_path / "out", "ksize=5")
    assert result.returncode == 0, result.stderr
    with tifffile.TiffFile(str(tmp_path / "out" / "stack.tif")) as written, \
            tifffile.TiffFile(str(tmp_path / "in" / "stack.tif")) as original:
        assert len(written.pages) == len(pages)
        for page, source, data in zip(written.pages, original.pages, pages):
            bgr = data[:, :, ::-1] if data.ndim == 3 else data
            expected = pictor.gaussian_blur(bgr, ksize=5)
            np.testing.assert_array_equal(page.asarray(), expected[:, :, ::-1] if data.ndim == 3 else expected)
            for tag in ("ImageDescription", "DateTime", "Artist", "XResolution", "ResolutionUnit"):
                assert page.tags[tag].value == source.tags[tag].value, tag


def test_inputs_that_cannot_be_represented_fail_with_their_path(tmp_path):
    (tmp_path / "in").mkdir()
    tifffile.imwrite(str(tmp_path / "in" / "float.tif"), np.zeros((8, 8), np.float32))
    write(tmp_path / "in" / "alpha.png", np.zeros((8, 8, 4), np.uint8))
    result = run_pictor("apply", METHOD, tmp_path / "in", "-o", tmp_path / "out")
    assert result.returncode == 1 and "0 of 2 files written" in result.stderr
    for name, words in (("float.tif", "float32"), ("alpha.png", "(8, 8, 4)")):
        line = next(line for line in result.stderr.splitlines() if name in line)
        assert "cannot be represented" in line and words in line
    assert not list((tmp_path / "out").iterdir())


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGKILL])
def test_an_interrupted_write_leaves_no_partial_result(tmp_path, stop):
    (tmp_path / "in").mkdir()
    tifffile.imwrite(str(tmp_path / "in" / "big.tif"), RNG.integers(0, 65536, (2500, 2500), dtype=np.uint16))
    out = tmp_path / "out"
    process = subprocess.Popen(pictor_command("apply", METHOD, tmp_path / "in", "-o", out), env=pictor_environment(),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not (out.is_dir() and partials(out)) and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.001)
    assert process.poll() is None, "the write finished before it could be interrupted"
    process.send_signal(stop)
    _, stderr = process.communicate(timeout=120)
    assert not (out / "big.tif").exists()
    if stop == signal.SIGINT:
        assert process.returncode == 130 and "Traceback" not in stderr and not partials(out)
    rerun = run_pictor("apply", METHOD, tmp_path / "in", "-o", out)
    assert rerun.returncode == 0, rerun.stderr
    assert not partials(out) and tifffile.imread(str(out / "big.tif")).shape == (2500, 2500)


def test_a_full_disk_fails_the_file_and_leaves_nothing_unreadable(tmp_path):
    (tmp_path / "in").mkdir()
    tifffile.imwrite(str(tmp_path / "in" / "small.tif"), RNG.integers(0, 65536, (20, 20), dtype=np.uint16))
    tifffile.imwrite(str(tmp_path / "in" / "large.tif"), RNG.integers(0, 65536, (400, 400), dtype=np.uint16))
    limit = 100_000  # bytes any file may grow to, as if the disk were full

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    out = tmp_path / "out"
    result = subprocess.run(pictor_command("apply", METHOD, tmp_path / "in", "-o", out, "--workers", "1"),
                            env=pictor_environment(), capture_output=True, text=True, timeout=300,
                            preexec_fn=limit_file_size)
    assert result.returncode == 1
    assert any("large.tif" in line and "too large" in line.lower() for line in result.stderr.splitlines())
    assert sorted(path.name for path in out.iterdir()) == ["small.tif"]
    assert tifffile.imread(str(out / "small.tif")).shape == (20, 20)


def test_version_doc_and_a_closed_pipe():
    version = run_pictor("--version")
    assert version.stdout.strip() == "pictor " + pictor.__version__
    doc = run_pictor("doc", "auto_level")
    assert doc.returncode == 0 and "low_percent = 0.01" in doc.stdout and "ImageEnhancer.auto_level" in doc.stdout
    unknown = run_pictor("doc", "auto_levels")
    assert unknown.returncode == 2 and "did you mean 'auto_level'" in unknown.stderr
    otsu = run_pictor("doc", "otsu")
    assert otsu.returncode == 0 and otsu.stdout.startswith("pictor.threshold(method='otsu')")
    li = run_pictor("doc", "li")
    assert li.returncode == 0 and li.stdout.startswith("pictor.threshold(method='li')\n")
    several = run_pictor("doc", "blur")
    assert several.returncode == 2 and "gaussian_blur" in several.stderr and "median_blur" in several.stderr
    piped = subprocess.run(" ".join(pictor_command("list")) + " | head -n 1", shell=True, env=pictor_environment(),
                           capture_output=True, text=True, timeout=300)
    assert piped.stdout.count("\n") == 1 and "Traceback" not in piped.stderr


@pytest.mark.parametrize("method, options, noted", [
    (METHOD, [], False), (METHOD, ["--depth", "working"], True), ("maximum_gray_level", [], True),
    ("rotate", ["--depth", "working"], False)])
def test_few_working_levels_are_noted_once(tmp_path, method, options, noted):
    (tmp_path / "in").mkdir()
    for name in ("a.tif", "b.tif"):  # 12-bit camera data: 16 levels of the 8-bit working copy
        tifffile.imwrite(str(tmp_path / "in" / name), RNG.integers(0, 4000, (32, 32), dtype=np.uint16))
    result = run_pictor("apply", method, tmp_path / "in", "-o", tmp_path / "out", *options)
    assert result.returncode == 0, result.stderr
    assert result.stderr.count("keep only 16 levels") == (1 if noted else 0)
