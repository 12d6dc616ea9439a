"""Tools, methods and functions by name, as a worker process finds them.

Pickled tool objects and the tasks of pictor.dask carry only names; the
receiving process calls these to get its own singleton, or pictor's checked
function.
"""

import os
import sys
import warnings

from pictor import lumenops

# DeepLearning opens this model, relative to the working directory, on its
# first construction; without one there, the copy installed with the package.
MODEL_PATH = os.path.join("deeplearning", "models", "universal.onnx")
INSTALLED_MODEL = os.path.join(os.path.dirname(os.path.abspath(lumenops.__file__)), "models", "universal.onnx")


def model_available():
    """Whether DeepLearning's first construction in this process finds its model."""
    return os.path.isfile(MODEL_PATH) or os.path.isfile(INSTALLED_MODEL)
# "pictor.NAME" names the package's function NAME instead of a tool's method.
FUNCTIONS = "pictor"
# What ONNX Runtime warns when a session names a provider it does not have.
MISSING_CUDA_WARNING = "Specified provider 'CUDAExecutionProvider' is not in available provider names"


def singleton(cls):
    """CLS's singleton, as CLS() gives it. DeepLearning's session names the
    CUDA provider alone, and ONNX Runtime warns on every machine without CUDA
    that it runs on the CPU instead; the package's own first construction is
    spared that warning (the tool class called directly keeps it)."""
    if getattr(cls._instance, "_initialized", False):
        return cls()
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=MISSING_CUDA_WARNING, category=UserWarning)
        return cls()


def tool(class_name):
    """The process's singleton of lumenops.<class_name>.

    A first DeepLearning construction without its model file (in the working
    directory, or installed beside the module) would leave a singleton without
    a session for the rest of the process, so it is refused before it happens.
    """
    cls = getattr(lumenops, class_name)
    first_construction = not getattr(cls._instance, "_initialized", False)
    if class_name == "DeepLearning" and first_construction and not model_available():
        raise FileNotFoundError(
            "DeepLearning needs its model {!r} below the working directory {!r} of this process "
            "(pid {}) or installed with the package at {!r}".format(MODEL_PATH, os.getcwd(), os.getpid(),
                                                                      INSTALLED_MODEL)
        )
    return singleton(cls)


def method(qualified_name):
    """The bound method "Class.method" of this process's singleton, or
    "pictor.NAME": pictor's function NAME, called as the methods are (src=...)."""
    class_name, _, method_name = qualified_name.partition(".")
    if not method_name or "." in method_name:
        raise ValueError("expected 'Class.method', got {!r}".format(qualified_name))
    if class_name == FUNCTIONS:
        from pictor.functions import package_functions

        function = package_functions()[method_name]
        return lambda src, **keywords: image_of(function(src, **keywords))
    return getattr(tool(class_name), method_name)


def distributed_client():
    """The active client of a distributed Dask scheduler, or None."""
    if "distributed" not in sys.modules:
        return None  # no client without it; importing it costs tens of megabytes
    try:
        from distributed import default_client

        return default_client()
    except (ImportError, ValueError):
        return None


def image_of(result):
    """The image of a function's result: label's labels without their count."""
    return result[0] if isinstance(result, tuple) else result
