"""N-D filters over volumes: the declarations of pictor.gaussian_filter,
pictor.median_filter and pictor.uniform_filter, computed by the private
native module pictor._volumes.

Each takes a uint8, uint16 or float32 array of any number of axes and returns
an array of its shape and type equal, bit for bit, to scipy.ndimage's
function of the same name called with the same arguments.
"""

from typing import Any, Optional, Sequence, Union

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Annotated

from pictor.lumenops import _Choices, _Range

Real = Union[int, float]

class _PerAxis:
    """One value for every filtered axis, or a sequence of one per filtered axis."""

_Volume = NDArray[Any]
_Axes = Union[None, str, Sequence[int]]

def gaussian_filter(
    img: _Volume,
    /,
    sigma: Annotated[Real, _Range(0, 100000), _PerAxis],
    *,
    mode: Annotated[str, _Choices("reflect", "mirror", "nearest", "wrap")] = "reflect",
    truncate: Annotated[Real, _Range(0, 100)] = 4.0,
    spacing: Optional[Annotated[Real, _Range(0, 1e9, low_open=True), _PerAxis]] = None,
    axes: _Axes = None,
) -> _Volume:
    """Gaussian smoothing in 3-D (or any number of axes), one axis after the
    other, with the standard deviation sigma of each filtered axis in voxels,
    or in the units of spacing (the voxel's size along each filtered axis,
    in micrometres for instance) when that is given. The kernel reaches truncate
    standard deviations. Equals scipy.ndimage.gaussian_filter(img,
    sigma=[s / d for s, d in zip(sigma, spacing)], mode=mode,
    truncate=truncate, axes=FILTERED) bit for bit (each pass in float64,
    stored in img's type before the next)."""

def median_filter(
    img: _Volume,
    /,
    size: Annotated[int, _Range(1, 255), _PerAxis] = 3,
    *,
    mode: Annotated[str, _Choices("reflect", "mirror", "nearest", "wrap")] = "reflect",
    axes: _Axes = None,
) -> _Volume:
    """Median of each voxel's box of size voxels along each filtered axis (at
    most 3 of them wider than 1); for an even count the upper of the two
    middle values. Equals scipy.ndimage.median_filter(img, size=size,
    mode=mode, axes=FILTERED) bit for bit; as there, the sizes go to the
    filtered axes in ascending order, whatever order axes= gives."""

def uniform_filter(
    img: _Volume,
    /,
    size: Annotated[int, _Range(1, 100000), _PerAxis] = 3,
    *,
    mode: Annotated[str, _Choices("reflect", "mirror", "nearest", "wrap")] = "reflect",
    axes: _Axes = None,
) -> _Volume:
    """Mean of each voxel's box of size voxels along each filtered axis, one
    axis after the other. Equals scipy.ndimage.uniform_filter(img,
    size=size, mode=mode, axes=FILTERED) bit for bit (each pass scipy's
    float64 running sum, stored in img's type before the next)."""
