"""OME-TIFF files in and out: each image of the file is an N-D array with
named axes, processed plane by plane, and written again with its OME metadata
(through tifffile's OME support), changed only where the operation changes it
(pictor.io.metadata): the sample type, the plane size, the pixel sizes, the
origin of a crop."""

from pictor.axes import LETTERS
from pictor.io import metadata as rules
from pictor.io.kinds import COMPRESSION_OF_CODE, DEFAULT_TILE

# Beyond this many bytes of samples a TIFF needs 64-bit offsets (with room for the tags).
BIGTIFF_BYTES = 2 ** 32 - 2 ** 25
# Written again by tifffile from the result itself.
LAYOUT_ATTRIBUTES = ("ID", "TiffData", "Type", "SizeX", "SizeY", "SizeZ", "SizeC", "SizeT", "DimensionOrder",
                     "SignificantBits", "BigEndian", "Interleaved", "MetadataOnly", "BinData")


class OmeImage:
    """One image of an OME-TIFF: samples (colour in OpenCV's order), axes
    letters, tifffile metadata, and the file's layout: its pyramid (each
    reduced level's step from the full resolution), tile size, compression
    and whether it is a BigTIFF."""

    def __init__(self, data, axes, metadata, layout=None):
        self.data, self.axes, self.metadata = data, axes, metadata
        self.layout = layout or {}


def is_ome_tiff(path):
    import tifffile

    try:
        with tifffile.TiffFile(str(path)) as tiff:
            return bool(tiff.is_ome)
    except (OSError, ValueError, tifffile.TiffFileError):
        return False  # the plain reader says what is wrong


def as_list(value):
    if value is None:
        return []
    return value if isinstance(value, list) else [value]


def map_annotations(ome):
    """{ID: {key: value}} of the file's map annotations, as tifffile writes them."""
    found = {}
    for annotation in as_list((ome.get("StructuredAnnotations") or {}).get("MapAnnotation")):
        pairs = as_list((annotation.get("Value") or {}).get("M"))
        found[annotation.get("ID")] = {pair.get("K"): pair.get("value", "") for pair in pairs}
    return found


def image_metadata(ome, image):
    """The image's OME description in the form tifffile's writer takes."""
    metadata = {key: value for key, value in image.items() if key not in ("ID", "Pixels", "AnnotationRef")}
    pixels = dict(image.get("Pixels") or {})
    for key in LAYOUT_ATTRIBUTES:
        pixels.pop(key, None)
    channels = []
    for channel in as_list(pixels.pop("Channel", None)):
        channels.append({key: value for key, value in channel.items() if key not in ("ID", "SamplesPerPixel")})
    planes = as_list(pixels.pop("Plane", None))
    metadata.update(pixels)
    if channels:
        metadata["Channel"] = channels
    if planes:
        # tifffile takes each plane attribute as a list over the planes
        names = [name for name in planes[0] if name not in ("TheZ", "TheC", "TheT")]
        metadata["Plane"] = {name: [plane.get(name) for plane in planes] for name in names}
    annotations = map_annotations(ome)
    references = [reference.get("ID") for reference in as_list(image.get("AnnotationRef"))]
    mapped = [annotations[reference] for reference in references if reference in annotations]
    if mapped:
        metadata["MapAnnotation"] = mapped if len(mapped) > 1 else mapped[0]
    return metadata


def read_ome_tiff(path, samples=True):
    """Every image of the file; with samples=False, their axes and metadata only (data None)."""
    import tifffile

    images = []
    with tifffile.TiffFile(str(path)) as tiff:
        ome = tifffile.xml2dict(tiff.ome_metadata).get("OME", {})
        descriptions = as_list(ome.get("Image"))
        for index, series in enumerate(tiff.series):
            axes = series.axes
            unknown = sorted(set(axes) - set(LETTERS))
            if unknown:
                raise ValueError("cannot be represented: OME image {} has axes {} ({} not among {})".format(
                    index, axes, ", ".join(unknown), LETTERS))
            data = opencv_order(series.asarray(), axes) if samples else None
            description = descriptions[index] if index < len(descriptions) else {}
            images.append(OmeImage(data, axes, image_metadata(ome, description), file_layout(tiff, series)))
    return images


def file_layout(tiff, series):
    """The pyramid, tile size, compression and BigTIFF-ness of a series, to write its result alike."""
    page = series.pages[0] if series.pages[0] is not None else tiff.pages[0]
    steps = [max(1, int(round(series.shape[-2 if series.axes.endswith("X") else -3] / level.shape[
        -2 if series.axes.endswith("X") else -3]))) for level in series.levels[1:]]
    return {"levels": steps, "tile": page.tilelength if page.is_tiled and page.tilelength == page.tilewidth else None,
            "compression": COMPRESSION_OF_CODE.get(int(page.compression), "zlib"), "bigtiff": tiff.is_bigtiff}


def opencv_order(data, axes):
    """Colour samples reversed along S (RGB on disk, BGR in the methods; either way round)."""
    if "S" not in axes:
        return data
    return data[(slice(None),) * axes.index("S") + (slice(None, None, -1),)]


def result_metadata(metadata, function, keywords):
    """The input's metadata with the pixel sizes and origin the operation gives the result."""
    metadata = dict(metadata)
    sizes = rules.pixel_sizes({axis: metadata.get("PhysicalSize" + axis) for axis in "XY"}, function, keywords)
    for axis, size in sizes.items():
        if size is not None:
            metadata["PhysicalSize" + axis] = size
    if rules.swaps_x_and_y(function, keywords):
        units = metadata.get("PhysicalSizeXUnit"), metadata.get("PhysicalSizeYUnit")
        for axis, unit in zip("YX", units):
            if unit is not None:
                metadata["PhysicalSize{}Unit".format(axis)] = unit
    shift = rules.origin_shift(function, keywords)
    if "Plane" in metadata:
        planes = dict(metadata["Plane"])
        for axis in "XY":
            size = float(metadata.get("PhysicalSize" + axis) or 1)
            if shift[axis] and "Position" + axis in planes:
                planes["Position" + axis] = [None if value is None else float(value) + shift[axis] * size
                                             for value in planes["Position" + axis]]
        metadata["Plane"] = planes
    return metadata


def apply_to_images(function, keywords, images, metadata_of=None):
    """Each image through function by its axes, with the metadata
    metadata_of(metadata, function, keywords) gives the result (OME's by default)."""
    results = []
    for image in images:
        data = function(image.data, axes=image.axes, **keywords)
        results.append(OmeImage(data, result_axes(image.axes, data),
                                (metadata_of or result_metadata)(image.metadata, function, keywords), image.layout))
    return results


def result_axes(axes, data):
    """The axes of an operation's result: a colour plane may come back grey."""
    return axes.replace("S", "") if "S" in axes and data.ndim < len(axes) else axes


def encode_ome_tiff(stream, images, compression="input", tile=None):
    """The images as one OME-TIFF, each with its pyramid rebuilt as its input had it."""
    import tifffile

    bigtiff = any(image.layout.get("bigtiff") for image in images) or sum(
        image.data.nbytes for image in images) > BIGTIFF_BYTES
    with tifffile.TiffWriter(stream, ome=True, bigtiff=bigtiff) as writer:
        for image in images:
            write_image(writer, image.data, image.axes, image.metadata, image.layout, compression, tile)


def write_ome_tiff(path, image, data, compression="input", tile=None):
    """data (NumPy or dask, OpenCV's order, image's axes) as an OME-TIFF at
    path with image's metadata and layout, plane by plane."""
    encode_ome_tiff(str(path), [OmeImage(data, image.axes, image.metadata, image.layout)], compression, tile)


def write_image(writer, data, axes, metadata, layout, compression="input", tile=None):
    """One image, plane by plane, tile by tile where it has tiles, then each
    reduced level of its pyramid (every step-th sample of Y and X) as a
    SubIFD; compression (tifffile's name, None for none) "input" for the
    input's, tile None for the input's."""
    import numpy as np

    compression = layout.get("compression", "zlib") if compression == "input" else compression
    tile = tile or layout.get("tile")
    levels = layout.get("levels") or []
    options = {"photometric": "minisblack", "compression": compression}
    if "S" in axes:
        options.update(photometric="rgb", planarconfig="contig" if axes.endswith("S") else "separate")
    if not axes.endswith(("YX", "YXS")) or (tile is None and not levels):
        writer.write(np.asarray(opencv_order(data, axes)), metadata=dict(metadata, axes=axes), **options)
        return
    tile = tile or DEFAULT_TILE
    writer.write(planes_in_tiles(data, axes, tile), shape=data.shape, dtype=data.dtype, tile=(tile, tile),
                 subifds=len(levels) or None, metadata=dict(metadata, axes=axes), **options)
    plane_axes = 3 if axes.endswith("S") else 2
    for step in levels:
        reduced = data[(slice(None),) * (data.ndim - plane_axes) + (slice(None, None, step),) * 2]
        writer.write(planes_in_tiles(reduced, axes, tile), shape=reduced.shape, dtype=reduced.dtype,
                     tile=(tile, tile), subfiletype=1, **options)


def planes_in_tiles(data, axes, tile):
    """The tiles of each plane of data in the file's order, one plane in memory at a time."""
    import numpy as np

    from pictor.io.tiff import plane_tiles

    plane_axes = 3 if axes.endswith("S") else 2
    for index in np.ndindex(*data.shape[:-plane_axes]):
        plane = np.asarray(data[index])
        yield from plane_tiles(opencv_order(plane, "YXS"[:plane_axes]), tile)
