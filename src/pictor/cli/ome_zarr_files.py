"""OME-Zarr images (NGFF 0.4 on Zarr 2, 0.5 on Zarr 3) in and out, through the
ome-zarr package (the optional extra 'ome'): the full-resolution level is read
and processed by its named axes; the result is written with its pyramid built
again from the result, and with the input's axes, units, coordinate
transformations and channel (omero) metadata."""

import os
import shutil
import uuid
from pathlib import Path

from pictor.axes import LETTERS

ZARR_SUFFIX = ".zarr"
FORMAT_OF_VERSION = {"0.4": ("FormatV04", 2), "0.5": ("FormatV05", 3)}
# The pixel size of the result as a factor of the input's (see ome_files).
RESAMPLING = {"resize": ("scale", True), "make_data": ("scale", True), "rotate": ("scale", False)}


class OmeZarrImage:
    """The full-resolution level (a dask array), its axes letters and the NGFF metadata."""

    def __init__(self, data, axes, version, multiscale, omero):
        self.data, self.axes, self.version = data, axes, version
        self.multiscale, self.omero = multiscale, omero


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
    return OmeZarrImage(node.data[0], axes, version, multiscale, ngff.get("omero"))


def level_transformations(multiscale, factor):
    """Each level's coordinate transformations, Y and X scales times FACTOR."""
    names = [axis["name"].lower() for axis in multiscale["axes"]]
    levels = []
    for dataset in multiscale["datasets"]:
        transformations = []
        for transformation in dataset.get("coordinateTransformations", []):
            transformation = dict(transformation)
            if transformation.get("type") == "scale" and factor != 1:
                transformation["scale"] = [value * factor if name in "yx" else value
                                           for name, value in zip(names, transformation["scale"])]
            transformations.append(transformation)
        levels.append(transformations)
    return levels


def pixel_size_factor(function, keywords):
    if function.__name__ not in RESAMPLING:
        return 1
    keyword, grows = RESAMPLING[function.__name__]
    scale = keywords.get(keyword, function.keywords[keyword].default)
    return scale if grows else 1 / scale


def write_ome_zarr(target, data, image, function, keywords):
    """DATA (NumPy or dask, IMAGE's axes) as an OME-Zarr of IMAGE's version at
    TARGET, written under a temporary name and renamed when complete."""
    import numpy as np
    import zarr

    formats, _, _, scale_module, writer = ome_zarr_modules()
    format_name, zarr_format = FORMAT_OF_VERSION[image.version]
    multiscale = image.multiscale
    names = [axis["name"].lower() for axis in multiscale["axes"]]
    levels = level_transformations(multiscale, pixel_size_factor(function, keywords))
    level_scale = next((t["scale"] for t in levels[0] if t.get("type") == "scale"), [1.0] * len(names))
    # The input's pyramid steps in Y and X, rebuilt from the result.
    factors = []
    for transformations in levels[1:]:
        scale = next((t["scale"] for t in transformations if t.get("type") == "scale"), level_scale)
        factors.append({name: max(1, int(round(s / s0))) for name, s, s0 in zip(names, scale, level_scale)
                        if name in "yx"})
    omero = dict(image.omero) if image.omero else None
    if omero and "channels" in omero:
        top = float(np.iinfo(data.dtype).max)
        omero["channels"] = [dict(channel, window=dict(channel["window"], max=min(channel["window"].get("max", top),
                                                                                   top)))
                             if "window" in channel else channel for channel in omero["channels"]]

    target = Path(target)
    partial = target.with_name(".{}.{}.partial{}".format(target.name, uuid.uuid4().hex[:12], ZARR_SUFFIX))
    try:
        group = zarr.open_group(str(partial), mode="w", zarr_format=zarr_format)
        writer.write_image(data, group, scale_factors=factors, method=scale_module.Methods.NEAREST,
                           fmt=getattr(formats, format_name)(), axes=names,
                           axes_units={axis["name"].lower(): axis["unit"] for axis in multiscale["axes"]
                                       if axis.get("unit")},
                           scale=dict(zip(names, level_scale)), name=multiscale.get("name", "image"),
                           storage_options={"chunks": chunk_shape(data)})
        keep_input_metadata(partial, levels, multiscale, omero)
        if target.exists():
            shutil.rmtree(str(target))
        os.replace(str(partial), str(target))
    finally:
        if partial.exists():
            shutil.rmtree(str(partial), ignore_errors=True)
    return target


def chunk_shape(data):
    """One plane stripe per chunk at most: 1 along T, Z, C; whole rows."""
    chunks = getattr(data, "chunksize", None) or data.shape
    return tuple(int(c) for c in chunks)


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


def apply_to_ome_zarr(function, keywords, source, target):
    """The whole image in memory: for the batch command without --chunked."""
    image = read_ome_zarr(source)
    result = function(image.data.compute(), axes=image.axes, **keywords)
    return write_ome_zarr(target, result, image, function, keywords)
