"""Benchmark cases, one module per tool class (named like its reference module).

Each module defines CASES, a list of entries

    (tool class name, method name, keyword dict, reference callable, image kinds)

where the reference callable is the reference model's function for the method
(called with the same keywords) and the image kinds are taken from IMAGE_KINDS.
Every module in this folder is gathered by all_cases(); adding a tool means
adding a file here, nothing else.
"""
import importlib
import os
import pkgutil
import sys

GREY16 = "grey uint16"
COLOUR16 = "colour uint16"
GREY8 = "grey uint8"
IMAGE_KINDS = (GREY16, COLOUR16, GREY8)

_TESTS_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                          "tests")


def reference(tool_module):
    """The reference model module of a tool, e.g. reference("image_smoother")."""
    if _TESTS_DIR not in sys.path:
        sys.path.insert(0, _TESTS_DIR)
    return importlib.import_module(f"reference.{tool_module}")


def all_cases():
    """Every case, as (case id, case); the id "module:position" names it stably."""
    cases = []
    for module in sorted(info.name for info in pkgutil.iter_modules(__path__)):
        module_cases = importlib.import_module(f"{__name__}.{module}").CASES
        cases.extend((f"{module}:{position}", case) for position, case in enumerate(module_cases))
    return cases


def case_by_id(case_id):
    module, position = case_id.split(":")
    return importlib.import_module(f"{__name__}.{module}").CASES[int(position)]
