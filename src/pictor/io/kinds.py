"""The kinds of image file pictor reads and writes, told by their names, and
the layout choices of the files it writes (compression, tile size)."""

from pathlib import Path

TIFF_SUFFIXES = frozenset({".tif", ".tiff"})
OME_TIFF_ENDINGS = (".ome.tif", ".ome.tiff")
ZARR_SUFFIX = ".zarr"
# Files read whole through OpenCV (and TIFF through tifffile).
IMAGE_SUFFIXES = frozenset({".png", ".jpg", ".jpeg", ".bmp"}) | TIFF_SUFFIXES
# Formats that hold 16-bit samples; a 16-bit result of another format becomes TIFF.
SIXTEEN_BIT_SUFFIXES = frozenset({".png"}) | TIFF_SUFFIXES
# What out-of-core runs read and write.
CHUNKED_SUFFIXES = TIFF_SUFFIXES | {ZARR_SUFFIX}

DEFAULT_TILE = 256
TILE_STEP = 16  # TIFF tiles are multiples of 16 samples
# tifffile's names of the compressions that may be asked for, and the package
# that holds each codec beyond zlib.
COMPRESSIONS = {"none": None, "zlib": "zlib", "zstd": "zstd", "lzw": "lzw"}
CODEC_PACKAGES = {"zstd": "imagecodecs", "lzw": "imagecodecs"}
# tifffile's compression of a page, by the TIFF code.
COMPRESSION_OF_CODE = {1: None, 5: "lzw", 8: "zlib", 32946: "zlib", 50000: "zstd"}


def is_zarr(path):
    return Path(path).name.lower().endswith(ZARR_SUFFIX)


def is_tiff(path):
    return Path(path).suffix.lower() in TIFF_SUFFIXES


def names_ome_tiff(path):
    return Path(path).name.lower().endswith(OME_TIFF_ENDINGS)


def file_kind(path):
    """"zarr" or "tiff": what an out-of-core run reads or writes at path."""
    if is_zarr(path):
        return "zarr"
    if is_tiff(path):
        return "tiff"
    raise ValueError("{}: expected a .tif, .tiff, .ome.tif or .zarr name".format(path))


def check_tile(tile):
    if tile is not None and (isinstance(tile, bool) or not isinstance(tile, int) or tile < TILE_STEP
                             or tile % TILE_STEP):
        raise ValueError("tile must be a multiple of {}, got {!r}".format(TILE_STEP, tile))


def check_compression(compression):
    """tifffile's name of compression ("none", "zlib", "zstd", "lzw"), or None
    for the input's; a codec whose package is missing is refused by name."""
    if compression is None:
        return None
    if compression not in COMPRESSIONS:
        raise ValueError("compression must be one of {}, got {!r}".format(", ".join(COMPRESSIONS), compression))
    check_codec(COMPRESSIONS[compression])
    return compression


def check_codec(name):
    """Refuses, before any work, a TIFF compression whose codec package is not installed."""
    package = CODEC_PACKAGES.get(name)
    if package is None:
        return
    try:
        __import__(package)
    except ImportError:
        raise ValueError("the {} compression needs the '{}' package (pip install {})".format(
            name, package, package)) from None
