"""Image files through pictor.dask's graphs, for clusters and the chains
without a stripe form: a file as a dask array of row stripes, a result
stored into a Zarr store, or handed in row order to the TIFF writer of the
stream (computed on the cluster when a client is active)."""

import sys
import threading

import numpy as np

from pictor.stream.files import TiffRegions, distributed_client, file_kind, tiff_rows

# Samples per stripe read at once (Dask's graphs).
STRIPE_SAMPLES = 1 << 22


def write_zarr(result, path, show_progress):
    import dask.array as da
    import zarr

    # Regular chunks, one Zarr chunk per task: no two tasks write one chunk.
    chunks = tuple(max(c) if c else 1 for c in result.chunks)
    result = result.rechunk(chunks)
    target = zarr.open_array(str(path), mode="w", shape=result.shape, dtype=result.dtype, chunks=chunks)
    with _progress(show_progress, result):
        da.store(result, target, lock=False)


class _progress:
    """A bar on stderr (when it is a terminal) that counts the result's chunks
    as they are stored, under the local schedulers."""

    def __init__(self, show, result):
        self.callback = None
        if show:
            from dask.callbacks import Callback

            total = result.npartitions
            stored = []

            def count(key, *_):
                name = str(key[0] if isinstance(key, tuple) else key)
                if "store-map" in name:  # alone or fused with the steps before it
                    stored.append(key)
                    filled = 30 * len(stored) // total
                    sys.stderr.write("\r[{}{}] {}/{} chunks".format("#" * filled, "." * (30 - filled),
                                                                    len(stored), total))
                    sys.stderr.flush()

            self.callback = Callback(posttask=count)

    def __enter__(self):
        if self.callback is not None:
            self.callback.__enter__()

    def __exit__(self, *exc):
        if self.callback is not None:
            self.callback.__exit__(*exc)
            sys.stderr.write("\n")


def run_graph(pipe, source, partial, kind, layout, threads):
    """The pipeline as pictor.dask's graph, on a distributed client when one
    is active, else on this process's threads."""
    import dask

    def read():
        return read_stripes(source)

    result = pipe.lazy(read(), read)
    with dask.config.set(scheduler="threads", num_workers=threads):
        if kind == "zarr":
            write_zarr(result, partial, show_progress=False)
        else:
            write_tiff(result, partial, **layout)


def read_stripes(path, samples=None):
    """A (tiled) TIFF or Zarr array as a dask array of full-width row stripes,
    each read by a task of its own straight from the file, as high as a whole
    number of the file's tile (chunk) rows; each call's tasks are its own."""
    import uuid

    import dask.array as da


    if file_kind(path) == "zarr":
        import zarr

        stored = zarr.open_array(str(path), mode="r")
    else:
        stored = TiffRegions(path)
    per_row = max(1, int(np.prod(stored.shape[1:])))
    tile_rows = max(1, stored.chunks[0])
    rows = max(tile_rows, (samples or STRIPE_SAMPLES) // per_row // tile_rows * tile_rows)
    return da.from_array(stored, chunks=(min(rows, stored.shape[0]),) + tuple(stored.shape[1:]),
                         name="read-{}-{}".format(path.name, uuid.uuid4().hex), asarray=False, lock=False,
                         fancy=False)


class _InOrder:
    """A target for dask.array.store that hands full-width row blocks to
    put() in row order, whatever order the threads finish them in."""

    def __init__(self, shape, dtype, put):
        self.shape, self.dtype, self.ndim = shape, dtype, len(shape)
        self.put = put
        self.waiting, self.next_row = {}, 0
        self.lock = threading.Lock()

    def __setitem__(self, region, block):
        # No thread waits here for the stripes before its own: the thread
        # computing those may be the one that would wait. The lock, held
        # while put() waits for the writer, keeps the blocks in order.
        top = region[0].start or 0
        with self.lock:
            self.waiting[top] = np.ascontiguousarray(block)
            while self.next_row in self.waiting:
                ready = self.waiting.pop(self.next_row)
                self.put(ready)
                self.next_row += ready.shape[0]


def write_tiff(result, path, tile, compression, ome=False):
    """result (a dask array) into a tiled BigTIFF, tile row by tile row, while
    later stripes are computed: the writer runs on its own thread."""
    result = result.rechunk({1: -1} if result.ndim == 2 else {1: -1, 2: -1})
    with tiff_rows(path, result.shape, result.dtype, tile, compression, ome) as rows:
        _store(result, _InOrder(result.shape, result.dtype, rows.put))


def _store(result, target):
    """Every row block of result into target: on this process's threads, or,
    under a distributed client, computed on the cluster and handed over here."""
    client = distributed_client()
    if client is None:
        _store_in_order(result, target)
        return
    tops = np.cumsum((0,) + result.chunks[0])
    from distributed import as_completed

    futures = client.compute(list(result.to_delayed().ravel()))
    index = {future.key: position for position, future in enumerate(futures)}
    for future in as_completed(futures):
        top = int(tops[index[future.key]])
        block = future.result()
        target[(slice(top, top + block.shape[0]),)] = block
        future.release()


def _ancestors(keys, dependencies, known=()):
    """The keys that `keys` need, themselves included, not looking past `known`."""
    found, stack = set(), list(keys)
    while stack:
        key = stack.pop()
        if key in found:
            continue
        found.add(key)
        if key not in known:
            stack.extend(dependencies[key])
    return found


# A result that serves this many windows of rows is shared: made once and kept.
SHARED = 3


def _store_in_order(result, target):
    """The row blocks of result computed a few at a time, top to bottom, on
    this process's threads: Dask alone finishes them in an order of its own,
    and every block finished before the first would wait in memory.

    A result that serves three or more windows (a whole-image statistic,
    Canny's seam seeds) is kept until no later window needs it, so it is
    computed once, and so is one that the next window needs (the rows around
    a cut); other stripes that a statistic came from are not kept, and a later
    window computes its own again (recomputing is cheaper than holding them).
    """
    import os
    from collections import defaultdict

    import dask
    from dask._task_spec import DataNode, convert_legacy_graph
    from dask.callbacks import Callback
    from dask.core import flatten
    from dask.threaded import get

    graph = convert_legacy_graph(dict(result.__dask_graph__()))
    dependencies = {key: set(task.dependencies) for key, task in graph.items()}
    dependents = defaultdict(set)
    for key, needed in dependencies.items():
        for dependency in needed:
            dependents[dependency].add(key)
    outputs = list(flatten(result.__dask_keys__()))
    threads = dask.config.get("num_workers", None) or os.cpu_count() or 1
    size = max(2, 2 * threads)
    windows = [outputs[start:start + size] for start in range(0, len(outputs), size)]
    serving = defaultdict(set)  # key: the windows that need it
    for index, keys in enumerate(windows):
        for key in _ancestors(keys, dependencies):
            serving[key].add(index)
    kept, done = {}, set()

    class Keep(Callback):
        def __init__(self, index):
            super().__init__()
            self.index = index

        def _posttask(self, key, value, dsk, state, worker_id):
            if key in outputs_of_window:
                return
            if len(serving[key]) >= SHARED or self.index + 1 in serving[key]:
                kept[key] = value
            if len(serving[key]) >= SHARED:
                done.add(key)
            for dependency in dependencies[key]:
                # An input whose shared users are all made is dropped: a window
                # that needs it for its own rows makes it again.
                if dependency in kept and all(user in done for user in dependents[dependency]
                                              if len(serving[user]) >= SHARED):
                    del kept[dependency]

    def computed(keys, index):
        needed = _ancestors(keys, dependencies, known=kept)
        subgraph = {key: DataNode(key, kept[key]) if key in kept else graph[key] for key in needed}
        return get(subgraph, keys, num_workers=threads, callbacks=[Keep(index)._callback])

    # The results that serve every window are made first, a few at a time in
    # the graph's own order, so that the stripes they come from are not all
    # held at once (a statistic's per-stripe parts, Canny's seam summaries).
    from dask.order import order

    priority = order(graph)
    shared = sorted((key for key, users in serving.items() if len(users) >= SHARED), key=priority.get)
    outputs_of_window = set()
    for start in range(0, len(shared), size):
        computed(shared[start:start + size], -1)

    tops = np.cumsum((0,) + result.chunks[0])
    for index, keys in enumerate(windows):
        outputs_of_window = set(keys)
        values = computed(keys, index)
        for key, block in zip(keys, values):
            top = int(tops[key[1]])
            target[(slice(top, top + block.shape[0]),)] = block
        for key in [key for key in kept if max(serving[key]) <= index]:
            del kept[key]
