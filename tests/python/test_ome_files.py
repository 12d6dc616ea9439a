"""OME files through `pictor apply`: samples plane by plane, metadata kept
except where the operation changes it. Real files, the real command."""

import numpy as np
import pytest
import tifffile

import pictor
from test_cli import run_pictor

RNG = np.random.default_rng(24)
CHANNELS = ["DAPI", "GFP", "mCherry"]
OME_METADATA = {"Name": "cells", "Description": "a z-stack", "PhysicalSizeX": 0.325, "PhysicalSizeXUnit": "µm",
                "PhysicalSizeY": 0.325, "PhysicalSizeYUnit": "µm", "PhysicalSizeZ": 1.5, "PhysicalSizeZUnit": "µm",
                "TimeIncrement": 30.0, "TimeIncrementUnit": "s", "Channel": {"Name": CHANNELS},
                "MapAnnotation": {"objective": "40x"}}


def ome_description(path):
    with tifffile.TiffFile(str(path)) as tiff:
        ome = tifffile.xml2dict(tiff.ome_metadata)["OME"]
    image, pixels = ome["Image"], ome["Image"]["Pixels"]
    # older tifffile (CPython 3.8) writes no map annotations
    pairs = ome.get("StructuredAnnotations", {}).get("MapAnnotation", {}).get("Value", {}).get("M", {})
    kept = {key: value for key, value in pixels.items() if key.startswith(("Physical", "TimeIncrement"))}
    return {"name": image["Name"], "description": image["Description"], "channels": [c["Name"] for c in
            pixels["Channel"]], "pixels": kept, "annotation": {pairs.get("K"): pairs.get("value")}, "type": pixels["Type"],
            "size": (pixels["SizeY"], pixels["SizeX"])}


@pytest.mark.parametrize("operation, keywords, axes, shape", [
    ("gaussian_blur", ["ksize=5"], "TCZYX", (2, 3, 4, 24, 20)),
    ("auto_level", [], "CYX", (3, 24, 20)),
    ("maximum_gray_level", [], "ZCYX", (2, 3, 24, 20)),   # the sample type changes
    ("resize", ["scale=2"], "CZYX", (3, 2, 24, 20)),        # the plane and pixel sizes change
])
@pytest.mark.parametrize("chunked", [False, True])
def test_ome_tiff_round_trip(tmp_path, operation, keywords, axes, shape, chunked):
    if chunked:
        pytest.importorskip("dask.array")  # --chunked needs the optional 'dask' extra
    stack = RNG.integers(0, 65536, shape, dtype=np.uint16)
    (tmp_path / "in").mkdir()
    source = tmp_path / "in" / "cells.ome.tif"
    tifffile.imwrite(str(source), stack, ome=True, metadata=dict(OME_METADATA, axes=axes))

    options = ["--chunked", source] if chunked else [tmp_path / "in"]
    result = run_pictor("apply", operation, *options, "-o", tmp_path / "out", *keywords)
    assert result.returncode == 0, result.stderr

    written = tmp_path / "out" / "cells.ome.tif"
    function = getattr(pictor, operation)
    literal = {key: int(value) for key, value in (keyword.split("=") for keyword in keywords)}
    expected = np.stack([function(plane, **literal) for plane in stack.reshape((-1,) + shape[-2:])])
    with tifffile.TiffFile(str(written)) as tiff:
        assert tiff.is_ome and tiff.series[0].axes == axes
        np.testing.assert_array_equal(tiff.series[0].asarray(), expected.reshape(shape[:-2] + expected.shape[-2:]))
    before, after = ome_description(source), ome_description(written)
    factor = literal.get("scale", 1)
    before["pixels"].update(PhysicalSizeX=0.325 * factor, PhysicalSizeY=0.325 * factor)
    before.update(type=expected.dtype.name, size=expected.shape[-2:])
    assert after == before


def test_ome_tiff_colour_planes_keep_their_sample_order(tmp_path):
    stack = RNG.integers(0, 256, (3, 24, 20, 3), dtype=np.uint8)
    stack[..., 0] //= 4  # a dark red: a swap of red and blue would show
    (tmp_path / "in").mkdir()
    tifffile.imwrite(str(tmp_path / "in" / "rgb.ome.tif"), stack, ome=True, photometric="rgb",
                     metadata={"axes": "ZYXS", "PhysicalSizeZ": 2.0})
    assert run_pictor("apply", "auto_level", tmp_path / "in", "-o", tmp_path / "out").returncode == 0
    with tifffile.TiffFile(str(tmp_path / "out" / "rgb.ome.tif")) as tiff:
        assert tiff.series[0].axes == "ZYXS"
        expected = np.stack([pictor.auto_level(plane[..., ::-1])[..., ::-1] for plane in stack])
        np.testing.assert_array_equal(tiff.series[0].asarray(), expected)
        assert tifffile.xml2dict(tiff.ome_metadata)["OME"]["Image"]["Pixels"]["PhysicalSizeZ"] == 2.0


# --- OME-Zarr ---------------------------------------------------------------------------------

CZYX_UNITS = {"z": "micrometer", "y": "micrometer", "x": "micrometer"}
CZYX_SCALE = {"c": 1.0, "z": 2.0, "y": 0.5, "x": 0.5}
ORIGIN = [0.0, 3.0, 10.0, 20.0]
OMERO = {"channels": [{"label": name, "color": colour, "window": {"start": 0, "end": 4000, "min": 0, "max": 65535}}
                      for name, colour in zip(CHANNELS, ["0000FF", "00FF00", "FF0000"])]}


def ome_zarr_image(path, stack, version):
    ome_zarr = pytest.importorskip("ome_zarr")  # the optional 'ome' extra
    import ome_zarr.format
    import ome_zarr.writer
    import zarr

    fmt = ome_zarr.format.FormatV04() if version == "0.4" else ome_zarr.format.FormatV05()
    group = zarr.open_group(str(path), mode="w", zarr_format=2 if version == "0.4" else 3)
    ome_zarr.writer.write_image(stack, group, scale_factors=[2, 4], fmt=fmt, axes=["c", "z", "y", "x"],
                                axes_units=CZYX_UNITS, scale=CZYX_SCALE,
                                storage_options={"chunks": (1, 1, 16, 40)})
    # where the image lies in space (the full-resolution level's translation)
    # and its channels, as other writers store them
    attributes = group.attrs.asdict()
    ngff = attributes.get("ome", attributes)
    ngff["omero"] = OMERO
    for transformation in ngff["multiscales"][0]["datasets"][0]["coordinateTransformations"]:
        if transformation["type"] == "translation":
            transformation["translation"] = ORIGIN
    group.attrs.update(attributes)


def read_ome_zarr(path):
    """(full-resolution samples, multiscales metadata, omero metadata, levels) as ome-zarr's reader gives them."""
    from ome_zarr.io import parse_url
    from ome_zarr.reader import Reader

    node = next(iter(Reader(parse_url(str(path)))()))
    attributes = parse_url(str(path)).root_attrs
    ngff = attributes.get("ome", attributes)
    return np.asarray(node.data[0]), ngff["multiscales"][0], ngff.get("omero"), [np.asarray(d) for d in node.data]


@pytest.mark.parametrize("version", ["0.4", "0.5"])
@pytest.mark.parametrize("chunked", [False, True])
@pytest.mark.parametrize("operation, keywords", [("gaussian_blur", {"ksize": 5}), ("resize", {"scale": 2})])
def test_ome_zarr_round_trip(tmp_path, version, chunked, operation, keywords):
    stack = RNG.integers(0, 65536, (3, 2, 64, 80), dtype=np.uint16)
    source = tmp_path / "cells.zarr"
    ome_zarr_image(source, stack, version)
    options = ["--chunked"] if chunked else []
    result = run_pictor("apply", operation, source, "-o", tmp_path / "out", *options,
                        *("{}={}".format(key, value) for key, value in keywords.items()))
    assert result.returncode == 0, result.stderr

    written = tmp_path / "out" / "cells.zarr"
    samples, multiscale, omero, levels = read_ome_zarr(written)
    function = getattr(pictor, operation)
    expected = np.stack([np.stack([function(plane, **keywords) for plane in planes]) for planes in stack])
    np.testing.assert_array_equal(samples, expected)
    _, multiscale_before, omero_before, levels_before = read_ome_zarr(source)
    assert multiscale["axes"] == multiscale_before["axes"]
    factor = keywords["scale"] if operation == "resize" else 1
    for dataset, dataset_before in zip(multiscale["datasets"], multiscale_before["datasets"]):
        scale, = [t["scale"] for t in dataset["coordinateTransformations"] if t["type"] == "scale"]
        scale_before, = [t["scale"] for t in dataset_before["coordinateTransformations"] if t["type"] == "scale"]
        assert scale == scale_before[:2] + [s * factor for s in scale_before[2:]]
    assert len(levels) == len(levels_before)
    origin, = [t["translation"] for t in multiscale["datasets"][0]["coordinateTransformations"]
               if t["type"] == "translation"]
    assert origin == ORIGIN
    assert [level.shape[-1] for level in levels] == [expected.shape[-1] // 2 ** n for n in range(len(levels))]
    assert [c["label"] for c in omero["channels"]] == CHANNELS == [c["label"] for c in omero_before["channels"]]
    validate_ome_zarr(written, version)


def validate_ome_zarr(path, version):
    import zarr

    models = pytest.importorskip("ome_zarr_models.v04" if version == "0.4" else "ome_zarr_models.v05")
    models.Image.from_zarr(zarr.open_group(str(path), mode="r"))  # raises on invalid metadata
