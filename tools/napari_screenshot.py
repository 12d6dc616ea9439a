"""Saves docs/napari.png: the viewer with the pictor widget docked, the 12-bit
sample frame and its full-depth Gaussian blur beside the 8-bit working copy's.

Run in the napari environment on a display (make screenshot uses Xvfb):
    python tools/napari_screenshot.py [OUTPUT]
"""

import sys
from pathlib import Path

import napari
from qtpy.QtCore import Qt
from qtpy.QtWidgets import QApplication

from pictor.napari._sample_data import fluorescence_12bit
from pictor.napari._widget import PictorWidget

OUTPUT = Path(__file__).resolve().parent.parent / "docs" / "napari.png"
WINDOW_SIZE = (1500, 820)
DOCK_WIDTH = 430


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
    widget = PictorWidget(viewer)
    dock = viewer.window.add_dock_widget(widget, name="pictor", area="right")
    (data, options, _), = fluorescence_12bit()
    source = viewer.add_image(data, **options)
    widget.select("gaussian_blur")
    widget.controls["ksize"].value = 9
    for depth in ("working", "full"):
        viewer.layers.selection.active = source
        widget.controls["depth"].value = depth
        run_and_wait(widget)
        viewer.layers[-1].contrast_limits = options["contrast_limits"]
        viewer.layers[-1].name += " (depth={})".format(depth)
    viewer.grid.enabled = True
    viewer.grid.shape = (1, 3)
    window = viewer.window._qt_window
    window.resize(*WINDOW_SIZE)
    QApplication.processEvents()  # docks resize only once the window is laid out
    window.resizeDocks([dock], [DOCK_WIDTH], Qt.Horizontal)
    QApplication.processEvents()
    viewer.reset_view()
    Path(output).parent.mkdir(parents=True, exist_ok=True)
    viewer.screenshot(str(output), canvas_only=False)
    viewer.close()
    print("wrote", output)


if __name__ == "__main__":
    main(*sys.argv[1:])
