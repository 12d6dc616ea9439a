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

The calls run in WINDOWS consecutive windows after a warm-up; a leak grows
the block count in every window, while a cache that fills up (the
interpreter's free lists, a library's lookup tables) stops growing, so the
smallest growth of any window is what is judged. The warm-up and the window
length adapt to the method's speed (at least MIN_WARMUP_CALLS calls to warm
up, MIN_WINDOW_CALLS to MAX_WINDOW_CALLS per window, about WINDOW_BUDGET
seconds): thousands of calls for all but the slowest methods.

The DeepLearning tool runs with a stand-in identity network here: the shipped
one takes a large fraction of a second per call, and ONNX Runtime's own
Python objects keep settling for hundreds of runs (the plain reference recipe
shows the same slow growth), which only many fast calls tell apart from a leak.
"""
import gc
import os
import sys
import time

import pytest

import tool_calls
from fuzz_worker import under_sanitizer

WINDOWS = 3
MIN_WINDOW_CALLS, MAX_WINDOW_CALLS = 40, 3000
WINDOW_BUDGET = 0.3              # seconds of calls per window
MIN_WARMUP_CALLS, WARMUP_BUDGET = 100, 0.2
BLOCKS_PER_CALL = 0.25           # a leak of one object per call is 1.0
BLOCK_NOISE = 8
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


def rounds_for(calls_per_round, wanted_calls):
    return max(1, int(round(wanted_calls / calls_per_round)))


def measure(module, method, calls):
    """Runs the calls in windows; returns (calls per window, block growth of
    each window, refcount changes, RSS growth over all windows)."""
    started = time.perf_counter()
    repeat(calls, 1)
    per_call = max(time.perf_counter() - started, 1e-9) / len(calls)
    repeat(calls, rounds_for(len(calls), max(MIN_WARMUP_CALLS, WARMUP_BUDGET / per_call)))
    rounds = rounds_for(len(calls), min(MAX_WINDOW_CALLS, max(MIN_WINDOW_CALLS, WINDOW_BUDGET / per_call)))
    watched = watched_objects(module, method, calls)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    rss = resident_bytes()
    growth = []
    for _ in range(WINDOWS):
        blocks = sys.getallocatedblocks()
        repeat(calls, rounds)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    rss_growth = resident_bytes() - rss
    after = [sys.getrefcount(obj) for obj in watched]
    moved = ["{!r:.60}: {} -> {}".format(obj, before, now)
             for obj, before, now in zip(watched, counts, after)
             if abs(now - before) > REFCOUNT_NOISE]
    return rounds * len(calls), growth, moved, rss_growth


def check_flat(module, method, calls):
    function = method.bound(module)
    bound_calls = [(function, args, kwargs) for args, kwargs in calls]
    per_window, growth, moved, rss_growth = measure(module, method, bound_calls)
    total = per_window * WINDOWS
    assert not moved, "reference counts moved over {} calls: {}".format(total, moved)
    # Without pymalloc (PYTHONMALLOC=malloc, as under the sanitizers) the block
    # count is always 0 and says nothing.
    assert min(growth) <= BLOCK_NOISE + BLOCKS_PER_CALL * per_window, \
        "object blocks grew by {} in windows of {} calls".format(growth, per_window)
    # The address sanitizer holds freed memory back in its quarantine, so the
    # resident size grows by design there.
    assert rss_growth <= RSS_GROWTH_LIMIT or under_sanitizer(), \
        "resident memory grew by {:.1f} MiB over {} calls".format(rss_growth / 2 ** 20, total)


@pytest.fixture
def fast_network(module, tmp_path):
    with tool_calls.stand_in_network(module, tmp_path):
        yield


@pytest.mark.parametrize("method", METHODS, ids=[m.qualname for m in METHODS])
def test_successful_calls_leak_nothing(module, method, fast_network):
    calls = tool_calls.working_calls(module, method)
    if not calls:
        reason = tool_calls.missing_environment(module, method)
        if reason:
            pytest.skip(reason)
        pytest.fail("no ordinary input makes {} succeed".format(method.qualname))
    check_flat(module, method, calls)


@pytest.mark.parametrize("method", METHODS, ids=[m.qualname for m in METHODS])
def test_failing_calls_leak_nothing(module, method, fast_network):
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

    with pytest.raises(AssertionError, match="object blocks grew"):
        check_flat(module, Leaky, [((), {})])
