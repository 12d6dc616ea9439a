"""OME-Zarr images (NGFF 0.4 on Zarr 2, 0.5 on Zarr 3) in and out, through the
ome-zarr package (the optional extra 'ome'): the full-resolution level is read
and processed by its named axes; the result is written with its pyramid built
again from the result, and with the input's axes, units, coordinate
transformations and channel (omero) metadata."""

import warnings
from pathlib import Path

from pictor.axes import LETTERS
from pictor.io import metadata as rules
from pictor.io.kinds import ZARR_SUFFIX
from pictor.io.safety import FileWarning, writers_finished, written_as

FORMAT_OF_VERSION = {"0.4": ("FormatV04", 2), "0.5": ("FormatV05", 3)}
# The largest chunk written when the input's chunk shape does not fit the result.
CHUNK_BYTES = 64 << 20


class OmeZarrImage:
    """The full-resolution level (a dask array), its axes letters and the NGFF metadata."""

    def __init__(self, data, axes, version, multiscale, omero):
        self.data, self.axes, self.version = data, axes, version
        self.multiscale, self.omero = multiscale, omero
        self.chunks = tuple(int(c) for c in data.chunksize)


def ome_zarr_modules():
    try:
        from ome_zarr import format as formats, io, reader, scale, writer
    except ImportError as error:
        raise ValueError("OME-Zarr needs the 'ome' extra (pip install 'pictor-lumenops[ome]'): {}".format(
            error)) from None
    return formats, io, reader, scale, writer


def is_ome_zarr(path):
    import zarr

    path = Path(path)
    if path.suffix.lower() != ZARR_SUFFIX or not path.is_dir():
        return False
    try:
        attributes = zarr.open_group(str(path), mode="r").attrs.asdict()
    except Exception:  # not a group: a plain Zarr array
        return False
    return "multiscales" in attributes.get("ome", attributes)


def read_ome_zarr(path):
    import zarr

    _, io, reader, _, _ = ome_zarr_modules()
    attributes = zarr.open_group(str(path), mode="r").attrs.asdict()
    ngff = attributes.get("ome", attributes)
    multiscale = ngff["multiscales"][0]
    version = str(ngff.get("version", multiscale.get("version", "0.4")))
    if version not in FORMAT_OF_VERSION:
        raise ValueError("cannot be represented: OME-Zarr {} (readable: {})".format(
            version, ", ".join(FORMAT_OF_VERSION)))
    axes = "".join(axis["name"].upper() for axis in multiscale["axes"])
    unknown = sorted(set(axes) - set(LETTERS))
    if unknown or len(set(axes)) != len(axes):
        raise ValueError("cannot be represented: OME-Zarr axes {} (named {} are accepted)".format(
            [axis["name"] for axis in multiscale["axes"]], ", ".join(LETTERS.lower())))
    formats = ome_zarr_modules()[0]
    location = io.parse_url(str(path), mode="r", fmt=getattr(formats, FORMAT_OF_VERSION[version][0])())
    node = next(iter(reader.Reader(location)()))
    warn_missing_chunks(path, multiscale)
    return OmeZarrImage(node.data[0], axes, version, multiscale, ngff.get("omero"))


def warn_missing_chunks(path, multiscale):
    """Warns, naming the store, when chunks of its full-resolution level are
    missing: they read as the fill value, not as the image."""
    import zarr

    level = zarr.open_array(str(Path(path) / multiscale["datasets"][0]["path"]), mode="r")
    present, total = level.nchunks_initialized, level.nchunks
    if present < total:
        warnings.warn("{}: {} of {} chunks of the full-resolution level are missing; they read as {}".format(
            path, total - present, total, level.fill_value), FileWarning, stacklevel=3)


def level_transformations(multiscale, function, keywords):
    """Each level's coordinate transformations for the result: Y and X scales
    as the operation changes the pixel sizes; a crop's origin moved."""
    names = [axis["name"].lower() for axis in multiscale["axes"]]
    levels = []
    for dataset in multiscale["datasets"]:
        transformations = [dict(transformation) for transformation in dataset.get("coordinateTransformations", [])]
        scale = next((t for t in transformations if t.get("type") == "scale"), None)
        if scale is not None:
            sizes = rules.pixel_sizes({name.upper(): value for name, value in zip(names, scale["scale"])
                                       if name in "yx"}, function, keywords)
            scale["scale"] = [sizes[name.upper()] if name in "yx" else value
                              for name, value in zip(names, scale["scale"])]
        levels.append(transformations)
    shift = rules.origin_shift(function, keywords)
    if any(shift.values()):
        first = levels[0]
        scale = next((t["scale"] for t in first if t.get("type") == "scale"), [1.0] * len(names))
        moved = [shift[name.upper()] * size if name in "yx" else 0 for name, size in zip(names, scale)]
        translation = next((t for t in first if t.get("type") == "translation"), None)
        if translation is None:
            first.append({"type": "translation", "translation": moved})
        else:
            translation["translation"] = [a + b for a, b in zip(translation["translation"], moved)]
    return levels


def pyramid_factors(levels, names):
    """The steps between the input's levels in Y and X, rebuilt from the result."""
    first = next((t["scale"] for t in levels[0] if t.get("type") == "scale"), [1.0] * len(names))
    factors = []
    for transformations in levels[1:]:
        scale = next((t["scale"] for t in transformations if t.get("type") == "scale"), first)
        factors.append({name: max(1, int(round(s / s0))) for name, s, s0 in zip(names, scale, first)
                        if name in "yx"})
    return first, factors


def write_ome_zarr(target, data, image, function, keywords, stop=None):
    """DATA (NumPy or dask, IMAGE's axes) as an OME-Zarr of IMAGE's version at
    TARGET, with the input's chunk shape, written under a temporary name and
    renamed when complete."""
    import zarr

    formats, _, _, scale_module, writer = ome_zarr_modules()
    format_name, zarr_format = FORMAT_OF_VERSION[image.version]
    multiscale = image.multiscale
    names = [axis["name"].lower() for axis in multiscale["axes"]]
    levels = level_transformations(multiscale, function, keywords)
    level_scale, factors = pyramid_factors(levels, names)
    low, high = rules.sample_range(data)
    omero = rules.omero_with_range(image.omero, data.dtype, low, high)
    with written_as(target, stop) as partial, writers_finished():
        group = zarr.open_group(str(partial), mode="w", zarr_format=zarr_format)
        writer.write_image(data, group, scale_factors=factors, method=scale_module.Methods.NEAREST,
                           fmt=getattr(formats, format_name)(), axes=names,
                           axes_units={axis["name"].lower(): axis["unit"] for axis in multiscale["axes"]
                                       if axis.get("unit")},
                           scale=dict(zip(names, level_scale)), name=multiscale.get("name", "image"),
                           storage_options={"chunks": chunk_shape(data.shape, data.dtype, image.chunks)})
        keep_input_metadata(partial, levels, multiscale, omero)
    return target


def chunk_shape(shape, dtype, source_chunks):
    """The input's chunk shape where the result's axes allow it; else planes
    of whole rows, at most CHUNK_BYTES each."""
    import numpy as np

    if source_chunks is not None and len(source_chunks) == len(shape):
        return tuple(max(1, min(int(c), int(s))) for c, s in zip(source_chunks, shape))
    itemsize = np.dtype(dtype).itemsize
    row_bytes = itemsize * int(np.prod(shape[-1:]))
    rows = max(1, min(shape[-2] if len(shape) > 1 else 1, CHUNK_BYTES // max(1, row_bytes)))
    return (1,) * (len(shape) - 2) + (rows,) + tuple(shape[-1:]) if len(shape) > 1 else tuple(shape)


def keep_input_metadata(path, levels, multiscale, omero):
    """The rebuilt pyramid's levels placed where the input's image lies: the
    writer's scales and pyramid offsets plus the input's own translation of
    its full-resolution level; the input's multiscale type and metadata, and
    its channel (omero) metadata, written here as plain JSON because ome-zarr's
    writer takes it as a dict up to 0.20 and only as its own model from 0.21."""
    import zarr

    group = zarr.open_group(str(path), mode="r+")
    attributes = group.attrs.asdict()
    ngff = attributes.get("ome", attributes)
    written = ngff["multiscales"][0]
    origin = next((t["translation"] for t in levels[0] if t.get("type") == "translation"), None)
    if origin is not None and any(origin):
        for dataset in written["datasets"]:
            transformations = dataset["coordinateTransformations"]
            offset = next((t for t in transformations if t.get("type") == "translation"), None)
            if offset is None:
                transformations.append({"type": "translation", "translation": list(origin)})
            else:
                offset["translation"] = [a + b for a, b in zip(offset["translation"], origin)]
    for key in ("type", "metadata"):
        if key in multiscale:
            written[key] = multiscale[key]
    if omero:
        ngff["omero"] = omero
    group.attrs.update({"ome": ngff} if "ome" in attributes else ngff)


def voxel_sizes(image):
    """{"X": size, "Y": size, "Z": size} of the full-resolution level's scale
    transformation (None for an axis the image lacks or without a scale)."""
    names = [axis["name"].upper() for axis in image.multiscale["axes"]]
    transformations = image.multiscale["datasets"][0].get("coordinateTransformations", [])
    scale = next((t["scale"] for t in transformations if t.get("type") == "scale"), [None] * len(names))
    sizes = dict(zip(names, scale))
    return {axis: None if sizes.get(axis) is None else float(sizes[axis]) for axis in "XYZ"}


def apply_to_ome_zarr(function, keywords, source, target, stop=None):
    """The whole image in memory: for the batch command without --chunked.
    A filter's spacing, where the user gives none, is the file's voxel size."""
    image = read_ome_zarr(source)
    keywords = rules.with_voxel_spacing(function, keywords, image.axes, voxel_sizes(image))
    result = function(image.data.compute(), axes=image.axes, **keywords)
    return write_ome_zarr(target, result, image, function, keywords, stop)
