"""pictor's results read back by bioio, a reader that shares no code with
pictor.io: ImageJ hyperstacks, pyramidal OME-TIFF and OME-Zarr, with and
without --chunked, keep their axes, pixel sizes, channels and samples."""

import warnings

import numpy as np
import pytest
import tifffile

import pictor
from test_cli import run_pictor
from test_ome_files import ome_zarr_image

pytest.importorskip("dask.array")
bioio = pytest.importorskip("bioio")
RNG = np.random.default_rng(31)


def imagej_stack(path):
    tifffile.imwrite(str(path), RNG.integers(0, 4096, (2, 3, 40, 36), dtype=np.uint16), imagej=True,
                     resolution=(2.0, 4.0), metadata={"axes": "ZCYX", "spacing": 1.5, "unit": "um"})


def pyramidal_ome_tiff(path):
    stack = RNG.integers(0, 65536, (2, 128, 96), dtype=np.uint16)
    with tifffile.TiffWriter(str(path), bigtiff=True, ome=True) as writer:
        writer.write(stack, subifds=1, tile=(64, 64), compression="zlib",
                     metadata={"axes": "ZYX", "PhysicalSizeX": 0.5, "PhysicalSizeY": 0.25, "PhysicalSizeZ": 2.0})
        writer.write(stack[:, ::2, ::2], subfiletype=1, tile=(64, 64), compression="zlib")


def ome_zarr_store(path):
    ome_zarr_image(path, RNG.integers(0, 65536, (3, 2, 64, 80), dtype=np.uint16), "0.4")


# (name, make the input, operation, bioio's reader plug-in, whether X and Y swap)
FORMATS = [("cells.tif", imagej_stack, "rotate", "bioio_tifffile", True),
           ("pyramid.ome.tif", pyramidal_ome_tiff, "gaussian_blur", "bioio_ome_tiff", False),
           ("cells.zarr", ome_zarr_store, "gaussian_blur", "bioio_ome_zarr", False)]


def read(path, plugin):
    reader = pytest.importorskip(plugin).Reader
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the readers' notes on metadata they do not use
        image = bioio.BioImage(str(path), reader=reader)
        return image, image.reader.dims.order, np.asarray(image.data), image.physical_pixel_sizes


def plane_by_plane(function, data):
    """function on every Y x X plane of data."""
    planes = [function(plane) for plane in data.reshape((-1,) + data.shape[-2:])]
    return np.stack(planes).reshape(data.shape[:-2] + planes[0].shape)


@pytest.mark.parametrize("chunked", [False, True], ids=["whole", "chunked"])
@pytest.mark.parametrize("name, make, operation, plugin, swaps", FORMATS, ids=[case[0] for case in FORMATS])
def test_results_read_back_by_bioio(tmp_path, name, make, operation, plugin, swaps, chunked):
    source = tmp_path / "in" / name
    source.parent.mkdir()
    make(source)
    done = run_pictor("apply", operation, *(["--chunked", source] if chunked else [source.parent]),
                      "-o", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    before, order_before, data_before, sizes_before = read(source, plugin)
    after, order_after, data_after, sizes_after = read(tmp_path / "out" / name, plugin)
    assert order_after == order_before
    np.testing.assert_array_equal(data_after, plane_by_plane(getattr(pictor, operation), data_before))
    assert sizes_after == (sizes_before._replace(X=sizes_before.Y, Y=sizes_before.X) if swaps else sizes_before)
    assert after.channel_names == before.channel_names
    assert after.resolution_levels == before.resolution_levels
