"""The `pictor` command: list the operations, apply one to image files, draw a
gallery of all of them, run the benchmarks."""

import argparse
import ast
import difflib
import os
import signal
import sys
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path

from pictor._image_files import TIFF_SUFFIXES, PARTIAL_MARK, Interrupted, Page, read_pages, read_image, write_pages

IMAGE_SUFFIXES = {".tif", ".tiff", ".png", ".jpg", ".jpeg", ".bmp"}
SIXTEEN_BIT_SUFFIXES = {".tif", ".tiff", ".png"}
# Fewer distinct levels than this in the 8-bit working copy is worth a note.
FEW_LEVELS = 64
WORKING_LEVEL_WIDTH = 257  # a 16-bit sample v is level v // 257 of the working copy
TILE_SIDE = 180  # the sheet of every operation stays under 1 MB as a PNG
LABEL_HEIGHT = 34
GALLERY_COLUMNS = 6
PROGRESS_INTERVAL = 0.5
EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 1, 2, 130


class UsageError(Exception):
    """A command line that cannot be run; the message says why."""


def functions():
    """{name: checked function} of every operation that `apply` accepts, in the tools' order."""
    from pictor._checked import image_functions

    return image_functions()


def image_methods():
    """The checked function of every image-to-image method."""
    return list(functions().values())


def first_sentence(text):
    flat = " ".join(text.split())
    end = flat.find(". ")
    return flat if end < 0 else flat[:end + 1]


def describe_call(function):
    keywords = ", ".join("{}={!r}".format(k.name, k.default) for k in function.keywords.values())
    return "{}({})".format(function.__name__, keywords)


def suggestion(name, choices):
    close = difflib.get_close_matches(name, list(choices), n=1)
    return "; did you mean '{}'?".format(close[0]) if close else ""


# ---------------------------------------------------------------- list, doc

def command_list(_options):
    for function in functions().values():
        mark = " [8-bit working copy]" if function.eight_bit_copy else ""
        print("{}{}: {}".format(describe_call(function), mark, first_sentence(function.__doc__)))
    return 0


def command_doc(options):
    function = resolve_function(options.operation)
    cls, name = function.tool_method
    print("pictor.{}\n(the tool method {}.{})\n".format(describe_call(function), cls.__name__, name))
    print(function.__doc__)
    return 0


# ---------------------------------------------------------------- apply: checks before any file is read

def resolve_function(operation):
    """The checked function for `method` or `Tool.method`."""
    available = functions()
    tool_name, _, method_name = operation.rpartition(".")
    function = available.get(method_name)
    if function is not None and tool_name in ("", function.tool_method[0].__name__):
        return function
    names = list(available) + ["{}.{}".format(f.tool_method[0].__name__, n) for n, f in available.items()]
    raise UsageError("unknown operation '{}'{} (see 'pictor list')".format(operation, suggestion(operation, names)))


def parse_keywords(assignments, function):
    values = {}
    for assignment in assignments:
        key, separator, text = assignment.partition("=")
        if not separator:
            raise UsageError("expected key=value, got '{}'".format(assignment))
        if key not in function.keywords:
            known = ", ".join(function.keywords) or "none"
            raise UsageError("{} has no keyword '{}'{} (keywords: {})".format(
                function.__name__, key, suggestion(key, function.keywords), known))
        try:
            value = ast.literal_eval(text)
        except (ValueError, SyntaxError):
            raise UsageError("keyword '{}': '{}' is not a Python literal".format(key, text)) from None
        try:
            function.keywords[key].check(function.__name__, value)
        except (TypeError, ValueError) as error:
            raise UsageError(str(error)) from None
        values[key] = value
    return values


def collect_inputs(paths, recursive):
    """([(source, path relative to the output folder)], [(path, why skipped)], [input folders])."""
    files, skipped, folders = [], [], []
    for path in map(Path, paths):
        if not path.is_dir():
            files.append((path, Path(path.name)))
            continue
        folders.append(path)
        for folder, subfolders, names in os.walk(path):
            subfolders.sort()
            if not recursive:
                skipped += [(Path(folder) / sub, "a folder (give -r to include it)") for sub in subfolders]
                subfolders.clear()
            for name in sorted(names):
                source = Path(folder) / name
                if PARTIAL_MARK in name:
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


def is_inside(path, folder):
    path, folder = path.resolve(), folder.resolve()
    return path == folder or folder in path.parents


def refuse_writing_over_inputs(files, folders, outdir, in_place):
    if in_place:
        return
    for folder in folders:
        if is_inside(outdir, folder):
            raise UsageError("the output folder {} is the input folder {} or inside it; choose another -o "
                             "or give --in-place".format(outdir, folder))
    for source, relative in files:
        for is_16_bit in (False, True):
            if source.exists() and output_path(relative, outdir, is_16_bit).resolve() == source.resolve():
                raise UsageError("{} would be overwritten by its own result; choose another -o or give "
                                 "--in-place".format(source))


def output_path(relative, outdir, is_16_bit):
    """The input's place in OUTDIR; formats without 16-bit samples become TIFF."""
    if is_16_bit and relative.suffix.lower() not in SIXTEEN_BIT_SUFFIXES:
        return outdir / relative.with_suffix(".tif")
    return outdir / relative


def refuse_colliding_outputs(files, outdir):
    seen = {}
    for source, relative in files:
        for is_16_bit in (False, True):
            target = output_path(relative, outdir, is_16_bit)
            if seen.setdefault(target, source) != source:
                raise UsageError("{} and {} would both be written to {}".format(seen[target], source, target))


def existing_outputs(files, outdir):
    """The inputs whose result is already there, whatever its depth."""
    return {source for source, relative in files
            if any(output_path(relative, outdir, is_16_bit).exists() for is_16_bit in (False, True))}


# ---------------------------------------------------------------- apply

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


def note_collapse(notes, function, source, image):
    """Notes when 16-bit data reaches the 8-bit working copy with few levels left."""
    import numpy as np

    if not function.eight_bit_copy or image.dtype != np.uint16:
        return
    levels = np.count_nonzero(np.bincount((image // WORKING_LEVEL_WIDTH).ravel(), minlength=256))
    if levels < FEW_LEVELS and np.unique(image).size >= FEW_LEVELS:
        notes.once("collapse", "note: {}: {} works on an 8-bit copy, where these 16-bit values (range {}-{}) "
                   "keep only {} levels; stretch the data over the 16-bit range first to keep its detail"
                   .format(source, function.__name__, image.min(), image.max(), levels))


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


def apply_to_file(function, keywords, source, relative, outdir, stop, notes):
    if stop.is_set():
        raise Interrupted()
    from pictor._checked import check_image
    import numpy as np

    pages = read_pages(source)
    results = []
    for page in pages:
        try:
            check_image(function.__name__, page.data, function.grey_only)
        except (TypeError, ValueError) as error:
            raise ValueError("cannot be represented for {}: {}".format(
                function.__name__, str(error).split(": ", 1)[-1])) from None
        note_collapse(notes, function, source, page.data)
        result = function(page.data, **keywords)
        if not isinstance(result, np.ndarray):
            raise TypeError("the operation returned {} instead of an image".format(type(result).__name__))
        results.append(Page(result, page.tags))
    if len(pages) > 1 and relative.suffix.lower() not in TIFF_SUFFIXES:
        raise ValueError("cannot be represented: {} pages".format(len(pages)))
    target = output_path(relative, outdir, any(page.data.dtype.itemsize > 1 for page in results))
    write_pages(target, results, stop)
    return target


def run_batch(function, keywords, files, outdir, workers, fail_fast):
    import cv2

    # Files run in parallel threads; OpenCV's own thread pool would only compete with them.
    cv2.setNumThreads(1)
    stop, notes = threading.Event(), Notes()
    progress = Progress(len(files))
    failures = written = 0
    pool = ThreadPoolExecutor(max_workers=workers)
    pending = {pool.submit(apply_to_file, function, keywords, source, relative, outdir, stop, notes): source
               for source, relative in files}
    try:
        for future in as_completed(pending):
            progress.advance()
            error = future.exception()
            if error is None:
                written += 1
                continue
            failures += 1
            progress.message("{}: {}".format(pending[future], one_line(error)))
            if fail_fast:
                stop.set()
                break
    except KeyboardInterrupt:
        stop.set()
        progress.message("pictor: interrupted; finishing the files in progress without writing them")
        raise
    finally:
        for future in pending:
            future.cancel()
        pool.shutdown(wait=True)
        progress.close()
    return written, failures


def one_line(error):
    text = " ".join(str(error).split()) or type(error).__name__
    if isinstance(error, OSError) and error.strerror:
        text = error.strerror
    return text if isinstance(error, (OSError, ValueError)) else "{}: {}".format(type(error).__name__, text)


def command_apply(options):
    function = resolve_function(options.operation)
    keywords = parse_keywords(options.keywords, function)
    if options.chunked:
        return apply_chunked(options, function, keywords)
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
    if not files:
        if skipped:
            print("nothing to do", file=sys.stderr)
            return 0
        raise UsageError("no input images")
    outdir.mkdir(parents=True, exist_ok=True)
    if options.scheduler:
        written, failures = dask_batch().run_files(apply_to_file, function, keywords, files, outdir,
                                                   options.scheduler, options.workers, Progress(len(files)))
    else:
        written, failures = run_batch(function, keywords, files, outdir, options.workers, options.fail_fast)
    print("{} of {} files written, {} failed, {} skipped".format(written, len(files), failures, len(skipped)),
          file=sys.stderr)
    return EXIT_FAILED if failures else 0


def dask_batch():
    try:
        from pictor import _distributed_batch
    except ImportError as error:
        raise UsageError("--chunked and --scheduler need the 'dask' extra: {}".format(error)) from None
    return _distributed_batch


def apply_chunked(options, function, keywords):
    """--chunked: each input (tiled TIFF or .zarr) read lazily, written chunk by chunk."""
    batch = dask_batch()
    method_name = "{}.{}".format(function.tool_method[0].__name__, function.__name__)
    failures = 0
    for source in map(Path, options.inputs):
        try:
            target = batch.run_chunked(method_name, keywords, source, options.output,
                                       options.scheduler, options.workers)
            print("{} -> {}".format(source, target), file=sys.stderr)
        except Exception as error:
            failures += 1
            print("{}: {}".format(source, one_line(error)), file=sys.stderr)
    return EXIT_FAILED if failures else 0


# ---------------------------------------------------------------- gallery

def sample_image_path():
    folder = Path(__file__).resolve().parent / "data"
    candidates = sorted(p for p in folder.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES)
    if not candidates:
        raise UsageError("the bundled sample image is missing")
    return candidates[0]


def display_u8(image):
    """An 8-bit, 3-channel picture of any result, for the contact sheet."""
    import cv2
    import numpy as np

    picture = np.asarray(image)
    if picture.dtype == np.uint16:
        picture = (picture // 257).astype(np.uint8)
    elif picture.dtype != np.uint8:
        picture = cv2.normalize(picture.astype(np.float64), None, 0, 255, cv2.NORM_MINMAX).astype(np.uint8)
    if picture.ndim == 2:
        picture = cv2.cvtColor(picture, cv2.COLOR_GRAY2BGR)
    return picture[:, :, :3]


def tile(picture, label, detail):
    import cv2
    import numpy as np

    cell = np.full((TILE_SIDE + LABEL_HEIGHT, TILE_SIDE, 3), 32, np.uint8)
    if picture is not None and picture.size:
        height, width = picture.shape[:2]
        factor = TILE_SIDE / max(height, width)
        size = (max(1, round(width * factor)), max(1, round(height * factor)))
        scaled = cv2.resize(picture, size, interpolation=cv2.INTER_AREA if factor < 1 else cv2.INTER_NEAREST)
        top, left = LABEL_HEIGHT + (TILE_SIDE - size[1]) // 2, (TILE_SIDE - size[0]) // 2
        cell[top:top + size[1], left:left + size[0]] = scaled
    cv2.putText(cell, label, (4, 14), cv2.FONT_HERSHEY_SIMPLEX, 0.38, (255, 255, 255), 1, cv2.LINE_AA)
    cv2.putText(cell, detail, (4, 29), cv2.FONT_HERSHEY_SIMPLEX, 0.38, (160, 220, 160), 1, cv2.LINE_AA)
    return cell


def method_tile(function, image):
    """(tile, result or None) of one operation with its defaults on IMAGE."""
    cls, name = function.tool_method
    try:
        method = getattr(cls(), name)
        start = time.perf_counter()
        result = method(src=image)
        elapsed = time.perf_counter() - start
        return tile(display_u8(result), name, "{:.1f} ms  {}".format(elapsed * 1e3, result.dtype)), result
    except Exception as error:  # a failing operation gets a tile that says so
        print("{}.{}: {}".format(cls.__name__, name, one_line(error)), file=sys.stderr)
        return tile(None, name, "failed: " + type(error).__name__), None


def gallery_tiles(image):
    tiles = [tile(display_u8(image), "input", "{}x{} {}".format(image.shape[1], image.shape[0], image.dtype))]
    failed = 0
    for function in image_methods():
        cell, result = method_tile(function, image)
        tiles.append(cell)
        failed += result is None
    return tiles, failed


def contact_sheet(tiles):
    import numpy as np

    rows = []
    blank = np.zeros_like(tiles[0])
    for start in range(0, len(tiles), GALLERY_COLUMNS):
        row = tiles[start:start + GALLERY_COLUMNS]
        row += [blank] * (GALLERY_COLUMNS - len(row))
        rows.append(np.hstack(row))
    return np.vstack(rows)


def command_gallery(options):
    import cv2

    source = Path(options.input) if options.input else sample_image_path()
    image = read_image(source)
    tiles, failed = gallery_tiles(image)
    target = Path(options.output)
    write_pages(target, [Page(contact_sheet(tiles))], threading.Event(), [cv2.IMWRITE_PNG_COMPRESSION, 9])
    print("{}: {} operations on {}, {} failed".format(target, len(tiles) - 1, source, failed), file=sys.stderr)
    return EXIT_FAILED if failed else 0


# ---------------------------------------------------------------- bench

def command_bench(options):
    script = Path.cwd() / "benchmarks" / "bench.py"
    if not script.is_file():
        raise UsageError("pictor bench runs from a source checkout (benchmarks/bench.py not found)")
    import runpy

    sys.argv = [str(script)] + options.arguments
    runpy.run_path(str(script), run_name="__main__")
    return 0


# ---------------------------------------------------------------- main

def positive_integer(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("must be a positive integer, got '{}'".format(text))
    return value


def build_parser():
    from pictor import __version__

    parser = argparse.ArgumentParser(prog="pictor", description="Fast, exact image operations on NumPy arrays.")
    parser.add_argument("--version", action="version", version="pictor " + __version__)
    commands = parser.add_subparsers(dest="command", required=True)

    commands.add_parser("list", help="every operation with its keywords, defaults and a line of description")
    doc = commands.add_parser("doc", help="the full description of one operation")
    doc.add_argument("operation", help="method name, e.g. gaussian_blur")

    apply = commands.add_parser("apply", help="apply one operation to image files")
    apply.add_argument("operation", help="method name (e.g. gaussian_blur or ImageSmoother.gaussian_blur)")
    apply.add_argument("inputs", nargs="+", help="image files or folders of images")
    apply.add_argument("-o", "--output", required=True, help="output folder")
    apply.add_argument("keywords", nargs="*", default=[], help="key=value keyword arguments (Python literals)")
    apply.add_argument("--workers", type=positive_integer, default=os.cpu_count() or 1, help="parallel threads")
    apply.add_argument("--fail-fast", action="store_true", help="stop at the first failing file")
    apply.add_argument("--chunked", action="store_true",
                       help="read each input (tiled TIFF or .zarr) lazily and write the result chunk by chunk "
                            "(OUT: a .tif/.zarr path or a folder)")
    apply.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on a dask.distributed scheduler at ADDRESS, or 'local' for --workers processes")
    apply.add_argument("-r", "--recursive", action="store_true", help="include subfolders, keeping their layout")
    apply.add_argument("--overwrite", action="store_true", help="replace results that already exist")
    apply.add_argument("--in-place", action="store_true",
                       help="allow the output folder to be an input folder or inside one")

    gallery = commands.add_parser("gallery", help="every operation with its defaults on one image")
    gallery.add_argument("input", nargs="?", help="image file (default: the bundled sample)")
    gallery.add_argument("-o", "--output", required=True, help="PNG file to write")

    bench = commands.add_parser("bench", help="run the benchmark suite and print its table")
    bench.add_argument("arguments", nargs=argparse.REMAINDER, help="passed on to benchmarks/bench.py")
    return parser


OPTIONS_WITH_VALUE = {"-o", "--output", "--workers"}


def split_apply_arguments(argv):
    """argparse cannot tell trailing key=value words from inputs: move them apart.
    A word naming an existing file or folder stays a path even if it holds '='."""
    if not argv or argv[0] != "apply":
        return argv, []
    rest, keywords = argv[:2], []
    for position in range(2, len(argv)):
        word = argv[position]
        takes_value = argv[position - 1] in OPTIONS_WITH_VALUE
        if "=" in word and not word.startswith("-") and not takes_value and not os.path.exists(word):
            keywords.append(word)
        else:
            rest.append(word)
    return rest, keywords


def quiet_libraries():
    """ONNX Runtime warns on every session that names the CUDA provider on a
    machine without one; the command's users cannot act on that."""
    warnings.filterwarnings("ignore", message=".*CUDAExecutionProvider.*")
    try:
        import onnxruntime
    except ImportError:
        return
    onnxruntime.set_default_logger_severity(3)


def stop_on_terminate():
    """SIGTERM stops a batch the same clean way as Ctrl-C."""
    def interrupt(_signal, _frame):
        raise KeyboardInterrupt

    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, interrupt)


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    argv, keywords = split_apply_arguments(argv)
    options = build_parser().parse_args(argv)
    if options.command == "apply":
        options.keywords = keywords
    handlers = {"list": command_list, "doc": command_doc, "apply": command_apply, "gallery": command_gallery,
                "bench": command_bench}
    quiet_libraries()
    stop_on_terminate()
    try:
        return handlers[options.command](options)
    except UsageError as error:
        print("pictor: " + str(error), file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("pictor: stopped", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`pictor list | head`): nothing more to say to it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except Exception as error:
        where = getattr(error, "filename", None)
        prefix = "{}: ".format(where) if where else ""
        print("pictor: {}{}".format(prefix, one_line(error)), file=sys.stderr)
        return EXIT_FAILED
