"""The shipped super-resolution model: its tensor contract and that it beats bicubic.

The quality check uses photographs that tools/train_super_resolution.py holds
out from training. They ship inside scikit-image; the test reads the files
directly (scikit-image itself is not imported) and skips when it is absent.
"""

import importlib.util
from pathlib import Path

import cv2
import numpy as np
import onnxruntime as ort
import pytest

MODEL_PATH = Path(__file__).resolve().parents[2] / "deeplearning" / "models" / "universal.onnx"
SCALE = 2
CONTRACT_SIDE = 512
# Keeps the file loadable by older onnxruntime (1.19 on Python 3.8).
MAX_IR_VERSION = 8
OPSET = 17
# Beating bicubic by rounding noise would not show the network learned anything.
MIN_GAIN_DB = 0.1


@pytest.fixture(scope="module")
def session():
    options = ort.SessionOptions()
    options.intra_op_num_threads = 1
    return ort.InferenceSession(str(MODEL_PATH), options, providers=["CPUExecutionProvider"])


def run_model(session, tensor):
    return session.run(None, {session.get_inputs()[0].name: tensor})[0]


def held_out_photo(file_name):
    spec = importlib.util.find_spec("skimage")
    if spec is None or spec.origin is None:
        pytest.skip("scikit-image (which ships the held-out photographs) is not installed")
    path = Path(spec.origin).parent / "data" / file_name
    photo = cv2.imread(str(path), cv2.IMREAD_COLOR)
    if photo is None:
        pytest.skip(f"{path} is missing")
    return cv2.cvtColor(photo, cv2.COLOR_BGR2RGB)


def degrade(photo):
    """Even crop, then a x2 bicubic shrink at 8 bits: the training degradation."""
    height, width = (photo.shape[0] // SCALE) * SCALE, (photo.shape[1] // SCALE) * SCALE
    original = np.ascontiguousarray(photo[:height, :width])
    reduced = cv2.resize(original, (width // SCALE, height // SCALE), interpolation=cv2.INTER_CUBIC)
    return reduced, original


def upscale_with_model(session, reduced):
    tensor = (reduced.astype(np.float32) / 255.0).transpose(2, 0, 1)[np.newaxis].copy()
    output = np.clip(run_model(session, tensor)[0], 0, 1).transpose(1, 2, 0)
    return (output * 255.0).round().astype(np.uint8)


def psnr(image, reference):
    error = np.mean((image.astype(np.float64) - reference.astype(np.float64)) ** 2)
    return 10 * np.log10(255.0 ** 2 / error)


def test_accepts_the_fixed_input_and_doubles_it(session):
    assert session.get_inputs()[0].type == "tensor(float)"
    tensor = np.random.default_rng(7).random((1, 3, CONTRACT_SIDE, CONTRACT_SIDE), dtype=np.float32)
    output = run_model(session, tensor)
    assert output.dtype == np.float32
    assert output.shape == (1, 3, SCALE * CONTRACT_SIDE, SCALE * CONTRACT_SIDE)


@pytest.mark.parametrize("height, width", [(37, 64), (1, 1)])
@pytest.mark.parametrize("level", [0.0, 0.5, 1.0])
def test_flat_image_stays_flat(session, height, width, level):
    # A wrong value scale (0..255) or a drifting bias shows up on a flat field; the
    # learned correction is not exactly zero there, so allow under 3 levels of 255.
    tensor = np.full((1, 3, height, width), level, dtype=np.float32)
    output = run_model(session, tensor)
    assert output.shape == (1, 3, SCALE * height, SCALE * width)
    np.testing.assert_allclose(output, level, atol=3 / 255)


def test_model_file_loads_in_old_onnxruntime():
    onnx = pytest.importorskip("onnx")
    model = onnx.load(str(MODEL_PATH))
    assert model.ir_version <= MAX_IR_VERSION
    assert max(entry.version for entry in model.opset_import if entry.domain in ("", "ai.onnx")) == OPSET


@pytest.mark.parametrize("file_name, grey", [
    ("camera.png", True),
    ("chelsea.png", False),
    ("chelsea.png", True),
])
def test_beats_bicubic_on_held_out_photographs(session, file_name, grey):
    photo = held_out_photo(file_name)
    if grey:
        photo = cv2.cvtColor(cv2.cvtColor(photo, cv2.COLOR_RGB2GRAY), cv2.COLOR_GRAY2RGB)
    reduced, original = degrade(photo)
    bicubic = cv2.resize(reduced, original.shape[1::-1], interpolation=cv2.INTER_CUBIC)
    learned = upscale_with_model(session, reduced)
    assert learned.shape == original.shape
    assert psnr(learned, original) > psnr(bicubic, original) + MIN_GAIN_DB
