"""The napari plugin in a real viewer (under a virtual X display; see
tools/test_all.sh): manifest, operation list, controls, results, errors."""

import subprocess
import sys

import numpy as np
import pytest

import pictor
import pictor.napari._widget as widget_module
from pictor.functions import image_functions
from pictor.napari import _sample_data
from pictor.napari._widget import PictorWidget

from conftest import assert_same_array

RESULT_TIMEOUT_MS = 60000


@pytest.fixture
def viewer_widget(make_napari_viewer):
    viewer = make_napari_viewer()
    widget = PictorWidget(viewer)
    viewer.window.add_dock_widget(widget, name="pictor")
    return viewer, widget


@pytest.fixture
def errors(monkeypatch):
    shown = []
    monkeypatch.setattr(widget_module, "show_error", shown.append)
    return shown


def run_and_wait(qtbot, widget):
    assert widget.run() is not None
    # Run stays disabled until the worker's finished signal reaches this thread.
    assert not widget.run_button.isEnabled()
    qtbot.waitUntil(widget.run_button.isEnabled, timeout=RESULT_TIMEOUT_MS)


def test_manifest_validates_and_is_the_installed_plugin():
    # By distribution name: the installed entry point, and every python_name imported.
    done = subprocess.run([sys.executable, "-m", "npe2", "validate", "pictor-lumenops", "--imports"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    from npe2 import PluginManager

    manager = PluginManager.instance()
    manager.discover()
    manifest = manager.get_manifest("pictor-lumenops")
    assert [w.display_name for w in manifest.contributions.widgets] == ["pictor"]


def test_lists_every_operation_by_task_and_searches(viewer_widget):
    _, widget = viewer_widget
    assert sorted(widget.visible_operations()) == sorted(image_functions())
    groups = [widget.operations.topLevelItem(i).text(0) for i in range(widget.operations.topLevelItemCount())]
    assert groups == ["Smooth and denoise", "Enhance", "Threshold and segment", "Edges", "Geometry",
                      "Super-resolution"]
    widget.search.setText("BLUR")  # a word of the title or the description
    assert {"gaussian_blur", "mean_blur", "median_blur", "glow"} <= set(widget.visible_operations())
    widget.search.setText("threshold")
    assert set(widget.visible_operations()) == {
        name for name, f in image_functions().items() if f.tool_method[0].__name__ == "ImageSegmenter"} | {
        "canny_edge"}
    widget.grouping.setCurrentText("by tool class")  # the tool classes' view, the search kept
    widget.search.setText("ImageSegmenter")
    assert widget.visible_operations() == [
        name for name, f in image_functions().items() if f.tool_method[0].__name__ == "ImageSegmenter"]


def test_titles_and_descriptions_are_readable(viewer_widget):
    _, widget = viewer_widget
    titles = [item.text(0) for _, item in widget.operation_items()]
    assert "Gaussian blur" in titles and "Non-local means denoising" in titles
    assert all("_" not in title for title in titles), titles
    widget.select("nlm_blur")
    assert "working copy" not in widget.summary.text() and "2^16" not in widget.summary.text()


@pytest.mark.parametrize("name", list(image_functions()))
def test_controls_follow_the_declarations(viewer_widget, name):
    _, widget = viewer_widget
    widget.select(name)
    keywords = getattr(pictor, name).keywords
    assert [control.name for control in widget.controls] == list(keywords)
    for control in widget.controls:
        keyword = keywords[control.name]
        assert control.value == keyword.default
        if keyword.choices:
            assert tuple(control.choices) == keyword.choices
        elif keyword.low is not None:
            assert (control.min, control.max) == (keyword.low, keyword.high)
            if keyword.step:
                assert control.step == keyword.step
        assert "_" not in control.label and keyword.describe() in control.tooltip
    # The widget's call with the defaults is the function's call with no keywords.
    assert widget.keywords() == {k.name: k.default for k in keywords.values()}


def ramp(shape, dtype):
    values = np.arange(np.prod(shape), dtype=np.uint64) * 7919 % (np.iinfo(dtype).max + 1)
    return values.astype(dtype).reshape(shape)


@pytest.mark.parametrize("name, settings, data, rgb", [
    ("gaussian_blur", {"ksize": 7}, ramp((40, 50), np.uint16), False),  # full depth
    ("gaussian_blur", {"ksize": 7, "depth": "working"}, ramp((40, 50), np.uint16), False),
    ("auto_level", {}, ramp((30, 40, 3), np.uint8), True),
    ("canny_edge", {"low_thr": 20.0}, ramp((3, 30, 40), np.uint8), False),  # a labels layer
    ("mean_blur", {"ksize": 5}, ramp((2, 30, 40, 3), np.uint16), True),
    ("resize", {"scale": 2}, ramp((3, 30, 40), np.uint16), False),
    ("median_blur", {"ksize": 5}, ramp((2, 3, 20, 30), np.uint8), False),  # (T, Z, Y, X)
])
def test_result_layer_is_the_functions_array(qtbot, viewer_widget, name, settings, data, rgb):
    viewer, widget = viewer_widget
    source = viewer.add_image(data, rgb=rgb, name="cells", scale=(2.0,) * (data.ndim - rgb),
                              translate=(5.0,) * (data.ndim - rgb))
    widget.select(name)
    for key, value in settings.items():
        widget.controls[key].value = value
    run_and_wait(qtbot, widget)

    result = viewer.layers[-1]
    assert result.name == "cells " + name
    function = getattr(pictor, name)
    keywords = {k: int(v) if isinstance(v, float) and v.is_integer() else v for k, v in settings.items()}
    # napari's RGB is OpenCV's BGR reversed; every leading dimension is a plane.
    planes = data.reshape((-1,) + data.shape[data.ndim - 2 - rgb:])
    expected = [function(np.ascontiguousarray(p[..., ::-1] if rgb else p), **keywords) for p in planes]
    expected = np.stack([e[..., ::-1] if rgb else e for e in expected])
    expected = expected.reshape(data.shape[:data.ndim - 2 - rgb] + expected.shape[1:])
    if name == "canny_edge":  # a mask: labels of value 1
        expected = (expected != 0).astype(np.uint8)
    assert_same_array(np.asarray(result.data), expected)
    assert type(result).__name__ == ("Labels" if name == "canny_edge" else "Image")
    # The same world extent; a 2x shrink with pixels twice as large.
    np.testing.assert_allclose(world_extent(result), world_extent(source))
    if result.data.shape == data.shape:
        np.testing.assert_array_equal(result.scale, source.scale)


def world_extent(layer):
    """The world coordinates of the first pixel's outer corner and the last pixel's, per displayed axis."""
    shape = np.array(layer.data.shape[:layer.ndim] if not layer.multiscale else layer.data[0].shape[:layer.ndim])
    return layer.translate - layer.scale / 2, layer.translate + (shape - 0.5) * layer.scale


def test_dask_layer_stays_lazy_and_exact(qtbot, viewer_widget):
    import dask.array as da

    viewer, widget = viewer_widget
    data = ramp((2, 64, 48), np.uint16)
    viewer.add_image(da.from_array(data, chunks=(1, 32, 48)), name="stack")
    widget.select("unsharpen_mask")
    run_and_wait(qtbot, widget)
    result = viewer.layers[-1].data
    assert isinstance(result, da.Array)
    assert_same_array(result.compute(), np.stack([pictor.unsharpen_mask(p) for p in data]))


@pytest.mark.parametrize("name, settings, data, rgb, message", [
    ("super_resolution", {}, ramp((30, 40, 3), np.uint8), True, "shape"),  # grey only
    ("rotate", {"scale": 0.0}, ramp((30, 40), np.uint8), False, "scale must be"),
    ("gaussian_blur", {}, np.zeros((30, 40), np.float32), False, "dtype float32"),
])
def test_bad_choice_is_a_notification_and_no_layer(viewer_widget, errors, name, settings, data, rgb, message):
    viewer, widget = viewer_widget
    viewer.add_image(data, rgb=rgb)
    widget.select(name)
    for key, value in settings.items():
        widget.controls[key].value = value
    assert widget.run() is None
    assert len(errors) == 1 and message in errors[0], errors
    assert len(viewer.layers) == 1


@pytest.mark.parametrize("name, settings, message", [
    ("resize", {"scale": 100}, "inv_scale_x > 0"),  # OpenCV's own error, raised in the worker
    ("crop", {"start_x": 100, "width": 5}, "the result is empty"),
])
def test_failed_run_is_a_notification_and_no_layer(qtbot, viewer_widget, errors, name, settings, message):
    viewer, widget = viewer_widget
    viewer.add_image(ramp((20, 30), np.uint16))
    widget.select(name)
    for key, value in settings.items():
        widget.controls[key].value = value
    run_and_wait(qtbot, widget)
    assert len(errors) == 1 and message in errors[0] and "Traceback" not in errors[0], errors
    assert len(viewer.layers) == 1


def test_sample_data():
    (photo, _, kind), = _sample_data.photograph()
    assert (photo.shape, photo.dtype, kind) == ((512, 512), np.uint8, "image")
    (frame, _, _), = _sample_data.fluorescence_12bit()
    assert frame.dtype == np.uint16 and frame.max() < 4096
    # Its structure is lost on the working copy and kept at full depth.
    assert len(np.unique(pictor.gaussian_blur(frame, depth="working"))) <= 4
    assert len(np.unique(pictor.gaussian_blur(frame))) > 100
