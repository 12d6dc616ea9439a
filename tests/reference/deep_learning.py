"""Reference model of DeepLearning."""
import os

import cv2
import numpy as np
import onnxruntime as ort

MODEL_PATH = "deeplearning/models/universal.onnx"
PROVIDERS = ["CUDAExecutionProvider"]

_sessions = {}


def open_session(model_path=MODEL_PATH):
    """The session _init opens, one per model file (relative paths are taken
    against the current working directory, as the tool does)."""
    key = os.path.abspath(model_path)
    if key not in _sessions:
        _sessions[key] = ort.InferenceSession(model_path, providers=PROVIDERS)
    return _sessions[key]


def super_resolution(src=None, session=None):
    """``session`` stands for the tool's ``self.session``; by default the
    session of the model file under the current working directory."""
    max_value = 65535. if src.dtype == np.uint16 else 255.
    image = (src / max_value * 255).astype('uint8')
    height, width = image.shape[:2]
    img = cv2.cvtColor(image, cv2.COLOR_GRAY2RGB)
    img = cv2.resize(img, (512, 512), interpolation=cv2.INTER_CUBIC)
    img = img.astype(np.float32) / 255.0
    img = np.transpose(img, (2, 0, 1))
    img_tensor = img[np.newaxis, ...]
    session = open_session() if session is None else session
    input_name = session.get_inputs()[0].name
    output_name = session.get_outputs()[0].name
    output_tensor = session.run([output_name], {input_name: img_tensor})[0]
    output = np.clip(output_tensor.squeeze(0), 0, 1)
    output = np.transpose(output, (1, 2, 0))
    output_img = (output * 255.0).round().astype(np.uint8)
    output_img = cv2.resize(output_img, (width, height), interpolation=cv2.INTER_CUBIC)
    output = cv2.cvtColor(output_img, cv2.COLOR_RGB2GRAY)
    return (output / 255.0 * 65535.).astype(np.uint16)


def make_data(src=None, scale=1):
    h, w = src.shape
    new_height = h // scale
    new_width = w // scale
    dsize = (new_width, new_height)
    img_resized = cv2.resize(src, dsize, interpolation=cv2.INTER_CUBIC)
    max_value = 65535. if src.dtype == np.uint16 else 255.
    res = (img_resized / max_value * 255).astype('uint8')
    return res
