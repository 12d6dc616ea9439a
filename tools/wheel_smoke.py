"""Smoke test of an installed pictor wheel, run by its own interpreter from an
empty folder (tools/test_all.sh does this in a clean virtual environment).

Checks that the package is the installed one (not a source checkout), that
every checked function returns an image for every kind of image it accepts,
with DeepLearning using the model installed with the package, and that the
`pictor` command runs without ONNX Runtime's provider warning.
"""
import os
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import numpy as np


def check(condition, message):
    if not condition:
        raise SystemExit("wheel smoke test failed: " + message)


def images(grey_only):
    rng = np.random.default_rng(3)
    found = {"grey uint8": rng.integers(0, 256, (33, 47), dtype=np.uint8),
             "grey uint16": rng.integers(0, 65536, (33, 47), dtype=np.uint16)}
    if not grey_only:
        found["colour uint16"] = rng.integers(0, 65536, (21, 18, 3), dtype=np.uint16)
    return found


# Keywords without a default.
REQUIRED = {"gaussian_filter": {"sigma": 1.0}}


def call_every_function(pictor):
    for name in pictor.__all__:
        function = getattr(pictor, name)
        for kind, image in images(function.grey_only).items():
            result = function(image, **REQUIRED.get(name, {}))
            result = result[0] if isinstance(result, tuple) else result  # label's (labels, count)
            check(np.ndim(result) == 0 or (isinstance(result, np.ndarray) and result.size > 0),
                  "{} on {}".format(name, kind))  # an image, or threshold_level's number
    return len(pictor.__all__)


def run_command(folder):
    script = Path(sys.executable).with_name("pictor")
    source = folder / "in.png"
    import cv2

    cv2.imwrite(str(source), images(True)["grey uint8"])
    version = subprocess.run([str(script), "--version"], capture_output=True, text=True, check=True)
    applied = subprocess.run([str(script), "apply", "super_resolution", str(source), "-o", str(folder / "out")],
                             capture_output=True, text=True)
    check(applied.returncode == 0, "pictor apply: " + applied.stderr)
    check("CUDAExecutionProvider" not in applied.stderr, "provider warning shown: " + applied.stderr)
    check((folder / "out" / "in.png").is_file(), "pictor apply wrote nothing")
    return version.stdout.strip()


def main():
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        os.chdir(folder)
        check(not (folder / "deeplearning").exists(), "the scratch folder holds a model")
        import pictor

        installed = Path(sysconfig.get_paths()["platlib"]).resolve()
        check(installed in Path(pictor.__file__).resolve().parents, "pictor imported from " + pictor.__file__)
        count = call_every_function(pictor)
        version = run_command(folder)
    print("{} on CPython {}, NumPy {}: {} functions ran on every accepted kind of image".format(
        version, sys.version.split()[0], np.__version__, count))


if __name__ == "__main__":
    main()
