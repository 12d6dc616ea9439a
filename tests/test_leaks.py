"""Thousands of calls of every tool method leave memory and objects flat.

For each built method, a set of successful calls (ordinary images at both
depths) and a set of failing ones (no image; a keyword of the wrong type
after an ordinary image, so the failure comes after work has been done) are
repeated after a warm-up. Across the repetitions:

- the interpreter's count of allocated object blocks stays flat (a leaked
  result, temporary, tuple or number shows as one block per call);
- the reference counts of the inputs, the keyword values, the tool object and
  the libraries stay as they were (up to a few references that library caches
  take on shared small numbers);
- the resident memory of the process grows by no more than allocator noise
  (a leaked native buffer of even a small image shows as megabytes).

The number of repetitions per method adapts to its speed (at least
MIN_REPEATS rounds of all the calls, at most MAX_REPEATS, about TIME_BUDGET
seconds): thousands of calls for all but the slowest methods.
"""
import gc
import os
import sys
import time

import pytest

import tool_calls

MIN_REPEATS, MAX_REPEATS = 50, 3000
TIME_BUDGET = 1.5   # seconds of calls per measurement
WARMUP_BUDGET, MAX_WARMUP = 0.3, 50
BLOCKS_PER_CALL = 0.05           # a leak of one object per call is 1.0
BLOCK_NOISE = 64                 # caches of the interpreter and libraries settling
RSS_GROWTH_LIMIT = 8 << 20       # bytes
# Small ints and interned strings are shared with the libraries, whose caches
# may take a reference or two; a leak moves a count by one per call.
REFCOUNT_NOISE = 8

METHODS = tool_calls.tool_methods()


@pytest.fixture(scope="module")
def module():
    import pictor.lumenops as module

    return module


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(calls, times):
    for _ in range(times):
        for function, args, kwargs in calls:
            try:
                function(*args, **kwargs)
            except Exception:
                pass


def watched_objects(module, method, calls):
    """Objects whose reference counts must not move."""
    objects = [module, module.np, module.cv2, getattr(module, method.class_name)(),
               getattr(module, method.class_name)]
    for _, args, kwargs in calls:
        objects.extend(args)
        objects.extend(kwargs.values())
    unique = {id(obj): obj for obj in objects}
    return list(unique.values())


def measure(module, method, calls):
    """Runs the calls repeatedly; returns (repeats, block growth, refcount
    changes, RSS growth)."""
    started = time.perf_counter()
    repeat(calls, 1)
    per_round = time.perf_counter() - started
    repeat(calls, int(min(MAX_WARMUP, max(3, WARMUP_BUDGET / per_round))))
    repeats = int(min(MAX_REPEATS, max(MIN_REPEATS, TIME_BUDGET / max(per_round, 1e-9))))
    watched = watched_objects(module, method, calls)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    rss = resident_bytes()
    repeat(calls, repeats)
    gc.collect()
    block_growth = sys.getallocatedblocks() - blocks
    rss_growth = resident_bytes() - rss
    after = [sys.getrefcount(obj) for obj in watched]
    moved = ["{!r:.60}: {} -> {}".format(obj, before, now)
             for obj, before, now in zip(watched, counts, after)
             if abs(now - before) > REFCOUNT_NOISE]
    return repeats, block_growth, moved, rss_growth


def check_flat(module, method, calls):
    function = method.bound(module)
    bound_calls = [(function, args, kwargs) for args, kwargs in calls]
    repeats, block_growth, moved, rss_growth = measure(module, method, bound_calls)
    total = repeats * len(calls)
    assert not moved, "reference counts moved over {} calls: {}".format(total, moved)
    # Without pymalloc (PYTHONMALLOC=malloc, as under the sanitizers) the block
    # count is always 0 and says nothing.
    assert block_growth <= BLOCK_NOISE + BLOCKS_PER_CALL * total, \
        "{} object blocks more after {} calls".format(block_growth, total)
    assert rss_growth <= RSS_GROWTH_LIMIT, \
        "resident memory grew by {:.1f} MiB over {} calls".format(rss_growth / 2 ** 20, total)


def built_or_skip(module, method):
    if not tool_calls.is_built(module, method):
        pytest.skip("{} is not built yet".format(method.qualname))


@pytest.mark.parametrize("method", METHODS, ids=[m.qualname for m in METHODS])
def test_successful_calls_leak_nothing(module, method):
    built_or_skip(module, method)
    calls = tool_calls.working_calls(module, method)
    if not calls:
        reason = tool_calls.missing_environment(module, method)
        if reason:
            pytest.skip(reason)
        pytest.fail("no ordinary input makes {} succeed".format(method.qualname))
    check_flat(module, method, calls)


@pytest.mark.parametrize("method", METHODS, ids=[m.qualname for m in METHODS])
def test_failing_calls_leak_nothing(module, method):
    built_or_skip(module, method)
    calls = tool_calls.failing_calls(module, method)
    if not calls:
        pytest.skip("{} accepts every input tried".format(method.qualname))
    check_flat(module, method, calls)


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="pymalloc is off; blocks are not counted")
def test_the_measurement_sees_a_leak(module):
    """A stand-in method that keeps one small object per call must fail."""
    kept = []

    class Leaky:
        qualname = "stand-in"
        class_name = "ImageSmoother"

        @staticmethod
        def bound(_module):
            return lambda **kwargs: kept.append(float(len(kept)) + 0.5)

    with pytest.raises(AssertionError, match="object blocks more"):
        check_flat(module, Leaky, [((), {})])
