"""The catalogue: every operation's route, and the one choice between an
operation's tool method and its full-depth function.

Operations are named as the blocks call them: "Class.method" for a tool
method (the 8-bit working copy where the tool keeps one), "pictor.NAME" for
the package's function NAME at full depth. Each route is declared once, with
the operation, by ``@_Route(name, **terms)`` in the stubs (lumenops.pyi for
the tool methods, a private module's stub for its package functions); a
full-depth function's route is its tool method's at full depth
(Route.at_full_depth), for every function that the declarations say computes
uint16 images at 16 bits. This module holds only the rules that a term names:
halos, working-level tables and result shapes.
"""

import functools

import pictor._chunked as _chunked  # registered by lumenops
from pictor import _lookup, _native, functions, lumenops
from pictor.chunks import blocks
from pictor.chunks.keywords import abs_odd_half, counted_low_threshold, integer, odd, plain_real, real
from pictor.chunks.routes import ROUTE_CLASSES, Volume


# Halos (rows) of the neighbourhood operations, from their keywords, by the
# names their declarations give them (halo="...").
def _gaussian_halo_from_sigma(sigma):
    return int(round(abs(real(sigma)) * 4)) + 2


def _nlm_halo(keywords):
    return abs_odd_half(keywords["template_win"]) + abs_odd_half(keywords["search_win"]) + 1


def _bilateral_halo(keywords):
    return max(abs_odd_half(keywords["ksize"]), int(round(abs(real(keywords["sigma_space"])) * 1.5)) + 1)


def _blend_halo(keywords):
    largest = (abs(odd(keywords["init_ksize"]))
               + abs(integer(keywords["step_ksize"])) * max(integer(keywords["multi_scale"]), 0))
    return largest // 2 + 1


HALO_RULES = {
    "multi-scale blend": _blend_halo,
    "non-local means": _nlm_halo,
    "bilateral": _bilateral_halo,
    "glow": lambda keywords: abs(integer(keywords["radius"])) + 2,
    "shadow mask": lambda keywords: _gaussian_halo_from_sigma(50),  # the mask's blur of sigma 50
}


def _no_table_keywords(keywords):
    return ()


# (table of the working levels' counts, its arguments from the keywords), by
# the names the declarations give them (table="...").
WORKING_TABLES = {
    "equalisation": (blocks.equalisation_table, _no_table_keywords),
    "truncation stretch": (_chunked.truncation_stretch_table,
                           lambda k: (plain_real(k["scale_l"]), plain_real(k["scale_r"]))),
    "histogram valley": (blocks.local_histogram_table, lambda k: (counted_low_threshold(k["low_thr"]),)),
    "maximum entropy": (blocks.entropy_table, _no_table_keywords),
    "inter-class variance": (blocks.threshold_table, _no_table_keywords),
}


# Result shapes of the one-block operations that change it (shape="...").
def _rotated_shape(shape, keywords):
    import cv2

    height, width = shape[:2]
    matrix = cv2.getRotationMatrix2D((width // 2, height // 2), real(keywords["angle"]), real(keywords["scale"]))
    cos, sin = abs(matrix[0, 0]), abs(matrix[0, 1])
    return (int(height * cos + width * sin), int(height * sin + width * cos)) + tuple(shape[2:])


def _scaled_down_shape(shape, keywords):
    height, width = shape
    scale = integer(keywords["scale"])
    return (height // scale, width // scale)


def _plane_shape(shape, keywords):
    return tuple(shape[:2])


RESULT_SHAPES = {"rotated": _rotated_shape, "scaled down": _scaled_down_shape, "plane": _plane_shape}
ROUTE_NAMED = {cls.name: cls for cls in ROUTE_CLASSES}


def _constant_halo(rows):
    return lambda keywords: rows


def _half_side(keyword):
    return lambda keywords: abs_odd_half(keywords[keyword])


def declared_route(name, terms):
    """The Route that a declaration's @_Route(name, **terms) states: the
    route class of that name, given the terms, with each rule they name."""
    terms = dict(terms)
    if "side" in terms:
        terms["halo"] = _half_side(terms.pop("side"))
    elif isinstance(terms.get("halo"), int):
        terms["halo"] = _constant_halo(terms["halo"])
    elif "halo" in terms:
        terms["halo"] = HALO_RULES[terms["halo"]]
    if "table" in terms:
        terms["table"], terms["table_keywords"] = WORKING_TABLES[terms["table"]]
    if "shape" in terms:
        terms["shape"] = RESULT_SHAPES[terms["shape"]]
    if "full_depth" in terms:
        terms["full_depth"] = declared_route(terms["full_depth"], {})
    return ROUTE_NAMED[name](**terms)


def _tool_routes():
    """{"Class.method": Route} of every tool method that maps an image to an
    image, as lumenops.pyi declares it."""
    return {"{}.{}".format(cls_name, method): declared_route(*declaration.route)
            for (cls_name, method), declaration in functions.stub_declarations().items() if declaration.route}


TOOL_ROUTES = _tool_routes()


def function_operation(name):
    """The operation name of the package's function NAME at full depth."""
    return _lookup.FUNCTIONS + "." + name


def _full_depth_routes():
    """{"pictor.NAME": Route} of every function declared to compute uint16 images at full depth."""
    routes = {}
    for name, function in functions.image_functions().items():
        if function.full_depth and getattr(function, "tool_method", None):
            cls, method = function.tool_method
            routes[function_operation(name)] = TOOL_ROUTES["{}.{}".format(cls.__name__, method)].at_full_depth()
    return routes


def _function_routes():
    """{"pictor.NAME": Route} of the package's functions that are no tool method:
    the private modules' own, as their stubs declare them
    (pictor.functions.module_functions), and the volume filters
    (pictor.volumes), which all take the volume route."""
    from pictor.volumes import volume_functions

    routes = {}
    for native, node in _native.package_declarations():
        route = _native.declared_route(node)
        if route:
            routes[function_operation(native.name)] = declared_route(*route)
    return dict(routes, **{function_operation(name): Volume(name) for name in volume_functions()})


FULL_DEPTH_ROUTES = _full_depth_routes()
ROUTES = dict(TOOL_ROUTES, **FULL_DEPTH_ROUTES, **_function_routes())


def operation_of(function, dtype, given):
    """(operation, keywords) by which the executors know the package's
    function called with the keywords given on images of dtype: its
    full-depth function's, or its tool method's. The one place where that
    choice is made."""
    tool_method = getattr(function, "tool_method", None)
    if tool_method is None or functions.computes_full_depth(function, dtype, given):
        operation = function_operation(function.__name__)
    else:
        operation = "{}.{}".format(tool_method[0].__name__, tool_method[1])
    return operation, {key: value for key, value in given.items() if key != functions.DEPTH}


@functools.lru_cache(maxsize=None)
def _defaults(operation):
    class_name, _, name = operation.partition(".")
    if class_name == _lookup.FUNCTIONS:
        keywords = functions.package_functions()[name].keywords
        return {key: keyword.default for key, keyword in keywords.items() if key != functions.DEPTH}
    import inspect

    parameters = inspect.signature(getattr(getattr(lumenops, class_name), name)).parameters
    return {key: p.default for key, p in parameters.items()
            if key != "src" and p.default is not inspect.Parameter.empty}


class Call:
    """One call of an operation on pieces: its route, the keywords given
    (which the blocks pass on, as the whole call gets them) and the keywords
    the call sees, defaults included (which the route reads)."""

    def __init__(self, operation, route, given):
        self.operation, self.route, self.given = operation, route, dict(given)
        self.keywords = dict(_defaults(operation), **given)

    def __repr__(self):
        return "Call({!r}, {})".format(self.operation, self.route.name)


def route_of(operation, given):
    """The Call of `operation` ("Class.method" or "pictor.NAME") with the
    keywords given; ValueError for an operation the catalogue does not hold."""
    route = ROUTES.get(operation)
    if route is None:
        raise ValueError("no chunked method {!r}; expected a function name or 'Class.method' of {}".format(
            operation, ", ".join(sorted(TOOL_ROUTES))))
    return Call(operation, route, given)


def route_of_function(function, dtype, given):
    """The Call of the package's function with the keywords given on images of dtype."""
    return route_of(*operation_of(function, dtype, given))
