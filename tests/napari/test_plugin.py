"""The napari plugin in a real viewer (under a virtual X display; see
tools/test_all.sh): manifest, operation list, controls, results, errors."""

import subprocess
import sys

import numpy as np
import pytest
import scipy.ndimage as ndi

import pictor
import pictor.napari._widget as widget_module
from pictor.functions import image_functions, package_functions
from pictor.napari import _sample_data
from pictor.napari._planes import LayerCall
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
    assert sorted(widget.visible_operations()) == sorted(package_functions())
    groups = [widget.operations.topLevelItem(i).text(0) for i in range(widget.operations.topLevelItemCount())]
    assert groups == ["Smooth and denoise", "Enhance", "Threshold and segment", "Edges", "Geometry",
                      "Super-resolution"]
    widget.search.setText("BLUR")  # a word of the title or the description
    assert {"gaussian_blur", "mean_blur", "median_blur", "glow"} <= set(widget.visible_operations())
    widget.search.setText("threshold")
    # the "Threshold and segment" group's, and Canny's words
    assert set(widget.visible_operations()) == set(segmenter_methods()) | {"canny_edge", "threshold",
                                                                           "threshold_level", "label"}
    widget.grouping.setCurrentText("by tool class")  # the tool classes' view, the search kept
    widget.search.setText("ImageSegmenter")
    assert widget.visible_operations() == segmenter_methods()


def segmenter_methods():
    return [name for name, f in image_functions().items()
            if f.tool_method and f.tool_method[0].__name__ == "ImageSegmenter"]


def test_titles_and_descriptions_are_readable(viewer_widget):
    _, widget = viewer_widget
    titles = [item.text(0) for _, item in widget.operation_items()]
    assert "Gaussian blur" in titles and "Non-local means denoising" in titles
    assert all("_" not in title for title in titles), titles
    widget.select("nlm_blur")
    assert "working copy" not in widget.summary.text() and "2^16" not in widget.summary.text()


@pytest.mark.parametrize("name", [name for name, function in image_functions().items() if function.gives_image])
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


@pytest.mark.parametrize("name, settings, scipy_call", [
    ("gaussian_filter", {"sigma": 1.0}, lambda v: ndi.gaussian_filter(v, (0.5, 2.0, 2.0))),  # sigma in µm
    ("gaussian_filter", {"sigma": 1.0, "spacing": "1, 1, 1"}, lambda v: ndi.gaussian_filter(v, 1.0)),
    ("gaussian_filter", {"sigma": 2.0, "spacing": "4"}, lambda v: ndi.gaussian_filter(v, 0.5)),
    ("median_filter", {"size": 3}, lambda v: ndi.median_filter(v, 3)),
    ("uniform_filter", {"size": 5}, lambda v: ndi.uniform_filter(v, 5)),
])
def test_volume_filters_filter_across_planes_with_the_layers_scale(qtbot, viewer_widget, name, settings,
                                                                   scipy_call):
    viewer, widget = viewer_widget
    data = ramp((24, 30, 40), np.uint16)  # more planes than a plane-by-plane run's parts
    viewer.add_image(data, scale=(2.0, 0.5, 0.5), units=("um",) * 3, name="stack")
    widget.select(name)
    for key, value in settings.items():
        widget.controls[key].value = value
    run_and_wait(qtbot, widget)
    assert_same_array(np.asarray(viewer.layers[-1].data), scipy_call(data))


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


def test_plugin_dock_widget_by_the_distributions_name(make_napari_viewer):
    viewer = make_napari_viewer()
    _, panel = viewer.window.add_plugin_dock_widget("pictor-lumenops")
    assert isinstance(panel, PictorWidget)


@pytest.mark.parametrize("lazy", [False, True], ids=["numpy levels", "dask levels"])
def test_multiscale_layer_runs_on_full_resolution_and_rebuilds_the_levels(qtbot, viewer_widget, lazy):
    import dask.array as da

    viewer, widget = viewer_widget
    full = ramp((3, 64, 96), np.uint16)
    pyramid = [full, full[:, ::2, ::2], full[:, ::4, ::4]]
    if lazy:
        pyramid = [da.from_array(level, chunks=(1, 32, 48)) for level in pyramid]
    source = viewer.add_image(pyramid, multiscale=True, scale=(1.0, 0.5, 0.5), colormap="green")
    widget.select("adaptive_threshold_segmentation")  # a mask, so its levels are labels too
    run_and_wait(qtbot, widget)
    result = viewer.layers[-1]
    assert type(result).__name__ == "Labels" and result.multiscale
    assert [level.shape for level in result.data] == [level.shape for level in source.data]
    assert isinstance(result.data[0], da.Array) == lazy
    expected = np.stack([pictor.adaptive_threshold_segmentation(plane) != 0 for plane in full]).astype(np.uint8)
    assert_same_array(np.asarray(result.data[0]), expected)
    assert_same_array(np.asarray(result.data[2]), expected[:, ::4, ::4])
    np.testing.assert_allclose(world_extent(result), world_extent(source))


@pytest.mark.parametrize("name, settings, source_pixel, result_pixel", [
    ("resize", {"scale": 3}, (1.0, 1.0), (0.0, 0.0)),      # 3 x 3 pixels, centred on the source's second
    ("crop", {"start_x": 7, "start_y": 4, "width": 10, "height": 12}, (4, 7), (0, 0)),
    ("rotate", {"angle": 0.0, "scale": 2.0}, (5, 9), (10, 18)),  # twice the pixels, the picture in place
    ("rotate", {"angle": 90.0}, (21, 24), (24, 21)),         # the centre stays
])
def test_geometry_results_lie_where_their_pixels_came_from(qtbot, viewer_widget, name, settings, source_pixel,
                                                           result_pixel):
    viewer, widget = viewer_widget
    source = viewer.add_image(ramp((2, 42, 48), np.uint16), scale=(1.0, 0.75, 0.5), translate=(0.0, 3.0, -2.0))
    widget.select(name)
    for key, value in settings.items():
        widget.controls[key].value = value
    run_and_wait(qtbot, widget)
    result = viewer.layers[-1]
    np.testing.assert_allclose(result.data_to_world((0,) + tuple(result_pixel)),
                               source.data_to_world((0,) + tuple(source_pixel)))


def test_mask_is_labels_of_value_one(qtbot, viewer_widget):
    viewer, widget = viewer_widget
    data = ramp((2, 30, 40), np.uint16)
    viewer.add_image(data)
    widget.select("maximum_inter_class_variance_segmentation")
    run_and_wait(qtbot, widget)
    result = viewer.layers[-1]
    expected = np.stack([pictor.maximum_inter_class_variance_segmentation(plane) for plane in data])
    assert type(result).__name__ == "Labels" and set(np.unique(result.data)) == {0, 1}
    assert_same_array(np.asarray(result.data), (expected == 65535).astype(np.uint8))


def test_threshold_is_a_mask_and_label_numbers_each_plane(qtbot, viewer_widget):
    viewer, widget = viewer_widget
    data = np.random.default_rng(2).random((2, 30, 40)) < 0.4
    viewer.add_image(data.astype(np.uint16) * 900 + 100)
    widget.select("threshold")
    widget.controls["method"].value = "li"
    run_and_wait(qtbot, widget)
    mask = viewer.layers[-1]
    assert type(mask).__name__ == "Labels" and set(np.unique(mask.data)) == {0, 1}
    assert_same_array(np.asarray(mask.data), data.astype(np.uint8))
    viewer.add_image(data.astype(np.uint8))  # the mask as an image layer, selected
    widget.select("label")
    widget.controls["connectivity"].value = 2
    run_and_wait(qtbot, widget)
    labels = viewer.layers[-1]
    assert type(labels).__name__ == "Labels"
    assert_same_array(np.asarray(labels.data), np.stack([pictor.label(plane, connectivity=2)[0] for plane in data]))


@pytest.mark.parametrize("lazy", [False, True], ids=["numpy", "dask"])
def test_threshold_level_tells_each_planes_level_and_adds_no_layer(qtbot, viewer_widget, monkeypatch, lazy):
    import dask.array as da

    viewer, widget = viewer_widget
    told = []
    monkeypatch.setattr(widget_module, "show_info", told.append)
    data = np.random.default_rng(4).integers(100, 4000, (3, 30, 40)).astype(np.uint16)
    viewer.add_image(da.from_array(data, chunks=(1, 15, 40)) if lazy else data, name="frames")
    widget.select("threshold_level")
    widget.controls["method"].value = "yen"
    run_and_wait(qtbot, widget)
    assert len(viewer.layers) == 1
    levels = ", ".join("{:g}".format(pictor.threshold_level(plane, method="yen")) for plane in data)
    assert told == ["frames threshold_level: levels of the 3 planes: " + levels]


@pytest.mark.parametrize("name, carried", [
    ("gaussian_blur", {"colormap", "blending", "contrast_limits"}),  # the same levels, smoothed
    ("auto_level", {"colormap", "blending"}),                       # stretched: its own contrast limits
])
def test_result_keeps_the_look_that_still_fits(qtbot, viewer_widget, name, carried):
    viewer, widget = viewer_widget
    source = viewer.add_image(ramp((30, 40), np.uint16), colormap="magenta", blending="additive",
                              contrast_limits=(1000, 20000))
    widget.select(name)
    run_and_wait(qtbot, widget)
    result = viewer.layers[-1]
    assert (result.colormap.name == source.colormap.name) == ("colormap" in carried)
    assert (result.blending == source.blending) == ("blending" in carried)
    assert (tuple(result.contrast_limits) == (1000, 20000)) == ("contrast_limits" in carried)


@pytest.mark.parametrize("metadata, per_channel", [({}, True), ({"rgb": True}, False)])
def test_16_bit_three_samples_are_channels_unless_the_layer_says_rgb(qtbot, viewer_widget, metadata, per_channel):
    viewer, widget = viewer_widget
    rng = np.random.default_rng(5)
    data = (rng.integers(0, 4096, (40, 50, 3)) * np.array([1, 4, 16])).astype(np.uint16)  # unlike channels
    source = viewer.add_image(data, metadata=metadata)  # napari guesses rgb from the shape
    assert source.rgb
    widget.select("auto_level")
    run_and_wait(qtbot, widget)
    if per_channel:
        expected = np.stack([pictor.auto_level(np.ascontiguousarray(data[..., c])) for c in range(3)], axis=-1)
    else:
        expected = pictor.auto_level(np.ascontiguousarray(data[..., ::-1]))[..., ::-1]
    assert_same_array(np.asarray(viewer.layers[-1].data), expected)


def test_cancel_mid_run_stops_and_adds_no_layer(qtbot, viewer_widget, monkeypatch):
    import threading

    viewer, widget = viewer_widget
    viewer.add_image(ramp((30, 20, 20), np.uint8))
    parts, cancelled = [], threading.Event()
    call = LayerCall.call

    def part_waiting_for_cancel(self, function, data, axes):
        parts.append(len(data))
        if len(parts) == 2:  # the second part waits until Cancel has been pressed
            assert cancelled.wait(RESULT_TIMEOUT_MS / 1000)
        return call(self, function, data, axes)

    monkeypatch.setattr(LayerCall, "call", part_waiting_for_cancel)
    widget.select("median_blur")
    worker = widget.run()
    assert not widget.progress.isHidden() and widget.cancel_button.isEnabled()
    with qtbot.waitSignal(worker.aborted, timeout=RESULT_TIMEOUT_MS):
        qtbot.waitUntil(lambda: len(parts) == 2, timeout=RESULT_TIMEOUT_MS)
        widget.cancel()
        cancelled.set()
    qtbot.waitUntil(widget.run_button.isEnabled, timeout=RESULT_TIMEOUT_MS)
    assert len(parts) == 2 < LayerCall(pictor.median_blur, np.zeros((30, 20, 20), np.uint8), "YX", {}).steps
    assert len(viewer.layers) == 1 and widget.progress.isHidden()


def test_pixel_keywords_show_the_layers_units(viewer_widget):
    viewer, widget = viewer_widget
    viewer.add_image(ramp((30, 40), np.uint16), scale=(0.25, 0.25), units=("um", "um"))
    widget.select("gaussian_blur")
    widget.controls["ksize"].value = 9
    assert widget.controls["ksize"].label == "Kernel size (= 2.25 µm)"
