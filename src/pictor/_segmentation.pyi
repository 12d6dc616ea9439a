"""Automatic thresholds and connected components (internal): the functions
named in __all__ are pictor's own (pictor.threshold_level, pictor.threshold,
pictor.label), checked as declared here; the others are their steps for
images in chunks."""

from typing import Any, Tuple

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Annotated

from pictor.lumenops import Image, _Choices, _Grey, _Mask, _Range, _Route

__all__ = ["threshold", "threshold_level", "label"]

@_Route("level counts")
def threshold(
    img: Image,
    /,
    *,
    method: Annotated[str, _Choices("otsu", "li", "triangle", "yen", "isodata", "mean", "minimum")] = "otsu",
) -> NDArray[np.uint16]:
    """Binarise at an automatic threshold (threshold_level, for example
    Otsu's method with method="otsu"): uint16, 65535 where a sample lies
    above the level (img > skimage.filters.threshold_<method>(img)), 0
    elsewhere, each channel of a colour image alike, as the segmentations
    return their masks."""

@_Route("level")
def threshold_level(
    img: Image,
    /,
    *,
    method: Annotated[str, _Choices("otsu", "li", "triangle", "yen", "isodata", "mean", "minimum")] = "otsu",
) -> float:
    """The level of an automatic threshold: Otsu's, Li's minimum
    cross-entropy, the triangle, Yen's, ISODATA, the mean or the minimum
    between the two peaks of the smoothed histogram, computed from the
    counts of the image's own levels (every sample of every channel, one bin
    per level from the lowest to the highest) at 8 or 16 bits. It equals
    skimage.filters.threshold_<method> of the same image, the same float;
    samples above it are foreground (threshold). A constant image gives its
    level; 'minimum' raises RuntimeError where its histogram does not come
    down to two peaks. Chunked, streamed and out of core, it is computed
    from the whole image's level counts."""

@_Route("labels")
def label(
    mask: Annotated[Image, _Grey(), _Mask()],
    /,
    *,
    connectivity: Annotated[int, _Range(1, 2, step=1)] = 1,
) -> Tuple[NDArray[np.int32], int]:
    """Connected components of a mask's non-zero samples: (labels, count),
    int32 labels numbered from 1 up to count in the order of each object's
    first pixel in row-major order, 0 for the background, as
    scipy.ndimage.label(mask, generate_binary_structure(2, connectivity))
    gives them: connectivity 1 joins the 4 edge neighbours, 2 also the 4
    corner ones. In a stack, each plane is labelled on its own and count
    holds each plane's count. Chunked and streamed, row stripes are labelled
    on their own, joined at their seams and renumbered in scan order;
    pictor.dask.label gives the count lazily, as the largest label."""

def threshold_level_of_counts(counts: NDArray[np.int64], method: str) -> float: ...
def threshold_table(counts: NDArray[np.int64], method: str) -> NDArray[np.uint16]: ...
def join_label_stripes(
    counts: NDArray[np.int64], first_rows: NDArray[np.int32], last_rows: NDArray[np.int32], connectivity: int
) -> Tuple[NDArray[np.int64], NDArray[np.int64], int]: ...
def label_stripe(
    mask: NDArray[Any], joined: NDArray[np.int64], finals: NDArray[np.int64], connectivity: int, offset: int,
    joined_above: int, /
) -> NDArray[np.int32]: ...
