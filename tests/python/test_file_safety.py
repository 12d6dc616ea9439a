"""Every path that writes files against every hazard, as real processes on
real files: an output that is an input or inside one, an existing result, a
read-only folder, a full disk, Ctrl-C, and SIGKILL followed by a second run.
Each checks that the inputs are unchanged byte for byte, that nothing
half-written is visible, that leftovers are gone after the rerun, and that
the message names the output."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import tifffile

from conftest import mount_namespace_command, pictor_environment, with_sitecustomize

pytest.importorskip("dask.array")
RNG = np.random.default_rng(29)
SHAPE = (256, 192)
WAIT_SECONDS = 180

# Imported first by the child processes of the signal tests: the process
# announces itself in the file PICTOR_TEST_HOLD names and then waits, so that
# the test stops it at a chosen moment, with no timing involved.
HOLD = '''
import os, time


def hold():
    with open(os.environ["PICTOR_TEST_HOLD"], "w") as marker:
        marker.write(str(os.getpid()))
    while True:
        time.sleep(0.05)
'''
# The worst moment: a result complete under its temporary name, about to be renamed into place.
RENAMING = HOLD + '''
_replace = os.replace


def replace(source, target, *arguments, **keywords):
    if ".pictor-" in os.path.basename(str(source)) and os.environ.get("PICTOR_TEST_HOLD"):
        hold()
    return _replace(source, target, *arguments, **keywords)


os.replace = replace
'''
# Mid-write: the TIFF writer has its first tiles, not the rest.
WRITING = HOLD + '''
from pictor.io import tiff

_tiles = tiff.TiffRows._tiles


def tiles(self):
    for count, tile in enumerate(_tiles(self)):
        if count == 2:
            hold()
        yield tile


tiff.TiffRows._tiles = tiles
'''


def tiled_tiff(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    tifffile.imwrite(str(path), RNG.integers(0, 65536, SHAPE, dtype=np.uint16), tile=(64, 64))
    return path


def ome_tiff(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    tifffile.imwrite(str(path), RNG.integers(0, 65536, (2,) + SHAPE, dtype=np.uint16), ome=True, tile=(64, 64),
                     metadata={"axes": "ZYX", "PhysicalSizeX": 0.5})
    return path


def imagej_tiff(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    tifffile.imwrite(str(path), RNG.integers(0, 65536, (2, 3) + SHAPE, dtype=np.uint16), imagej=True,
                     metadata={"axes": "ZCYX"})
    return path


def ome_zarr_store(path):
    pytest.importorskip("ome_zarr")
    import ome_zarr.format
    import ome_zarr.writer
    import zarr

    group = zarr.open_group(str(path), mode="w", zarr_format=2)
    ome_zarr.writer.write_image(RNG.integers(0, 65536, (2,) + SHAPE, dtype=np.uint16), group, scale_factors=[2],
                                fmt=ome_zarr.format.FormatV04(), axes=["c", "y", "x"],
                                storage_options={"chunks": (1, 64, 64)})
    return path


def python_run_file(source, target, *options):
    return [sys.executable, "-c", "import sys, pictor; pictor.pipeline('gaussian_blur').run_file("
            "sys.argv[1], sys.argv[2]{})".format("".join(", " + option for option in options)),
            str(source), str(target)]


def pictor(*words):
    return [sys.executable, "-m", "pictor", *map(str, words)]


class WritingPath:
    """One way of writing: make(tmp) puts its input in place and returns it;
    command(source, output) the process; the result of output OUT at output(OUT)."""

    def __init__(self, name, make, command, folder_output=False, store=False):
        self.name, self.make, self.command = name, make, command
        self.folder_output, self.store = folder_output, store

    def __repr__(self):
        return self.name

    def input_of(self, tmp_path):
        source = self.make(tmp_path / "in" / ("a.zarr" if self.store else
                                              "a.ome.tif" if "ome" in self.name else "a.tif"))
        return tmp_path / "in" if self.folder_output else source

    def output_in(self, folder, source):
        """The output argument for a result in folder, and the result's path."""
        name = source.name if not self.folder_output else ("a.zarr" if self.store else
                                                             "a.ome.tif" if "ome" in self.name else "a.tif")
        return (folder, folder / name) if self.folder_output else (folder / name, folder / name)


PATHS = [
    WritingPath("batch", tiled_tiff, lambda s, o: pictor("apply", "gaussian_blur", s, "-o", o), folder_output=True),
    WritingPath("chunked", tiled_tiff, lambda s, o: pictor("apply", "--chunked", "gaussian_blur", s, "-o", o)),
    WritingPath("chain", tiled_tiff,
                lambda s, o: pictor("apply", "--chunked", "auto_level | gaussian_blur ksize=5", s, "-o", o)),
    WritingPath("run_file", tiled_tiff, python_run_file),
    WritingPath("cluster", tiled_tiff, lambda s, o: pictor("apply", "gaussian_blur", s, "-o", o, "--scheduler",
                                                           "local", "--workers", "1"), folder_output=True),
    WritingPath("ome_tiff", ome_tiff, lambda s, o: pictor("apply", "--chunked", "gaussian_blur", s, "-o", o)),
    WritingPath("ome_zarr", ome_zarr_store, lambda s, o: pictor("apply", "--chunked", "gaussian_blur", s, "-o", o),
                store=True),
    WritingPath("ome_zarr_batch", ome_zarr_store, lambda s, o: pictor("apply", "gaussian_blur", s, "-o", o),
                folder_output=True, store=True),
    WritingPath("imagej", imagej_tiff, lambda s, o: pictor("apply", "gaussian_blur", s, "-o", o),
                folder_output=True),
]
QUICK_PATHS = [path for path in PATHS if path.name != "cluster"]  # a local cluster takes seconds to start
CLUSTER = next(path for path in PATHS if path.name == "cluster")
FULL_OR_READ_ONLY = [("full", "No space left on device"), ("read-only", "Read-only")]


def case_id(value):
    """A writing path or a signal by its name; other values as pytest names them."""
    return getattr(value, "name", None)


def run(command, **keywords):
    return subprocess.run(command, env=keywords.pop("env", None) or pictor_environment(), capture_output=True,
                          text=True, timeout=WAIT_SECONDS, **keywords)


def snapshot(folder):
    """Every file below folder with its bytes."""
    return {path.relative_to(folder): path.read_bytes() for path in sorted(folder.rglob("*")) if path.is_file()}


def temporary_names(folder):
    from pictor.io.safety import is_temporary

    return [path for path in folder.rglob("*") if is_temporary(path.name)] if folder.exists() else []


@pytest.mark.parametrize("path, hazard", [(path, "same") for path in PATHS] +
                         [(path, "inside") for path in PATHS if path.folder_output or path.store], ids=repr)
def test_never_over_an_input(tmp_path, path, hazard):
    source = path.input_of(tmp_path)
    before = snapshot(tmp_path / "in")
    output = source if hazard == "same" else (source / "sub" if path.folder_output else source / "b.zarr")
    refused = run(path.command(source, output))
    assert refused.returncode != 0
    assert "in_place" in refused.stderr or "--in-place" in refused.stderr, refused.stderr
    assert str(source) in refused.stderr
    assert snapshot(tmp_path / "in") == before


@pytest.mark.parametrize("path", PATHS, ids=repr)
def test_an_existing_result_is_kept_unless_overwrite(tmp_path, path):
    source = path.input_of(tmp_path)
    output, result = path.output_in(tmp_path / "out", source)
    assert run(path.command(source, output)).returncode == 0
    first = snapshot(tmp_path / "out")
    marker = result / "zarr.json" if result.is_dir() else result
    again = run(path.command(source, output))
    if path.folder_output:  # a batch skips it
        assert again.returncode == 0 and "skipped" in again.stderr and str(source) in again.stderr
    else:
        assert again.returncode != 0 and "--overwrite" in again.stderr and str(result) in again.stderr
    assert snapshot(tmp_path / "out") == first
    if path.name != "run_file":
        replaced = run(path.command(source, output) + ["--overwrite"])
        assert replaced.returncode == 0, replaced.stderr
        assert marker.exists() or result.exists()
    assert not temporary_names(tmp_path / "out")


@pytest.mark.parametrize("path, kind, message", [(path, *hazard) for path in QUICK_PATHS
                                                  for hazard in FULL_OR_READ_ONLY]
                         + [(CLUSTER, *FULL_OR_READ_ONLY[1])], ids=case_id)
def test_a_full_disk_or_read_only_folder_leaves_nothing(tmp_path, path, kind, message):
    source = path.input_of(tmp_path)
    before = snapshot(tmp_path / "in")
    out = tmp_path / "out"
    out.mkdir()
    prefix = mount_namespace_command(kind, out)
    if prefix is None:
        pytest.skip("this machine cannot make a private mount namespace (unshare -rm)")
    output, result = path.output_in(out, source)
    failed = run(prefix + path.command(source, output))
    assert failed.returncode != 0
    assert message in failed.stderr and str(result) in failed.stderr, failed.stderr
    listing = failed.stdout.split("--- listing", 1)[1].split()
    assert listing == [], listing  # no result, no temporary file, no scratch store
    assert snapshot(tmp_path / "in") == before


def held_process(tmp_path, command, moment=RENAMING):
    """The process of command, held at the moment the hook of that name chooses."""
    environment = with_sitecustomize(pictor_environment(), tmp_path / "hook", moment)
    environment["PICTOR_TEST_HOLD"] = str(tmp_path / "held")
    # a session of its own: a SIGKILL stops the run with every process it started (a cluster's workers)
    process = subprocess.Popen(command, env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    deadline = time.monotonic() + WAIT_SECONDS
    while not (tmp_path / "held").exists() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    assert process.poll() is None, process.communicate()
    return process


@pytest.mark.parametrize("path, stop", [(path, stop) for path in QUICK_PATHS
                                        for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGKILL)]
                         + [(CLUSTER, signal.SIGINT), (CLUSTER, signal.SIGKILL)], ids=case_id)
def test_a_stopped_run_leaves_nothing_and_a_rerun_completes(tmp_path, path, stop):
    assert_stopped_run_leaves_nothing(tmp_path, path, stop, RENAMING)


@pytest.mark.parametrize("path", [path for path in QUICK_PATHS if path.name in ("run_file", "chunked")], ids=repr)
def test_a_run_stopped_mid_write_leaves_nothing_and_a_rerun_completes(tmp_path, path):
    assert_stopped_run_leaves_nothing(tmp_path, path, signal.SIGTERM, WRITING)


def assert_stopped_run_leaves_nothing(tmp_path, path, stop, moment):
    source = path.input_of(tmp_path)
    before = snapshot(tmp_path / "in")
    output, result = path.output_in(tmp_path / "out", source)
    process = held_process(tmp_path, path.command(source, output), moment)
    if stop == signal.SIGKILL:
        os.killpg(process.pid, stop)
    else:
        process.send_signal(stop)
    _, stderr = process.communicate(timeout=WAIT_SECONDS)
    assert not result.exists()
    if stop == signal.SIGINT or (stop == signal.SIGTERM and path.name != "run_file"):
        # a library leaves SIGTERM to its program: there it kills as SIGKILL does
        if path.name != "run_file":
            assert process.returncode == 130 and "Traceback" not in stderr, stderr
        assert not temporary_names(tmp_path / "out")
    rerun = run(path.command(source, output))
    assert rerun.returncode == 0, rerun.stderr
    assert result.exists() and not temporary_names(tmp_path / "out")
    assert snapshot(tmp_path / "in") == before


def test_a_store_set_aside_by_a_killed_run_is_put_back(tmp_path):
    """Killed between setting the old store aside and renaming the new one:
    the next run puts the old one back instead of removing it."""
    from pictor.io import safety

    store = ome_zarr_store(tmp_path / "out" / "a.zarr")
    before = snapshot(store)
    aside = store.with_name(".a.zarr.pictor-999999999-0123456789ab.replaced")  # no such process
    store.rename(aside)
    half = store.with_name(".a.zarr.pictor-999999999-ba9876543210.partial.zarr")
    half.mkdir()
    with pytest.warns(safety.FileWarning, match="put back"):
        safety.remove_leftovers(store.parent, again=True)
    assert snapshot(store) == before and not temporary_names(store.parent)


@pytest.mark.skipif(not os.path.exists("/proc/self/stat"), reason="a zombie is told by Linux's /proc")
def test_the_leftovers_of_a_killed_process_not_yet_reaped_are_removed(tmp_path):
    """A killed run's workers linger as zombies until they are reaped: they write no more."""
    from pictor.io import safety

    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
    child.kill()
    while open("/proc/{}/stat".format(child.pid)).read().rpartition(")")[2].split()[0] != "Z":
        time.sleep(0.01)
    leftover = tmp_path / ".a.tif.pictor-{}-0123456789ab.partial.tif".format(child.pid)
    leftover.write_bytes(b"half")
    with pytest.warns(safety.FileWarning, match="interrupted"):
        safety.remove_leftovers(tmp_path, again=True)
    child.wait()
    assert not leftover.exists()


def test_a_failed_write_ends_after_every_chunk_task():
    """A store is removed after a failed write only once no task of the write can make its folders again."""
    import threading

    import dask

    from pictor.io import safety

    failed, finished = threading.Event(), threading.Event()

    def failing():
        failed.set()
        raise OSError("no space left")

    def still_writing():
        failed.wait()
        time.sleep(0.2)  # still writing its chunk when the failure is raised
        finished.set()

    with pytest.raises(OSError), dask.config.set(scheduler="threads", num_workers=2), safety.writers_finished():
        dask.compute(dask.delayed(failing)(), dask.delayed(still_writing)())
    assert finished.is_set()


@pytest.mark.parametrize("path", QUICK_PATHS, ids=repr)
def test_an_output_folder_that_cannot_be_made(tmp_path, path):
    source = path.input_of(tmp_path)
    (tmp_path / "blocked").write_bytes(b"a file where the folder would go")
    output, result = path.output_in(tmp_path / "blocked" / "out", source)
    failed = run(path.command(source, output))
    assert failed.returncode != 0 and "Not a directory" in failed.stderr
    assert str(output) in failed.stderr or str(result) in failed.stderr, failed.stderr
