"""The typed stubs: they match the runtime declarations and type-check."""

import ast
import inspect
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import pictor
from pictor import lumenops

STUB = Path(pictor.__file__).resolve().parent / "lumenops.pyi"


def stub_classes():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def stub_parameters(function):
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    described = [(arg.arg, ast.literal_eval(default) if default else inspect.Parameter.empty)
                 for arg, default in zip(positional, defaults)]
    described += [(arg.arg, ast.literal_eval(default) if default else inspect.Parameter.empty)
                  for arg, default in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    return described


def runtime_parameters(method):
    return [(param.name, param.default) for param in inspect.signature(method).parameters.values()
            if param.kind not in (param.VAR_KEYWORD, param.VAR_POSITIONAL)]


def tool_classes():
    return [value for value in vars(lumenops).values()
            if isinstance(value, type) and issubclass(value, lumenops.SingletonBase)]


@pytest.mark.parametrize("cls", tool_classes(), ids=lambda cls: cls.__name__)
def test_every_method_is_in_the_stubs_with_its_defaults(cls):
    stub = stub_classes()[cls.__name__]
    functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    for name, method in vars(cls).items():
        if not callable(method) and not isinstance(method, staticmethod):
            continue
        if name in ("__new__", "__init__", "_init") and cls is not lumenops.SingletonBase:
            continue
        assert name in functions, "{}.{} is missing from the stubs".format(cls.__name__, name)
        described = stub_parameters(functions[name])
        actual = runtime_parameters(getattr(cls, name))
        assert described == actual, name
        for default_stub, default_runtime in zip(described, actual):
            assert type(default_stub[1]) is type(default_runtime[1]), name


def test_public_methods_carry_a_docstring_in_the_stubs():
    for cls_name, node in stub_classes().items():
        for function in node.body:
            if isinstance(function, ast.FunctionDef) and not function.name.startswith("_"):
                assert ast.get_docstring(function), "{}.{}".format(cls_name, function.name)


EXAMPLE = """
import numpy as np
from pictor import lumenops

grey = np.zeros((16, 16), np.uint16)
colour = np.zeros((16, 16, 3), np.uint8)
blurred: "np.ndarray" = lumenops.ImageSmoother().gaussian_blur(src=grey, ksize=5)
lumenops.ImageEnhancer().glow(src=colour, radius=3, intensity=2)
kept = lumenops.ImageFusion().screen_fusion(src=colour)
lumenops.ImageSegmenter().adaptive_threshold_segmentation(src=grey, ratio=0.2)
lumenops.DeepLearning().make_data(src=grey, scale=2)
lumenops.FeatureDetection().canny_edge(src=grey, low_thr=10, high_thr=20)
lumenops.GeometricTransformation().rotate(src=grey, angle=45.0)
peak, low, high = lumenops.UtilityTool().get_boundary(grey, 10, 256, l_scale=1)
"""


def run_mypy(tmp_path, source):
    pytest.importorskip("mypy")
    (tmp_path / "example.py").write_text(source)
    environment = dict(os.environ)
    installed = {sysconfig.get_paths()[key] for key in ("purelib", "platlib")}
    if str(STUB.parent.parent) not in installed:  # a development build: point mypy at it
        environment["MYPYPATH"] = str(STUB.parent.parent)
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--follow-imports=silent",
                           "example.py"], cwd=tmp_path, env=environment, capture_output=True, text=True,
                          timeout=600)


def test_a_type_checker_accepts_correct_calls(tmp_path):
    result = run_mypy(tmp_path, EXAMPLE)
    assert result.returncode == 0, result.stdout


def test_a_type_checker_flags_a_misspelt_keyword(tmp_path):
    result = run_mypy(tmp_path, EXAMPLE + "lumenops.ImageSmoother().mean_blur(src=grey, kszie=5)\n")
    assert result.returncode == 1
    assert 'Unexpected keyword argument "kszie"' in result.stdout
