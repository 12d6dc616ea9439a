"""Reference model of the full-depth functions: what ``pictor.NAME(img)``
computes for a uint16 ``img`` (``depth="full"``) where the tool method runs on
the 8-bit working copy.

One module per family, as the native side has them (``smoothing``,
``levels``, ``tone``). Each defines, per method:

- a recipe ``def NAME(src, key=default, ...)``: plain NumPy/OpenCV on the
  uint16 image's own levels, with the method's keywords and defaults; a
  keyword measured in sample levels is scaled by ``LEVEL_SCALE``; the result
  is uint16;
- ``KEYWORD_CASES[NAME]``: keyword sets worth checking (defaults and edges);
- ``BINARY``: the methods whose result is a binary map.

Where OpenCV computes 16-bit images itself the recipe is that call.
"""
from reference.full_depth import levels, smoothing, tone

FAMILIES = (smoothing, levels, tone)
# A working level is this many 16-bit levels: a keyword in 8-bit levels is
# multiplied by it for a uint16 image.
LEVEL_SCALE = 257


def recipe(name):
    """The recipe function of method NAME."""
    for family in FAMILIES:
        if hasattr(family, name):
            return getattr(family, name)
    raise LookupError("no full-depth recipe for {}".format(name))


def keyword_cases(name):
    for family in FAMILIES:
        if name in family.KEYWORD_CASES:
            return family.KEYWORD_CASES[name]
    return [{}]


def is_binary(name):
    return any(name in family.BINARY for family in FAMILIES)
