"""The catalogue of how each operation runs in pieces (pictor.chunks): every
operation has a route, every route a form in each executor, the declarations
of the private native modules agree with the modules, and a call runs as one
block only where the catalogue says so."""

import ast
import importlib
import re

import numpy as np
import pytest

pytest.importorskip("dask.array")

import pictor  # noqa: E402
import pictor._chunked  # noqa: E402,F401
import pictor._full_depth  # noqa: E402,F401
from pictor import _native, chunks  # noqa: E402
from pictor.chunks import routes  # noqa: E402
from pictor.dask import routes as graphs  # noqa: E402
from pictor.stream import engine, plan as stripes  # noqa: E402
from test_pipeline import image, one_after_another  # noqa: E402


def test_every_route_class_has_a_graph_form_and_a_stripe_form_unless_graph_only():
    for cls in routes.ROUTE_CLASSES:
        assert cls in graphs.FORMS, cls.__name__
        assert (cls in stripes.FORMS) != cls.graph_only, cls.__name__
    assert set(graphs.FORMS) | set(stripes.FORMS) <= set(routes.ROUTE_CLASSES)
    # and every route class is some operation's (the package functions' and the full-depth ones' included)
    assert {type(route) for route in chunks.ROUTES.values()} == set(routes.ROUTE_CLASSES)


def test_every_operation_has_a_route_and_full_depth_follows_the_declarations():
    for name, function in pictor.functions.image_functions().items():
        for dtype in (np.uint8, np.uint16):
            operation, _ = chunks.operation_of(function, dtype, {})
            assert isinstance(chunks.ROUTES[operation], routes.ROUTE_CLASSES), name
        assert (chunks.function_operation(name) in chunks.FULL_DEPTH_ROUTES) == function.full_depth, name
    native_results = {f.operation for f in _native.stub_functions("_full_depth").values() if f.form == _native.RESULT}
    assert {operation.partition(".")[2] for operation in chunks.FULL_DEPTH_ROUTES} == native_results
    for operation, route in chunks.FULL_DEPTH_ROUTES.items():
        name = operation.partition(".")[2]
        if isinstance(route, routes.FullDepthLevelTable):
            assert _native.full_depth(name, _native.TABLE) is not None, name


def test_every_rule_of_the_catalogue_is_one_that_a_declaration_names():
    from pictor.chunks import catalogue

    terms = [terms for _, terms in (d.route for d in pictor.functions.stub_declarations().values() if d.route)]
    assert {t["halo"] for t in terms if isinstance(t.get("halo"), str)} == set(catalogue.HALO_RULES)
    assert {t["table"] for t in terms if "table" in t} == set(catalogue.WORKING_TABLES)
    assert {t["shape"] for t in terms if "shape" in t} == set(catalogue.RESULT_SHAPES)
    assert len(catalogue.ROUTE_NAMED) == len(routes.ROUTE_CLASSES)  # a route's name names one class


@pytest.mark.parametrize("module_name", _native.MODULES)
def test_native_stubs_declare_exactly_the_module(module_name):
    module = importlib.import_module("pictor." + module_name)
    public = {name for name in vars(module) if not name.startswith("_") and callable(getattr(module, name))}
    declared = _native.stub_functions(module_name)
    assert set(declared) == public
    for name, function in declared.items():
        # Where the native docstring spells the call, its arguments are the stub's, in its order.
        spelt = re.match(r"{}\(([^)]*)\)".format(name), getattr(module, name).__doc__ or "")
        if spelt:
            assert [a.strip() for a in spelt.group(1).split(",")] == function.arrays + function.keywords, name


def test_full_depth_keywords_are_the_declared_operations_keywords():
    for operation in chunks.FULL_DEPTH_ROUTES:
        name = operation.partition(".")[2]
        declared = [key for key in pictor.functions.image_functions()[name].keywords if key != "depth"]
        for form in (_native.RESULT, _native.INTO, _native.PLANES_INTO, _native.TABLE):
            native = _native.full_depth(name, form)
            if native is not None:
                assert sorted(native.keywords) == sorted(declared), (name, form)


def _stream_routes(steps, dtype, shape):
    chain = pictor.pipeline(*steps)
    plan, _, _, _ = stripes.stripe_steps(chain.steps, np.dtype(dtype), shape)
    return plan


@pytest.mark.parametrize("steps", [
    (("gaussian_blur", {"ksize": 5}), "screen_fusion"),
    ("multiply_fusion", ("median_blur", {"ksize": 3})),
    (("brightness_contrast", {"brightness": 30}), "maximum_grayscale_value", "east"),
], ids=["screen", "multiply", "maximum grayscale value"])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_chains_through_the_maximum_route_equal_the_calls_in_turn(steps, dtype):
    img = image((131, 47, 3), dtype, seed=4) // 2  # a maximum below full scale, so that it matters
    assert any(step.needs_statistic for step in _stream_routes(steps, dtype, img.shape))
    expected = one_after_another(steps, img)
    for stripe_rows in (1, 9, None):
        assert_stream = pictor.pipeline(*steps)(img, stripe_rows=stripe_rows)
        assert assert_stream.dtype == expected.dtype and np.array_equal(assert_stream, expected), stripe_rows


def test_a_fault_in_a_route_surfaces_instead_of_a_slow_path(monkeypatch):
    def faulty_halo(keywords):
        return keywords["no such keyword"]

    monkeypatch.setattr(chunks.ROUTES["ImageSmoother.gaussian_blur"], "halo", faulty_halo)
    img = image((64, 40), np.uint8)
    with pytest.raises(KeyError, match="no such keyword"):
        pictor.pipeline(("gaussian_blur", {"ksize": 5}), "auto_level")(img)
    with pytest.raises(KeyError, match="no such keyword"):
        pictor.dask.apply(img, "ImageSmoother.gaussian_blur", ksize=5)


def test_one_block_only_where_the_catalogue_says(monkeypatch):
    img = image((64, 40), np.uint16)
    assert pictor.dask.route_of("ImageEnhancer.glow", img, radius=True) == "one block"  # an unusual type
    assert pictor.dask.route_of("ImageEnhancer.glow", img, radius=3) == "neighbourhood"
    with pytest.raises(stripes.NoStripes):
        stripes.stripe_steps(pictor.pipeline("rotate").steps, img.dtype, img.shape)
    assert isinstance(_stream_routes(["glow"], np.uint16, img.shape)[0], engine.Local)


EXECUTORS = ("stream", "dask")


def executor_modules():
    """(executor, file name, syntax tree) of every module of the two executors."""
    from pathlib import Path

    folder = Path(pictor.__file__).resolve().parent
    for executor in EXECUTORS:
        for path in sorted((folder / executor).glob("*.py")):
            yield executor, path.name, ast.parse(path.read_text(encoding="utf-8"))


def test_operation_names_stay_out_of_the_executors():
    names = set(pictor.functions.image_functions())
    for executor, name, tree in executor_modules():
        strings = {node.value for node in ast.walk(tree) if isinstance(node, ast.Constant)}
        assert not names & strings, (executor, name)


def test_the_executors_import_the_catalogue_never_each_other():
    for executor, name, tree in executor_modules():
        imported = {node.module for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)}
        imported |= {alias.name for node in ast.walk(tree) if isinstance(node, ast.Import) for alias in node.names}
        other = [e for e in EXECUTORS if e != executor][0]
        assert not {module for module in imported if (module or "").startswith("pictor." + other)}, (executor, name)
