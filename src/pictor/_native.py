"""The private native modules' functions as their stubs declare them
(``_full_depth.pyi``, ``_chunked.pyi``, ``_segmentation.pyi`` beside this
file): which operation a function computes and in what form
(``@_Computes(operation, form)``), and the order of its arguments. Callers
name an operation and a form and pass the operation's keywords by name; the
native functions take them by position, in the declared order, which is
written nowhere else.

A stub's ``__all__`` names the functions that the package takes as its own
(pictor.functions reads their declarations: image, keywords with their
ranges or choices, defaults, description).
"""

import ast
import functools
import importlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The private native modules registered by lumenops, each with its stub here.
MODULES = ("_full_depth", "_chunked", "_segmentation")
RESULT, INTO, PLANES_INTO, TABLE = "result", "into", "planes_into", "table"
DECORATOR = "_Computes"
# How a package function runs in pieces, in lumenops.pyi and the modules' stubs alike.
ROUTE_DECORATOR = "_Route"


class NativeFunction:
    """One declared function: arrays positional (those annotated as arrays),
    the operation's keywords by name."""

    def __init__(self, module_name, name, operation, form, arrays, keywords):
        self.module_name, self.name, self.operation, self.form = module_name, name, operation, form
        self.arrays, self.keywords = arrays, keywords

    def __repr__(self):
        return "pictor.{}.{}".format(self.module_name, self.name)

    @property
    def native(self):
        return getattr(importlib.import_module("pictor." + self.module_name), self.name)

    def arguments(self, keywords):
        """The declared keywords' values, in the native function's order."""
        return [keywords[name] for name in self.keywords]

    def __call__(self, *arrays, **keywords):
        return self.native(*arrays, *self.arguments(keywords))

    def bound(self, keywords):
        """The function of its arrays alone, with these keywords."""
        native, arguments = self.native, self.arguments(keywords)
        return lambda *arrays: native(*arrays, *arguments)


def _is_array(annotation):
    return annotation is not None and any(
        isinstance(node, ast.Name) and node.id in ("NDArray", "_Image", "_Counts", "Image") for node in ast.walk(annotation))


def decorated(node, decorator_name):
    """(arguments, keyword arguments) of a stub declaration's
    @decorator_name(...), or None."""
    for decorator in node.decorator_list:
        if isinstance(decorator, ast.Call) and getattr(decorator.func, "id", "") == decorator_name:
            return ([ast.literal_eval(argument) for argument in decorator.args],
                    {keyword.arg: ast.literal_eval(keyword.value) for keyword in decorator.keywords})
    return None


def _computes(node):
    """(operation, form) of the function's @_Computes, or None."""
    declared = decorated(node, DECORATOR)
    if declared is None:
        return None
    values = declared[0]
    return values[0], values[1] if len(values) > 1 else RESULT


def declared_route(node):
    """(route name, its terms) of a declaration's @_Route(name, **terms): how
    the operation runs in pieces (pictor.chunks reads it); None without one."""
    declared = decorated(node, ROUTE_DECORATOR)
    return None if declared is None else (declared[0][0], declared[1])


@functools.lru_cache(maxsize=None)
def stub_tree(module_name):
    return ast.parse((HERE / (module_name + ".pyi")).read_text(encoding="utf-8"))


def stub_functions(module_name):
    """{name: NativeFunction} of every function the module's stub declares."""
    found = {}
    for node in stub_tree(module_name).body:
        if isinstance(node, ast.FunctionDef):
            operation, form = _computes(node) or (None, None)
            parameters = node.args.posonlyargs + node.args.args + node.args.kwonlyargs
            arrays = [p.arg for p in parameters if _is_array(p.annotation)]
            keywords = [p.arg for p in parameters if not _is_array(p.annotation)]
            found[node.name] = NativeFunction(module_name, node.name, operation, form, arrays, keywords)
    return found


@functools.lru_cache(maxsize=None)
def _forms():
    """{(module name, operation, form): NativeFunction} of every declared form."""
    return {(function.module_name, function.operation, function.form): function
            for module_name in MODULES for function in stub_functions(module_name).values()
            if function.operation is not None}


def full_depth(operation, form=RESULT):
    """pictor._full_depth's function computing the operation in this form, or None."""
    return _forms().get(("_full_depth", operation, form))


def chunked(operation, form):
    """pictor._chunked's function computing the tool method's operation in this form, or None."""
    return _forms().get(("_chunked", operation, form))


def package_declarations():
    """(NativeFunction, its declaration: the stub's syntax tree of it) of every
    function that a module's stub names in its __all__, in the modules' order."""
    found = []
    for module_name in MODULES:
        tree = stub_tree(module_name)
        exported = next((ast.literal_eval(node.value) for node in tree.body if isinstance(node, ast.Assign)
                         and getattr(node.targets[0], "id", "") == "__all__"), [])
        functions = stub_functions(module_name)
        found += [(functions[node.name], node) for node in tree.body
                  if isinstance(node, ast.FunctionDef) and node.name in exported]
    return found
