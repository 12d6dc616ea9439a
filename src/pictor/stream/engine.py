"""Stripes flowing through a plan of steps, top to bottom, without Dask.

A step is Local (each block of rows made from the step's input rows around it,
`halo` rows above and below) or Gathered (a statistic of the step's whole
input first, then a Local step that uses it). Every step emits blocks at
fixed row boundaries (multiples of the run's stripe height, or of a height of
its own), so a pass made again makes the same blocks. A pass holds, per step, only the input rows its
next block needs; a Gathered step splits the run into passes, the statistic
gathered from a pass of the steps before it over a fresh reading of the source.
"""

import queue
import threading

import numpy as np


class Local:
    """compute(window, window_top, first, stop) -> the step's rows [first, stop)
    of the image, from `window`, the step's input rows [window_top, ...) that
    reach `halo` rows beyond them (fewer at the image's edges). `rows`, when
    given, is the step's own block height instead of the run's; `align`, a
    number the run's block height must be a multiple of."""

    needs_statistic = False

    def __init__(self, halo, compute, rows=None, align=1):
        self.halo, self.compute, self.rows, self.align = halo, compute, rows, align

    def blocks(self, stripes, height, block_rows):
        """The step's blocks of rows [k * block_rows, (k + 1) * block_rows)
        from its input's stripes (any heights, in order)."""
        held, held_top, held_bottom, done = [], 0, 0, 0
        for stripe in stripes:
            held.append(stripe)
            held_bottom += stripe.shape[0]
            while done < height:
                stop = min(height, done + block_rows)
                if min(height, stop + self.halo) > held_bottom:
                    break
                top = max(0, done - self.halo)
                window = _rows_of(held, held_top, top, min(height, stop + self.halo))
                yield self.compute(window, top, done, stop)
                done = stop
                while held and held_top + held[0].shape[0] <= done - self.halo:
                    held_top += held.pop(0).shape[0]


def whole_rows(function):
    """The compute of a Local step from a function of a window's rows: the rows kept are its own."""
    def compute(window, window_top, first, stop):
        return function(window)[first - window_top:stop - window_top]

    return compute


class Gathered:
    """gather(blocks, height, block_rows) -> the statistic of the step's whole
    input (consuming its blocks; block_rows the step's block height);
    local(statistic) -> the Local step that uses it, of the same `rows`."""

    needs_statistic = True
    align = 1

    def __init__(self, gather, local, rows=None):
        self.gather, self.local, self.rows = gather, local, rows


def _rows_of(held, held_top, top, bottom):
    """Rows [top, bottom) of the arrays held (consecutive rows from held_top): a
    view when one array holds them all."""
    pieces, start = [], held_top
    for array in held:
        end = start + array.shape[0]
        if end > top and start < bottom:
            pieces.append(array[max(top, start) - start:min(bottom, end) - start])
        start = end
    return pieces[0] if len(pieces) == 1 else np.concatenate(pieces)


def _chained(stripes, steps, height, block_rows):
    for step in steps:
        stripes = step.blocks(stripes, height, step.rows or block_rows)
    return stripes


def run(steps, read, height, block_rows, write, threads=1, keep=None):
    """The plan's steps over the stripes of `read()` (a fresh reading each
    pass), the last step's blocks handed to write() in order.

    keep(index), when given, may return a store (put, read) for the input of
    the Gathered step at that index: the pass that gathers its statistic
    then also puts every block there, and the later passes read them back
    instead of making them again.

    With threads > 1, each step runs on a thread of its own, a block ahead of
    the next: the steps overlap while each kernel splits its rows too.
    """
    ready = []
    for index, step in enumerate(steps):
        if step.needs_statistic:
            blocks = _stream(read(), ready, height, block_rows, threads)
            # A statistic of the source itself reads the source again: only an
            # input that the steps before made is worth keeping.
            store = keep(index) if keep is not None and ready else None
            if store is not None:
                blocks = _putting(blocks, store[0])
                read, ready = store[1], []
            step = step.local(step.gather(blocks, height, step.rows or block_rows))
        ready.append(step)
    for block in _stream(read(), ready, height, block_rows, threads):
        write(block)


def stripes(array, rows, copied=False):
    """A fresh reading of array for run(): its stripes of `rows` rows (views, or copies)."""
    return lambda: ((array[top:top + rows].copy() if copied else array[top:top + rows])
                    for top in range(0, array.shape[0], rows))


def filling(array):
    """put(block) for run(): the block becomes the next rows of array."""
    filled = [0]

    def put(block):
        array[filled[0]:filled[0] + block.shape[0]] = block
        filled[0] += block.shape[0]

    return put


def _putting(blocks, put):
    for block in blocks:
        put(block)
        yield block


def _stream(stripes, steps, height, block_rows, threads):
    if threads <= 1:
        return _chained(stripes, steps, height, block_rows)
    for step in steps:
        stripes = ahead(step.blocks(stripes, height, step.rows or block_rows))
    return stripes


# Blocks made ahead of their consumer: enough to keep the threads busy, few
# enough to keep the memory bounded by the stripes.
AHEAD = 1


class ahead:
    """The items of `iterable`, made on a thread of its own up to AHEAD ahead of
    the consumer. Closing it (or dropping it) stops the thread."""

    _END = object()

    def __init__(self, iterable, depth=AHEAD):
        self._items = queue.Queue(maxsize=depth)
        self._stopped = threading.Event()
        self._thread = threading.Thread(target=self._produce, args=(iter(iterable),), daemon=True,
                                        name="pictor-stream")
        self._thread.start()

    def _produce(self, iterator):
        try:
            for item in iterator:
                if not self._put((True, item)):
                    return
            self._put((True, self._END))
        except BaseException as error:  # noqa: B902 - raised again on the consumer's thread
            self._put((False, error))
        finally:
            close = getattr(iterator, "close", None)
            if close is not None:
                close()

    def _put(self, entry):
        while not self._stopped.is_set():
            try:
                self._items.put(entry, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def __iter__(self):
        try:
            while True:
                ok, item = self._items.get()
                if not ok:
                    raise item
                if item is self._END:
                    return
                yield item
        finally:
            self.close()

    def close(self):
        self._stopped.set()
        self._thread.join()
