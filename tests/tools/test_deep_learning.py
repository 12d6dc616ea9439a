"""DeepLearning against the reference model.

super_resolution runs with the shipped network (in this process, opened from
the repository root), with small networks built here with onnx.helper (each in
a fresh interpreter whose working directory holds it as the model file, since
the session lives as long as the process) and with stand-in sessions that
return unusual outputs. make_data needs no session.
"""
import ast
import os
import pickle
import traceback
import types
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import onnx
import onnxruntime as ort
import pytest
from onnx import TensorProto, helper, numpy_helper

import corpus
from conftest import assert_parity, assert_same_array, run_fresh_python
from reference import deep_learning as reference

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SHIPPED_MODEL = os.path.join(REPOSITORY, reference.MODEL_PATH)
SIDE = 512
INPUT_NAME, OUTPUT_NAME = "lowres", "highres"
# Old enough for every ONNX Runtime the test environments install.
OPSET, IR_VERSION = 13, 7
DEFAULT = object()  # keyword left out of the call


# --- inputs ------------------------------------------------------------------------

def _smooth_u8(height, width, seed):
    rows, columns = np.mgrid[0:height, 0:width]
    wave = 127.5 + 90 * np.sin(rows / 7.0 + seed) * np.cos(columns / 11.0)
    noise = np.random.default_rng(seed).normal(0, 12, (height, width))
    return np.clip(wave + noise, 0, 255).round().astype(np.uint8)


# Images beyond the corpus: the model's own size (the resampling to and from
# 512 x 512 is then a copy), a wide one, an explicit channel axis, views.
EXTRA_IMAGES = {
    "u8-grey-model-size-512x512": lambda: _smooth_u8(SIDE, SIDE, 1),
    "u16-grey-model-size-512x512": lambda: _smooth_u8(SIDE, SIDE, 2).astype(np.uint16) * 257 + 100,
    "u16-grey-wide-130x700": lambda: _smooth_u8(130, 700, 3).astype(np.uint16) * 250,
    "u8-grey-channel-axis-40x30x1": lambda: _smooth_u8(40, 30, 4)[:, :, np.newaxis],
    "u16-grey-strided-view": lambda: corpus.load("u16-grey-every-value-256x256")[::3, 1::2],
    "u8-grey-read-only": lambda: _read_only(_smooth_u8(61, 47, 5)),
}


def _read_only(image):
    image.setflags(write=False)
    return image


def load_image(name):
    return EXTRA_IMAGES[name]() if name in EXTRA_IMAGES else corpus.load(name)


GREY_NAMES = corpus.names(layouts=("grey",))
SUPER_RESOLUTION_NAMES = GREY_NAMES + list(EXTRA_IMAGES)
# The shipped network costs a real inference per call: a smaller selection.
SHIPPED_NAMES = ["u8-grey-photo-camera-96x128", "u16-grey-photo-astronaut-128x96", "u8-grey-tiny-1x17",
                 "u8-grey-model-size-512x512", "u16-grey-wide-130x700", "u8-grey-channel-axis-40x30x1"]


# --- test networks -----------------------------------------------------------------

def _float_tensor(name, shape):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, shape)


def _network(name, nodes, outputs, initializers=()):
    graph = helper.make_graph(nodes, name, [_float_tensor(INPUT_NAME, [1, 3, SIDE, SIDE])], outputs,
                              initializer=[numpy_helper.from_array(value, key) for key, value in initializers])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = IR_VERSION
    onnx.checker.check_model(model)
    return model


def identity_network():
    """Returns its input; a second output (negated) must not be the one read."""
    return _network("identity",
                    [helper.make_node("Identity", [INPUT_NAME], [OUTPUT_NAME]),
                     helper.make_node("Neg", [INPUT_NAME], ["negated"])],
                    [_float_tensor(OUTPUT_NAME, [1, 3, SIDE, SIDE]), _float_tensor("negated", [1, 3, SIDE, SIDE])])


def _exact_half_level_values():
    """float32 values v with v * 255.0 exactly k + 0.5 in float32, for many k."""
    found = {}
    for level in range(255):
        guess = np.float32((level + 0.5) / 255)
        for candidate in (guess, np.nextafter(guess, np.float32(0)), np.nextafter(guess, np.float32(1))):
            if candidate * np.float32(255.0) == np.float32(level + 0.5):
                found[level] = candidate
                break
    return found


HALF_LEVELS = _exact_half_level_values()
SPECIAL_STRIDE = 8  # every 8th column of the clipping network carries a constant
SPECIAL_VALUES = [np.nan, np.inf, -np.inf, -0.0, 0.0, 1.0, 2.0, -1.0] + \
    [HALF_LEVELS[level] for level in sorted(HALF_LEVELS)[::4]][:SIDE // SPECIAL_STRIDE - 8]


def _level_after_read_back(value):
    """The 8-bit level of an output value, worked out by hand."""
    if np.isnan(value) or value <= 0:
        return 0
    if value >= 1:
        return 255
    scaled = float(np.float32(value) * np.float32(255.0))
    whole = int(scaled)
    if scaled - whole == 0.5:
        return whole if whole % 2 == 0 else whole + 1
    return int(round(scaled))


def clipping_network():
    """x * 1.6 - 0.3 (below 0 and above 1), and in every 8th column a constant:
    NaN, infinities, signed zero, out-of-range values and exact half levels."""
    gain = np.full((1, 1, 1, SIDE), 1.6, np.float32)
    offset = np.full((1, 1, 1, SIDE), -0.3, np.float32)
    gain[..., ::SPECIAL_STRIDE] = 0
    offset[..., ::SPECIAL_STRIDE] = np.array(SPECIAL_VALUES, np.float32)
    return _network("clipping",
                    [helper.make_node("Mul", [INPUT_NAME, "gain"], ["scaled"]),
                     helper.make_node("Add", ["scaled", "offset"], [OUTPUT_NAME])],
                    [_float_tensor(OUTPUT_NAME, [1, 3, SIDE, SIDE])],
                    [("gain", gain), ("offset", offset)])


def upsampling_network():
    """Nearest-neighbour x2: a 1024 x 1024 output."""
    return _network("upsampling",
                    [helper.make_node("Resize", [INPUT_NAME, "roi", "scales"], [OUTPUT_NAME], mode="nearest")],
                    [_float_tensor(OUTPUT_NAME, [1, 3, 2 * SIDE, 2 * SIDE])],
                    [("roi", np.zeros(0, np.float32)), ("scales", np.array([1, 1, 2, 2], np.float32))])


TEST_NETWORKS = {"identity": identity_network, "clipping": clipping_network, "upsampling": upsampling_network}


# --- one fresh interpreter per test network ------------------------------------------

FRESH_RUN = """
import pickle, warnings
import onnxruntime
import pictor.lumenops as m

calls = []

class RecordingOrt:
    # The module's ort, recording how the session is opened.
    def __getattr__(self, name):
        return getattr(onnxruntime, name)

    def InferenceSession(self, *args, **kwargs):
        calls.append((args, kwargs))
        return onnxruntime.InferenceSession(*args, **kwargs)

m.ort = RecordingOrt()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    tool = m.DeepLearning()
m.ort = onnxruntime
with open("inputs.pkl", "rb") as stream:
    inputs = pickle.load(stream)
results = {}
for name, image in inputs.items():
    try:
        results[name] = tool.super_resolution(src=image)
    except Exception as error:
        results[name] = (type(error).__module__, type(error).__qualname__, str(error))
report = {
    "calls": calls, "warnings": [str(w.message) for w in caught],
    "attributes": list(vars(tool)), "input_name": tool.input_name, "output_name": tool.output_name,
    "providers": tool.session.get_providers(), "same_object": tool is m.DeepLearning(),
    "tool_is_utility": tool.tool is m.UtilityTool(), "results": results,
}
with open("results.pkl", "wb") as stream:
    pickle.dump(report, stream)
"""


@pytest.fixture(scope="module")
def fresh_run(tmp_path_factory):
    """fresh_run(network) -> (model file, report of the fresh interpreter)."""
    done = {}

    def run(network):
        if network not in done:
            workdir = tmp_path_factory.mktemp(network)
            model_path = workdir / reference.MODEL_PATH
            model_path.parent.mkdir(parents=True)
            onnx.save(TEST_NETWORKS[network](), str(model_path))
            with open(str(workdir / "inputs.pkl"), "wb") as stream:
                pickle.dump({name: load_image(name) for name in SUPER_RESOLUTION_NAMES}, stream)
            run_fresh_python(FRESH_RUN, cwd=str(workdir))
            with open(str(workdir / "results.pkl"), "rb") as stream:
                done[network] = (str(model_path), pickle.load(stream))
        return done[network]
    return run


def describe_error(error):
    return (type(error).__module__, type(error).__qualname__, str(error))


def assert_same_outcome(ours, reference_call):
    """`ours` is an array or an error described by describe_error."""
    try:
        expected = reference_call()
    except Exception as error:
        assert ours == describe_error(error)
        return
    assert isinstance(ours, np.ndarray), ours
    assert_same_array(ours, expected)


def open_reference_session(model_path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # without CUDA, ONNX Runtime warns and runs on the CPU
        return reference.open_session(model_path)


@pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning")  # NaN outputs
@pytest.mark.parametrize("network", list(TEST_NETWORKS))
@pytest.mark.parametrize("name", SUPER_RESOLUTION_NAMES)
def test_super_resolution_with_test_networks(fresh_run, network, name):
    model_path, report = fresh_run(network)
    session = open_reference_session(model_path)
    assert_same_outcome(report["results"][name],
                        lambda: reference.super_resolution(src=load_image(name), session=session))


@pytest.mark.parametrize("network", list(TEST_NETWORKS))
def test_init_opens_the_model_once_naming_only_cuda(fresh_run, network):
    _, report = fresh_run(network)
    assert report["calls"] == [((reference.MODEL_PATH,), {"providers": ["CUDAExecutionProvider"]})]
    assert report["attributes"] == ["_initialized", "tool", "session", "input_name", "output_name"]
    assert (report["input_name"], report["output_name"]) == (INPUT_NAME, OUTPUT_NAME)
    assert report["same_object"] and report["tool_is_utility"]


def test_session_falls_back_to_the_cpu_without_cuda(fresh_run):
    if "CUDAExecutionProvider" in ort.get_available_providers():
        pytest.skip("this machine has CUDA")
    _, report = fresh_run("identity")
    assert report["providers"] == ["CPUExecutionProvider"]
    assert all(isinstance(report["results"][name], np.ndarray) for name in GREY_NAMES)


@pytest.mark.parametrize("name", ["u8-grey-model-size-512x512", "u16-grey-model-size-512x512"])
def test_identity_network_at_model_size_returns_the_working_copy(fresh_run, name):
    # Resampling 512 x 512 to 512 x 512 is a copy, level / 255 * 255 rounds back
    # to the level and equal channels stay the level in grey.
    _, report = fresh_run("identity")
    image = load_image(name)
    working = image if image.dtype == np.uint8 else image // 257
    assert_same_array(report["results"][name], working.astype(np.uint16) * 257)


def test_clipping_network_levels_by_hand(fresh_run):
    _, report = fresh_run("clipping")
    result = report["results"]["u8-grey-model-size-512x512"]
    expected = [_level_after_read_back(value) * 257 for value in SPECIAL_VALUES]
    for column, level in enumerate(expected):
        assert set(result[:, column * SPECIAL_STRIDE].tolist()) == {level}, SPECIAL_VALUES[column]
    assert len(HALF_LEVELS) > 200  # the half levels exercise both parities


@pytest.mark.parametrize("name", ["u16-grey-wide-130x700", "u8-grey-tiny-1x17", "u8-grey-vgrad-101x33"])
def test_upsampling_network_result_keeps_the_input_size(fresh_run, name):
    _, report = fresh_run("upsampling")
    assert report["results"][name].shape == load_image(name).shape[:2]


def test_missing_model_file(fresh_python, tmp_path):
    body = """
    import os
    import traceback
    import numpy as np
    import onnxruntime
    import pictor.lumenops as m
    m.__file__ = os.path.join(os.getcwd(), os.path.basename(m.__file__))  # no installed copy either
    obs = {}
    try:
        m.DeepLearning()
    except Exception as error:
        obs["first"] = (type(error).__qualname__, str(error))
        obs["entries"] = [entry.name for entry in traceback.extract_tb(error.__traceback__)]
    try:
        onnxruntime.InferenceSession("deeplearning/models/universal.onnx", providers=["CUDAExecutionProvider"])
    except Exception as error:
        obs["direct"] = (type(error).__qualname__, str(error))
    tool = m.DeepLearning()
    obs["same"] = tool is m.DeepLearning() and tool.tool is m.UtilityTool()
    obs["attributes"] = sorted(vars(tool))
    try:
        tool.super_resolution(src=np.zeros((4, 4), np.uint8))
    except AttributeError as error:
        obs["super_resolution"] = str(error)
    obs["make_data"] = tool.make_data(src=np.full((4, 6), 7, np.uint16) * 257, scale=2).tolist()
    print(repr(obs))
    """
    obs = ast.literal_eval(fresh_python(body, cwd=str(tmp_path)).strip().splitlines()[-1])
    assert obs["first"] == obs["direct"] and obs["first"][0] == "NoSuchFile"
    assert "pictor.lumenops.DeepLearning._init" in obs["entries"]
    assert obs["same"]
    assert obs["attributes"] == ["_initialized", "tool"]
    assert obs["super_resolution"] == "'DeepLearning' object has no attribute 'session'"
    assert obs["make_data"] == [[7, 7, 7], [7, 7, 7]]



def test_installed_model_serves_a_folder_without_one(fresh_python, tmp_path):
    body = """
    import os
    import numpy as np
    import pictor.lumenops as m
    tool = m.DeepLearning()
    print(repr((tool.input_name, tool.super_resolution(src=np.zeros((9, 13), np.uint8)).shape,
                open(os.path.join(os.path.dirname(m.__file__), "models", "universal.onnx"), "rb").read())))
    """
    input_name, shape, installed = ast.literal_eval(fresh_python(body, cwd=str(tmp_path)).strip().splitlines()[-1])
    assert shape == (9, 13) and input_name
    with open(os.path.join(REPOSITORY, "deeplearning", "models", "universal.onnx"), "rb") as shipped:
        assert installed == shipped.read()

# --- the shipped network, in this process ---------------------------------------------

@pytest.fixture(scope="module")
def deep_learning(lumenops):
    """The singleton, first constructed in the repository root so that it opens the shipped model."""
    previous = os.getcwd()
    os.chdir(REPOSITORY)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # without CUDA, ONNX Runtime warns and runs on the CPU
            return lumenops.DeepLearning()
    finally:
        os.chdir(previous)


@pytest.fixture(scope="module")
def shipped_session():
    return open_reference_session(SHIPPED_MODEL)


@pytest.mark.parametrize("name", SHIPPED_NAMES)
def test_super_resolution_with_the_shipped_network(deep_learning, shipped_session, name):
    assert_parity(lambda: deep_learning.super_resolution(src=load_image(name)),
                  lambda: reference.super_resolution(src=load_image(name), session=shipped_session))


def test_shipped_network_runs_here(deep_learning, shipped_session):
    tensor = np.random.default_rng(3).random((1, 3, SIDE, SIDE), dtype=np.float32)
    [output] = deep_learning.session.run([deep_learning.output_name], {deep_learning.input_name: tensor})
    assert output.dtype == np.float32 and output.shape == (1, 3, 2 * SIDE, 2 * SIDE)
    if "CUDAExecutionProvider" not in ort.get_available_providers():
        assert deep_learning.session.get_providers() == ["CPUExecutionProvider"]


def test_16_bit_input_equals_its_8_bit_equivalent(deep_learning, shipped_session):
    image = load_image("u8-grey-photo-camera-96x128")
    assert_same_array(deep_learning.super_resolution(src=image.astype(np.uint16) * 257),
                      deep_learning.super_resolution(src=image))


@pytest.mark.parametrize("src", [
    None,
    corpus.load("u8-grey-random-57x101")[0],             # one axis
    corpus.load("u8-colour-random-57x101"),
    corpus.load("u16-colour-tiny-1x1"),
    np.zeros((0, 5), np.uint8),
    np.array(5, np.uint8),
    np.full((5, 7), 0.5, np.float32),                    # treated as 8-bit
    np.arange(35, dtype=">u2").reshape(5, 7) * 1000,     # 16-bit, not in native byte order
], ids=["none", "one-axis", "colour-u8", "colour-u16", "empty", "zero-axes", "float32", "big-endian-u16"])
def test_super_resolution_unusual_inputs(deep_learning, monkeypatch, src):
    session = StandInSession(lambda tensor: tensor * 1.1 - 0.05)
    use_session(monkeypatch, deep_learning, session)
    assert_parity(lambda: deep_learning.super_resolution(src=src),
                  lambda: reference.super_resolution(src=src, session=session))


def test_failing_super_resolution_names_the_method(deep_learning):
    with pytest.raises(AttributeError) as caught:
        deep_learning.super_resolution()
    names = [entry.name for entry in traceback.extract_tb(caught.tb)]
    assert names[-1] == "pictor.lumenops.DeepLearning.super_resolution"


def test_concurrent_calls_agree(deep_learning, shipped_session):
    images = [load_image(name) for name in ("u8-grey-photo-camera-96x128", "u16-grey-bimodal-64x80")]
    alone = [deep_learning.super_resolution(src=image) for image in images]
    with ThreadPoolExecutor(max_workers=len(images)) as pool:
        together = list(pool.map(lambda image: deep_learning.super_resolution(src=image), images))
    for result, expected in zip(together, alone):
        assert_same_array(result, expected)


# --- stand-in sessions with unusual outputs --------------------------------------------

class StandInSession:
    """Answers run() with what `network` makes of the input tensor, and keeps the calls."""

    def __init__(self, network):
        self.network = network
        self.calls = []

    def get_inputs(self):
        return [types.SimpleNamespace(name=INPUT_NAME)]

    def get_outputs(self):
        return [types.SimpleNamespace(name=OUTPUT_NAME)]

    def run(self, output_names, feeds):
        self.calls.append((output_names, feeds))
        return [self.network(feeds[INPUT_NAME])]


def _rounding_probes():
    """float32 values within a few ulps of every level and every half level
    (after * 255.0), and out-of-range ones, the same in three channels."""
    centres = np.arange(-2, 514, dtype=np.float32) / np.float32(2 * 255)
    steps = np.arange(-6, 7, dtype=np.int32)
    probes = (centres.view(np.int32)[:, None] + steps[None, :]).reshape(-1).view(np.float32)
    probes = probes[np.isfinite(probes)]
    extremes = np.array([np.nan, -np.nan, np.inf, -np.inf, -0.0, 0.0, 1e-45, -1e-45, 3e38, -3e38], np.float32)
    values = np.resize(np.concatenate([probes, extremes]), SIDE * SIDE).reshape(1, 1, SIDE, SIDE)
    return np.repeat(values, 3, axis=1)


UNUSUAL_OUTPUTS = {
    "rounding-probes": lambda t: _rounding_probes(),
    "float64": lambda t: t.astype(np.float64) * 1.3 - 0.1,
    "float16": lambda t: (t * 1.2).astype(np.float16),
    "levels-uint8": lambda t: (t * 255).astype(np.uint8),
    "fortran-order": lambda t: np.asfortranarray(t * 1.2 - 0.1),
    "big-endian": lambda t: (t * 0.9 + 0.05).astype(">f4"),
    "non-square-view": lambda t: t[:, :, 100:400, ::2],
    "rows-and-columns-swapped": lambda t: np.swapaxes(t, 2, 3)[:, :, :, :300],
    "four-channels": lambda t: np.concatenate([t, 1 - t[:, :1]], axis=1),
    "one-channel": lambda t: t[:, :1],
    "batch-of-two": lambda t: np.concatenate([t, t]),
    "three-axes": lambda t: t[0],
    "batch-without-channels": lambda t: t[:, 0],
    "empty-rows": lambda t: t[:, :, :0],
    "list": lambda t: t.tolist()[:1],
}


def use_session(monkeypatch, tool, session):
    """What _init would have set for `session`, undone after the test."""
    for attribute, value in (("session", session), ("input_name", INPUT_NAME), ("output_name", OUTPUT_NAME)):
        monkeypatch.setattr(tool, attribute, value, raising=False)


@pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning")  # NaN outputs
@pytest.mark.parametrize("output", list(UNUSUAL_OUTPUTS))
@pytest.mark.parametrize("name", ["u16-grey-random-57x101", "u8-grey-model-size-512x512"])
def test_unusual_network_outputs(deep_learning, monkeypatch, output, name):
    ours_session = StandInSession(UNUSUAL_OUTPUTS[output])
    reference_session = StandInSession(UNUSUAL_OUTPUTS[output])
    use_session(monkeypatch, deep_learning, ours_session)
    image = load_image(name)
    assert_parity(lambda: deep_learning.super_resolution(src=image),
                  lambda: reference.super_resolution(src=image, session=reference_session))
    [(ours_names, ours_feeds)], [(expected_names, expected_feeds)] = ours_session.calls, reference_session.calls
    assert ours_names == expected_names == [OUTPUT_NAME]
    assert list(ours_feeds) == [INPUT_NAME]
    assert_same_array(ours_feeds[INPUT_NAME], np.ascontiguousarray(expected_feeds[INPUT_NAME]))


@pytest.mark.parametrize("missing", ["session", "input_name", "output_name"])
def test_super_resolution_without_a_session_attribute(deep_learning, monkeypatch, missing):
    use_session(monkeypatch, deep_learning, StandInSession(lambda tensor: tensor))
    monkeypatch.delattr(deep_learning, missing)
    with pytest.raises(AttributeError, match="'DeepLearning' object has no attribute '{}'".format(missing)):
        deep_learning.super_resolution(src=load_image("u8-grey-step-40x41"))


# --- make_data ----------------------------------------------------------------------

SCALES = [DEFAULT, 1, 2, 3, 4]
BAD_SCALES = [0, -1, 2.0, 1.5, "a", None, True, 10 ** 6, np.int64(2), np.float32(2)]


def _scale_kwargs(scale):
    return {} if scale is DEFAULT else {"scale": scale}


@pytest.mark.parametrize("scale", SCALES, ids=lambda s: "default" if s is DEFAULT else "scale={}".format(s))
@pytest.mark.parametrize("name", corpus.names() + list(EXTRA_IMAGES))
def test_make_data_parity(deep_learning, name, scale):
    kwargs = _scale_kwargs(scale)
    assert_parity(lambda: deep_learning.make_data(src=load_image(name), **kwargs),
                  lambda: reference.make_data(src=load_image(name), **kwargs))


@pytest.mark.parametrize("scale", BAD_SCALES, ids=repr)
@pytest.mark.parametrize("name", ["u16-grey-hgrad-24x301", "u8-grey-vgrad-101x33"])
def test_make_data_unusual_scales(deep_learning, name, scale):
    assert_parity(lambda: deep_learning.make_data(src=load_image(name), scale=scale),
                  lambda: reference.make_data(src=load_image(name), scale=scale))


@pytest.mark.parametrize("src", [None, np.zeros(5, np.uint8), np.zeros((2, 3, 4, 5), np.uint16), [[1, 2]],
                                 np.zeros((0, 4), np.uint8), np.ones((6, 8), np.float32) * 0.5],
                         ids=["none", "one-axis", "four-axes", "list", "empty", "float32"])
def test_make_data_unusual_inputs(deep_learning, src):
    assert_parity(lambda: deep_learning.make_data(src=src, scale=2),
                  lambda: reference.make_data(src=src, scale=2))


@pytest.mark.parametrize("shape, dtype, scale, expected_shape", [
    ((1000, 600), np.uint16, 4, (250, 150)),
    ((101, 99), np.uint8, 2, (50, 49)),
])
def test_make_data_documented_sizes(deep_learning, shape, dtype, scale, expected_shape):
    image = np.random.default_rng(7).integers(0, np.iinfo(dtype).max, shape, dtype=dtype, endpoint=True)
    result = deep_learning.make_data(src=image, scale=scale)
    assert result.dtype == np.uint8 and result.shape == expected_shape


def test_make_data_default_scale_returns_8_bit_input_unchanged(deep_learning):
    image = load_image("u8-grey-random-57x101")
    result = deep_learning.make_data(src=image)
    assert_same_array(result, image)
    assert not np.shares_memory(result, image)


@pytest.mark.parametrize("scale", [1, 2])
@pytest.mark.parametrize("name", ["u8-grey-random-57x101", "u16-grey-hgrad-24x301"])
def test_make_data_returns_a_new_writable_array_of_its_own(deep_learning, name, scale):
    image = load_image(name)
    result = deep_learning.make_data(src=image, scale=scale)
    assert result.flags.owndata and result.flags.writeable and result.flags.c_contiguous
    result[...] = 0
    assert_same_array(deep_learning.make_data(src=image, scale=scale), reference.make_data(src=image, scale=scale))
