"""An image file as an array read region by region: a Zarr array, or a
(tiled) TIFF through its Zarr view; and the plain Zarr array a result is
written to."""

from pictor.io.kinds import file_kind
from pictor.io.tiff import TiffRegions


def open_regions(path):
    """The file's samples as an array-like read region by region (shape, dtype, chunks)."""
    if file_kind(path) == "zarr":
        import zarr

        return zarr.open_array(str(path), mode="r")
    return TiffRegions(path)


def image_layout(path):
    """(shape, dtype) of the image in a TIFF (its first series) or a Zarr array."""
    if file_kind(path) == "zarr":
        stored = open_regions(path)
        return tuple(stored.shape), stored.dtype
    from pictor.io.tiff import series_layout

    return series_layout(path)


def new_zarr_array(path, shape, dtype, chunks):
    import zarr

    return zarr.open_array(str(path), mode="w", shape=shape, dtype=dtype, chunks=chunks)


def has_named_axes(path):
    """An OME-TIFF, an ImageJ hyperstack or an OME-Zarr: an image of named
    axes, whose planes are run one by one and whose metadata is kept."""
    from pathlib import Path

    from pictor.io import imagej, kinds, ome_tiff, ome_zarr

    path = Path(path)
    if kinds.is_tiff(path):
        return path.exists() and (ome_tiff.is_ome_tiff(path) or imagej.is_imagej_stack(path))
    return ome_zarr.is_ome_zarr(path)
