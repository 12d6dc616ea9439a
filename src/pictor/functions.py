"""The checked function API: one function per image method of the tool classes.

Each function is generated from the method's declaration in lumenops.pyi (its
keywords, their types, accepted ranges, docstring and full-depth description)
and its runtime signature (the defaults), so there is no second list to keep
in step. It checks what a person passes, then returns the tool method's array
unchanged, or, for a uint16 image of a method that the tool runs on its 8-bit
working copy, the full-depth result of pictor._full_depth (``depth="full"``,
the default).
"""

import ast
import difflib
import functools
import inspect
import math
import numbers
import textwrap
from pathlib import Path

import numpy as np

from pictor import _lookup, lumenops
from pictor import _native
from pictor import axes as _axes

STUB = Path(__file__).resolve().parent / "lumenops.pyi"
# Folder operations and helpers that do not map one image to another.
NOT_IMAGE_METHODS = {"crop_return"}
IMAGE_ARGUMENT = "img"
ACCEPTED_DTYPES = (np.uint8, np.uint16)
MASK_DTYPES = (np.bool_, np.uint8, np.uint16)
COLOUR_CHANNELS = 3
# Ranges with at most this many steps are listed value by value.
FEW_CHOICES = 10
DEPTH = "depth"
FULL_DEPTH, WORKING_DEPTH = "full", "working"
DOC_WIDTH = 79


class Keyword:
    """One keyword of a method: its type ('int' or 'Real') and accepted values."""

    def __init__(self, name, kind, default, low=None, high=None, low_open=False, step=None, choices=None,
                 per_axis=False):
        self.name, self.kind, self.default = name, kind, default
        self.low, self.high, self.low_open, self.step = low, high, low_open, step
        self.choices = choices
        self.per_axis = per_axis  # a value, or a sequence of one for each filtered axis

    def describe(self):
        """The accepted values in words, e.g. 'an integer from 0 to 999'."""
        if self.choices:
            return " or ".join(repr(choice) for choice in self.choices)
        noun = "an integer" if self.kind == "int" else "a number"
        if self.low is None:
            return noun
        if self.step and (self.high - self.low) / self.step <= FEW_CHOICES:
            choices = range(self.low, self.high + 1, self.step)
            noun = "one of " + ", ".join(str(choice) for choice in choices)
        elif self.step:
            noun += " in steps of {} from {} to {}".format(self.step, self.low, self.high)
        elif self.low_open:
            noun += " above {} up to {}".format(self.low, self.high)
        else:
            noun += " from {} to {}".format(self.low, self.high)
        return noun + (" (or one for each filtered axis)" if self.per_axis else "")

    def check(self, function_name, value):
        if value is None and self.default is None:
            return
        if self.per_axis and isinstance(value, (list, tuple)):
            for item in value:
                self.check_one(function_name, item)
            return
        self.check_one(function_name, value)

    def check_one(self, function_name, value):
        if self.choices:
            if not isinstance(value, str) or value not in self.choices:
                error = ValueError if isinstance(value, str) else TypeError
                raise error("{}(): {} must be {}, got {!r}".format(function_name, self.name, self.describe(), value))
            return
        wanted = numbers.Integral if self.kind == "int" else numbers.Real
        if isinstance(value, bool) or not isinstance(value, wanted):
            raise TypeError("{}(): {} must be {}, got {} {!r}".format(
                function_name, self.name, self.describe(), type(value).__name__, value))
        if self.low is None:
            return
        try:
            number = float(value)
        except OverflowError:  # an integer beyond any float is beyond every range
            number = math.inf
        inside = (math.isfinite(number) and number <= self.high
                  and (number > self.low if self.low_open else number >= self.low))
        if inside and self.step:
            inside = (number - self.low) % self.step == 0
        if not inside:
            raise ValueError("{}(): {} must be {}, got {!r}".format(function_name, self.name, self.describe(), value))


class Declaration:
    """What the stubs say about one method."""

    def __init__(self, node):
        self.name = node.name
        self.doc = ast.get_docstring(node) or ""
        self.grey_only = self.eight_bit_copy = False
        self.full_depth = None  # what the function computes for uint16 images instead of the working copy
        self.route = _native.declared_route(node)  # (route name, terms): how it runs in pieces
        self.kinds = {}
        for argument in node.args.kwonlyargs:
            if argument.arg == "src":
                self.grey_only = "_Grey" in ast.dump(argument.annotation)
                self.eight_bit_copy = "_EightBitCopy" in ast.dump(argument.annotation)
                self.full_depth = full_depth_description(argument.annotation)
                continue
            self.kinds[argument.arg] = read_annotation(argument.annotation)


def full_depth_description(annotation):
    """The text of `_EightBitCopy(full_depth="...")` in a src annotation, or None."""
    for node in ast.walk(annotation):
        if isinstance(node, ast.Call) and getattr(node.func, "id", "") == "_EightBitCopy":
            for keyword in node.keywords:
                if keyword.arg == "full_depth":
                    return " ".join(ast.literal_eval(keyword.value).split())
    return None


def read_annotation(annotation):
    """(kind, range keywords) of `int`, `Real`, `Annotated[str, _Choices(...)]`
    or `Annotated[kind, _Range(...)]`, followed by `_PerAxis` for a value per
    filtered axis."""
    if isinstance(annotation, ast.Name):
        return annotation.id, {}
    form = getattr(annotation.value, "id", "") if isinstance(annotation, ast.Subscript) else ""
    if form == "Optional":  # None, or what it wraps
        inner = annotation.slice
        return read_annotation(inner.value if type(inner).__name__ == "Index" else inner)  # 3.8 wraps it
    if form != "Annotated":
        return "any", {}
    pieces = annotation.slice
    pieces = getattr(pieces, "value", pieces)  # Python 3.8 wraps the tuple in ast.Index
    kind, metadata = pieces.elts[0].id, pieces.elts[1]
    if getattr(metadata.func, "id", "") == "_Choices":
        return kind, {"choices": tuple(ast.literal_eval(value) for value in metadata.args)}
    low, high = (ast.literal_eval(value) for value in metadata.args)
    limits = {"low": low, "high": high}
    limits.update((keyword.arg, ast.literal_eval(keyword.value)) for keyword in metadata.keywords)
    if any(getattr(piece, "id", "") == "_PerAxis" for piece in pieces.elts[2:]):
        limits["per_axis"] = True
    return kind, limits


@functools.lru_cache(maxsize=None)
def stub_declarations():
    """{(class name, method name): Declaration} of every public method in the stubs."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    found = {}
    for cls in tree.body:
        if isinstance(cls, ast.ClassDef):
            for node in cls.body:
                if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
                    found[(cls.name, node.name)] = Declaration(node)
    return found


def tool_classes():
    return [value for value in vars(lumenops).values()
            if isinstance(value, type) and issubclass(value, lumenops.SingletonBase)
            and value is not lumenops.SingletonBase]


def check_image(function_name, image, grey_only, mask=False):
    if not isinstance(image, np.ndarray):
        raise TypeError("{}(): {} must be a NumPy array of uint8 or uint16 samples, got {}".format(
            function_name, IMAGE_ARGUMENT, type(image).__name__))
    check_image_layout(function_name, image.dtype, image.shape, grey_only, mask)


def check_image_layout(function_name, dtype, shape, grey_only, mask=False):
    """The sample type and shape of an image (or of a mask), in memory or lazy."""
    if dtype not in (MASK_DTYPES if mask else ACCEPTED_DTYPES):
        accepted = "bool, uint8 or uint16" if mask else "uint8 or uint16"
        raise TypeError("{}(): {} has dtype {}; accepted: {} (scale and convert float data first)"
                        .format(function_name, IMAGE_ARGUMENT, dtype, accepted))
    accepted = "(height, width)" if grey_only else "(height, width) grey or (height, width, 3) colour"
    shape_ok = len(shape) == 2 or (not grey_only and len(shape) == 3 and shape[2] == COLOUR_CHANNELS)
    if not shape_ok or 0 in shape:
        raise ValueError("{}(): {} has shape {}; accepted: {} with at least one pixel".format(
            function_name, IMAGE_ARGUMENT, tuple(shape), accepted))


def check_keywords(function_name, keywords, given):
    """Every given keyword is one of `keywords` ({name: Keyword}) with an accepted value."""
    for name, value in given.items():
        if name not in keywords:
            refuse_unknown_keyword(function_name, name, keywords)
        keywords[name].check(function_name, value)


def computes_full_depth(function, dtype, given):
    """Whether the function computes this image at full depth (else it is the tool method's array)."""
    return function.full_depth and given.get(DEPTH, FULL_DEPTH) == FULL_DEPTH and dtype == np.uint16


def declared_keywords(cls, method_name, declaration):
    """{name: Keyword} of the method's keywords, with the runtime defaults."""
    keywords = {}
    for parameter in inspect.signature(getattr(cls, method_name)).parameters.values():
        if parameter.kind is parameter.KEYWORD_ONLY and parameter.name != "src":
            kind, limits = declaration.kinds.get(parameter.name, ("any", {}))
            keywords[parameter.name] = Keyword(parameter.name, kind, parameter.default, **limits)
    return keywords


def refuse_unknown_keyword(function_name, name, keywords):
    close = difflib.get_close_matches(name, list(keywords), n=1)
    hint = "; did you mean '{}'?".format(close[0]) if close else ""
    known = ", ".join(keywords) or "none"
    raise TypeError("{}() got an unexpected keyword argument '{}'{} (keywords: {})".format(
        function_name, name, hint, known))


def function_doc(cls, method_name, declaration, keywords):
    same = "Same as {}().{}(src=img, ...)".format(cls.__name__, method_name)
    lines = [declaration.doc, "", same + (" for uint8 images." if declaration.full_depth else ".")]
    if declaration.full_depth:
        lines += ["", "At full depth (depth='full', the default), a uint16 image is computed at 16 bits:",
                  textwrap.fill(declaration.full_depth, DOC_WIDTH),
                  "", "depth='working' returns the tool method's array: a uint16 image is reduced to",
                  "256 levels (v // 257) first, so finer 16-bit detail does not reach the result."]
    elif declaration.eight_bit_copy:
        lines += ["", "Its result is 8-bit by design, at any depth: a uint16 image is reduced to",
                  "256 levels (v // 257) first."]
    if keywords:
        lines += ["", "Keywords:"]
        lines += ["    {} = {!r}: {}".format(k.name, k.default, k.describe()) for k in keywords.values()]
    return "\n".join(lines)


def make_function(cls, method_name, declaration):
    keywords = declared_keywords(cls, method_name, declaration)
    if declaration.full_depth:
        keywords[DEPTH] = Keyword(DEPTH, "str", FULL_DEPTH, choices=(FULL_DEPTH, WORKING_DEPTH))

    def function(img, /, *, axes=None, **given):
        check_keywords(method_name, keywords, given)
        axes = _axes.checked_axes(method_name, img, axes, declaration.grey_only)
        if axes is None:
            check_image(method_name, img, declaration.grey_only)
            return plane_step(img.dtype, given)(img)
        # A stack is checked once; its planes go straight to the step.
        check_image_layout(method_name, img.dtype, _axes.plane_shape(img.shape, axes), declaration.grey_only)
        return _axes.run_planes(img, axes, plane_step(img.dtype, given), plane_step_into(img.dtype, given),
                                planes_step_into(img.dtype, given))

    def plane_step(dtype, given):
        """The call that computes one checked plane of DTYPE samples with the checked keywords GIVEN."""
        if computes_full_depth(function, dtype, given):
            return _native.full_depth(method_name).bound(with_defaults(given))
        tool_method = getattr(_lookup.singleton(cls), method_name)
        tool_keywords = {name: value for name, value in given.items() if name != DEPTH}
        return lambda plane: tool_method(src=plane, **tool_keywords)

    def plane_step_into(dtype, given):
        """plane_step writing into a given array of the result's shape and type, where the
        full-depth module has such a variant; else None."""
        return native_step(dtype, given, _native.INTO)

    def planes_step_into(dtype, given):
        """The step of a stack of grey planes (n, Y, X) into a uint16 array of its shape, where
        the full-depth module (at full depth) or the chunked one (else) has one; else None."""
        return native_step(dtype, given, _native.PLANES_INTO)

    def native_step(dtype, given, form):
        if computes_full_depth(function, dtype, given):
            step = _native.full_depth(method_name, form)
        else:
            step = _native.chunked(method_name, form) if form == _native.PLANES_INTO else None
        return None if step is None else step.bound(with_defaults(given))

    def with_defaults(given):
        return {name: given.get(name, keyword.default) for name, keyword in keywords.items()}

    function.__signature__ = signature_of(keywords)
    function.__name__ = function.__qualname__ = method_name
    function.__module__ = "pictor"
    function.__doc__ = function_doc(cls, method_name, declaration, keywords) + "\n" + _axes.DOC
    function.tool_method = (cls, method_name)
    function.keywords = keywords
    function.grey_only = declaration.grey_only
    function.check_layout = functools.partial(check_image_layout, method_name, grey_only=declaration.grey_only,
                                              mask=False)
    function.mask = function.counted = False  # images, and an image comes back
    function.gives_image = True
    function.eight_bit_copy = declaration.eight_bit_copy
    function.full_depth = declaration.full_depth is not None
    function.description = declaration.doc  # the operation's own description, before the shared paragraphs
    # The operation's own words (without the paragraphs every function shares), for searches.
    function.own_words = " ".join([method_name, declaration.doc, declaration.full_depth or ""] + list(keywords))
    return function


def signature_of(keywords):
    """A function's signature: the image positional, its keywords, then axes."""
    parameters = [inspect.Parameter(IMAGE_ARGUMENT, inspect.Parameter.POSITIONAL_ONLY)]
    parameters += [inspect.Parameter(keyword.name, inspect.Parameter.KEYWORD_ONLY, default=keyword.default)
                   for keyword in keywords.values()]
    parameters.append(inspect.Parameter("axes", inspect.Parameter.KEYWORD_ONLY, default=None))
    return inspect.Signature(parameters)


@functools.lru_cache(maxsize=None)
def image_functions():
    """{name: function} for every image method of the tool classes, in their
    order, then the private native modules' own: the package's functions,
    built once."""
    declarations = stub_declarations()
    functions = {}
    for cls in tool_classes():
        for name, value in vars(cls).items():
            if name.startswith("_") or not callable(value) or name in NOT_IMAGE_METHODS:
                continue
            if "src" not in inspect.signature(value).parameters:
                continue
            functions[name] = make_function(cls, name, declarations[(cls.__name__, name)])
    functions.update(module_functions())
    return functions


def package_functions():
    """{name: function} of every function of the package: the tool methods'
    and the volume filters (pictor.volumes), which are no tool method."""
    from pictor.volumes import volume_functions

    return {**image_functions(), **volume_functions()}


# --- package functions of the private native modules ------------------------------------------
#
# A private native module (pictor._native.MODULES) lends the package the
# functions that its stub names in __all__: each is declared there as the
# tools' methods are in lumenops.pyi (its image positional, its keywords
# annotated with their ranges or choices, their defaults, its docstring), and
# called with its keywords in their declared order on each plane. Their routes
# in pieces are the catalogue's (pictor.chunks), under "pictor.NAME".

def module_functions():
    """{name: function} of the functions that the private modules' stubs declare."""
    return {native.name: make_module_function(native, node) for native, node in _native.package_declarations()}


class ModuleDeclaration:
    """What a private module's stub says about one of its package functions."""

    def __init__(self, node):
        self.name = node.name
        self.doc = ast.get_docstring(node) or ""
        image = ast.dump(node.args.posonlyargs[0].annotation)
        self.grey_only, self.mask = "_Grey" in image, "_Mask" in image
        returns = ast.dump(node.returns)
        self.gives_image = "NDArray" in returns  # else a number (of each plane)
        self.counted = self.gives_image and "Tuple" in returns  # (image, count)
        self.keywords = {}
        arguments = node.args.args + node.args.kwonlyargs  # the image is positional only
        defaults = [None] * (len(node.args.args) - len(node.args.defaults)) + node.args.defaults
        for argument, default in zip(arguments, defaults + node.args.kw_defaults):
            if argument.arg == "axes":  # every function's own
                continue
            kind, limits = read_annotation(argument.annotation)
            value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
            self.keywords[argument.arg] = Keyword(argument.arg, kind, value, **limits)


def stub_functions(stub):
    """{name: ModuleDeclaration} of the functions that a stub declares at its top level."""
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    return {node.name: ModuleDeclaration(node) for node in tree.body if isinstance(node, ast.FunctionDef)}


def make_module_function(native_function, node):
    declaration = ModuleDeclaration(node)
    name, keywords = declaration.name, declaration.keywords

    def function(img, /, *, axes=None, **given):
        check_keywords(name, keywords, given)
        native = native_function.bound({key: given.get(key, keyword.default) for key, keyword in keywords.items()})
        axes = _axes.checked_axes(name, img, axes, declaration.grey_only)
        if axes is None:
            check_image(name, img, declaration.grey_only, declaration.mask)
            return native(img)
        check_image_layout(name, img.dtype, _axes.plane_shape(img.shape, axes), declaration.grey_only,
                           declaration.mask)
        return _axes.run_planes_with_numbers(img, axes, native)

    function.__signature__ = signature_of(keywords)
    function.__name__ = function.__qualname__ = name
    function.__module__ = "pictor"
    lines = [declaration.doc]
    if keywords:
        lines += ["", "Keywords:"]
        lines += ["    {} = {!r}: {}".format(k.name, k.default, k.describe()) for k in keywords.values()]
    function.__doc__ = "\n".join(lines) + "\n" + _axes.DOC
    function.tool_method = None
    function.native = repr(native_function)
    function.keywords = keywords
    function.grey_only, function.mask = declaration.grey_only, declaration.mask
    function.check_layout = functools.partial(check_image_layout, name, grey_only=declaration.grey_only,
                                              mask=declaration.mask)
    function.gives_image, function.counted = declaration.gives_image, declaration.counted
    function.eight_bit_copy = function.full_depth = False
    function.description = declaration.doc
    function.own_words = " ".join([name, declaration.doc] + list(keywords))
    return function
