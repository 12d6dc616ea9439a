"""The "pictor" dock widget: choose an operation, set its keywords, run it on
the selected image layer.

Operations, families and keyword controls all come from the checked functions
(pictor.functions.image_functions(), read from the stubs' declarations), the
same source as `pictor doc`, so nothing here lists an operation or a range.
"""

import math

from magicgui import widgets
from napari.layers import Image
from napari.qt.threading import create_worker
from napari.utils.notifications import show_error, show_info
from qtpy.QtCore import Qt
from qtpy.QtWidgets import QLabel, QLineEdit, QPushButton, QTreeWidget, QTreeWidgetItem, QVBoxLayout, QWidget

from pictor.functions import image_functions
from pictor.napari._planes import LayerCall

# A spin box without a declared range still needs bounds of its own.
UNBOUNDED_INT = 2 ** 31 - 1
UNBOUNDED_REAL = 1e12
# Arrow steps of a float box: about a thousandth of its range.
REAL_STEPS = 1000
OPERATION_ROLE = Qt.UserRole


def keyword_control(keyword):
    """The magicgui control for one declared keyword, set to its default."""
    options = {"name": keyword.name, "label": keyword.name, "value": keyword.default}
    if keyword.choices:
        return widgets.ComboBox(choices=list(keyword.choices), **options)
    if keyword.kind == "int":
        low, high = (keyword.low, keyword.high) if keyword.low is not None else (-UNBOUNDED_INT, UNBOUNDED_INT)
        return widgets.SpinBox(min=low, max=high, step=keyword.step or 1, **options)
    if keyword.kind == "Real":
        low, high = (keyword.low, keyword.high) if keyword.low is not None else (-UNBOUNDED_REAL, UNBOUNDED_REAL)
        step = keyword.step or 10.0 ** math.floor(math.log10((high - low) / REAL_STEPS))
        options["value"] = float(keyword.default)
        return widgets.FloatSpinBox(min=low, max=high, step=step, **options)
    return widgets.LineEdit(**options)


def control_value(keyword, value):
    """A float box's whole number passed as an int, as typing it would: NumPy
    1.x widens an integer array times 2.0, not times 2."""
    if keyword.kind == "Real" and isinstance(value, float) and value.is_integer():
        return int(value)
    return value


def outcome(call):
    """call.run() as (result, None), or (None, the error) when it fails: a
    worker's own error signal would also reach napari's traceback dialog."""
    try:
        return (yield from call.run()), None
    except Exception as error:  # any failure of the libraries, shown as a notification
        return None, error


class PictorWidget(QWidget):
    def __init__(self, napari_viewer):
        super().__init__()
        self.viewer = napari_viewer
        self.functions = image_functions()
        self.function = None
        self.worker = None

        self.search = QLineEdit(placeholderText="search operations")
        self.search.textChanged.connect(self.filter_operations)
        self.operations = QTreeWidget()
        self.operations.setHeaderHidden(True)
        self.fill_operations()
        self.operations.currentItemChanged.connect(self.operation_changed)
        self.summary = QLabel(wordWrap=True)
        self.controls = widgets.Container(labels=True)
        self.run_button = QPushButton("Run")
        self.run_button.clicked.connect(self.run)

        layout = QVBoxLayout(self)
        for part in (self.search, self.operations, self.summary, self.controls.native, self.run_button):
            layout.addWidget(part)
        self.select(next(iter(self.functions)))

    def fill_operations(self):
        families = {}
        for name, function in self.functions.items():
            family = function.tool_method[0].__name__
            if family not in families:
                families[family] = QTreeWidgetItem(self.operations, [family])
                families[family].setFlags(Qt.ItemIsEnabled)
            item = QTreeWidgetItem(families[family], [name])
            item.setData(0, OPERATION_ROLE, name)
            item.setToolTip(0, function.__doc__)
        self.operations.expandAll()

    def operation_items(self):
        root = self.operations.invisibleRootItem()
        for family in (root.child(i) for i in range(root.childCount())):
            for index in range(family.childCount()):
                yield family, family.child(index)

    def filter_operations(self, text):
        text = text.strip().lower()
        shown = set()
        items = list(self.operation_items())
        for family, item in items:
            hidden = text not in item.text(0).lower() and text not in family.text(0).lower()
            item.setHidden(hidden)
            if not hidden:
                shown.add(id(family))
        for family, _ in items:
            family.setHidden(id(family) not in shown)

    def visible_operations(self):
        return [item.data(0, OPERATION_ROLE) for family, item in self.operation_items()
                if not item.isHidden() and not family.isHidden()]

    def select(self, name):
        """Choose an operation by name, as a click in the list does."""
        for _, item in self.operation_items():
            if item.data(0, OPERATION_ROLE) == name:
                self.operations.setCurrentItem(item)
                return
        raise KeyError(name)

    def operation_changed(self, item, _previous=None):
        name = item.data(0, OPERATION_ROLE) if item is not None else None
        if name is None:
            return
        self.function = self.functions[name]
        paragraphs = self.function.__doc__.split("\n\n")
        # What the method does, and what depth="full" changes for uint16 images.
        shown = [paragraphs[0]] + [p for p in paragraphs if p.startswith("At full depth")]
        self.summary.setText(" ".join(" ".join(shown).split()))
        self.summary.setToolTip(self.function.__doc__)
        self.controls.clear()
        for keyword in self.function.keywords.values():
            self.controls.append(keyword_control(keyword))

    def keywords(self):
        return {control.name: control_value(self.function.keywords[control.name], control.value)
                for control in self.controls}

    def source_layer(self):
        layer = self.viewer.layers.selection.active
        if not isinstance(layer, Image):
            raise ValueError("select an image layer to run {} on".format(self.function.__name__))
        if layer.multiscale:
            raise ValueError("{}: multiscale layers are not supported; select one of its levels".format(layer.name))
        return layer

    def run(self):
        """Starts the operation on the selected layer in a worker thread and
        returns the worker, or reports why it cannot run and returns None."""
        try:
            layer = self.source_layer()
            call = LayerCall(self.function, layer.data, layer.rgb, self.keywords())
            call.check()
        except (TypeError, ValueError) as error:
            show_error(str(error))
            return None
        name = "{} {}".format(layer.name, self.function.__name__)
        progress = {"total": 0 if call.lazy else call.steps, "desc": name}
        self.worker = create_worker(outcome, call, _progress=progress)
        self.worker.returned.connect(lambda result: self.add_result(layer, call, name, *result))
        self.run_button.setEnabled(False)
        self.worker.finished.connect(lambda: self.run_button.setEnabled(True))
        self.worker.start()
        return self.worker

    def add_result(self, source, call, name, data, error):
        if error is not None:
            show_error("{}: {}".format(name, error))
            return
        if data.size == 0:  # e.g. a crop outside the image
            show_error("{}: the result is empty (shape {})".format(name, tuple(data.shape)))
            return
        plane_ndim = data.ndim - len(call.leading)
        options = {"name": name, "scale": source.scale, "translate": source.translate}
        if call.is_mask(plane_ndim):
            self.viewer.add_labels(data, **options)
        else:
            colour = plane_ndim == 3
            self.viewer.add_image(data, rgb=colour, **options)
        if call.lazy:
            show_info("{}: lazy, computed plane by plane as shown".format(name))
