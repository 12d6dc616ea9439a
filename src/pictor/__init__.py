"""Fast, exact 2-D image operations on NumPy arrays.

Every image operation is a checked function of this package, for example
``pictor.gaussian_blur(img, ksize=5)``: it refuses images other than uint8 or
uint16 grey (height x width) or colour (height x width x 3) arrays, misspelt
keywords and values out of range before any work, then returns exactly what
the tool method (``pictor.lumenops.ImageSmoother().gaussian_blur(src=img,
ksize=5)``) returns. The tool classes in ``pictor.lumenops`` are the exact,
unchecked drop-in.
"""

__version__ = "0.3.0"

from pictor.functions import image_functions as _image_functions
from pictor.volumes import volume_functions as _volume_functions

globals().update(_image_functions())
globals().update(_volume_functions())
__all__ = sorted(list(_image_functions()) + list(_volume_functions()))

from pictor.pipeline import pipeline  # noqa: E402,F401 - after the functions it chains
