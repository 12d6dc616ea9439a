"""The `pictor` command: list the operations, apply one to image files, draw a
gallery of all of them, run the benchmarks."""

import argparse
import ast
import inspect
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path

IMAGE_SUFFIXES = {".tif", ".tiff", ".png", ".jpg", ".jpeg", ".bmp"}
SIXTEEN_BIT_SUFFIXES = {".tif", ".tiff", ".png"}
# Folder operations and helpers that do not map one image to another.
NOT_IMAGE_METHODS = {"crop_return"}
TILE_SIDE = 180  # the sheet of every operation stays under 1 MB as a PNG
LABEL_HEIGHT = 34
GALLERY_COLUMNS = 6


class UsageError(Exception):
    """A command line that cannot be run; the message says why."""


def lumenops():
    from pictor import lumenops as module

    return module


def tool_classes():
    module = lumenops()
    return [value for name, value in vars(module).items()
            if isinstance(value, type) and issubclass(value, module.SingletonBase)
            and value is not module.SingletonBase]


def public_methods(cls):
    """(name, signature) of the methods a user calls, in the class's order."""
    methods = []
    for name, value in vars(cls).items():
        if name.startswith("_") or not callable(value):
            continue
        methods.append((name, inspect.signature(value)))
    return methods


def keyword_parameters(signature):
    return {name: param for name, param in signature.parameters.items()
            if param.kind is inspect.Parameter.KEYWORD_ONLY}


def image_methods():
    """(tool class, method name, keyword parameters) of every image-to-image method."""
    found = []
    for cls in tool_classes():
        for name, signature in public_methods(cls):
            keywords = keyword_parameters(signature)
            if "src" in keywords and name not in NOT_IMAGE_METHODS:
                found.append((cls, name, keywords))
    return found


def format_signature(name, signature):
    parameters = [param for param in signature.parameters.values()
                  if param.name != "self" and param.kind is not inspect.Parameter.VAR_KEYWORD]
    return "{}({})".format(name, ", ".join(str(param) for param in parameters))


# ---------------------------------------------------------------- list

def command_list(_options):
    for cls in tool_classes():
        print(cls.__name__)
        for name, signature in public_methods(cls):
            print("    " + format_signature(name, signature))
    return 0


# ---------------------------------------------------------------- apply

def resolve_method(qualified_name):
    tool_name, _, method_name = qualified_name.partition(".")
    cls = getattr(lumenops(), tool_name, None)
    if cls is None or not isinstance(cls, type) or not method_name:
        raise UsageError("unknown operation '{}': give Tool.method, see 'pictor list'".format(qualified_name))
    for candidate, name, keywords in image_methods():
        if candidate is cls and name == method_name:
            return cls, name, keywords
    raise UsageError("'{}' is not an image operation, see 'pictor list'".format(qualified_name))


def parse_keywords(assignments, keywords, qualified_name):
    values = {}
    for assignment in assignments:
        key, separator, text = assignment.partition("=")
        if not separator:
            raise UsageError("expected key=value, got '{}'".format(assignment))
        if key not in keywords or key == "src":
            known = ", ".join(name for name in keywords if name != "src") or "none"
            raise UsageError("{} has no keyword '{}' (keywords: {})".format(qualified_name, key, known))
        try:
            values[key] = ast.literal_eval(text)
        except (ValueError, SyntaxError):
            raise UsageError("keyword '{}': '{}' is not a Python literal".format(key, text)) from None
    return values


def expand_inputs(paths):
    files = []
    for path in map(Path, paths):
        if path.is_dir():
            files.extend(sorted(p for p in path.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES))
        else:
            files.append(path)
    return files


def read_image(path):
    import cv2
    import numpy as np

    if not path.is_file():
        raise FileNotFoundError("no such file: {}".format(path))
    image = cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
    if image is None:
        # imread cannot open non-ASCII paths on every platform; decode the bytes instead.
        image = cv2.imdecode(np.fromfile(str(path), dtype=np.uint8), cv2.IMREAD_UNCHANGED)
    if image is None:
        raise OSError("cannot read image: {}".format(path))
    return image


def output_path(source, outdir, is_16_bit):
    """The input's name in OUTDIR; formats without 16-bit samples become TIFF."""
    if is_16_bit and source.suffix.lower() not in SIXTEEN_BIT_SUFFIXES:
        return outdir / (source.stem + ".tif")
    return outdir / source.name


def refuse_colliding_outputs(files, outdir):
    seen = {}
    for source in files:
        for is_16_bit in (False, True):
            target = output_path(source, outdir, is_16_bit)
            if seen.setdefault(target, source) != source:
                raise UsageError("{} and {} would both be written to {}".format(seen[target], source, target))


def write_image(path, image, parameters=()):
    import cv2

    if not cv2.imwrite(str(path), image, list(parameters)):
        raise OSError("cannot write image: {}".format(path))


class Progress:
    """A one-line progress bar on stderr when it is a terminal."""

    def __init__(self, total):
        self.total = total
        self.done = 0
        self.lock = threading.Lock()
        self.visible = sys.stderr.isatty() and total > 1

    def advance(self):
        with self.lock:
            self.done += 1
            if self.visible:
                filled = 30 * self.done // self.total
                sys.stderr.write("\r[{}{}] {}/{}".format("#" * filled, "." * (30 - filled), self.done, self.total))
                if self.done == self.total:
                    sys.stderr.write("\n")
                sys.stderr.flush()


def apply_to_file(method, keywords, source, outdir):
    image = read_image(source)
    result = method(src=image, **keywords)
    import numpy as np

    if not isinstance(result, np.ndarray):
        raise TypeError("the operation returned {} instead of an image".format(type(result).__name__))
    target = output_path(source, outdir, result.dtype.itemsize > 1)
    write_image(target, result)
    return target


def command_apply(options):
    import cv2

    cls, name, declared = resolve_method(options.operation)
    keywords = parse_keywords(options.keywords, declared, options.operation)
    if options.chunked:
        return apply_chunked(options, keywords)
    files = expand_inputs(options.inputs)
    if not files:
        raise UsageError("no input images")
    outdir = Path(options.output)
    refuse_colliding_outputs(files, outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    if options.scheduler:
        failures = dask_batch().run_files(apply_to_file, options.operation, keywords, files, outdir,
                                          options.scheduler, options.workers, Progress(len(files)))
        print("{} of {} files done, {} failed".format(len(files) - failures, len(files), failures), file=sys.stderr)
        return 1 if failures else 0
    # Files run in parallel threads; OpenCV's own thread pool would only compete with them.
    cv2.setNumThreads(1)
    method = getattr(cls(), name)
    progress = Progress(len(files))
    failures = 0
    with ThreadPoolExecutor(max_workers=max(1, options.workers)) as pool:
        pending = {pool.submit(apply_to_file, method, keywords, source, outdir): source for source in files}
        for future in as_completed(pending):
            progress.advance()
            error = future.exception()
            if error is None:
                continue
            failures += 1
            print("{}: {}: {}".format(pending[future], type(error).__name__, error), file=sys.stderr)
            if options.fail_fast:
                for other in pending:
                    other.cancel()
                break
    print("{} of {} files done, {} failed".format(len(files) - failures, len(files), failures), file=sys.stderr)
    return 1 if failures else 0


def dask_batch():
    try:
        from pictor import _distributed_batch
    except ImportError as error:
        raise UsageError("--chunked and --scheduler need the 'dask' extra: {}".format(error)) from None
    return _distributed_batch


def apply_chunked(options, keywords):
    """--chunked: each input (tiled TIFF or .zarr) read lazily, written chunk by chunk."""
    batch = dask_batch()
    failures = 0
    for source in map(Path, options.inputs):
        try:
            target = batch.run_chunked(options.operation, keywords, source, options.output,
                                       options.scheduler, options.workers)
            print("{} -> {}".format(source, target), file=sys.stderr)
        except Exception as error:
            failures += 1
            print("{}: {}: {}".format(source, type(error).__name__, error), file=sys.stderr)
    return 1 if failures else 0


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


def gallery_tiles(image):
    tiles = [tile(display_u8(image), "input", "{}x{} {}".format(image.shape[1], image.shape[0], image.dtype))]
    for cls, name, _keywords in image_methods():
        label = "{}.{}".format(cls.__name__, name)
        try:
            method = getattr(cls(), name)
            start = time.perf_counter()
            result = method(src=image)
            elapsed = time.perf_counter() - start
            tiles.append(tile(display_u8(result), name, "{:.1f} ms  {}".format(elapsed * 1e3, result.dtype)))
        except Exception as error:  # a failing operation gets a tile that says so
            tiles.append(tile(None, name, "failed: " + type(error).__name__))
            print("{}: {}: {}".format(label, type(error).__name__, error), file=sys.stderr)
    return tiles


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
    source = Path(options.input) if options.input else sample_image_path()
    image = read_image(source)
    tiles = gallery_tiles(image)
    import cv2

    write_image(Path(options.output), contact_sheet(tiles), [cv2.IMWRITE_PNG_COMPRESSION, 9])
    print("{}: {} operations on {}".format(options.output, len(tiles) - 1, source), file=sys.stderr)
    return 0


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

def build_parser():
    parser = argparse.ArgumentParser(prog="pictor", description="Fast, exact image operations on NumPy arrays.")
    commands = parser.add_subparsers(dest="command", required=True)

    commands.add_parser("list", help="every tool and method with its keywords and defaults")

    apply = commands.add_parser("apply", help="apply one operation to image files")
    apply.add_argument("operation", help="Tool.method, e.g. ImageSmoother.gaussian_blur")
    apply.add_argument("inputs", nargs="+", help="image files or folders of images")
    apply.add_argument("-o", "--output", required=True, help="output folder")
    apply.add_argument("keywords", nargs="*", default=[], help="key=value keyword arguments (Python literals)")
    apply.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="parallel threads")
    apply.add_argument("--fail-fast", action="store_true", help="stop at the first failing file")
    apply.add_argument("--chunked", action="store_true",
                       help="read each input (tiled TIFF or .zarr) lazily and write the result chunk by chunk "
                            "(OUT: a .tif/.zarr path or a folder)")
    apply.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on a dask.distributed scheduler at ADDRESS, or 'local' for --workers processes")

    gallery = commands.add_parser("gallery", help="every operation with its defaults on one image")
    gallery.add_argument("input", nargs="?", help="image file (default: the bundled sample)")
    gallery.add_argument("-o", "--output", required=True, help="PNG file to write")

    bench = commands.add_parser("bench", help="run the benchmark suite and print its table")
    bench.add_argument("arguments", nargs=argparse.REMAINDER, help="passed on to benchmarks/bench.py")
    return parser


def split_apply_arguments(argv):
    """argparse cannot tell trailing key=value words from inputs: move them apart."""
    if not argv or argv[0] != "apply":
        return argv, []
    keywords = [word for word in argv[2:] if "=" in word and not word.startswith("-")]
    rest = [word for word in argv if word not in keywords]
    return rest, keywords


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    argv, keywords = split_apply_arguments(argv)
    options = build_parser().parse_args(argv)
    if options.command == "apply":
        options.keywords = keywords
    handlers = {"list": command_list, "apply": command_apply, "gallery": command_gallery, "bench": command_bench}
    try:
        return handlers[options.command](options)
    except UsageError as error:
        print("pictor: " + str(error), file=sys.stderr)
        return 2
