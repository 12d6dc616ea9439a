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
    pairs = ome["StructuredAnnotations"]["MapAnnotation"]["Value"]["M"]
    kept = {key: value for key, value in pixels.items() if key.startswith(("Physical", "TimeIncrement"))}
    return {"name": image["Name"], "description": image["Description"], "channels": [c["Name"] for c in
            pixels["Channel"]], "pixels": kept, "annotation": {pairs["K"]: pairs["value"]}, "type": pixels["Type"],
            "size": (pixels["SizeY"], pixels["SizeX"])}


@pytest.mark.parametrize("operation, keywords, axes, shape", [
    ("gaussian_blur", ["ksize=5"], "TCZYX", (2, 3, 4, 24, 20)),
    ("auto_level", [], "CYX", (3, 24, 20)),
    ("maximum_gray_level", [], "ZCYX", (2, 3, 24, 20)),   # the sample type changes
    ("resize", ["scale=2"], "CZYX", (3, 2, 24, 20)),        # the plane and pixel sizes change
])
def test_ome_tiff_round_trip(tmp_path, operation, keywords, axes, shape):
    stack = RNG.integers(0, 65536, shape, dtype=np.uint16)
    (tmp_path / "in").mkdir()
    source = tmp_path / "in" / "cells.ome.tif"
    tifffile.imwrite(str(source), stack, ome=True, metadata=dict(OME_METADATA, axes=axes))

    result = run_pictor("apply", operation, tmp_path / "in", "-o", tmp_path / "out", *keywords)
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
