"""The "pictor" panel: choose an operation, set its keywords, run it on the
selected image layer, watch its progress, cancel it.

Operations and keyword ranges come from the checked functions
(pictor.functions.image_functions(), read from the stubs' declarations), the
same source as `pictor doc`; pictor.napari._operations adds the tasks, titles
and labels people look for.

Scripting it:

    dock, panel = viewer.window.add_plugin_dock_widget("pictor-lumenops")
    panel.select("gaussian_blur")
    panel.controls["ksize"].value = 9
    worker = panel.run()          # on the selected layer; None (and a notification) if it cannot run
    panel.cancel()                # stops it at the next part of the stack; no layer is added
"""

import inspect
import math

from magicgui import widgets
from napari.layers import Image
from napari.qt.threading import create_worker
from napari.utils.notifications import show_error, show_info
from qtpy.QtCore import Qt
from qtpy.QtWidgets import (QComboBox, QHBoxLayout, QLabel, QLineEdit, QProgressBar, QPushButton, QTreeWidget,
                            QTreeWidgetItem, QVBoxLayout, QWidget)

from pictor.functions import package_functions
from pictor.napari import _operations as operations
from pictor.napari import _results as results
from pictor.napari._planes import IMAGE, LayerCall

# A spin box without a declared range still needs bounds of its own.
UNBOUNDED_INT = 2 ** 31 - 1
UNBOUNDED_REAL = 1e12
# Arrow steps of a float box: about a thousandth of its range.
REAL_STEPS = 1000
OPERATION_ROLE = Qt.UserRole
BY_TASK, BY_TOOL_CLASS = "by task", "by tool class"
PIXEL_UNIT = "pixel"
# A number people must give (a Gaussian's sigma) starts at this value.
REQUIRED_START = 1.0
# Separates the values of a per-axis keyword typed in a text box ("2, 0.5, 0.5").
VALUES_SEPARATOR = ","


def keyword_control(keyword):
    """The magicgui control for one declared keyword, set to its default."""
    options = {"name": keyword.name, "label": operations.keyword_title(keyword), "value": keyword.default,
               "tooltip": operations.keyword_tooltip(keyword)}
    if keyword.default is None:  # optional: blank, or the values typed
        return widgets.LineEdit(**dict(options, value=""))
    if keyword.default is inspect.Parameter.empty:
        options["value"] = max(REQUIRED_START, keyword.low or 0)
    if keyword.choices:
        return widgets.ComboBox(choices=list(keyword.choices), **options)
    if keyword.kind == "int":
        low, high = (keyword.low, keyword.high) if keyword.low is not None else (-UNBOUNDED_INT, UNBOUNDED_INT)
        return widgets.SpinBox(min=low, max=high, step=keyword.step or 1, **options)
    if keyword.kind == "Real":
        low, high = (keyword.low, keyword.high) if keyword.low is not None else (-UNBOUNDED_REAL, UNBOUNDED_REAL)
        step = keyword.step or 10.0 ** math.floor(math.log10((high - low) / REAL_STEPS))
        options["value"] = float(options["value"])
        return widgets.FloatSpinBox(min=low, max=high, step=step, **options)
    return widgets.LineEdit(**options)


def control_value(keyword, value):
    """A float box's whole number passed as an int, as typing it would: NumPy
    1.x widens an integer array times 2.0, not times 2. An optional number's
    text box gives None when blank, else its number or numbers."""
    if keyword.default is None and isinstance(value, str):
        numbers = [typed_number(text) for text in value.split(VALUES_SEPARATOR) if text.strip()]
        return None if not numbers else numbers[0] if len(numbers) == 1 else tuple(numbers)
    if keyword.kind == "Real" and isinstance(value, float) and value.is_integer():
        return int(value)
    return value


def typed_number(text):
    """A number typed in a text box; the text itself when it is none (the keyword's check then says so)."""
    try:
        return float(text)
    except ValueError:
        return text.strip()


def pixel_size(layer):
    """(size of a pixel along X, its unit) of the layer, or None when it is in pixels."""
    if layer is None:
        return None
    unit = layer.units[-1] if getattr(layer, "units", None) else PIXEL_UNIT
    size = float(layer.scale[-1])
    if str(unit) == PIXEL_UNIT:
        return None if size == 1 else (size, "px")
    return size, "{:~}".format(unit)  # micrometer as µm


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
        self.functions = package_functions()
        self.function = None
        self.worker = None

        self.search = QLineEdit(placeholderText="search operations (title or description)")
        self.search.textChanged.connect(self.filter_operations)
        self.grouping = QComboBox()
        self.grouping.addItems([BY_TASK, BY_TOOL_CLASS])
        self.grouping.currentTextChanged.connect(self.regroup)
        self.operations = QTreeWidget()
        self.operations.setHeaderHidden(True)
        self.operations.currentItemChanged.connect(self.operation_changed)
        self.summary = QLabel(wordWrap=True)
        self.controls = widgets.Container(labels=True)
        self.controls.changed.connect(self.show_physical_sizes)
        self.run_button = QPushButton("Run")
        self.run_button.clicked.connect(self.run)
        self.cancel_button = QPushButton("Cancel", enabled=False)
        self.cancel_button.clicked.connect(self.cancel)
        self.progress = QProgressBar(textVisible=True)
        self.progress.setFormat("%v of %m parts")
        self.progress.hide()

        search_row = QHBoxLayout()
        search_row.addWidget(self.search)
        search_row.addWidget(self.grouping)
        buttons = QHBoxLayout()
        buttons.addWidget(self.run_button)
        buttons.addWidget(self.cancel_button)
        layout = QVBoxLayout(self)
        layout.addLayout(search_row)
        for part in (self.operations, self.summary, self.controls.native):
            layout.addWidget(part)
        layout.addLayout(buttons)
        layout.addWidget(self.progress)
        self.viewer.layers.selection.events.active.connect(self.show_physical_sizes)
        self.fill_operations()
        self.select(next(iter(self.functions)))

    # ------------------------------------------------------------ the list

    def fill_operations(self):
        self.operations.clear()
        for group, names in operations.grouped(self.functions, self.grouping.currentText() == BY_TASK):
            group_item = QTreeWidgetItem(self.operations, [group])
            group_item.setFlags(Qt.ItemIsEnabled)
            for name in names:
                function = self.functions[name]
                item = QTreeWidgetItem(group_item, [operations.title_of(function)])
                item.setData(0, OPERATION_ROLE, name)
                item.setToolTip(0, "{}\n\npictor.{}".format(operations.description_of(function), name))
        self.operations.expandAll()
        self.filter_operations(self.search.text())

    def regroup(self, _grouping=None):
        chosen = self.function.__name__ if self.function is not None else None
        self.fill_operations()
        if chosen is not None:
            self.select(chosen)

    def operation_items(self):
        root = self.operations.invisibleRootItem()
        for group in (root.child(i) for i in range(root.childCount())):
            for index in range(group.childCount()):
                yield group, group.child(index)

    def filter_operations(self, text):
        """Shows the operations with every word of TEXT in their title,
        description or name (or in their group's name)."""
        words = text.lower().split()
        shown = set()
        items = list(self.operation_items())
        for group, item in items:
            found = operations.search_text(self.functions[item.data(0, OPERATION_ROLE)]) + " " + group.text(0).lower()
            hidden = not all(word in found for word in words)
            item.setHidden(hidden)
            if not hidden:
                shown.add(id(group))
        for group, _ in items:
            group.setHidden(id(group) not in shown)

    def visible_operations(self):
        return [item.data(0, OPERATION_ROLE) for group, item in self.operation_items()
                if not item.isHidden() and not group.isHidden()]

    def select(self, name):
        """Choose an operation by its function's name, as a click in the list does."""
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
        self.summary.setText(operations.description_of(self.function))
        self.summary.setToolTip(self.function.__doc__)
        self.controls.clear()
        for keyword in self.function.keywords.values():
            self.controls.append(keyword_control(keyword))
        self.show_physical_sizes()

    # ------------------------------------------------------------ keywords

    def keywords(self):
        return {control.name: control_value(self.function.keywords[control.name], control.value)
                for control in self.controls}

    def show_physical_sizes(self, *_):
        """Pixel keywords' labels say their size in the selected layer's units, where it has a scale."""
        size = pixel_size(self.viewer.layers.selection.active)
        for control in self.controls:
            if control.name not in operations.PIXEL_KEYWORDS:
                continue
            title = operations.keyword_title(self.function.keywords[control.name])
            control.label = title if size is None else "{} (= {:.4g} {})".format(
                title, control.value * size[0], size[1])

    # ------------------------------------------------------------ running

    def source_layer(self):
        layer = self.viewer.layers.selection.active
        if not isinstance(layer, Image):
            raise ValueError("select an image layer to run {} on".format(self.function.__name__))
        return layer

    def run(self):
        """Starts the operation on the selected layer in a worker thread and
        returns the worker, or reports why it cannot run and returns None."""
        try:
            layer = self.source_layer()
            call = LayerCall.of_layer(self.function, layer, self.keywords())
            call.check()
        except (TypeError, ValueError) as error:
            show_error(str(error))
            return None
        name = "{} {}".format(layer.name, self.function.__name__)
        self.worker = create_worker(outcome, call)
        self.worker.yielded.connect(self.show_progress)
        self.worker.returned.connect(lambda result: self.add_result(layer, call, name, *result))
        self.worker.finished.connect(self.finished)
        self.run_button.setEnabled(False)
        self.cancel_button.setEnabled(True)
        self.progress.setRange(0, call.steps)
        self.progress.setValue(0)
        self.progress.show()
        self.worker.start()
        return self.worker

    def show_progress(self, done_of):
        done, total = done_of
        self.progress.setRange(0, total)
        self.progress.setValue(done)

    def cancel(self):
        """Stops the running operation after the part of the stack in hand; it adds no layer."""
        if self.worker is not None:
            self.worker.quit()
            self.cancel_button.setEnabled(False)

    def finished(self):
        self.worker = None
        self.progress.hide()
        self.cancel_button.setEnabled(False)
        self.run_button.setEnabled(True)

    def add_result(self, source, call, name, data, error):
        if error is not None:
            show_error("{}: {}".format(name, error))
            return
        if not call.function.gives_image:
            show_info("{}: {}".format(name, results.levels_text(data)))
            return
        if 0 in data.shape:  # e.g. a crop outside the image
            show_error("{}: the result is empty (shape {})".format(name, tuple(data.shape)))
            return
        kind = call.result_kind(data)
        colour = source.rgb and data.ndim == source.ndim + 1
        plane = len(call.leading)
        scale, translate = results.placement(self.function, call.keywords, source.scale, source.translate,
                                             call.data.shape[plane:plane + 2], data.shape[plane:plane + 2])
        options = {"name": name, "scale": scale, "translate": translate, "units": source.units}
        levels = data
        if source.multiscale:
            levels = results.rebuilt_levels(data, [level.shape for level in source.data], source.ndim)
            options["multiscale"] = True
        layer_data = ([results.layer_data(level, kind) for level in levels] if source.multiscale
                      else results.layer_data(levels, kind))
        if kind == IMAGE:
            options.update(results.display_options(source, self.function, kind, data.dtype, colour))
            self.viewer.add_image(layer_data, rgb=colour, **options)
        else:
            self.viewer.add_labels(layer_data, **options)
        if call.lazy:
            show_info("{}: lazy, computed plane by plane as shown".format(name))
