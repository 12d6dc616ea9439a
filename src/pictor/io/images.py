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
    """One image of a file: its samples (OpenCV's channel order) and, for TIFF, its descriptive tags."""

    def __init__(self, data, tags=None):
        self.data, self.tags = data, tags or {}


def read_pages(path):
    if not path.is_file():
        raise FileNotFoundError(errno.ENOENT, "no such file", str(path))
    if path.suffix.lower() in TIFF_SUFFIXES:
        return read_tiff(path)
    import cv2
    import numpy as np

    image = cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
    if image is None:
        # imread cannot open non-ASCII paths on every platform; decode the bytes instead.
        image = cv2.imdecode(np.fromfile(str(path), dtype=np.uint8), cv2.IMREAD_UNCHANGED)
    if image is None:
        raise OSError("cannot read the image")
    return [Page(image)]


def read_image(path):
    return read_pages(Path(path))[0].data


def read_tiff(path):
    import tifffile

    pages = []
    with tifffile.TiffFile(str(path)) as tiff:
        for page in tiff.pages:
            try:
                data = page.asarray()
            except ValueError:  # a compression tifffile has no codec for: OpenCV's libtiff decodes it
                return read_tiff_with_opencv(path, [page_tags(page) for page in tiff.pages])
            if data.ndim == 3 and data.shape[2] == 3:
                data = data[:, :, ::-1].copy()  # RGB on disk, OpenCV's order in the methods
            pages.append(Page(data, page_tags(page)))
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

    with tifffile.TiffWriter(stream) as writer:
        for page in pages:
            data, tags = page.data, page.tags
            colour = data.ndim == 3
            if colour:
                data = data[:, :, ::-1]
            options = {"photometric": "rgb" if colour else "minisblack", "metadata": None, "compression": "zlib",
                       "description": tags.get(270), "software": tags.get(305), "datetime": tags.get(306)}
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
