"""Reference model: the oracle for the parity tests.

Each operation of ``pictor.lumenops`` is written here as the plain NumPy +
OpenCV composition of its documented steps, executed by the interpreter.

Conventions, so that every tool class reads the same way:

- One module per tool class, named after the class in snake_case
  (``image_smoother.py`` for ``ImageSmoother``, ``utility_tool.py``,
  ``image_enhancer.py``, ...).
- One function per method, with the method's name. Keyword methods become
  ``def method(src=None, key=default, ...)`` with exactly the method's keywords
  and defaults, in the order the method reads them; positional methods keep
  their parameter list without ``self``. Tests call them with the same
  keywords they pass to the tool method.
- The body is the documented steps in the documented order, one statement per
  step, with the same constants (``255.`` versus ``255`` matters) and the same
  library calls with the same arguments. Nothing clever: no shortcuts, no
  vectorised rewrites, no input checks. Whatever exception a step raises is
  the expected exception.
- A step that calls another tool (``self.tool.get_boundary(...)``) calls the
  reference function of that tool.
- The sample-depth expressions below are the canonical form; a method using
  another form writes its own expression inline.
"""
import numpy as np


def max_value_of(src):
    """Full-scale value of the input's element type."""
    return 65535. if src.dtype == np.uint16 else 255.


def to_working_u8(src, max_value):
    """The 8-bit working copy."""
    return (src / max_value * 255.).astype(np.uint8)


def restore_u16(result):
    """The 16-bit result of an 8-bit library result."""
    return (result / 255 * 65535.).astype(np.uint16)
