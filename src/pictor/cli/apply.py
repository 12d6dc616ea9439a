"""`pictor apply`: one operation on image files, each result written whole
or not at all (pictor.io's rule for every path that writes)."""

import functools
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path

import pictor
from pictor.io import imagej, kinds, ome_tiff, ome_zarr, safety
from pictor.io import metadata as metadata_rules
from pictor.io.images import Page, read_pages, write_pages
from pictor.io.kinds import IMAGE_SUFFIXES, SIXTEEN_BIT_SUFFIXES, TIFF_SUFFIXES, ZARR_SUFFIX
from pictor.io.safety import Interrupted
from pictor.io.stores import has_named_axes, image_layout
from pictor.io.tiff import holds_one_image
from pictor.pipeline import Pipeline
from pictor.cli.operations import (EXIT_FAILED, UsageError, is_chain, one_line, parse_keywords, resolve_chain,
                                   resolve_function)

# Fewer distinct levels than this in the 8-bit working copy is worth a note.
FEW_LEVELS = 64
WORKING_LEVEL_WIDTH = 257  # a 16-bit sample v is level v // 257 of the working copy
PROGRESS_INTERVAL = 0.5


def collect_inputs(paths, recursive):
    """([(source, path relative to the output folder)], [(path, why skipped)], [input folders])."""
    files, skipped, folders = [], [], []
    for path in map(Path, paths):
        if not path.is_dir() or path.suffix.lower() == ZARR_SUFFIX:  # a Zarr store is one image
            files.append((path, Path(path.name)))
            continue
        folders.append(path)
        for folder, subfolders, names in os.walk(path):
            subfolders.sort()
            subfolders[:] = [sub for sub in subfolders if not safety.is_temporary(sub)]
            stores = [sub for sub in subfolders if sub.lower().endswith(ZARR_SUFFIX)]  # each one image
            files += [(Path(folder) / sub, (Path(folder) / sub).relative_to(path)) for sub in stores]
            subfolders[:] = [sub for sub in subfolders if sub not in stores]
            if not recursive:
                skipped += [(Path(folder) / sub, "a folder (give -r to include it)") for sub in subfolders]
                subfolders.clear()
            for name in sorted(names):
                source = Path(folder) / name
                if safety.is_temporary(name):
                    continue
                if source.suffix.lower() in IMAGE_SUFFIXES:
                    files.append((source, source.relative_to(path)))
                else:
                    skipped.append((source, "not an image file"))
    return unique_sources(files), skipped, folders


def unique_sources(files):
    """Each input once, however often it was named: two runs of one file would write one result twice."""
    seen, unique = set(), []
    for source, relative in files:
        key = source.resolve()
        if key not in seen:
            seen.add(key)
            unique.append((source, relative))
    return unique


def refuse_writing_over_inputs(files, folders, outdir, in_place):
    if in_place:
        return
    for folder in folders + [source for source, _ in files if source.is_dir()]:  # a store is a folder
        if safety.is_inside(outdir, folder):
            raise UsageError("the output folder {} is the input folder {} or inside it; choose another -o "
                             "or give --in-place".format(outdir, folder))
    for source, relative in files:
        for target in output_paths(relative, outdir):
            if source.exists() and target.resolve() == source.resolve():
                raise UsageError("{} would be overwritten by its own result; choose another -o or give "
                                 "--in-place".format(source))


def output_path(relative, outdir, is_16_bit):
    """The input's place in OUTDIR; formats without 16-bit samples become TIFF."""
    if is_16_bit and relative.suffix.lower() not in SIXTEEN_BIT_SUFFIXES | {ZARR_SUFFIX}:
        return outdir / relative.with_suffix(".tif")
    return outdir / relative


def output_paths(relative, outdir):
    """Where the input's result may go, whatever its depth."""
    return [output_path(relative, outdir, is_16_bit) for is_16_bit in (False, True)]


def refuse_colliding_outputs(files, outdir):
    seen = {}
    for source, relative in files:
        for target in output_paths(relative, outdir):
            if seen.setdefault(target, source) != source:
                raise UsageError("{} and {} would both be written to {}".format(seen[target], source, target))


def existing_outputs(files, outdir):
    """The inputs whose result is already there, whatever its depth."""
    return {source for source, relative in files
            if any(target.exists() for target in output_paths(relative, outdir))}


# ---------------------------------------------------------------- one file, a batch

class Notes:
    """Messages printed once per run, whichever file first gives rise to them."""

    def __init__(self):
        self.lock, self.seen = threading.Lock(), set()

    def once(self, key, message):
        with self.lock:
            if key in self.seen:
                return
            self.seen.add(key)
        print(message, file=sys.stderr)


def reduces_to_eight_bits(function, keywords):
    """Whether this call reduces a uint16 image to the 8-bit working copy:
    --depth working, or a method whose result is 8-bit by design."""
    if function.full_depth:
        return keywords.get("depth") == "working"
    return function.eight_bit_copy


def note_collapse(notes, function, keywords, source, image):
    """Notes when 16-bit data reaches the 8-bit working copy with few levels left."""
    import numpy as np

    if image.dtype != np.uint16 or not reduces_to_eight_bits(function, keywords):
        return
    levels = np.count_nonzero(np.bincount((image // WORKING_LEVEL_WIDTH).ravel(), minlength=256))
    if levels < FEW_LEVELS and np.unique(image).size >= FEW_LEVELS:
        how = "--depth working" if function.full_depth else "an 8-bit result by design"
        notes.once("collapse", "note: {}: {} ({}) works on an 8-bit copy, where these 16-bit values (range {}-{}) "
                   "keep only {} levels{}".format(
                       source, function.__name__, how, image.min(), image.max(), levels,
                       "; leave out --depth working to compute at 16 bits" if function.full_depth else ""))


class Progress:
    """A one-line progress report on stderr when it is a terminal, with the
    elapsed time, refreshed while a long file runs."""

    def __init__(self, total):
        self.total, self.done = total, 0
        self.started = time.monotonic()
        self.visible = sys.stderr.isatty()
        self.finished = threading.Event()
        self.lock = threading.Lock()
        if self.visible:
            threading.Thread(target=self.tick, daemon=True).start()

    def tick(self):
        while not self.finished.wait(PROGRESS_INTERVAL):
            self.show()

    def show(self):
        with self.lock:
            filled = 30 * self.done // max(self.total, 1)
            sys.stderr.write("\r[{}{}] {}/{} files, {:.0f} s".format(
                "#" * filled, "." * (30 - filled), self.done, self.total, time.monotonic() - self.started))
            sys.stderr.flush()

    def message(self, text):
        """A line of its own, below the progress line."""
        with self.lock:
            print(("\n" if self.visible else "") + text, file=sys.stderr)

    def advance(self):
        self.done += 1
        if self.visible:
            self.show()

    def close(self):
        self.finished.set()
        if self.visible:
            sys.stderr.write("\n")


def apply_to_file(function, keywords, source, relative, outdir, stop, notes, axes=None):
    """One input file to its result in outdir; axes names the axes of a file
    that carries none (--axes)."""
    if stop.is_set():
        raise Interrupted()
    from pictor.functions import check_image
    import numpy as np

    if source.suffix.lower() == ZARR_SUFFIX:
        if not ome_zarr.is_ome_zarr(source):
            raise ValueError("cannot be represented: {} is not an OME-Zarr image (give --chunked for a plain "
                             "Zarr array)".format(source))
        return ome_zarr.apply_to_ome_zarr(function, keywords, source, output_path(relative, outdir, True),
                                          stop.is_set)
    if source.suffix.lower() in TIFF_SUFFIXES and ome_tiff.is_ome_tiff(source):
        return apply_to_stack(OME_TIFF, function, keywords, source, relative, outdir, stop, notes)
    if source.suffix.lower() in TIFF_SUFFIXES and imagej.is_imagej_stack(source):
        return apply_to_stack(IMAGEJ, function, keywords, source, relative, outdir, stop, notes)
    pages = read_pages(source, axes)
    results = []
    for page in pages:
        try:
            if page.axes is None:
                check_image(function.__name__, page.data, function.grey_only)
            elif isinstance(function, Pipeline):
                raise ValueError("a chain takes images of the default axes, not {} (give --axes YXS for a "
                                 "colour image)".format(page.axes))
        except (TypeError, ValueError) as error:
            raise ValueError("cannot be represented for {}: {}".format(
                function.__name__, str(error).split(": ", 1)[-1])) from None
        note_collapse(notes, function, keywords, source, page.data)
        named = {} if page.axes is None else {"axes": page.axes}
        result = function(page.data, **named, **keywords)
        if not isinstance(result, np.ndarray):
            raise TypeError("the operation returned {} instead of an image".format(type(result).__name__))
        results.append(Page(result, page.tags, page.axes and ome_tiff.result_axes(page.axes, result)))
    if len(pages) > 1 and relative.suffix.lower() not in TIFF_SUFFIXES:
        raise ValueError("cannot be represented: {} pages".format(len(pages)))
    target = output_path(relative, outdir, any(page.data.dtype.itemsize > 1 for page in results))
    return write_pages(target, results, stop)


# How a file of named axes is read, given its result's metadata and written.
OME_TIFF = (ome_tiff.read_ome_tiff, ome_tiff.result_metadata, ome_tiff.encode_ome_tiff)
IMAGEJ = (imagej.read_imagej, imagej.result_metadata, imagej.encode_imagej)


def apply_to_stack(kind, function, keywords, source, relative, outdir, stop, notes):
    """An OME-TIFF or ImageJ hyperstack: each image by its named axes, written with its metadata."""
    read, metadata_of, encode = kind
    images = read(source)
    for image in images:
        note_collapse(notes, function, keywords, source, image.data)
    try:
        results = [result for image in images for result in ome_tiff.apply_to_images(
            function, metadata_rules.with_voxel_spacing(function, keywords, image.axes,
                                                        metadata_rules.voxel_sizes(image.metadata)),
            [image], metadata_of)]
    except (TypeError, ValueError) as error:
        raise ValueError("cannot be represented for {}: {}".format(
            function.__name__, str(error).split(": ", 1)[-1])) from None
    target = output_path(relative, outdir, any(image.data.dtype.itemsize > 1 for image in results))
    return write_pages(target, results, stop, encode=encode)


def run_batch(function, keywords, files, outdir, workers, fail_fast, step=apply_to_file):
    import cv2

    # Files run in parallel threads; OpenCV's own thread pool would only compete with them.
    cv2.setNumThreads(1)
    stop, notes = threading.Event(), Notes()
    progress = Progress(len(files))
    failures = written = 0
    pool = ThreadPoolExecutor(max_workers=workers)
    pending = {pool.submit(step, function, keywords, source, relative, outdir, stop, notes): source
               for source, relative in files}
    try:
        for future in as_completed(pending):
            progress.advance()
            error = future.exception()
            if error is None:
                error = in_place_or_error(future.result())
            if error is None:
                written += 1
                continue
            failures += 1
            progress.message("{}: {}".format(pending[future], one_line(error)))
            if fail_fast:
                stop.set()
                break
    except KeyboardInterrupt:
        # The files in progress are not waited for: their temporary files go now.
        stop.set()
        for future in pending:  # what has not started never starts (cancel_futures needs Python 3.9)
            future.cancel()
        pool.shutdown(wait=False)
        safety.remove_own_partials()
        progress.close()
        raise
    for future in pending:
        future.cancel()
    pool.shutdown(wait=True)
    progress.close()
    return written, failures


def in_place_or_error(target):
    """None when the result is under its final name, else the error that says it is not."""
    try:
        safety.check_in_place(target)
    except OSError as error:
        return error
    return None


def command_apply(options):
    if is_chain(options.operation):
        if options.keywords:
            raise UsageError("in a chain, give each step's keywords after its name: 'gaussian_blur ksize=5 | ...' "
                             "(got {})".format(" ".join(options.keywords)))
        function, keywords = resolve_chain(options.operation, options.depth), {}
    else:
        function = resolve_function(options.operation)
        keywords = parse_keywords(options.keywords, function)
        if options.depth and function.full_depth:
            keywords["depth"] = options.depth
    if options.chunked:
        if options.axes:
            raise UsageError("--axes applies to files read whole (pictor apply without --chunked, with or without "
                             "--scheduler); --chunked takes its axes from the file (OME-TIFF, ImageJ hyperstack, "
                             "OME-Zarr) or reads a plain one as one Y x X (x 3) image")
        return apply_chunked(options, function, keywords)
    if options.compression or options.tile:
        raise UsageError("--compression and --tile apply to --chunked runs (their TIFF outputs), not to files "
                         "written whole")
    files, skipped, folders = collect_inputs(options.inputs, options.recursive)
    outdir = Path(options.output)
    refuse_writing_over_inputs(files, folders, outdir, options.in_place)
    refuse_colliding_outputs(files, outdir)
    if not options.overwrite:
        existing = existing_outputs(files, outdir)
        skipped += [(source, "its result exists (give --overwrite to replace it)") for source in sorted(existing)]
        files = [(source, relative) for source, relative in files if source not in existing]
    for path, reason in skipped:
        print("skipped {}: {}".format(path, reason), file=sys.stderr)
    if options.dry_run:
        for source, relative in files:
            print("would read {} and write {}".format(source, output_path(relative, outdir, False)), file=sys.stderr)
        return 0
    if not files:
        if skipped:
            print("nothing to do", file=sys.stderr)
            return 0
        raise UsageError("no input images")
    outdir.mkdir(parents=True, exist_ok=True)
    step = functools.partial(apply_to_file, axes=options.axes) if options.axes else apply_to_file
    if options.scheduler:
        written, failures = dask_batch().run_files(step, function, keywords, files, outdir, options.scheduler,
                                                   options.workers, Progress(len(files)), output_paths)
    else:
        written, failures = run_batch(function, keywords, files, outdir, options.workers, options.fail_fast, step)
    print("{} of {} files written, {} failed, {} skipped".format(written, len(files), failures, len(skipped)),
          file=sys.stderr)
    return EXIT_FAILED if failures else 0


def dask_batch():
    try:
        from pictor.cli import cluster_batch
    except ImportError as error:
        raise UsageError("--chunked and --scheduler need the 'dask' extra: {}".format(error)) from None
    return cluster_batch


def chunked_pairs(options):
    """(input, output) of each --chunked input, every one checked before any work."""
    from pictor.dask.files import chunked_output_path

    pairs, seen = [], {}
    for source in map(Path, options.inputs):
        target = chunked_output_path(source, options.output)
        if seen.setdefault(target.resolve(), source) != source:
            raise UsageError("{} and {} would both be written to {}".format(seen[target.resolve()], source, target))
        try:
            safety.check_target(target, [path for path in map(Path, options.inputs)], options.overwrite,
                                options.in_place)
        except safety.WriteRefused as error:
            raise UsageError(str(error)) from None
        pairs.append((source, target))
    return pairs


def refuse_unnamed_stack(source):
    """--chunked reads a TIFF without axis names as one image: a stack of planes is refused, not misread."""
    if not kinds.is_tiff(source):
        return
    shape, _ = image_layout(source)
    if not holds_one_image(shape):
        raise ValueError("cannot be represented with --chunked: {} holds samples of shape {} without axis names; "
                         "run it without --chunked and name them with --axes (e.g. --axes ZYX)".format(source, shape))


def apply_chunked(options, function, keywords):
    """--chunked: each input (tiled TIFF or .zarr) read lazily, written chunk by chunk.

    A chain, and a single operation in this process (no scheduler, or
    --scheduler local, whose stripes would only travel between the local
    processes), stream stripe by stripe through a pipeline (a file of named
    axes plane by plane); a single operation on a file of named axes, or given
    a remote scheduler, runs as pictor.dask's graph."""
    batch = dask_batch()
    from pictor.dask.files import run_chunked

    pairs = chunked_pairs(options)
    if options.dry_run:
        for source, target in pairs:
            print("would read {} and write {}".format(source, target), file=sys.stderr)
        return 0
    failures = 0
    remote = options.scheduler not in (None, "local")
    client = batch.client_for(options.scheduler, options.workers) if remote else None
    try:
        for source, target in pairs:
            try:
                if not is_chain(options.operation) and function.tool_method is None and has_named_axes(source):
                    raise ValueError("cannot be represented with --chunked: {} filters the stack in 3-D; give a "
                                     "file of named axes without --chunked, or a .zarr stack".format(
                                         function.__name__))
                if not has_named_axes(source):
                    refuse_unnamed_stack(source)
                if is_chain(options.operation) or not (remote or has_named_axes(source)):
                    pipe = function if is_chain(options.operation) else pictor.pipeline((function.__name__,
                                                                                          keywords))
                    pipe.run_file(source, target, options.compression, options.tile, overwrite=options.overwrite,
                                  in_place=options.in_place)
                else:
                    # pictor.dask's function of that name: the same checks and depth
                    run_chunked(function.__name__, keywords, source, target, options.compression, options.tile,
                                options.overwrite, options.in_place)
                safety.check_in_place(target)
                print("{} -> {}".format(source, target), file=sys.stderr)
            except Exception as error:
                failures += 1
                print("{}: {}".format(source, one_line(error)), file=sys.stderr)
    finally:
        if client is not None:
            batch.close_client(client, options.scheduler)
    return EXIT_FAILED if failures else 0
