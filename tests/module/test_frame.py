"""The module frame as a user meets it: namespace, classes, method objects,
singletons, calling convention, error messages and traceback entries."""
import ast
import builtins
import copy
import gc
import importlib
import os
import sys
import traceback
import types

import cv2
import numpy as np
import onnxruntime
import pytest

from conftest import assert_same_array
from reference import image_smoother as reference

MODULE = "pictor.lumenops"

NAMESPACE = [
    "cv2", "np", "copy", "os", "ort",
    "SingletonBase", "UtilityTool", "ImageEnhancer", "ImageFusion", "ImageSmoother",
    "ImageSegmenter", "DeepLearning", "FeatureDetection", "GeometricTransformation",
    "__test__",
]
# Attributes every module gets from the import machinery.
STANDARD_MODULE_ATTRIBUTES = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
    "__path__", "__cached__", "__builtins__",
}
# Entries `type` itself puts into a class dictionary.
TYPE_BOOKKEEPING = {"__module__", "__dict__", "__weakref__", "__doc__"}

CLASS_ATTRIBUTES = {
    "SingletonBase": ["_instance", "_initialized", "__new__", "__init__", "_init"],
    "UtilityTool": ["_init", "convert_rgb_to_ycbcr", "normalize_and_calculate_variance",
                    "get_boundary", "calculate_entropy"],
    "ImageEnhancer": [
        "_init", "_ImageEnhancer__get_overlay", "_ImageEnhancer__hard_light",
        "_ImageEnhancer__image_overlay", "brightness_transfer",
        "multi_scale_adaptive_hard_light_enhancement",
        "multi_scale_adaptive_image_overlay_enhancement", "histogram_enhancement",
        "laplacian_pyramid", "multi_scale_fuse_enhancement",
        "adaptive_histogram_truncation_stretched", "auto_level", "unsharpen_mask",
        "laplacian_enhancement", "gamma_stretched", "maximum_gray_level",
        "maximum_grayscale_value", "enhance_details", "shadows_highlight", "glow",
        "brightness_contrast", "east",
    ],
    "ImageFusion": ["_init", "multiply_fusion", "screen_fusion"],
    "ImageSmoother": ["_init", "mean_blur", "median_blur", "gaussian_blur", "nlm_blur",
                      "bilateral_filter"],
    "ImageSegmenter": ["_init", "local_histogram_threshold_segmentation",
                       "maximum_entropy_threshold_segmentation",
                       "maximum_inter_class_variance_segmentation",
                       "adaptive_threshold_segmentation"],
    "DeepLearning": ["_init", "super_resolution", "make_data"],
    "FeatureDetection": ["_init", "canny_edge"],
    "GeometricTransformation": ["_init", "rotate", "flip", "resize", "crop", "crop_return"],
}
TOOL_CLASSES = [name for name in CLASS_ATTRIBUTES if name != "SingletonBase"]
# Tools whose construction needs nothing but the module (DeepLearning opens a model).
PLAIN_TOOL_CLASSES = [name for name in TOOL_CLASSES if name != "DeepLearning"]

# Methods with ordinary parameters: bound name -> (least, most) positional count incl. self.
POSITIONAL_METHODS = {
    ("UtilityTool", "convert_rgb_to_ycbcr"): (2, 2),
    ("UtilityTool", "normalize_and_calculate_variance"): (2, 2),
    ("UtilityTool", "get_boundary"): (2, 6),
    ("UtilityTool", "calculate_entropy"): (2, 2),
    ("ImageEnhancer", "_ImageEnhancer__get_overlay"): (3, 3),
    ("ImageEnhancer", "_ImageEnhancer__hard_light"): (4, 4),
    ("ImageEnhancer", "_ImageEnhancer__image_overlay"): (4, 4),
}
FRAME_METHODS = {"__new__", "__init__", "_init"}
KEYWORD_METHODS = [
    (cls, name) for cls, attrs in CLASS_ATTRIBUTES.items() for name in attrs
    if cls != "SingletonBase" and name not in FRAME_METHODS
    and (cls, name) not in POSITIONAL_METHODS
]
FUNCTION_ATTRIBUTES = [
    (cls, name) for cls, attrs in CLASS_ATTRIBUTES.items() for name in attrs
    if name not in ("_instance", "_initialized")
]
BLURS = ["mean_blur", "median_blur", "gaussian_blur"]


def plain_name(class_name, attribute):
    """The method's own name: class-private names lose their mangling prefix."""
    prefix = "_" + class_name
    return attribute[len(prefix):] if attribute.startswith(prefix + "__") else attribute


def class_function(lumenops, class_name, attribute):
    value = vars(getattr(lumenops, class_name))[attribute]
    return value.__func__ if isinstance(value, staticmethod) else value


def pictor_entries(exc_info):
    """(name, file, line) of the traceback entries the module added."""
    return [(entry.name, entry.filename, entry.lineno)
            for entry in traceback.extract_tb(exc_info.tb) if entry.name.startswith(MODULE + ".")]


def assert_single_entry(exc_info, qualified_name):
    entries = pictor_entries(exc_info)
    assert [name for name, _, _ in entries] == [MODULE + "." + qualified_name]
    assert traceback.extract_tb(exc_info.tb)[-1].name == MODULE + "." + qualified_name
    _, filename, line = entries[0]
    assert filename.endswith(".cpp")
    assert type(line) is int and line > 0


def observe_in_fresh_interpreter(fresh_python, body):
    """Run ``body`` after importing the module as ``m``; it fills the dict ``obs``."""
    out = fresh_python("import pictor.lumenops as m\nobs = {}\n" + body + "\nprint(repr(obs))\n")
    return ast.literal_eval(out.strip().splitlines()[-1])


@pytest.fixture
def image():
    return np.random.default_rng(5).integers(0, 65535, (23, 31), dtype=np.uint16,
                                               endpoint=True)


# --- namespace ------------------------------------------------------------------

def test_namespace_holds_libraries_classes_and_test_dict_in_order(lumenops):
    names = [name for name in vars(lumenops) if name not in STANDARD_MODULE_ATTRIBUTES]
    assert names == NAMESPACE


def test_namespace_bindings(lumenops):
    assert lumenops.__name__ == MODULE
    assert lumenops.__doc__ is None
    assert lumenops.cv2 is cv2
    assert lumenops.np is np
    assert lumenops.copy is copy
    assert lumenops.os is os
    assert lumenops.ort is onnxruntime
    assert lumenops.__builtins__ is builtins
    assert type(lumenops.__test__) is dict and lumenops.__test__ == {}
    assert sys.modules[MODULE] is lumenops


def test_module_defines_no_functions(lumenops):
    callables = [name for name, value in vars(lumenops).items()
                 if callable(value) and not isinstance(value, type)]
    assert callables == []


def test_importing_again_gives_the_same_module(lumenops):
    assert importlib.import_module(MODULE) is lumenops
    from pictor import lumenops as again
    assert again is lumenops


def test_reimport_and_reload_keep_the_module_and_its_classes(fresh_python):
    obs = observe_in_fresh_interpreter(fresh_python, """
import importlib, sys
first_class = m.ImageSmoother
smoother = m.ImageSmoother()
del sys.modules['pictor.lumenops']
again = importlib.import_module('pictor.lumenops')
obs['reimport same module'] = again is m
obs['reimport same class'] = again.ImageSmoother is first_class
obs['reload same module'] = importlib.reload(m) is m
obs['reload same class'] = m.ImageSmoother is first_class
obs['singleton kept'] = m.ImageSmoother() is smoother
""")
    assert obs == {"reimport same module": True, "reimport same class": True,
                   "reload same module": True, "reload same class": True,
                   "singleton kept": True}


# --- classes ----------------------------------------------------------------------

@pytest.mark.parametrize("class_name", list(CLASS_ATTRIBUTES))
def test_class_is_made_by_type(lumenops, class_name):
    cls = getattr(lumenops, class_name)
    assert type(cls) is type
    assert cls.__name__ == cls.__qualname__ == class_name
    assert cls.__module__ == MODULE
    assert cls.__doc__ is None
    expected_bases = (object,) if class_name == "SingletonBase" else (lumenops.SingletonBase,)
    assert cls.__bases__ == expected_bases


@pytest.mark.parametrize("class_name", list(CLASS_ATTRIBUTES))
def test_class_attributes_in_order(lumenops, class_name):
    # A tool class's own _instance joins its dictionary at the first construction.
    attributes = [name for name in vars(getattr(lumenops, class_name))
                  if name not in TYPE_BOOKKEEPING and (class_name == "SingletonBase" or name != "_instance")]
    assert attributes == CLASS_ATTRIBUTES[class_name]


def test_singleton_base_class_attributes(lumenops):
    namespace = vars(lumenops.SingletonBase)
    assert namespace["_initialized"] is False
    assert isinstance(namespace["__new__"], staticmethod)
    for class_name in TOOL_CLASSES:
        assert "_initialized" not in vars(getattr(lumenops, class_name))


@pytest.mark.parametrize("class_name,attribute", FUNCTION_ATTRIBUTES)
def test_method_introspection(lumenops, class_name, attribute):
    function = class_function(lumenops, class_name, attribute)
    name = plain_name(class_name, attribute)
    assert function.__name__ == name
    assert function.__qualname__ == class_name + "." + name
    assert function.__module__ == MODULE
    assert function.__doc__ is None
    expected_defaults = (0, 256, 0, 1) if attribute == "get_boundary" else None
    assert function.__defaults__ == expected_defaults


@pytest.mark.parametrize("class_name,attribute",
                         [case for case in FUNCTION_ATTRIBUTES if case[1] != "__new__"])
def test_method_binds_like_a_function(lumenops, class_name, attribute):
    cls = getattr(lumenops, class_name)
    function = vars(cls)[attribute]
    assert getattr(cls, attribute) is function
    probe = object()
    bound = function.__get__(probe, cls)
    assert type(bound) is types.MethodType
    assert bound.__self__ is probe and bound.__func__ is function


def test_new_is_a_static_method_seen_through_every_class(lumenops):
    new = vars(lumenops.SingletonBase)["__new__"].__func__
    for class_name in CLASS_ATTRIBUTES:
        assert getattr(lumenops, class_name).__new__ is new


@pytest.mark.parametrize("class_name", PLAIN_TOOL_CLASSES)
def test_methods_fetched_from_a_tool_are_bound(lumenops, class_name):
    cls = getattr(lumenops, class_name)
    obj = cls()
    for attribute in CLASS_ATTRIBUTES[class_name]:
        bound = getattr(obj, attribute)
        assert type(bound) is types.MethodType
        assert bound.__self__ is obj and bound.__func__ is vars(cls)[attribute]


def test_private_enhancer_methods_only_under_mangled_names(lumenops):
    enhancer = lumenops.ImageEnhancer
    for name in ("__get_overlay", "__hard_light", "__image_overlay"):
        assert not hasattr(enhancer, name)
        function = getattr(enhancer, "_ImageEnhancer" + name)
        assert function.__name__ == name
        assert function.__qualname__ == "ImageEnhancer." + name


# --- singletons -------------------------------------------------------------------

def test_construction_returns_one_shared_instance(lumenops):
    smoother = lumenops.ImageSmoother()
    assert lumenops.ImageSmoother() is smoother
    assert type(smoother) is lumenops.ImageSmoother
    assert lumenops.ImageEnhancer().tool is smoother.tool is lumenops.UtilityTool()
    assert lumenops.ImageSmoother(5, ksize=3) is smoother


def test_singleton_protocol_in_a_fresh_process(fresh_python):
    obs = observe_in_fresh_interpreter(fresh_python, """
tools = %r
obs['instances after import'] = [n for n in tools if '_instance' in vars(getattr(m, n))]
s = m.ImageSmoother()
obs['same object'] = m.ImageSmoother() is s
obs['stored on its class'] = vars(m.ImageSmoother)['_instance'] is s
obs['instance attributes'] = list(vars(s))
obs['flag'] = vars(s)['_initialized']
obs['tool is the utility singleton'] = s.tool is m.UtilityTool() and type(s.tool) is m.UtilityTool
obs['utility has no tool'] = hasattr(m.UtilityTool(), 'tool')
built = [getattr(m, n)() for n in tools]
obs['distinct instances'] = len(set(map(id, built)))
obs['all share the tool'] = all(b.tool is s.tool for b in built if type(b) is not m.UtilityTool)
obs['base instance'] = m.SingletonBase._instance
obs['later arguments ignored'] = m.ImageSmoother(5, x=1) is s
""" % PLAIN_TOOL_CLASSES)
    assert obs == {
        "instances after import": [],
        "same object": True,
        "stored on its class": True,
        "instance attributes": ["_initialized", "tool"],
        "flag": True,
        "tool is the utility singleton": True,
        "utility has no tool": False,
        "distinct instances": len(PLAIN_TOOL_CLASSES),
        "all share the tool": True,
        "base instance": None,
        "later arguments ignored": True,
    }


def test_constructing_singleton_base_first_captures_every_tool(fresh_python):
    obs = observe_in_fresh_interpreter(fresh_python, """
b = m.SingletonBase(1, 2, key=3)
obs['type'] = type(b).__name__
obs['stored on base'] = vars(m.SingletonBase)['_instance'] is b
obs['flag'] = vars(b).get('_initialized')
obs['smoother is base'] = m.ImageSmoother() is b
obs['utility is base'] = m.UtilityTool() is b
obs['smoother has own instance'] = '_instance' in vars(m.ImageSmoother)
obs['has tool'] = hasattr(b, 'tool')
""")
    assert obs == {"type": "SingletonBase", "stored on base": True, "flag": True,
                   "smoother is base": True, "utility is base": True,
                   "smoother has own instance": False, "has tool": False}


@pytest.mark.parametrize("bad_call,message", [
    ("m.ImageSmoother(5)", "_init() takes exactly 1 positional argument (2 given)"),
    ("m.ImageSmoother(bogus=1)", "_init() got an unexpected keyword argument 'bogus'"),
])
def test_failing_first_construction_keeps_a_bare_instance(fresh_python, bad_call, message):
    obs = observe_in_fresh_interpreter(fresh_python, """
import traceback
try:
    %s
except TypeError as e:
    obs['message'] = str(e)
    obs['entries'] = [t.name for t in traceback.extract_tb(e.__traceback__)
                      if t.name.startswith('pictor.lumenops.')]
s = m.ImageSmoother()
obs['same object'] = m.ImageSmoother() is s and vars(m.ImageSmoother)['_instance'] is s
obs['has tool'] = hasattr(s, 'tool')
obs['utility built'] = '_instance' in vars(m.UtilityTool)
obs['later bad call'] = m.ImageSmoother(5) is s
""" % bad_call)
    assert obs == {
        "message": message,
        "entries": ["pictor.lumenops.SingletonBase.__init__", "pictor.lumenops.ImageSmoother._init"],
        "same object": True,
        "has tool": False,
        "utility built": False,
        "later bad call": True,
    }


def test_missing_utility_class_fails_first_construction(fresh_python):
    obs = observe_in_fresh_interpreter(fresh_python, """
del m.UtilityTool
try:
    m.ImageSmoother()
except NameError as e:
    obs['message'] = str(e)
obs['has tool'] = hasattr(m.ImageSmoother(), 'tool')
""")
    assert obs == {"message": "name 'UtilityTool' is not defined", "has tool": False}


def test_singleton_base_init_hook_accepts_anything(lumenops):
    assert lumenops.SingletonBase._init(object(), 1, 2, key=3) is None


# --- keyword calling convention ------------------------------------------------------

@pytest.mark.parametrize("method", BLURS)
def test_misspelt_keyword_is_ignored(smoother, method, image):
    ours = getattr(smoother, method)(src=image.copy(), ksizee=7, k_size=9, Ksize=11)
    assert_same_array(ours, getattr(reference, method)(src=image))


@pytest.mark.parametrize("method", BLURS)
def test_self_passed_as_keyword_through_the_class(lumenops, smoother, method, image):
    ours = getattr(lumenops.ImageSmoother, method)(self=smoother, src=image.copy(), ksize=5)
    assert_same_array(ours, getattr(reference, method)(src=image, ksize=5))


@pytest.mark.parametrize("method", BLURS)
def test_keyword_dict_of_the_caller_is_untouched(smoother, method, image):
    kwargs = {"src": image, "ksize": 4, "unused": None}
    getattr(smoother, method)(**kwargs)
    assert list(kwargs) == ["src", "ksize", "unused"] and kwargs["ksize"] == 4


class KeywordName(str):
    """A keyword given as a str subclass, equal to the plain name."""


@pytest.mark.parametrize("method", BLURS)
@pytest.mark.parametrize("make_key", [lambda name: "".join(list(name)), KeywordName],
                         ids=["built-at-run-time", "str-subclass"])
def test_keywords_are_found_by_value(smoother, method, image, make_key):
    kwargs = {make_key("src"): image.copy(), make_key("ksize"): 7}
    assert_same_array(getattr(smoother, method)(**kwargs), getattr(reference, method)(src=image, ksize=7))


@pytest.mark.parametrize("call, message", [
    (lambda m, image: m.ImageSmoother.mean_blur(m.ImageSmoother(), self=m.ImageSmoother(), src=image),
     "mean_blur() got multiple values for argument 'self'"),
    (lambda m, image: m.ImageEnhancer()._ImageEnhancer__hard_light(image, image, 0.5, base=image),
     "__hard_light() got multiple values for argument 'base'"),
], ids=["keyword-convention", "positional-convention"])
def test_argument_given_twice_is_refused(lumenops, image, call, message):
    with pytest.raises(TypeError) as caught:
        call(lumenops, image)
    assert str(caught.value) == message


def test_self_keyword_stays_in_the_callers_dict(lumenops, smoother, image):
    kwargs = {"self": smoother, "src": image}
    lumenops.ImageSmoother.mean_blur(**kwargs)
    assert list(kwargs) == ["self", "src"] and kwargs["self"] is smoother


@pytest.mark.parametrize("class_name,method", KEYWORD_METHODS)
@pytest.mark.parametrize("extra", [1, 2])
def test_keyword_method_rejects_positional_arguments(lumenops, class_name, method, extra, image):
    function = getattr(getattr(lumenops, class_name), method)
    with pytest.raises(TypeError) as caught:
        function(None, *([image] * extra))
    assert str(caught.value) == "{}() takes exactly 1 positional argument ({} given)".format(
        method, 1 + extra)
    assert_single_entry(caught, class_name + "." + method)


@pytest.mark.parametrize("method", BLURS)
def test_image_passed_by_position_to_a_tool(smoother, method, image):
    with pytest.raises(TypeError) as caught:
        getattr(smoother, method)(image)
    assert str(caught.value) == method + "() takes exactly 1 positional argument (2 given)"
    assert_single_entry(caught, "ImageSmoother." + method)


@pytest.mark.parametrize("method", BLURS)
def test_keyword_method_without_any_positional_argument(lumenops, method, image):
    with pytest.raises(TypeError):
        getattr(lumenops.ImageSmoother, method)(src=image)


def _count_message(method, kind, expected, given):
    plural = "" if expected == 1 else "s"
    return "{}() takes {} {} positional argument{} ({} given)".format(
        method, kind, expected, plural, given)


def _positional_count_cases():
    for (class_name, attribute), (least, most) in POSITIONAL_METHODS.items():
        too_few_kind = "exactly" if least == most else "at least"
        too_many_kind = "exactly" if least == most else "at most"
        yield pytest.param(class_name, attribute, least - 1, too_few_kind, least,
                           id="{}-too-few".format(attribute))
        yield pytest.param(class_name, attribute, most + 1, too_many_kind, most,
                           id="{}-too-many".format(attribute))


@pytest.mark.parametrize("class_name,attribute,given,kind,expected", list(_positional_count_cases()))
def test_positional_method_count_errors(lumenops, class_name, attribute, given, kind, expected):
    function = getattr(getattr(lumenops, class_name), attribute)
    with pytest.raises(TypeError) as caught:
        function(*([None] * given))
    name = plain_name(class_name, attribute)
    assert str(caught.value) == _count_message(name, kind, expected, given)
    assert_single_entry(caught, class_name + "." + name)


@pytest.mark.parametrize("class_name,attribute", list(POSITIONAL_METHODS))
def test_positional_method_rejects_unknown_keyword(lumenops, class_name, attribute):
    least, _ = POSITIONAL_METHODS[(class_name, attribute)]
    function = getattr(getattr(lumenops, class_name), attribute)
    with pytest.raises(TypeError):
        function(*([None] * least), no_such_parameter=1)


# --- errors and traceback entries ---------------------------------------------------

@pytest.mark.parametrize("method", BLURS)
def test_failing_method_adds_one_traceback_entry(smoother, method):
    with pytest.raises(AttributeError) as caught:
        getattr(smoother, method)(src=None)
    assert str(caught.value) == "'NoneType' object has no attribute 'dtype'"
    assert_single_entry(caught, "ImageSmoother." + method)


# --- names looked up in the module namespace at call time ----------------------------

@pytest.mark.parametrize("method", BLURS)
def test_cv2_without_the_filter_fails_the_next_call(lumenops, smoother, monkeypatch, method, image):
    monkeypatch.setattr(lumenops, "cv2", types.SimpleNamespace())
    with pytest.raises(AttributeError) as caught:
        getattr(smoother, method)(src=image)
    assert_single_entry(caught, "ImageSmoother." + method)
    monkeypatch.undo()
    assert_same_array(getattr(smoother, method)(src=image), getattr(reference, method)(src=image))


FILTER_NAMES = {"mean_blur": "blur", "median_blur": "medianBlur", "gaussian_blur": "GaussianBlur"}


@pytest.mark.parametrize("method", BLURS)
def test_rebound_cv2_is_called(lumenops, smoother, monkeypatch, method, image):
    calls = []

    def fake_filter(*args, **kwargs):
        calls.append((args, kwargs))
        return np.full(args[0].shape, 7, np.uint8)

    monkeypatch.setattr(lumenops, "cv2", types.SimpleNamespace(**{FILTER_NAMES[method]: fake_filter}))
    result = getattr(smoother, method)(src=image, ksize=4)
    assert_same_array(result, np.full(image.shape, 7 * 257, np.uint16))
    assert len(calls) == 1
    (working, *rest), kwargs = calls[0]
    assert_same_array(working, (image // 257).astype(np.uint8))
    expected_rest = {"mean_blur": [(5, 5)], "median_blur": [5], "gaussian_blur": [(5, 5), 0]}
    assert rest == expected_rest[method] and kwargs == {}


@pytest.mark.parametrize("name", ["np", "cv2"])
def test_removed_library_name_raises_name_error(lumenops, smoother, monkeypatch, name, image):
    monkeypatch.delattr(lumenops, name)
    with pytest.raises(NameError) as caught:
        smoother.mean_blur(src=image)
    assert str(caught.value) == "name '{}' is not defined".format(name)
    assert_single_entry(caught, "ImageSmoother.mean_blur")


def test_rebound_numpy_is_used(lumenops, smoother, monkeypatch, image):
    monkeypatch.setattr(lumenops, "np", types.SimpleNamespace())
    with pytest.raises(AttributeError) as caught:
        smoother.mean_blur(src=image)
    assert str(caught.value) == "'types.SimpleNamespace' object has no attribute 'uint16'"


# --- reference counting ----------------------------------------------------------------

def _call_and_forget(call):
    try:
        call()
    except Exception:  # only the reference counts matter here
        pass


@pytest.mark.parametrize("method", BLURS)
def test_calls_keep_no_references(smoother, method, image):
    run = getattr(smoother, method)
    marker = object()
    gc.collect()  # earlier tests' cyclic garbage (tracebacks, frames) may still hold the tool
    counts_before = sys.getrefcount(image), sys.getrefcount(marker), sys.getrefcount(smoother)
    for _ in range(20):
        _call_and_forget(lambda: run(src=image, ksize=5, unused=marker))
        _call_and_forget(lambda: run(src=marker))
        _call_and_forget(lambda: run(src=image, ksize=marker))
        _call_and_forget(lambda: run(image, marker))
    assert (sys.getrefcount(image), sys.getrefcount(marker), sys.getrefcount(smoother)) == counts_before
    result = run(src=image)
    assert sys.getrefcount(result) == 2
