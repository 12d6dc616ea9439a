"""ImageJ hyperstacks (TIFF written by ImageJ, or with tifffile's imagej=True)
in and out as one image with named axes (T Z C Y X S): its spacing, unit,
pixel size (the resolution tags) and display ranges kept, changed where the
operation changes them (pictor.io.metadata), the ranges set to the result's."""

from pictor.io import metadata as rules
from pictor.io.ome_tiff import OmeImage, opencv_order

# ImageJ's own entries, written again by tifffile from the result.
LAYOUT_KEYS = ("ImageJ", "images", "channels", "slices", "frames", "hyperstack", "mode", "min", "max", "Ranges",
               "LUTs", "Info", "Labels", "Properties")


def is_imagej_stack(path):
    """Whether the TIFF at path is an ImageJ hyperstack of more than one plane."""
    import tifffile

    try:
        with tifffile.TiffFile(str(path)) as tiff:
            return bool(tiff.is_imagej) and bool(set(tiff.series[0].axes) - set("YXS"))
    except (OSError, ValueError, tifffile.TiffFileError):
        return False


def read_imagej(path, samples=True):
    """The hyperstack as one image; with samples=False, its axes and metadata only."""
    import tifffile

    with tifffile.TiffFile(str(path)) as tiff:
        series, page = tiff.series[0], tiff.pages[0]
        kept = {key: value for key, value in (tiff.imagej_metadata or {}).items() if key not in LAYOUT_KEYS}
        metadata = {"imagej": kept}
        tags = page.tags
        if "XResolution" in tags and "YResolution" in tags:
            metadata["resolution"] = (_ratio(tags["XResolution"].value), _ratio(tags["YResolution"].value))
        data = opencv_order(series.asarray(), series.axes) if samples else None
        return [OmeImage(data, series.axes, metadata)]


def _ratio(value):
    return value[0] / value[1] if isinstance(value, tuple) else float(value)


def result_metadata(metadata, function, keywords):
    """Pixel sizes (the inverse of the resolution) as the operation changes them."""
    metadata = dict(metadata)
    if "resolution" in metadata:
        x, y = metadata["resolution"]
        sizes = rules.pixel_sizes({"X": 1 / x if x else None, "Y": 1 / y if y else None}, function, keywords)
        metadata["resolution"] = tuple(1 / sizes[axis] if sizes[axis] else 0 for axis in "XY")
    return metadata


def channel_ranges(data, axes):
    """(low, high, low, high, ...) of each channel of data, ImageJ's display ranges."""
    if "C" not in axes:
        return rules.sample_range(data)
    position = axes.index("C")
    ranges = []
    for channel in range(data.shape[position]):
        ranges += rules.sample_range(data[(slice(None),) * position + (channel,)])
    return tuple(ranges)


def write_imagej(path, image, data, compression="zlib"):
    """data (NumPy or dask, OpenCV's order, image's axes) as an ImageJ
    hyperstack at path (or stream), plane by plane in strips, as ImageJ reads them."""
    import numpy as np
    import tifffile

    axes, plane_axes = image.axes, 3 if image.axes.endswith("S") else 2
    ranges = channel_ranges(data, axes)

    def planes():
        for index in np.ndindex(*data.shape[:-plane_axes]):
            yield opencv_order(np.asarray(data[index]), "YXS"[:plane_axes])

    options = {"imagej": True, "photometric": "rgb" if "S" in axes else "minisblack", "compression": compression,
               "metadata": dict(image.metadata["imagej"], axes=axes, Ranges=ranges, min=min(ranges),
                                max=max(ranges))}
    if "resolution" in image.metadata:
        options["resolution"] = image.metadata["resolution"]
    tifffile.imwrite(path, planes(), shape=data.shape, dtype=data.dtype, **options)


def encode_imagej(stream, images):
    image, = images
    write_imagej(stream, image, image.data)
