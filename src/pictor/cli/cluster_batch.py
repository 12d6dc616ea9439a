"""`pictor apply --scheduler`: files on a Dask cluster, and the clients of
`--chunked` runs.

The command line hands over its own per-file step (read, call, write), so that
a cluster run writes byte for byte what the local run writes. Each task
writes into a temporary folder beside its result (pictor.io.safety's names)
and renames the result into place; the run counts a file as written only when
it finds it under its final name. A worker that dies after the rename takes
the task's answer with it: the run then looks at the file's possible results
and counts it written if one of them is a new file. A stopped run sets its
stop event on the scheduler: a task still running on a remote worker then
drops its result instead of renaming it into place.
"""

import threading
import uuid
from pathlib import Path

from pictor.io import safety


def _single_threaded_opencv():
    # The files (or chunks) are the parallel work; OpenCV's own pool would compete.
    import cv2

    cv2.setNumThreads(1)


def _prepared_worker():
    """Runs in each worker before its files: returns the worker's process id."""
    import os

    _single_threaded_opencv()
    return os.getpid()


class _NoNotes:
    """Workers keep the batch's once-per-run notes to themselves."""

    def once(self, *_):
        pass


def process_file(apply_to_file, function, keywords, source, relative, outdir, run="x"):
    """Runs in a worker: the command line's step into a temporary folder, then a rename."""
    _single_threaded_opencv()
    scratch = safety.temporary_name(Path(outdir) / run)
    try:
        scratch.mkdir()
    except OSError as error:  # a read-only or full folder: what cannot be written is the result
        raise safety.failed_write(error, Path(outdir) / relative, scratch) from error
    try:
        written = Path(apply_to_file(function, keywords, Path(source), Path(relative), scratch,
                                     threading.Event(), _NoNotes()))
        if _stop_event(run).is_set():
            raise safety.Interrupted()
        return str(safety.moved_into_place(written, scratch, outdir))
    finally:
        safety.remove(scratch)


def client_for(scheduler, workers):
    """A distributed Client: an address, or "local" for a LocalCluster of `workers` processes."""
    from distributed import Client, LocalCluster

    if scheduler == "local":
        _configure_local_workers()
        cluster = LocalCluster(n_workers=max(1, workers), threads_per_worker=1, processes=True,
                               dashboard_address=None)
        return Client(cluster)
    return Client(scheduler)


def close_client(client, scheduler):
    """The client first, so that the scheduler forgets its results, then our
    own local cluster: workers stopped while results were still wanted make
    the scheduler warn that it lost them."""
    cluster = client.cluster if scheduler == "local" else None
    client.close()
    if cluster is not None:
        cluster.close()


def _configure_local_workers():
    # Only for our own LocalCluster. Spawned worker processes each import
    # Python, NumPy and distributed anew, one after the other on a busy machine
    # (about 0.7 s each); forked from a server process that has imported them
    # once, they start together and stop at once, where the platform has it.
    # The nanny's small trim threshold also makes glibc map every chunk-sized
    # array afresh; a larger mapping threshold keeps the heap's pages (see
    # pictor.dask's description).
    import multiprocessing

    import dask

    if "forkserver" in multiprocessing.get_all_start_methods():
        dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"})
    dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 64 << 20})


def _stop_event(run, client=None):
    from distributed import Event

    return Event("pictor-stop-" + run, client)


def run_files(apply_to_file, function, keywords, files, outdir, scheduler, workers, progress,
              outputs=lambda relative, outdir: [outdir / relative]):
    """Each (source, relative path) as one task on the scheduler; returns (written, failed) counts.
    outputs(relative, outdir) names where a file's result may go.
    A file whose task kills its worker each time fails with the scheduler's
    KilledWorker once its retries are used up; the other files go on."""
    import warnings

    outdir = Path(outdir).resolve()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", safety.FileWarning)
        safety.remove_leftovers(outdir, again=True)
    for warning in caught:
        progress.message(str(warning.message))
    run = uuid.uuid4().hex[:12]
    client = client_for(scheduler, workers)
    try:
        failures = _run_on(client, apply_to_file, function, keywords, files, outdir, progress, run, outputs,
                           own_workers=scheduler == "local")
    finally:
        close_client(client, scheduler)
        for folder in safety.run_scratch_folders(outdir, run):  # those of tasks whose worker was killed
            safety.remove(folder)
    progress.close()
    return len(files) - failures, failures


def _run_on(client, apply_to_file, function, keywords, files, outdir, progress, run, outputs, own_workers):
    """own_workers: the workers are this run's own processes on this machine,
    stopped at once (killed) when the run is interrupted."""
    workers = client.run(_prepared_worker)
    before = {source: {path: safety.identity(path) for path in outputs(Path(relative), outdir)}
              for source, relative in files}
    futures = {client.submit(process_file, apply_to_file, function, keywords, str(Path(source).resolve()),
                             str(relative), str(outdir), run, pure=False): source for source, relative in files}
    try:
        return _gathered(futures, before, progress)
    except KeyboardInterrupt:
        # Files still computing must not take their names after the stop:
        # what has not started never starts, our own workers stop now, and
        # a remote worker's running task drops its result when it ends.
        if own_workers:
            _kill(workers.values())
        else:
            _stop_event(run, client).set()
            client.cancel(list(futures), force=True)
        raise


def _kill(pids):
    import os
    import signal

    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:  # already gone
            pass


def _gathered(futures, before, progress):
    """The failures among futures, counted as they complete."""
    from distributed import as_completed

    failures = 0
    for future in as_completed(futures):
        progress.advance()
        source = futures[future]
        try:
            if future.status != "finished":
                raise future.exception()
            safety.check_in_place(future.result())
        except Exception as error:
            if safety.placed_since(before[source]):
                continue
            failures += 1
            progress.message("{}: {}: {}".format(source, type(error).__name__, error))
    return failures
