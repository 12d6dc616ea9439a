"""The tool methods, found by introspection, and ordinary calls of each.

Shared by the hardening tests (fuzz, leaks, threads): a method is covered as
soon as it is declared.
"""
import contextlib
import inspect
import itertools
import os

import numpy as np

# Hooks of the singleton machinery, not operations.
MACHINERY = {"_init", "__new__", "__init__"}


class Method:
    """One tool method: its class, attribute name and parameters after self."""

    def __init__(self, class_name, attribute, parameters):
        self.class_name = class_name
        self.attribute = attribute
        self.parameters = parameters

    @property
    def qualname(self):
        return "{}.{}".format(self.class_name, self.attribute)

    @property
    def keyword_only(self):
        return all(p.kind == p.KEYWORD_ONLY for p in self.parameters)

    @property
    def required(self):
        return [p for p in self.parameters if p.default is p.empty]

    def bound(self, module):
        return getattr(getattr(module, self.class_name)(), self.attribute)

    def __repr__(self):
        return self.qualname


def tool_classes(module):
    base = module.SingletonBase
    return [(name, value) for name, value in vars(module).items()
            if isinstance(value, type) and issubclass(value, base) and value is not base]


def tool_methods(module=None):
    """Every method of every tool class, in registry order."""
    if module is None:
        import pictor.lumenops as module
    found = []
    for class_name, cls in tool_classes(module):
        for attribute, value in vars(cls).items():
            if attribute in MACHINERY or not callable(value):
                continue
            parameters = [p for p in list(inspect.signature(value).parameters.values())[1:]
                          if p.kind != p.VAR_KEYWORD]
            found.append(Method(class_name, attribute, parameters))
    return found


def missing_environment(module, method):
    """Why the method cannot run here at all, or None: the DeepLearning tool
    needs its model file in the working directory when first constructed."""
    tool = getattr(module, method.class_name)()
    if method.class_name == "DeepLearning" and not hasattr(tool, "session"):
        return "the DeepLearning session is not open (no model file in the working directory)"
    return None


def write_identity_model(path):
    """A stand-in network for the DeepLearning tool (output = input), much
    faster than the shipped one and independent of it."""
    from onnx import TensorProto, helper, save

    shape = [1, 3, 512, 512]
    graph = helper.make_graph(
        [helper.make_node("Identity", ["lowres"], ["highres"])], "identity",
        [helper.make_tensor_value_info("lowres", TensorProto.FLOAT, shape)],
        [helper.make_tensor_value_info("highres", TensorProto.FLOAT, shape)])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 7
    save(model, path)


@contextlib.contextmanager
def stand_in_network(module, directory):
    """Runs the DeepLearning tool with the identity network while the block
    runs, then puts its own session back (nothing happens when the tool has no
    session, see missing_environment)."""
    import onnxruntime

    tool = module.DeepLearning()
    names = ("session", "input_name", "output_name")
    if not all(hasattr(tool, name) for name in names):
        yield
        return
    saved = [getattr(tool, name) for name in names]
    model = os.path.join(str(directory), "identity.onnx")
    write_identity_model(model)
    tool.session = onnxruntime.InferenceSession(model, providers=["CPUExecutionProvider"])
    tool.input_name, tool.output_name = "lowres", "highres"
    try:
        yield
    finally:
        for name, value in zip(names, saved):
            setattr(tool, name, value)


# --- ordinary inputs ---------------------------------------------------------

def _smooth(height, width, channels, seed):
    rows, columns = np.mgrid[0:height, 0:width]
    rng = np.random.default_rng(seed)
    planes = []
    for channel in range(channels):
        wave = 0.5 + 0.35 * np.sin(rows / (5.0 + channel) + seed) * np.cos(columns / 7.0)
        planes.append(np.clip(wave + rng.normal(0, 0.05, (height, width)), 0, 1))
    unit = np.stack(planes, axis=-1) if channels > 1 else planes[0]
    return unit


def sample_images(height=48, width=40):
    """Grey and colour images at both depths, as (name, array) pairs."""
    images = []
    for channels, layout in ((1, "grey"), (3, "colour")):
        unit = _smooth(height, width, channels, seed=channels)
        images.append(("u8-" + layout, (unit * 255).astype(np.uint8)))
        images.append(("u16-" + layout, (unit * 65535).astype(np.uint16)))
    return images


def candidate_values(parameter, images):
    """Values to try for a parameter, most ordinary first."""
    name = parameter.name
    if name in ("src", "image"):
        return [array for _, array in images]
    if name == "img":
        return [array for _, array in images if array.ndim == 3]
    if name == "lst":
        return [[0, 3, 5, 2, 9, 1, 0, 4]]
    if name == "probabilities":
        counts = np.arange(1, 17, dtype=np.float64)
        return [counts / counts.sum()]
    if name in ("base", "overlay"):
        return [(array / 255.0).astype(np.float32) for _, array in images[:1]]
    if name == "ksize":
        return [11, 5]
    if name == "thr":
        return [0.5]
    return [parameter.default]


def working_calls(module, method, images=None, limit=4):
    """Up to `limit` (args, kwargs) calls with ordinary inputs that succeed,
    each varying the inputs; optional parameters keep their defaults."""
    images = images if images is not None else sample_images()
    needed = [p for p in method.parameters if p.default is p.empty or p.name == "src"]
    pools = [candidate_values(p, images) for p in needed]
    calls = []
    function = method.bound(module)
    for values in itertools.islice(itertools.product(*pools), 64):
        kwargs = dict(zip((p.name for p in needed), values))
        try:
            function(**kwargs)
        except Exception:  # not an ordinary input for this method
            continue
        calls.append(((), kwargs))
        if len(calls) == limit:
            break
    return calls


def failing_calls(module, method, images=None):
    """Calls that fail: without an image, and with each further keyword of a
    wrong type after an ordinary image (so the failure comes mid-way)."""
    images = images if images is not None else sample_images()
    function = method.bound(module)
    calls = [((), {p.name: None for p in method.required})]
    ordinary = working_calls(module, method, images, limit=1)
    if ordinary:
        _, kwargs = ordinary[0]
        for parameter in method.parameters:
            if parameter.name in kwargs or parameter.default is parameter.empty:
                continue
            calls.append(((), dict(kwargs, **{parameter.name: "not a number"})))
    failing = []
    for args, kwargs in calls:
        try:
            function(*args, **kwargs)
        except Exception:
            failing.append((args, kwargs))
    return failing
