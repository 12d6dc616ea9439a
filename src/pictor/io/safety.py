"""The one rule of every path that writes a file:

- never over an input (the same file, the same Zarr store, or a folder
  inside one) unless asked to write in place;
- never over an existing result unless asked to overwrite;
- nothing half-written under the final name: a result is written under a
  temporary name beside it and renamed only when complete, and the temporary
  name is removed when the write fails or is interrupted;
- the temporary names that a killed run left (no `finally` runs in a killed
  process) are removed by the next run that writes into that folder;
- a failing write names the output and the operating system's message.

Every temporary name is ".NAME.pictor-PID-TOKEN.partial[SUFFIX]" (a store
being replaced: ".NAME.pictor-PID-TOKEN.replaced"): PID is the process that
writes it, so that a later run removes only the leftovers of processes that
are gone (and puts back a store whose replacement never took its name).
"""

import contextlib
import errno
import os
import re
import shutil
import threading
import uuid
import warnings
from pathlib import Path

TEMPORARY = re.compile(r"^\.(?P<name>.+)\.pictor-(?P<pid>\d+)-(?P<token>[0-9a-f]{12})\.(?P<kind>partial|replaced)")
# The temporary names of earlier versions, which carried no process id.
EARLIER_TEMPORARY = re.compile(r"^(\..+\.pictor-partial-\d+|\..+\.[0-9a-f]{12}\.partial.*"
                               r"|\.pictor-[0-9a-f]{12}-[0-9a-f]{12}\.partial|.+\.tiff?\.scratch\.zarr)$")


class FileWarning(UserWarning):
    """Something about a file the user should know: leftovers removed, a damaged input read."""


class Interrupted(Exception):
    """The run was stopped (Ctrl-C or SIGTERM) before this file was written."""


class WriteRefused(ValueError):
    """Writing there would replace an input, or a result that was not to be replaced."""


def temporary_name(target, owner=None):
    """A fresh temporary name beside target, marked with this process's id."""
    target = Path(target)
    return target.with_name(".{}.pictor-{}-{}.partial{}".format(
        owner or target.name, os.getpid(), uuid.uuid4().hex[:12], target.suffix))


def remove(path):
    path = Path(path)
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(str(path), ignore_errors=True)
    elif path.exists() or path.is_symlink():
        with contextlib.suppress(FileNotFoundError):
            path.unlink()


def process_exists(pid):
    """Whether process pid may still write: a killed process that its parent
    has not yet reaped (a zombie, for a while after a whole run was killed)
    never will."""
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        pass
    return not _is_zombie(pid)


def _is_zombie(pid):
    """Whether the process has ended and waits to be reaped (Linux's /proc; elsewhere, never known)."""
    try:
        with open("/proc/{}/stat".format(pid)) as stat:
            state = stat.read().rpartition(")")[2].split()[0]  # after the command name, which may hold ")"
    except (OSError, IndexError):
        return False
    return state in ("Z", "X")


def is_temporary(name):
    """Whether the file name is one of pictor's temporary names (of any run)."""
    name = Path(name).name
    return TEMPORARY.match(name) is not None or EARLIER_TEMPORARY.match(name) is not None


def is_leftover(path):
    """Whether path is a temporary name of a run that is no longer running."""
    found = TEMPORARY.match(path.name)
    if found is not None:
        return not process_exists(int(found.group("pid")))
    return EARLIER_TEMPORARY.match(path.name) is not None


_cleaned = set()
_cleaned_lock = threading.Lock()


def remove_leftovers(folder, again=False):
    """Removes the temporary files and stores that interrupted runs left in
    folder (once per process and folder unless again), and says so."""
    folder = Path(folder)
    with _cleaned_lock:
        key = str(folder.resolve()) if folder.exists() else None
        if key is None or (key in _cleaned and not again):
            return []
        _cleaned.add(key)
    try:
        leftovers = [path for path in folder.iterdir() if is_leftover(path)]
    except OSError:
        return []
    for path in leftovers:
        if not restored(path):
            remove(path)
    if leftovers:
        warnings.warn("removed {} unfinished temporary file(s) of an earlier, interrupted run in {}: {}".format(
            len(leftovers), folder, ", ".join(sorted(path.name for path in leftovers))), FileWarning, stacklevel=3)
    return leftovers


def restored(path):
    """A store set aside to be replaced, whose run was killed before its
    replacement took the name, takes its name back."""
    found = TEMPORARY.match(path.name)
    if found is None or found.group("kind") != "replaced":
        return False
    original = path.with_name(found.group("name"))
    if original.exists():
        return False
    os.replace(str(path), str(original))
    warnings.warn("{} was being replaced by a run that was killed: put back".format(original), FileWarning,
                  stacklevel=4)
    return True


def is_inside(path, folder):
    path, folder = Path(path).resolve(), Path(folder).resolve()
    return path == folder or folder in path.parents


def check_target(target, sources, overwrite=False, in_place=False):
    """Refuses to write target over one of sources or a store holding one
    (unless in_place), or over an existing result (unless overwrite)."""
    target = Path(target)
    if not in_place:
        for source in map(Path, sources):
            if is_inside(target, source) or (target.exists() and target.is_dir() and is_inside(source, target)):
                what = "is the input" if target.resolve() == source.resolve() else (
                    "is inside the input" if is_inside(target, source) else "holds the input")
                raise WriteRefused("the output {} {} {}; choose another output or give --in-place "
                                   "(in_place=True)".format(target, what, source))
    if target.exists() and not overwrite:
        raise WriteRefused("the output {} exists; give --overwrite (overwrite=True) to replace it".format(target))


def failed_write(error, target, partial):
    """An OSError that names target and keeps the operating system's message."""
    number = error.errno or _errno_of_writing(partial)
    if number is None:
        return error
    return OSError(number, "cannot write {}: {}".format(target, os.strerror(number)), str(target))


def _errno_of_writing(partial):
    """The operating system's error of one more byte written to partial: a
    short write (NumPy's tofile) reports the bytes written, not why."""
    path = Path(partial)
    if path.is_dir():
        path = path / ".pictor-probe"
    try:
        with open(str(path), "ab") as stream:
            stream.write(b"\0")
            stream.flush()
            os.fsync(stream.fileno())
    except OSError as error:
        return error.errno
    return None


def writes_at(error, partial, target):
    """Whether the operating system's error is one of writing partial (or target), not of reading an input."""
    name = getattr(error, "filename", None)
    return name is None or str(name).startswith((str(partial), str(target)))


def os_error_in(error):
    """The operating system's error at the root of error, if there is one."""
    while error is not None:
        if isinstance(error, OSError):
            return error
        error = error.__cause__ or error.__context__
    return None


@contextlib.contextmanager
def _failures_named(target, partial):
    """An operating system's error of writing partial raised as one that names target."""
    try:
        yield
    except (KeyboardInterrupt, SystemExit, Interrupted):
        raise
    except BaseException as error:
        cause = os_error_in(error)
        if cause is not None and writes_at(cause, partial, target):
            raise failed_write(cause, target, partial) from error
        raise


# The temporary names this process is writing now, removed at once when it is stopped.
_writing = set()


def remove_own_partials():
    """Removes every temporary name this process is writing: for a run
    stopped while its threads still write (they are not waited for)."""
    with _cleaned_lock:
        paths = list(_writing)
    for path in paths:
        remove(path)


@contextlib.contextmanager
def written_as(target, stop=None):
    """A temporary name beside target for the result: renamed to target when
    the block ends (a file synced to disk first, an existing store of that
    name replaced), removed when the block fails. stop(), when given, is
    asked once more before the rename: True leaves nothing written."""
    target = Path(target)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
    except OSError as error:  # a file in the way, no permission: the output is what could not be written
        raise failed_write(error, target, target) from error
    remove_leftovers(target.parent)
    partial = temporary_name(target)
    with _cleaned_lock:
        _writing.add(partial)
    try:
        with _failures_named(target, partial):
            yield partial
            if stop is not None and stop():
                raise Interrupted()
            _sync(partial)
            _replace(partial, target)
    finally:
        remove(partial)
        with _cleaned_lock:
            _writing.discard(partial)


def _replace(partial, target):
    """partial takes target's name; a store (a folder) of that name is first
    set aside under a name of its own, so that some complete store holds the
    name, or can take it back after a kill (see restored)."""
    if not (target.is_dir() and partial.is_dir()):
        os.replace(str(partial), str(target))
        return
    aside = target.with_name(".{}.pictor-{}-{}.replaced".format(target.name, os.getpid(), uuid.uuid4().hex[:12]))
    os.replace(str(target), str(aside))
    os.replace(str(partial), str(target))
    shutil.rmtree(str(aside), ignore_errors=True)


def run_scratch_folders(outdir, run):
    """The temporary folders of a batch run's tasks below outdir (those of
    killed workers stay behind until the run or the next one removes them)."""
    return sorted(Path(outdir).glob(".{}.pictor-*.partial".format(run)))


def moved_into_place(written, scratch, outdir):
    """written, a result inside the task's scratch folder, renamed to its
    place below outdir (complete, so it takes its final name at once)."""
    target = Path(outdir) / Path(written).relative_to(scratch)
    target.parent.mkdir(parents=True, exist_ok=True)
    os.replace(str(written), str(target))
    return target


@contextlib.contextmanager
def writers_finished():
    """Dask's local threads for the block, every task of theirs finished when
    the block ends, also when it fails: a chunk still being written after
    another failed would make its store's folders again once they are removed.
    Tasks not yet started are dropped (Python 3.9 and later)."""
    import sys
    from concurrent.futures import ThreadPoolExecutor

    import dask

    pool = ThreadPoolExecutor(dask.config.get("num_workers", None) or os.cpu_count() or 1)
    try:
        with dask.config.set(pool=pool):
            yield
    finally:
        pool.shutdown(wait=True, **({"cancel_futures": True} if sys.version_info >= (3, 9) else {}))


def _sync(path):
    if path.is_file():
        with open(str(path), "rb+") as stream:
            os.fsync(stream.fileno())


@contextlib.contextmanager
def scratch_store(beside):
    """A temporary Zarr store beside the file `beside`, removed when the block ends."""
    beside = Path(beside)
    remove_leftovers(beside.parent)
    scratch = temporary_name(beside.with_name(beside.name + ".scratch.zarr"))
    with _cleaned_lock:
        _writing.add(scratch)
    try:
        with _failures_named(beside, scratch):
            yield scratch
    finally:
        remove(scratch)
        with _cleaned_lock:
            _writing.discard(scratch)


def check_in_place(target):
    """Raises unless target now exists under its final name: a result is counted only when it is there."""
    if not Path(target).exists():
        raise OSError(errno.ENOENT, "the result was not found in place after writing it", str(target))
    return target


def identity(path):
    """What tells one file under a name from another put there later (None: no file)."""
    try:
        status = os.stat(str(path))
    except FileNotFoundError:
        return None
    return status.st_dev, status.st_ino, status.st_mtime_ns


def placed_since(identities):
    """Whether any of {path: identity} now holds another file than it did:
    renamed into place, a complete result, since the identities were taken."""
    return any(identity(path) not in (None, before) for path, before in identities.items())
