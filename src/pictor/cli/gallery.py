"""`pictor gallery`: every operation with its defaults on one image, and the
volume filters on a stack made of it, as a contact sheet of labelled, timed tiles."""

import sys
import threading
import time
from pathlib import Path

from pictor import _lookup
from pictor.io.images import Page, read_image, write_pages
from pictor.io.kinds import IMAGE_SUFFIXES
from pictor.cli.operations import EXIT_FAILED, UsageError, functions, one_line
from pictor.volumes import volume_functions

LABEL_SHADE_STEP = 97  # labels one apart get far-apart colours
TILE_SIDE = 180  # the sheet of every operation stays under 1 MB as a PNG
LABEL_HEIGHT = 34
GALLERY_COLUMNS = 6
HISTOGRAM_BINS = 256


def sample_image_path():
    folder = Path(__file__).resolve().parent.parent / "data"
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
    elif np.issubdtype(picture.dtype, np.signedinteger):  # labels: a colour of each object, the background black
        shades = cv2.applyColorMap((picture.astype(np.int64) * LABEL_SHADE_STEP % 200 + 55).astype(np.uint8),
                                   cv2.COLORMAP_JET)
        shades[picture == 0] = 0
        return shades
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


def timed_tile(label, where, compute, shown=lambda result: result):
    """(tile, result or None) of compute(), its picture shown(result), with its time and type."""
    try:
        start = time.perf_counter()
        result = compute()
        elapsed = time.perf_counter() - start
        return tile(display_u8(shown(result)), label, "{:.1f} ms  {}".format(elapsed * 1e3, result.dtype)), result
    except Exception as error:  # a failing operation gets a tile that says so
        print("{}: {}".format(where, one_line(error)), file=sys.stderr)
        return tile(None, label, "failed: " + type(error).__name__), None


def method_tile(function, image):
    """(tile, result or None) of one operation with its defaults on IMAGE."""
    import numpy as np

    name = function.__name__
    if not function.gives_image:  # a level: where it cuts the grey image's histogram
        grey = grey_of(image)
        return timed_tile(name, name, lambda: np.float64(function(grey)),
                          lambda level: histogram_picture(grey, level))
    if function.tool_method is None:
        source = threshold_mask(image) if function.mask else image
        return timed_tile(name, name, lambda: _lookup.image_of(function(source)))
    cls = function.tool_method[0]
    return timed_tile(name, "{}.{}".format(cls.__name__, name),
                      lambda: getattr(_lookup.singleton(cls), name)(src=image))


def grey_of(image):
    import cv2

    return cv2.cvtColor(image, cv2.COLOR_BGR2GRAY) if image.ndim == 3 else image


def threshold_mask(image):
    """The mask of the image's automatic (Otsu) threshold, grey: the objects a labelling shows."""
    from pictor.functions import image_functions

    return image_functions()["threshold"](grey_of(image))


def histogram_picture(grey, level):
    """The grey image's histogram in HISTOGRAM_BINS bars, the level a red line with its value."""
    import cv2
    import numpy as np

    levels = np.iinfo(grey.dtype).max + 1
    counts = np.bincount((grey.ravel().astype(np.int64) * HISTOGRAM_BINS) // levels, minlength=HISTOGRAM_BINS)
    height = HISTOGRAM_BINS // 2
    bars = (counts * (height - 1) // max(1, counts.max())).astype(int)
    picture = np.full((height, HISTOGRAM_BINS, 3), 16, np.uint8)
    for column, bar in enumerate(bars):
        picture[height - bar:, column] = 200
    line = min(HISTOGRAM_BINS - 1, int(level * HISTOGRAM_BINS // levels))
    picture[:, line] = (0, 0, 255)
    cv2.putText(picture, "{:g}".format(level), (min(line + 4, HISTOGRAM_BINS - 60), 20), cv2.FONT_HERSHEY_SIMPLEX,
                0.6, (0, 0, 255), 1, cv2.LINE_AA)
    return picture


def gallery_tiles(image):
    tiles = [tile(display_u8(image), "input", "{}x{} {}".format(image.shape[1], image.shape[0], image.dtype))]
    failed = 0
    for function in functions().values():
        cell, result = method_tile(function, image)
        tiles.append(cell)
        failed += result is None
    return tiles, failed


# The volume filters on a stack made of the image: planes of their own
# noise, the middle one shown before and after each filter.
STACK_DEPTH = 9
STACK_NOISE = 0.15  # of the type's range
VOLUME_KEYWORDS = {"gaussian_filter": {"sigma": (1, 1.5, 1.5)}}  # sigma has no default


def noisy_stack(image):
    import cv2
    import numpy as np

    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY) if image.ndim == 3 else image
    top = float(np.iinfo(grey.dtype).max)
    noise = np.random.default_rng(0).normal(0, STACK_NOISE * top, (STACK_DEPTH,) + grey.shape)
    return np.clip(grey + noise, 0, top).astype(grey.dtype)


def stack_tiles(image):
    stack = noisy_stack(image)
    middle = STACK_DEPTH // 2
    tiles = [tile(display_u8(stack[middle]), "stack, plane {}".format(middle),
                  "{} planes {}".format(STACK_DEPTH, stack.dtype))]
    failed = 0
    for name, function in volume_functions().items():
        keywords = VOLUME_KEYWORDS.get(name, {})
        cell, result = timed_tile(name, name, lambda: function(stack, **keywords), lambda result: result[middle])
        tiles.append(cell)
        failed += result is None
    return tiles, failed


def contact_sheet(sections):
    """The tiles of each section in rows of GALLERY_COLUMNS, each section from a row of its own."""
    import numpy as np

    rows = []
    blank = np.zeros_like(sections[0][0])
    for tiles in sections:
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
    volume_tiles, volume_failed = stack_tiles(image)
    target = Path(options.output)
    write_pages(target, [Page(contact_sheet([tiles, volume_tiles]))], threading.Event(),
                [cv2.IMWRITE_PNG_COMPRESSION, 9])
    print("{}: {} operations on {}, {} failed".format(target, len(tiles) + len(volume_tiles) - 2, source,
                                                      failed + volume_failed), file=sys.stderr)
    return EXIT_FAILED if failed else 0
