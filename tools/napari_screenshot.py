"""Saves docs/napari.png: the viewer with the pictor panel docked, the 12-bit
nuclei z-stack, its full-depth median filter (the source's look carried over)
and the threshold of that as a labels mask drawn over it, at one plane.

Run in the napari environment on a display (make screenshot uses Xvfb):
    python tools/napari_screenshot.py [OUTPUT]
"""

import sys
from pathlib import Path

import napari
from qtpy.QtCore import Qt
from qtpy.QtWidgets import QApplication

from pictor.napari._sample_data import nuclei_stack_12bit

OUTPUT = Path(__file__).resolve().parent.parent / "docs" / "napari.png"
WINDOW_SIZE = (1500, 820)
DOCK_WIDTH = 430
SHOWN_PLANE = 12


def run_and_wait(widget):
    # Run is enabled again when the worker's finished signal reaches this
    # thread, which it does only through the event loop.
    widget.run()
    while not widget.run_button.isEnabled():
        QApplication.processEvents()
    for _ in range(10):  # let the result layer and the canvas settle
        QApplication.processEvents()


def main(output=OUTPUT):
    viewer = napari.Viewer(show=True, title="pictor in napari")
    dock, widget = viewer.window.add_plugin_dock_widget("pictor-lumenops")
    (data, options, _), = nuclei_stack_12bit()
    viewer.add_image(data, **options)
    widget.select("median_blur")
    widget.controls["ksize"].value = 7
    run_and_wait(widget)
    widget.select("maximum_inter_class_variance_segmentation")
    run_and_wait(widget)  # on the median, selected as napari selects a new layer
    viewer.layers[0].visible = False  # the median under its mask
    viewer.layers[-1].opacity = 0.45
    viewer.dims.set_point(0, SHOWN_PLANE * viewer.layers[0].scale[0])
    window = viewer.window._qt_window
    window.resize(*WINDOW_SIZE)
    QApplication.processEvents()  # docks resize only once the window is laid out
    window.resizeDocks([dock], [DOCK_WIDTH], Qt.Horizontal)
    QApplication.processEvents()
    viewer.reset_view()
    for _ in range(10):  # the canvas draws the new view
        QApplication.processEvents()
    Path(output).parent.mkdir(parents=True, exist_ok=True)
    viewer.screenshot(str(output), canvas_only=False)
    viewer.close()
    print("wrote", output)


if __name__ == "__main__":
    main(*sys.argv[1:])
