"""OME-TIFF files in and out: each image of the file is an N-D array with
named axes, processed plane by plane, and written again with its OME metadata
(through tifffile's OME support), changed only where the operation changes it
(pictor.io.metadata): the sample type, the plane size, the pixel sizes, the
origin of a crop."""

from pictor.axes import LETTERS
from pictor.io import metadata as rules

# Beyond this many bytes of samples a TIFF needs 64-bit offsets (with room for the tags).
BIGTIFF_BYTES = 2 ** 32 - 2 ** 25
# Written again by tifffile from the result itself.
LAYOUT_ATTRIBUTES = ("ID", "TiffData", "Type", "SizeX", "SizeY", "SizeZ", "SizeC", "SizeT", "DimensionOrder",
                     "SignificantBits", "BigEndian", "Interleaved", "MetadataOnly", "BinData")


class OmeImage:
    """One image of an OME-TIFF: samples (colour in OpenCV's order), axes letters, tifffile metadata."""

    def __init__(self, data, axes, metadata):
        self.data, self.axes, self.metadata = data, axes, metadata


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
            images.append(OmeImage(data, axes, image_metadata(ome, description)))
    return images


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
                                (metadata_of or result_metadata)(image.metadata, function, keywords)))
    return results


def result_axes(axes, data):
    """The axes of an operation's result: a colour plane may come back grey."""
    return axes.replace("S", "") if "S" in axes and data.ndim < len(axes) else axes


def tifffile_options(metadata, axes, data):
    """tifffile's keywords that write data (a result of axes) as an OME-TIFF with metadata."""
    return {"ome": True, "bigtiff": data.nbytes > BIGTIFF_BYTES, "metadata": dict(metadata, axes=axes),
            "photometric": "rgb" if "S" in axes else "minisblack"}


def encode_ome_tiff(stream, images, compression="zlib"):
    import tifffile

    with tifffile.TiffWriter(stream, ome=True, bigtiff=sum(image.data.nbytes for image in images) > BIGTIFF_BYTES) \
            as writer:
        for image in images:
            data, axes = image.data, image.axes
            options = {"photometric": "minisblack"}
            if "S" in axes:
                data = opencv_order(data, axes)
                options = {"photometric": "rgb", "planarconfig": "contig" if axes.endswith("S") else "separate"}
            metadata = dict(image.metadata, axes=axes)
            writer.write(data, compression=compression, metadata=metadata, **options)
