"""The `pictor` command: list the operations, apply one to image files, draw a
gallery of all of them, run the benchmarks."""

import argparse
import os
import re
import signal
import sys
import threading
import warnings
from pathlib import Path

from pictor.cli.apply import command_apply
from pictor.cli.gallery import command_gallery
from pictor.cli.operations import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_USAGE, UsageError, command_doc, command_list,
                                   one_line)


def command_bench(options):
    script = Path.cwd() / "benchmarks" / "bench.py"
    if not script.is_file():
        raise UsageError("pictor bench runs from a source checkout (benchmarks/bench.py not found)")
    import runpy

    sys.argv = [str(script)] + options.arguments
    runpy.run_path(str(script), run_name="__main__")
    return 0


def positive_integer(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("must be a positive integer, got '{}'".format(text))
    return value


def axes_letters(text):
    from pictor.axes import LETTERS

    letters = text.upper()
    if not letters or set(letters) - set(LETTERS) or len(set(letters)) != len(letters) or "YX" not in letters:
        raise argparse.ArgumentTypeError("axes are letters among {}, each once, with Y and X, got '{}'".format(
            LETTERS, text))
    return letters


def build_parser():
    from pictor import __version__

    parser = argparse.ArgumentParser(prog="pictor", description="Fast, exact image operations on NumPy arrays.")
    parser.add_argument("--version", action="version", version="pictor " + __version__)
    commands = parser.add_subparsers(dest="command", required=True)

    listing = commands.add_parser("list", help="every operation with its keywords, defaults and a line of description")
    listing.add_argument("word", nargs="?", help="only the operations whose name or description has this word")
    doc = commands.add_parser("doc", help="the full description of one operation")
    doc.add_argument("operation", help="method name, e.g. gaussian_blur, or a word of its description, e.g. otsu")

    apply = commands.add_parser("apply", help="apply one operation to image files")
    apply.add_argument("operation", help="method name (e.g. gaussian_blur or ImageSmoother.gaussian_blur), or a "
                                         "chain in quotes: \"auto_level | gaussian_blur ksize=5 | canny_edge\"")
    apply.add_argument("inputs", nargs="+", help="image files or folders of images")
    apply.add_argument("-o", "--output", required=True, help="output folder")
    apply.add_argument("keywords", nargs="*", default=[], help="key=value keyword arguments (Python literals)")
    apply.add_argument("--workers", type=positive_integer, default=os.cpu_count() or 1, help="parallel threads")
    apply.add_argument("--fail-fast", action="store_true", help="stop at the first failing file")
    apply.add_argument("--depth", choices=("full", "working"),
                       help="full (the default): 16-bit images computed at 16 bits; working: the tool's 8-bit "
                            "working copy, as pictor.lumenops computes them")
    apply.add_argument("--chunked", action="store_true",
                       help="read each input (tiled TIFF or .zarr) lazily and write the result chunk by chunk "
                            "(OUT: a .tif/.zarr path or a folder)")
    apply.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on a dask.distributed scheduler at ADDRESS, or 'local' for --workers processes")
    apply.add_argument("--compression", choices=("none", "zlib", "zstd", "lzw"),
                       help="--chunked TIFF outputs: compression (default: the input's; zstd and lzw need "
                            "the imagecodecs package)")
    apply.add_argument("--tile", type=positive_integer, help="--chunked TIFF outputs: tile size, a multiple of 16 "
                                                              "(default: the input's, else 256)")
    apply.add_argument("-r", "--recursive", action="store_true", help="include subfolders, keeping their layout")
    apply.add_argument("--overwrite", action="store_true", help="replace results that already exist")
    apply.add_argument("--in-place", action="store_true",
                       help="allow the output to be an input, or inside an input folder or store")
    apply.add_argument("--axes", type=axes_letters,
                       help="the axes of files that carry none, e.g. ZYX for a plain TIFF stack, YXS for a "
                            "colour image stored as 3 samples without saying so (a 3-sample TIFF that is not "
                            "RGB is read as 3 channels, YXC)")
    apply.add_argument("--dry-run", action="store_true",
                       help="say what would be read and written, skipped or refused, and write nothing")
    parser.apply_parser = apply

    gallery = commands.add_parser("gallery", help="every operation with its defaults on one image")
    gallery.add_argument("input", nargs="?", help="image file (default: the bundled sample)")
    gallery.add_argument("-o", "--output", required=True, help="PNG file to write")

    bench = commands.add_parser("bench", help="run the benchmark suite and print its table")
    bench.add_argument("arguments", nargs=argparse.REMAINDER, help="passed on to benchmarks/bench.py")
    return parser


OPTIONS_WITH_VALUE = {"-o", "--output", "--workers", "--compression", "--tile", "--scheduler", "--axes"}
# key=value: a keyword's name, then its value (a chain in quotes has spaces before any '=').
KEYWORD_WORD = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*=")


def split_apply_arguments(argv):
    """argparse cannot tell key=value words from inputs: move them apart,
    wherever they stand among the options. A word naming an existing file or
    folder stays a path even if it holds '='."""
    if not argv or argv[0] != "apply":
        return argv, []
    rest, keywords = argv[:1], []
    for position in range(1, len(argv)):
        word = argv[position]
        takes_value = argv[position - 1] in OPTIONS_WITH_VALUE
        if KEYWORD_WORD.match(word) and not takes_value and not os.path.exists(word):
            keywords.append(word)
        else:
            rest.append(word)
    return rest, keywords


def parse_arguments(argv):
    """The options, which may stand anywhere among the words of `pictor apply`."""
    argv, keywords = split_apply_arguments(argv)
    parser = build_parser()
    if argv and argv[0] == "apply":
        options = parser.apply_parser.parse_intermixed_args(argv[1:])
        options.command, options.keywords = "apply", keywords
        return options
    return parser.parse_args(argv)


def quiet_libraries():
    """ONNX Runtime's own log (not Python warnings) is kept to errors: the
    command's users cannot act on its notes."""
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


def show_file_warnings():
    """pictor.io's warnings (leftovers removed, a damaged input) as lines of their own."""
    from pictor.io.safety import FileWarning

    shown = warnings.showwarning

    def show(message, category, *arguments, **keywords):
        if issubclass(category, FileWarning):
            print("pictor: warning: {}".format(message), file=sys.stderr)
        else:
            shown(message, category, *arguments, **keywords)

    warnings.showwarning = show


def stopped(as_program):
    """Ctrl-C or SIGTERM: this process's temporary files removed, and, run
    as the program, an exit at once, not waiting for threads still computing."""
    from pictor.io import safety

    safety.remove_own_partials()
    print("pictor: stopped", file=sys.stderr)
    if as_program and any(thread.is_alive() and not thread.daemon for thread in threading.enumerate()
                          if thread is not threading.main_thread()):
        sys.stderr.flush()
        sys.stdout.flush()
        os._exit(EXIT_INTERRUPTED)
    return EXIT_INTERRUPTED


def main(argv=None):
    as_program = argv is None
    options = parse_arguments(list(sys.argv[1:] if argv is None else argv))
    handlers = {"list": command_list, "doc": command_doc, "apply": command_apply, "gallery": command_gallery,
                "bench": command_bench}
    quiet_libraries()
    show_file_warnings()
    stop_on_terminate()
    try:
        return handlers[options.command](options)
    except UsageError as error:
        print("pictor: " + str(error), file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        return stopped(as_program)
    except BrokenPipeError:
        # The reader went away (`pictor list | head`): nothing more to say to it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED
    except Exception as error:
        where = getattr(error, "filename", None)
        text = one_line(error)
        prefix = "{}: ".format(where) if where and str(where) not in text else ""
        print("pictor: {}{}".format(prefix, text), file=sys.stderr)
        return EXIT_FAILED
