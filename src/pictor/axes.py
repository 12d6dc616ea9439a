"""Named axes: N-D stacks (time series, z-stacks, many channels) through the
2-D methods, one Y x X plane (with its S samples) at a time.

The letters are those of OME: T time, Z depth, C channel, Y and X the rows and
columns of a plane, S the three samples of a colour pixel. Every plane's result
is that of the method's own call on it, so the result equals a loop over the
planes bit for bit and a statistic (a maximum, a histogram, a threshold) is
each plane's own. A C axis
of any length is a set of grey planes; only S makes a colour plane.
"""

import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor, wait
from itertools import product

import numpy as np

LETTERS = "TZCYXS"
PLANE_AXES, COLOUR_PLANE_AXES = "YX", "YXS"
COLOUR_SAMPLES = 3
# A stack's first planes run on the caller's thread for this long, to learn
# what a plane costs; a stack done by then never wakes a thread.
TIMING_SECONDS = 0.5e-3
# Planes cheaper than this stay on the caller's thread: two threads would pass
# the GIL to and fro around each plane's call for about as long as the plane's
# own work (a 64 x 64 Gaussian blur takes about 5 microseconds, and OpenCV
# splits it over its threads already; auto_level of the same plane, about 17,
# runs 1.8 times as fast on two threads).
PARALLEL_PLANE_SECONDS = 10e-6

# A block of planes that go through a step together holds at most this many
# samples, or one plane: larger blocks measured slower (their copies leave
# the cache), and many small planes still go in a few calls.
BLOCK_SAMPLES = 1 << 20
# Stacks of fewer samples go through in one block on the caller's thread:
# their blocks take about as long as handing one to another thread.
PARALLEL_BLOCK_SAMPLES = 1 << 16

DOC = """
axes: None, or the letters naming the image's axes, for N-D data: T time,
    Z depth, C channel, Y, X, S the 3 samples of a colour pixel (e.g. "ZYX",
    "TCZYX", "CYX", "ZYXS"). Without axes a 2-D image is "YX" and a
    (height, width, 3) image is "YXS". Each Y x X plane (with its S samples)
    is processed on its own (in parallel threads where a plane's work
    outweighs the handover); the result has the
    input's axes; it equals a loop over the planes, and every statistic (a
    maximum, a histogram, a threshold) is the plane's own. A C axis of any
    length is a set of grey planes."""


def default_axes(shape):
    if len(shape) == 2:
        return PLANE_AXES
    if len(shape) == 3 and shape[2] == COLOUR_SAMPLES:
        return COLOUR_PLANE_AXES
    return None


def checked_axes(function_name, image, axes, grey_only, colour_only=False):
    """The validated axes letters of IMAGE; None when it is one plane in the
    methods' own layout (the caller then runs the method on it directly)."""
    if not isinstance(image, np.ndarray):
        return None  # the image check says what is wrong
    return validated_axes(function_name, image.shape, axes, grey_only, colour_only)


def validated_axes(function_name, shape, axes, grey_only, colour_only=False):
    """checked_axes for an array of SHAPE (a NumPy or a Dask array)."""
    shape = tuple(shape)
    if axes is None:
        if default_axes(shape) is not None or len(shape) < 3:
            return None
        accepted = "(height, width)" if grey_only else "(height, width) grey or (height, width, 3) colour"
        raise ValueError("{}(): img has shape {}; accepted: {}, or N-D data with its axes named, e.g. "
                         "axes='ZYX' for a z-stack, 'CYX' for channels, 'TCZYX' (letters: T time, Z depth, "
                         "C channel, Y, X, S colour samples)".format(function_name, shape, accepted))
    if not isinstance(axes, str):
        raise TypeError("{}(): axes must be a string of the letters {}, got {} {!r}".format(
            function_name, LETTERS, type(axes).__name__, axes))
    unknown = sorted(set(axes) - set(LETTERS))
    if unknown:
        raise ValueError("{}(): axes {!r} has the letter(s) {}; accepted: {} (T time, Z depth, C channel, Y, X, "
                         "S colour samples)".format(function_name, axes, ", ".join(unknown), LETTERS))
    if len(set(axes)) != len(axes):
        raise ValueError("{}(): axes {!r} names an axis twice".format(function_name, axes))
    if len(axes) != len(shape):
        raise ValueError("{}(): axes {!r} names {} axes; img has {}, shape {}".format(
            function_name, axes, len(axes), len(shape), shape))
    if "Y" not in axes or "X" not in axes:
        raise ValueError("{}(): axes {!r} must name the plane's rows Y and columns X".format(function_name, axes))
    if "S" in axes and shape[axes.index("S")] != COLOUR_SAMPLES:
        raise ValueError("{}(): axis S holds the {} samples of a colour pixel; img has {} along it (name "
                         "other channels C: each is a grey plane)".format(
                             function_name, COLOUR_SAMPLES, shape[axes.index("S")]))
    if "S" in axes and grey_only:
        raise ValueError("{}(): works on grey planes only; axes {!r} has colour samples S (process each "
                         "sample as a grey plane with axis C)".format(function_name, axes))
    if "S" not in axes and colour_only:
        raise ValueError("{}(): needs colour planes; axes {!r} has no S (the 3 samples of a colour pixel; a "
                         "C axis is a set of grey planes)".format(function_name, axes))
    if axes == default_axes(shape):
        return None
    if 0 in shape:
        raise ValueError("{}(): img has shape {} with axes {!r}: it holds no plane".format(
            function_name, shape, axes))
    return axes


def plane_order(axes):
    """(stacked letters, plane letters, the transpose that puts the planes last)."""
    plane_letters = [letter for letter in "YXS" if letter in axes]
    stack_letters = [letter for letter in axes if letter not in "YXS"]
    return stack_letters, plane_letters, [axes.index(letter) for letter in stack_letters + plane_letters]


def plane_shape(shape, axes):
    """The shape of one plane of an image of SHAPE with these AXES, in the methods' layout."""
    return tuple(shape[axes.index(letter)] for letter in "YXS" if letter in axes)


def plane_workers():
    """As many threads as OpenCV uses: the methods release the GIL, and one
    knob (cv2.setNumThreads) sets the parallelism of the whole library."""
    import cv2

    return max(1, cv2.getNumThreads() or os.cpu_count() or 1)


def result_axes(axes, plane_result):
    """The result's letters: the input's, without S when a colour plane came back grey, and
    only the stack's letters when each plane gives a number (threshold_level)."""
    kept = {3: "YXS", 2: "YX", 0: ""}[plane_result.ndim]
    return "".join(letter for letter in axes if letter not in "YXS" or letter in kept) + (
        "S" if "S" in kept and "S" not in axes else "")


def run_planes(image, axes, plane_step, plane_step_into=None, planes_step_into=None, workers=None):
    """plane_step on every Y x X (x S) plane of IMAGE, reassembled with the input's axes.

    plane_step takes and returns one plane in the methods' layout: (Y, X) or
    (Y, X, S). Every plane's result must have the same shape and type. Each
    result is copied into the one output array as soon as it is made, so its
    memory is reused for the next plane; plane_step_into(plane, out), if
    given, writes the result into out itself when the output's planes are
    contiguous. planes_step_into(planes, out), if given, fills out, a uint16
    array of the shape of planes (n, Y, X), with every grey plane's result:
    blocks of planes then go through it at once.
    """
    if planes_step_into is not None and "S" not in axes:
        result = run_plane_blocks(image, axes, planes_step_into, workers)
        if result is not None:
            return result
    stack_letters, _, order = plane_order(axes)
    planes = np.transpose(image, order)
    indices = list(product(*(range(n) for n in planes.shape[:len(stack_letters)])))
    started = time.perf_counter()
    first = plane_step(planes[indices[0]])
    first_seconds = time.perf_counter() - started
    letters = result_axes(axes, first)
    sizes = dict(zip(stack_letters, planes.shape[:len(stack_letters)]))
    sizes.update(zip("YXS", first.shape))
    result = np.empty([sizes[letter] for letter in letters], dtype=first.dtype)
    out_planes = np.transpose(result, [letters.index(l) for l in stack_letters + [l for l in "YXS" if l in letters]])
    out_planes[indices[0]] = first
    if plane_step_into is not None and out_planes[indices[0]].flags.c_contiguous:
        run = results_written_in_place(planes, out_planes, plane_step_into)
    else:
        run = results_copied(planes, out_planes, plane_step, first)
    rest = indices[1:]
    if workers is None:
        rest, workers = timed_start(run, rest, first_seconds)
    share_out(run, rest, workers)
    return result


def run_planes_with_numbers(image, axes, plane_call, workers=None):
    """plane_call on every plane of IMAGE, whose result is an image, a number,
    or a tuple of them: each image part restacked with the input's axes (as
    run_planes does), each number part an array over the stacked axes in
    their order. The planes are shared over the threads."""
    stack_letters, _, order = plane_order(axes)
    planes = np.transpose(image, order)
    stack_shape = planes.shape[:len(stack_letters)]
    indices = list(product(*(range(n) for n in stack_shape)))
    first = plane_call(planes[indices[0]])
    single = not isinstance(first, tuple)
    parts = (first,) if single else first
    outputs, views = [], []
    for part in parts:
        if isinstance(part, np.ndarray):
            letters = result_axes(axes, part)
            sizes = dict(zip(stack_letters, stack_shape))
            sizes.update(zip("YXS", part.shape))
            output = np.empty([sizes[letter] for letter in letters], dtype=part.dtype)
            plane_letters = [letter for letter in "YXS" if letter in letters]
            views.append(np.transpose(output, [letters.index(l) for l in stack_letters + plane_letters]))
        else:
            output = np.empty(stack_shape, dtype=np.asarray(part).dtype)
            views.append(output)
        outputs.append(output)

    def store(index, results):
        for view, part in zip(views, (results,) if single else results):
            view[index] = part

    def run(chosen):
        for index in chosen:
            store(index, plane_call(planes[index]))

    store(indices[0], first)
    share_out(run, indices[1:], workers or plane_workers())
    return outputs[0] if single else tuple(outputs)


def run_plane_blocks(image, axes, planes_step_into, workers=None):
    """planes_step_into over blocks of IMAGE's grey planes, the blocks shared
    over the threads; None unless the planes are IMAGE's last axes (else the
    output's planes are not contiguous)."""
    _, _, order = plane_order(axes)
    if order != list(range(len(order))):
        return None
    result = np.empty(image.shape, np.uint16)
    planes = image.reshape((-1,) + image.shape[-2:])
    out_planes = result.reshape(planes.shape)
    count = len(planes)
    if workers is None:
        workers = plane_workers() if image.size >= PARALLEL_BLOCK_SAMPLES else 1
    # Blocks of at most BLOCK_SAMPLES or one plane, and one for each thread at least.
    blocks = min(count, max(-(-image.size // BLOCK_SAMPLES), workers))
    starts = [count * block // blocks for block in range(blocks + 1)]

    def run(spans):
        for span in spans:
            planes_step_into(planes[span], out_planes[span])

    share_out(run, [slice(start, end) for start, end in zip(starts, starts[1:])], workers)
    return result


def share_out(run, indices, workers):
    """run(iterable of indices) on WORKERS threads, the caller's own included,
    each taking the next of INDICES when done with one: a thread the machine
    runs less than the others (the cores are shared) does fewer instead of
    holding up the rest."""
    workers = min(workers, len(indices))
    if workers <= 1:
        run(indices)
        return
    remaining = SharedIndices(indices)
    futures = [shared_pool(workers - 1).submit(run, remaining) for _ in range(workers - 1)]
    try:
        run(remaining)
    finally:
        remaining.close()
        wait(futures)
    for future in futures:
        future.result()


def timed_start(run, indices, first_seconds):
    """Runs the first of the planes at INDICES on the caller's thread for
    TIMING_SECONDS, unless the first plane alone took FIRST_SECONDS as long;
    (the indices left, the threads worth running them on)."""
    seconds, done = first_seconds, 1
    if first_seconds < TIMING_SECONDS:
        # The first plane also paid for warming up (the output's first pages,
        # OpenCV's sleeping threads): the next ones alone say what a plane costs.
        started, done = time.perf_counter(), 0
        while indices and time.perf_counter() - started < TIMING_SECONDS:
            run(indices[:1])
            indices = indices[1:]
            done += 1
        seconds = time.perf_counter() - started
    seconds_per_plane = seconds / max(done, 1)
    return indices, plane_workers() if seconds_per_plane >= PARALLEL_PLANE_SECONDS else 1


class SharedIndices:
    """Plane indices handed out one at a time to the threads iterating over them."""

    def __init__(self, indices):
        self._next = iter(indices).__next__
        self._lock = threading.Lock()

    def __iter__(self):
        return self

    def __next__(self):
        with self._lock:
            return self._next()

    def close(self):
        """Hands out no more indices (after a failure, the other threads stop at their next plane)."""
        with self._lock:
            self._next = iter(()).__next__


def results_written_in_place(planes, out_planes, plane_step_into):
    """run(indices): plane_step_into on the planes at INDICES, into out_planes."""
    def run(indices):
        for index in indices:
            plane_step_into(planes[index], out_planes[index])
    return run


def results_copied(planes, out_planes, plane_step, first):
    """run(indices): plane_step on the planes at INDICES, each result copied into out_planes."""
    def run(indices):
        for index in indices:
            plane_result = plane_step(planes[index])
            if plane_result.shape != first.shape or plane_result.dtype != first.dtype:
                raise ValueError("plane {} gave a result of shape {} {}, the first plane {} {}".format(
                    index, plane_result.shape, plane_result.dtype, first.shape, first.dtype))
            out_planes[index] = plane_result
    return run


_pools = {}
_pools_lock = threading.Lock()


def shared_pool(threads):
    """A pool of THREADS threads kept for later calls: starting threads costs
    more than a stack of small planes takes."""
    with _pools_lock:
        if threads not in _pools:
            _pools[threads] = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="pictor-planes")
        return _pools[threads]


def _forget_pools():
    # A forked child has none of the parent's threads.
    _pools.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_pools)
