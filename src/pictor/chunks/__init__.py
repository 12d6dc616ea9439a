"""The catalogue: how each operation runs in pieces, declared once for both
executors (pictor.stream: stripes, in memory and out of core; pictor.dask:
graphs), which import it and never each other.

routes      the route classes: pointwise, neighbourhood (with its halo),
            pyramid (with its alignment), fuse, maximum, order statistics,
            level table, level counts and level (the automatic thresholds),
            components and labels (stripes joined at their seams), float
            mean, flip, crop, one block; each
            says whether it gathers a whole-image statistic, its halo from the
            keywords, its result type and its block functions
catalogue   every operation's route, and route_of(): the one choice between a
            tool method and its full-depth function
blocks      what runs on one block of rows (or on the blocks' partial results)
seams       Canny's hysteresis joined across the stripes' seams
keywords    keyword values as routes read them; OneBlock

The blocks call the private native modules as their stubs declare them
(pictor._native: keywords by name).

An operation's route is declared with it, by @_Route(name, **terms) in the
stubs: lumenops.pyi for a tool method (say @_Route("neighbourhood",
side="ksize")), the private module's stub for a package function that is no
tool method (pictor.functions.module_functions); the catalogue reads them and
holds only the rules a term names (halos, working-level tables, result
shapes). A full-depth function, if lumenops.pyi declares one, takes its tool
method's route at full depth by itself; the volume filters take the volume
route.
A route that differs at full depth says so in at_full_depth() (Canny gathers
the image's level range first), or its declaration does (adaptive threshold's
full_depth="one block").
A new route class goes into routes.py and ROUTE_CLASSES, with a form in
pictor.stream.plan.FORMS (or graph_only = True) and one in
pictor.dask.routes.FORMS: tests/python/test_chunks.py walks them.
"""

from pictor.chunks.catalogue import (FULL_DEPTH_ROUTES, ROUTES, TOOL_ROUTES, Call, function_operation,
                                     operation_of, route_of, route_of_function)
from pictor.chunks.keywords import OneBlock
from pictor.chunks.routes import ROUTE_CLASSES

__all__ = ["Call", "FULL_DEPTH_ROUTES", "OneBlock", "ROUTES", "ROUTE_CLASSES", "TOOL_ROUTES", "function_operation",
           "operation_of", "route_of", "route_of_function"]
