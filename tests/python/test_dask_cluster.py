"""`pictor apply --scheduler` on a real cluster: a `dask scheduler` and two
`dask worker` processes on 127.0.0.1, against the local run."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("distributed")
tifffile = pytest.importorskip("tifffile")

from conftest import _pictor_search_path, assert_same_array  # noqa: E402
from test_cli import run_pictor, write  # noqa: E402

import pictor  # noqa: E402

STARTUP_SECONDS = 90


def start(arguments, cwd):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [_pictor_search_path(), env.get("PYTHONPATH", "")] if p)
    return subprocess.Popen([sys.executable, "-m", "dask", *arguments], cwd=str(cwd), env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@pytest.fixture
def cluster(tmp_path):
    """The scheduler's address, with two single-threaded workers connected to it."""
    from distributed import Client

    scheduler_file = tmp_path / "scheduler.json"
    processes = [start(["scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                        "--scheduler-file", str(scheduler_file)], tmp_path)]
    try:
        deadline = time.monotonic() + STARTUP_SECONDS
        while not scheduler_file.exists() and time.monotonic() < deadline:
            time.sleep(0.2)
        for _ in range(2):
            processes.append(start(["worker", "--scheduler-file", str(scheduler_file), "--nthreads", "1",
                                    "--host", "127.0.0.1", "--no-dashboard"], tmp_path))
        with Client(scheduler_file=str(scheduler_file), timeout=STARTUP_SECONDS) as client:
            client.wait_for_workers(2, timeout=STARTUP_SECONDS)
        yield json.loads(scheduler_file.read_text())["address"]
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()


def test_folder_and_chunked_image_on_a_cluster(tmp_path, cluster):
    rng = np.random.default_rng(3)
    folder = tmp_path / "in"
    folder.mkdir()
    for index in range(4):
        write(folder / "grey{}.tif".format(index), rng.integers(0, 65536, (90, 70), dtype=np.uint16))
    write(folder / "colour.png", rng.integers(0, 256, (40, 30, 3), dtype=np.uint8))
    (folder / "broken.png").write_bytes(b"not an image")

    local = run_pictor("apply", "ImageSmoother.gaussian_blur", folder, "-o", tmp_path / "local", "ksize=5",
                       "--workers", "2")
    remote = run_pictor("apply", "ImageSmoother.gaussian_blur", folder, "-o", tmp_path / "remote", "ksize=5",
                        "--scheduler", cluster)
    assert local.returncode == remote.returncode == 1
    assert str(folder / "broken.png") in remote.stderr
    names = sorted(p.name for p in (tmp_path / "local").iterdir())
    assert names == sorted(p.name for p in (tmp_path / "remote").iterdir()) and len(names) == 5
    for name in names:  # byte for byte; no temporary leftovers either
        assert (tmp_path / "remote" / name).read_bytes() == (tmp_path / "local" / name).read_bytes()

    big = rng.integers(0, 65536, (700, 600), dtype=np.uint16)
    tifffile.imwrite(str(tmp_path / "big.tif"), big, tile=(128, 128))
    for method, target in [("ImageEnhancer.auto_level", "out.tif"), ("ImageSmoother.gaussian_blur", "out.zarr")]:
        done = run_pictor("apply", method, tmp_path / "big.tif", "-o", tmp_path / target, "--chunked",
                          "--scheduler", cluster)
        assert done.returncode == 0, done.stderr
        if target.endswith(".zarr"):
            import zarr

            written = zarr.open_array(str(tmp_path / target), mode="r")[:]
        else:
            written = tifffile.imread(str(tmp_path / target))
        assert_same_array(written, getattr(pictor, method.partition(".")[2])(big))  # the function: full depth
    assert sorted(p.name for p in tmp_path.iterdir() if "partial" in p.name or "scratch" in p.name) == []
    _assert_big_file_runs_in_blocks_of_its_tiles(tmp_path, cluster, big)


def _assert_big_file_runs_in_blocks_of_its_tiles(tmp_path, cluster, big):
    """One big file under a cluster's client runs on 2-D blocks of whole tiles
    (blocks made small here, so that there are many), exactly."""
    import zarr
    from distributed import Client

    from pictor.dask import files

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(files, "STRIPE_SAMPLES", 150 * 150)
        blocks = files._as_blocks(files.read_lazy(tmp_path / "big.tif"))
        assert blocks.numblocks[0] > 1 and blocks.numblocks[1] > 1
        assert all(size % 128 == 0 for chunks in blocks.chunks for size in chunks[:-1])
        with Client(cluster):
            for name, keywords, target in [("gaussian_blur", dict(ksize=5), "blocks.zarr"),
                                           ("median_blur", dict(ksize=7), "blocks.tif"),
                                           ("auto_level", {}, "levels.tif")]:
                files.run_chunked(name, keywords, tmp_path / "big.tif", tmp_path / target)
                read = zarr.open_array if target.endswith(".zarr") else tifffile.imread
                assert_same_array(np.asarray(read(str(tmp_path / target))[:]),
                                  getattr(pictor, name)(big, **keywords))


def test_local_cluster_and_chunked_failures(tmp_path):
    rng = np.random.default_rng(4)
    folder = tmp_path / "in"
    folder.mkdir()
    for index in range(3):
        write(folder / "f{}.png".format(index), rng.integers(0, 65536, (50, 40), dtype=np.uint16))
    local = run_pictor("apply", "ImageEnhancer.auto_level", folder, "-o", tmp_path / "a", "--workers", "1")
    spread = run_pictor("apply", "ImageEnhancer.auto_level", folder, "-o", tmp_path / "b",
                        "--scheduler", "local", "--workers", "2")
    assert local.returncode == spread.returncode == 0, spread.stderr
    assert "distributed" not in spread.stderr and "Warning" not in spread.stderr, spread.stderr  # a clean run is quiet
    for path in (tmp_path / "a").iterdir():
        assert path.read_bytes() == (tmp_path / "b" / path.name).read_bytes()

    missing = run_pictor("apply", "ImageSmoother.gaussian_blur", tmp_path / "nothing.tif", "-o",
                         tmp_path / "c.tif", "--chunked")
    assert missing.returncode == 1 and "nothing.tif" in missing.stderr
    assert not (tmp_path / "c.tif").exists()


# A per-file step for the batch below, imported by the workers from their
# working folder: a file named kill* kills its worker every time; slow* kills
# its worker on its first attempt only, in the middle of its task (its
# temporary folder made), so the task runs again elsewhere; lost* says it
# wrote a result that is not there.
STEP_MODULE = '''
import os
import signal

from pictor.cli.apply import apply_to_file


def step(function, keywords, source, relative, outdir, stop, notes):
    if source.name.startswith("kill"):
        os._exit(1)
    if source.name.startswith("slow"):
        marker = source.parent.parent / "slow.pid"
        if not marker.exists():
            marker.write_text(str(os.getpid()))
            os.kill(os.getpid(), signal.SIGKILL)
    written = apply_to_file(function, keywords, source, relative, outdir, stop, notes)
    if source.name.startswith("lost"):
        os.remove(str(written))
    return written
'''


class Messages:
    def __init__(self):
        self.lines = []

    def message(self, text):
        self.lines.append(text)

    def advance(self):
        pass

    def close(self):
        pass


def test_killed_workers_leave_no_debris(tmp_path, cluster, monkeypatch):
    import pictor
    from pictor.cli import cluster_batch
    from pictor.cli.apply import run_batch

    (tmp_path / "killer_step.py").write_text(STEP_MODULE)
    monkeypatch.syspath_prepend(str(tmp_path))
    import killer_step

    rng = np.random.default_rng(5)
    folder = tmp_path / "in"
    folder.mkdir()
    names = ["slow.tif", "kill.tif", "lost.tif"] + ["f{}.tif".format(i) for i in range(4)]
    for name in names:
        write(folder / name, rng.integers(0, 65536, (60, 50), dtype=np.uint16))
    files = [(folder / name, Path(name)) for name in names]
    out = tmp_path / "out"
    out.mkdir()
    (out / ".pictor-0123456789ab-cdef01234567.partial").mkdir()  # an earlier run's debris

    messages = Messages()
    written, failed = cluster_batch.run_files(killer_step.step, pictor.gaussian_blur, {"ksize": 5}, files, out,
                                              cluster, 2, messages)
    assert (tmp_path / "slow.pid").exists()  # its first worker was killed
    # The killed worker may take other files down with it (how many depends on
    # distributed's release): each is reported failed, never counted written.
    assert written + failed == len(names) and written >= 1 and failed >= 2, messages.lines
    assert any("earlier, interrupted run" in line for line in messages.lines)
    failure = [line for line in messages.lines if str(folder / "kill.tif") in line]
    assert len(failure) == 1 and "KilledWorker" in failure[0]
    lost = [line for line in messages.lines if str(folder / "lost.tif") in line]
    assert len(lost) == 1 and not (out / "lost.tif").exists()

    local = tmp_path / "local"
    local.mkdir()
    done = [pair for pair in files if (out / pair[1]).exists()]
    assert len(done) == written and not {"kill.tif", "lost.tif"} & {pair[1].name for pair in done}
    assert run_batch(pictor.gaussian_blur, {"ksize": 5}, done, local, 1, False) == (written, 0)
    assert sorted(p.name for p in out.iterdir()) == sorted(p.name for p in local.iterdir())  # nothing hidden
    for path in local.iterdir():
        assert (out / path.name).read_bytes() == path.read_bytes()

    # A task of a stopped run (Ctrl-C on a remote scheduler) drops its result.
    from distributed import Client

    from pictor.cli.apply import apply_to_file

    stopped = tmp_path / "stopped"
    stopped.mkdir()
    with Client(cluster) as client:
        cluster_batch._stop_event("0123456789ab", client).set()
        future = client.submit(cluster_batch.process_file, apply_to_file, pictor.gaussian_blur, {"ksize": 5},
                               str(folder / "f0.tif"), "f0.tif", str(stopped), "0123456789ab", pure=False)
        with pytest.raises(Exception) as stop:
            future.result()
    assert type(stop.value).__name__ == "Interrupted" and list(stopped.iterdir()) == []
