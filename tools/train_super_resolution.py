"""Train the x2 super-resolution network and export it as deeplearning/models/universal.onnx.

The network is a small sub-pixel convolution net that predicts a correction
on top of bicubic upsampling; both the bicubic path and the learned path end in
the same PixelShuffle(2), so the model is a single cheap graph of convolutions.

Training data are sample photographs shipped inside the scikit-image wheel
(``skimage/data``), used only where their notes allow free use:

    astronaut          public domain (NASA)
    coffee             CC0 (photographer Rachel Michetti)
    rocket             public domain (SpaceX)
    hubble_deep_field  public domain (NASA)
    retina             CC0 1.0 (Mikael Haggstrom)
    brick, grass, gravel  CC0 (CC0Textures)
    text               public domain

Held out from training, for tests/tools/test_model_quality.py:

    camera             CC0 (photographer Lav Varshney)
    chelsea            CC0 (photographer Stefan van der Walt)

Degradation (same as the quality test and as DeepLearning.make_data): the
8-bit photograph, cropped to even size, is shrunk by 2 with cv2.INTER_CUBIC
and kept at 8 bits; the network maps it back to the original.

Development-time dependencies only (the package does not need them at run time):

    pip install torch==2.13.0 scikit-image onnx onnxruntime opencv-python-headless

Run from the repository root (CPU only, one thread, about 5 minutes of CPU time):

    python tools/train_super_resolution.py
"""

import io
import time
from pathlib import Path

import cv2
import numpy as np
import onnx
import onnxruntime as ort
import skimage.data
import torch
import torch.nn.functional as F
from torch import nn

SEED = 20240607
TORCH_THREADS = 1  # on a shared machine one thread trains faster than two contending ones
SCALE = 2

TRAINING_PHOTOS = (
    "astronaut", "coffee", "rocket", "hubble_deep_field", "retina",
    "brick", "grass", "gravel", "text",
)
HELD_OUT_PHOTOS = ("camera", "chelsea")

FEATURE_WIDTHS = (32, 32, 32)
FIRST_KERNEL = 5
PATCH_SIZE = 48  # low-resolution side of a training crop
BATCH_SIZE = 16
TRAINING_STEPS = 3000
LEARNING_RATE = 1e-3

MODEL_PATH = Path("deeplearning/models/universal.onnx")
ONNX_OPSET = 17
ONNX_IR_VERSION = 8  # keeps the file loadable by older onnxruntime (1.19 on Python 3.8)
CONTRACT_SIDE = 512

# OpenCV's bicubic kernel parameter; the bicubic path must match cv2.INTER_CUBIC.
CUBIC_A = -0.75


def cubic_weight(distance):
    d = abs(distance)
    if d <= 1:
        return (CUBIC_A + 2) * d ** 3 - (CUBIC_A + 3) * d ** 2 + 1
    if d < 2:
        return CUBIC_A * d ** 3 - 5 * CUBIC_A * d ** 2 + 8 * CUBIC_A * d - 4 * CUBIC_A
    return 0.0


def bicubic_phase_taps():
    """1-D taps over low-resolution offsets -2..2 for the two output phases.

    With half-pixel centres, output sample 2i lies at input coordinate i - 1/4
    and output sample 2i + 1 at i + 1/4.
    """
    offsets = np.arange(-2, 3)
    return [np.array([cubic_weight(o - shift) for o in offsets]) for shift in (-0.25, 0.25)]


def bicubic_upsampling_kernels(channels=3):
    """Depthwise 5x5 kernels whose outputs, pixel-shuffled, are the x2 bicubic image."""
    taps = bicubic_phase_taps()
    phases = [np.outer(taps[row], taps[col]) for row in range(SCALE) for col in range(SCALE)]
    per_channel = np.stack(phases)[:, np.newaxis]
    return torch.tensor(np.concatenate([per_channel] * channels), dtype=torch.float32)


class SubPixelSuperResolution(nn.Module):
    def __init__(self, widths=FEATURE_WIDTHS, first_kernel=FIRST_KERNEL, channels=3):
        super().__init__()
        self.channels = channels
        layers = []
        width_in, kernel = channels, first_kernel
        for width in widths:
            # PReLU rather than ReLU: units cannot die while the correction is still near zero.
            layers += [nn.Conv2d(width_in, width, kernel, padding=kernel // 2), nn.PReLU(width)]
            width_in, kernel = width, 3
        correction = nn.Conv2d(width_in, channels * SCALE * SCALE, 3, padding=1)
        # Start close to plain bicubic so training only has to improve on it.
        nn.init.normal_(correction.weight, std=1e-3)
        nn.init.zeros_(correction.bias)
        self.features = nn.Sequential(*layers, correction)
        self.register_buffer("bicubic", bicubic_upsampling_kernels(channels))
        self.shuffle = nn.PixelShuffle(SCALE)

    def forward(self, image):
        # Edge replication matches OpenCV's border handling of INTER_CUBIC.
        padded = F.pad(image, (2, 2, 2, 2), mode="replicate")
        bicubic_phases = F.conv2d(padded, self.bicubic, groups=self.channels)
        return self.shuffle(bicubic_phases + self.features(image))


def load_photo(name):
    photo = getattr(skimage.data, name)()
    if photo.ndim == 2:
        photo = cv2.cvtColor(photo, cv2.COLOR_GRAY2RGB)
    return photo[..., :3]


def degrade(photo):
    """Crop to even size and shrink by 2, as DeepLearning.make_data does."""
    height, width = (photo.shape[0] // SCALE) * SCALE, (photo.shape[1] // SCALE) * SCALE
    original = np.ascontiguousarray(photo[:height, :width])
    reduced = cv2.resize(original, (width // SCALE, height // SCALE), interpolation=cv2.INTER_CUBIC)
    return reduced, original


def is_grey(photo):
    return bool((photo[..., 0] == photo[..., 1]).all() and (photo[..., 1] == photo[..., 2]).all())


def as_grey(photo):
    return cv2.cvtColor(cv2.cvtColor(photo, cv2.COLOR_RGB2GRAY), cv2.COLOR_GRAY2RGB)


def training_pairs():
    """Low/high-resolution pairs of every training photo, in colour and in grey."""
    pairs = []
    for name in TRAINING_PHOTOS:
        photo = load_photo(name)
        pairs.append(degrade(photo))
        if not is_grey(photo):
            pairs.append(degrade(as_grey(photo)))
    return pairs


def augment(reduced, original, rng):
    # Flips and transposition commute with an even x2 bicubic shrink.
    if rng.random() < 0.5:
        reduced, original = reduced[:, ::-1], original[:, ::-1]
    if rng.random() < 0.5:
        reduced, original = reduced[::-1], original[::-1]
    if rng.random() < 0.5:
        reduced, original = reduced.transpose(1, 0, 2), original.transpose(1, 0, 2)
    return reduced, original


def random_crop(pair, rng):
    reduced, original = pair
    top = rng.integers(0, reduced.shape[0] - PATCH_SIZE + 1)
    left = rng.integers(0, reduced.shape[1] - PATCH_SIZE + 1)
    reduced = reduced[top:top + PATCH_SIZE, left:left + PATCH_SIZE]
    original = original[SCALE * top:SCALE * (top + PATCH_SIZE), SCALE * left:SCALE * (left + PATCH_SIZE)]
    return augment(reduced, original, rng)


def to_tensor(images):
    batch = np.stack(images).astype(np.float32) / 255.0
    return torch.from_numpy(batch.transpose(0, 3, 1, 2).copy())


def sample_batch(pairs, rng):
    crops = [random_crop(pairs[rng.integers(len(pairs))], rng) for _ in range(BATCH_SIZE)]
    return to_tensor([c[0] for c in crops]), to_tensor([c[1] for c in crops])


def train(model, pairs, rng):
    optimiser = torch.optim.Adam(model.parameters(), lr=LEARNING_RATE)
    schedule = torch.optim.lr_scheduler.CosineAnnealingLR(optimiser, TRAINING_STEPS)
    model.train()
    for step in range(1, TRAINING_STEPS + 1):
        reduced, original = sample_batch(pairs, rng)
        loss = F.l1_loss(model(reduced), original)
        optimiser.zero_grad()
        loss.backward()
        optimiser.step()
        schedule.step()
        if step % 500 == 0:
            print(f"step {step:5d}  L1 {loss.item():.5f}", flush=True)
    model.eval()


def export(model, path):
    """Write the model with dynamic spatial axes, readable by old onnxruntime releases."""
    buffer = io.BytesIO()
    example = torch.rand(1, 3, CONTRACT_SIDE, CONTRACT_SIDE)
    torch.onnx.export(
        model, example, buffer, dynamo=False, opset_version=ONNX_OPSET,
        input_names=["image"], output_names=["upscaled"],
        dynamic_axes={"image": {2: "height", 3: "width"},
                      "upscaled": {2: "upscaled_height", 3: "upscaled_width"}},
    )
    proto = onnx.load_from_string(buffer.getvalue())
    proto.ir_version = ONNX_IR_VERSION
    onnx.checker.check_model(proto)
    path.parent.mkdir(parents=True, exist_ok=True)
    onnx.save(proto, str(path))


def single_thread_session(path):
    options = ort.SessionOptions()
    options.intra_op_num_threads = 1
    options.inter_op_num_threads = 1
    return ort.InferenceSession(str(path), options, providers=["CPUExecutionProvider"])


def run_session(session, images):
    return session.run(None, {session.get_inputs()[0].name: images})[0]


def upscale_with_session(session, reduced):
    output = run_session(session, to_tensor([reduced]).numpy())
    return (np.clip(output[0], 0, 1).transpose(1, 2, 0) * 255.0).round().astype(np.uint8)


def psnr(image, reference):
    error = np.mean((image.astype(np.float64) - reference.astype(np.float64)) ** 2)
    return 10 * np.log10(255.0 ** 2 / error)


def check_exported_model(path, model):
    session = single_thread_session(path)
    contract_input = np.random.default_rng(SEED).random((1, 3, CONTRACT_SIDE, CONTRACT_SIDE), dtype=np.float32)
    run_session(session, contract_input)
    started = time.perf_counter()
    output = run_session(session, contract_input)
    elapsed = time.perf_counter() - started
    assert output.shape == (1, 3, SCALE * CONTRACT_SIDE, SCALE * CONTRACT_SIDE), output.shape
    with torch.no_grad():
        expected = model(torch.from_numpy(contract_input)).numpy()
    print(f"exported {path} ({path.stat().st_size} bytes); 1x3x512x512 -> {output.shape} "
          f"in {elapsed * 1000:.0f} ms on one thread; max |onnx - torch| {np.abs(output - expected).max():.2e}")
    return session


def report_held_out_quality(session):
    for name in HELD_OUT_PHOTOS:
        photo = load_photo(name)
        variants = {"grey": as_grey(photo)} if is_grey(photo) else {"colour": photo, "grey": as_grey(photo)}
        for colour, variant in variants.items():
            reduced, original = degrade(variant)
            bicubic = cv2.resize(reduced, original.shape[1::-1], interpolation=cv2.INTER_CUBIC)
            learned = upscale_with_session(session, reduced)
            print(f"{name:8s} {colour:6s} PSNR model {psnr(learned, original):.2f} dB, "
                  f"bicubic {psnr(bicubic, original):.2f} dB")


def main():
    torch.manual_seed(SEED)
    torch.set_num_threads(TORCH_THREADS)
    torch.use_deterministic_algorithms(True)
    rng = np.random.default_rng(SEED)
    model = SubPixelSuperResolution()
    print(f"parameters: {sum(p.numel() for p in model.parameters())}")
    pairs = training_pairs()
    started = time.perf_counter()
    train(model, pairs, rng)
    print(f"training took {time.perf_counter() - started:.0f} s")
    export(model, MODEL_PATH)
    report_held_out_quality(check_exported_model(MODEL_PATH, model))


if __name__ == "__main__":
    main()
