"""Whole images in and out: every page of a TIFF with its descriptive tags
(through tifffile), other formats through OpenCV; written under a temporary
name and renamed when complete (pictor.io.safety)."""

import errno
from pathlib import Path

from pictor.io.kinds import TIFF_SUFFIXES
from pictor.io.safety import written_as

# Descriptive TIFF tags carried from each input page to its output page; the
# layout tags are the writer's own.
ASCII_TAGS = {269: "DocumentName", 271: "Make", 272: "Model", 285: "PageName", 315: "Artist",
              316: "HostComputer", 33432: "Copyright"}


class Page:
    """One image of a file: its samples (OpenCV's channel order), for TIFF its
    descriptive tags, and its axes letters where they are not the default
    (YX, or YXS for a colour image): "YXC" for the 3 channels of a TIFF that
    does not say it holds RGB colour, or the axes the user named."""

    def __init__(self, data, tags=None, axes=None):
        self.data, self.tags, self.axes = data, tags or {}, axes


def read_pages(path, axes=None):
    """Every image of the file; with axes, a TIFF's first series (or an
    image of another format) as one image of those axes."""
    if not path.is_file():
        raise FileNotFoundError(errno.ENOENT, "no such file", str(path))
    if path.suffix.lower() in TIFF_SUFFIXES:
        return read_tiff(path, axes)
    import cv2
    import numpy as np

    image = cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
    if image is None:
        # imread cannot open non-ASCII paths on every platform; decode the bytes instead.
        image = cv2.imdecode(np.fromfile(str(path), dtype=np.uint8), cv2.IMREAD_UNCHANGED)
    if image is None:
        raise OSError("cannot read the image")
    return [Page(image, axes=checked_axes(axes, image.shape, path))]


def checked_axes(axes, shape, path):
    if axes is not None and len(axes) != len(shape):
        raise ValueError("cannot be represented with --axes {}: {} holds an image of shape {}".format(
            axes, path, shape))
    return axes


def read_image(path):
    return read_pages(Path(path))[0].data


def read_tiff(path, axes=None):
    import tifffile

    from pictor.io.ome_tiff import opencv_order

    pages = []
    with tifffile.TiffFile(str(path)) as tiff:
        if axes is not None:
            data = tiff.series[0].asarray()
            checked_axes(axes, data.shape, path)
            return [Page(opencv_order(data, axes).copy(), page_tags(tiff.pages[0]), axes)]
        for page in tiff.pages:
            try:
                data = page.asarray()
            except ValueError as error:
                if "imagecodecs" not in str(error):
                    raise OSError("a damaged or truncated TIFF file: {}".format(error)) from None
                # a compression tifffile has no codec for: OpenCV's libtiff decodes it
                return read_tiff_with_opencv(path, [page_tags(page) for page in tiff.pages])
            axes = None
            if data.ndim == 3 and data.shape[2] == 3:
                if page.photometric == tifffile.PHOTOMETRIC.RGB:
                    data = data[:, :, ::-1].copy()  # RGB on disk, OpenCV's order in the methods
                else:
                    axes = "YXC"  # three channels (fluorescence), not a colour
            pages.append(Page(data, page_tags(page), axes))
    if not pages:
        raise OSError("the TIFF file holds no image")
    return pages


def read_tiff_with_opencv(path, tags):
    import cv2

    ok, images = cv2.imreadmulti(str(path), flags=cv2.IMREAD_UNCHANGED)
    if not ok or len(images) != len(tags):
        raise OSError("cannot read every page of the TIFF file")
    return [Page(image, page_tags) for image, page_tags in zip(images, tags)]


def page_tags(page):
    tags = {}
    for tag in page.tags.values():
        if tag.code in ASCII_TAGS or tag.code in (270, 305, 306):
            tags[tag.code] = tag.value
        elif tag.code in (282, 283, 296):
            tags[tag.code] = tag.value
    return tags


def encode_tiff(stream, pages):
    import tifffile

    from pictor.io.ome_tiff import opencv_order

    with tifffile.TiffWriter(stream) as writer:
        for page in pages:
            data, tags, axes = page.data, page.tags, page.axes
            colour = "S" in axes if axes else data.ndim == 3
            if colour:
                data = opencv_order(data, axes or "YXS")
            stack = axes is not None and len(axes) > 2 and axes != "YXC" and axes != "YXS"
            options = {"photometric": "rgb" if colour else "minisblack", "metadata": {"axes": axes} if stack else None,
                       "compression": "zlib", "description": None if stack else tags.get(270),
                       "software": tags.get(305), "datetime": tags.get(306)}
            if colour and axes and not axes.endswith("S"):
                options["planarconfig"] = "separate"
            if axes == "YXC":  # three channels as the samples of one page, as they were read
                options["planarconfig"] = "contig"
            if 282 in tags and 283 in tags:
                options["resolution"] = (tags[282], tags[283])
                options["resolutionunit"] = tags.get(296)
            options["extratags"] = [(code, "s", 0, tags[code], True) for code in ASCII_TAGS if code in tags]
            writer.write(data, **{key: value for key, value in options.items() if value is not None})


def write_pages(target, pages, stop, encode_parameters=(), encode=None):
    """PAGES written whole at TARGET, or nothing when it fails or stop is set.
    encode(stream, pages), when given, writes the file's format instead."""
    with written_as(target, stop.is_set) as partial:
        with open(str(partial), "wb") as stream:
            if encode is not None:
                encode(stream, pages)
            elif target.suffix.lower() in TIFF_SUFFIXES:
                encode_tiff(stream, pages)
            else:
                stream.write(encode_other(target.suffix, pages, encode_parameters))
    return target


def encode_other(suffix, pages, parameters=()):
    import cv2

    if len(pages) != 1:
        raise OSError("{} holds one image, the input {}".format(suffix, len(pages)))
    ok, encoded = cv2.imencode(suffix, pages[0].data, list(parameters))
    if not ok:
        raise OSError("cannot encode the result as {}".format(suffix))
    return encoded.tobytes()
