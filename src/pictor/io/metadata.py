"""How an operation changes the metadata of the image it is applied to:
pixel sizes (a resampling scales them, a quarter turn swaps X and Y), the
origin (a crop moves it), and the display range (set to the result's)."""

# The pixel size of the result, as a factor of the input's, for the methods
# that resample the plane (keyword, and whether the size grows with it).
RESAMPLING = {"resize": ("scale", True), "make_data": ("scale", True), "rotate": ("scale", False)}


def keyword(function, keywords, name):
    return keywords.get(name, function.keywords[name].default)


def steps_of(function, keywords):
    """[(function, keywords)] of an operation, or of each step of a pipeline in turn."""
    steps = getattr(function, "steps", None)
    if steps is None:
        return [(function, keywords)]
    return [(step.function, step.keywords) for step in steps]


def pixel_size_factor(function, keywords):
    """The result's pixel size in X and Y as a factor of the input's."""
    factor = 1
    for step, given in steps_of(function, keywords):
        if step.__name__ in RESAMPLING:
            name, grows = RESAMPLING[step.__name__]
            scale = keyword(step, given, name)
            factor *= scale if grows else 1 / scale
    return factor


def swaps_x_and_y(function, keywords):
    """A rotation by a quarter turn (or three) exchanges the image's X and Y
    directions; two such rotations exchange them back."""
    turns = [step.__name__ == "rotate" and float(keyword(step, given, "angle")) % 180 == 90
             for step, given in steps_of(function, keywords)]
    return sum(turns) % 2 == 1


def pixel_sizes(sizes, function, keywords):
    """{"X": size, "Y": size} of the result from the input's (None where unknown)."""
    factor = pixel_size_factor(function, keywords)
    scaled = {axis: None if size is None else float(size) * factor for axis, size in sizes.items()}
    if swaps_x_and_y(function, keywords):
        scaled["X"], scaled["Y"] = scaled.get("Y"), scaled.get("X")
    return scaled


def voxel_sizes(metadata):
    """{"X": size, "Y": size, "Z": size} of an OME image's or an ImageJ
    hyperstack's metadata (None where the file does not say)."""
    sizes = {axis: metadata.get("PhysicalSize" + axis) for axis in "XYZ"}
    if "resolution" in metadata:  # ImageJ: pixels per unit in X and Y, the Z step as its spacing
        sizes["X"], sizes["Y"] = (1 / per_unit if per_unit else None for per_unit in metadata["resolution"])
        sizes["Z"] = metadata.get("imagej", {}).get("spacing")
    return {axis: None if size is None else float(size) for axis, size in sizes.items()}


def with_voxel_spacing(function, keywords, axes, sizes):
    """The keywords, with `spacing` (the voxel's size along each filtered
    axis, in the order of AXES) from the file's voxel SIZES ({"X": size, ...}),
    where the function takes one, the user gave none, and the file gives
    every size."""
    from pictor.volumes import FILTERED_LETTERS

    if "spacing" not in getattr(function, "keywords", {}) or "spacing" in keywords:  # a chain has none
        return keywords
    filtered = [axis for axis in axes if axis in FILTERED_LETTERS]
    if not all(sizes.get(axis) for axis in filtered):
        return keywords
    return dict(keywords, spacing=tuple(sizes[axis] for axis in filtered))


def origin_shift(function, keywords):
    """{"X": pixels, "Y": pixels} of the result by which its first pixel lies
    from the input's (a crop's start counts in the pixels of the image it crops)."""
    shift, factor = {"X": 0, "Y": 0}, 1
    for step, given in steps_of(function, keywords):
        if step.__name__ == "crop":
            for axis in "XY":
                shift[axis] += int(keyword(step, given, "start_" + axis.lower())) * factor
        factor *= pixel_size_factor(step, given)
    return shift if factor == 1 else {axis: pixels / factor for axis, pixels in shift.items()}


def sample_range(data):
    """(lowest, highest) sample of data (NumPy or dask), as Python numbers."""
    low, high = data.min(), data.max()
    if hasattr(low, "compute"):
        import dask

        low, high = dask.compute(low, high)
    return low.item(), high.item()


def omero_with_range(omero, dtype, low, high):
    """The omero channel windows of the result: its sample range shown, the
    type's range as the window's bounds."""
    import numpy as np

    if not omero or "channels" not in omero:
        return omero
    bounds = np.iinfo(dtype) if np.issubdtype(dtype, np.integer) else np.finfo(dtype)
    channels = []
    for channel in omero["channels"]:
        channel = dict(channel)
        channel["window"] = dict(channel.get("window") or {}, min=float(bounds.min), max=float(bounds.max),
                                 start=float(low), end=float(high))
        channels.append(channel)
    return dict(omero, channels=channels)
