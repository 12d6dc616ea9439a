"""Concurrent calls from many threads give the same results as sequential ones.

For each built method, ordinary calls (grey and colour images at both depths)
and failing calls are first run sequentially; then 8 threads run them all
again on the very same input objects, each thread in its own shuffled order,
with the interpreter switching threads as often as it can. Every result must
equal the sequential one bit for bit (element type, shape, values) and every
failure must be the same exception with the same message; the inputs must
come out unchanged.
"""
import random
import sys
import threading

import numpy as np
import pytest

import tool_calls

THREADS = 8
ROUNDS_PER_THREAD = 3
SWITCH_INTERVAL = 1e-6
# Larger than the leak test's images, so that the parts run without the GIL
# overlap between threads.
IMAGE_SIZE = (120, 100)

METHODS = tool_calls.tool_methods()


@pytest.fixture(scope="module")
def module():
    import pictor.lumenops as module

    return module


@pytest.fixture
def fast_network(module, tmp_path):
    """The DeepLearning tool with an identity network (the shipped one takes a
    large fraction of a second per call); the module's own steps are the same."""
    with tool_calls.stand_in_network(module, tmp_path):
        yield


@pytest.fixture
def eager_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(SWITCH_INTERVAL)
    yield
    sys.setswitchinterval(previous)


def outcome(function, args, kwargs):
    """("value", result) or ("raised", type, message)."""
    try:
        return ("value", function(*args, **kwargs))
    except Exception as error:
        return ("raised", type(error), str(error))


def same(ours, expected):
    """Equal results: arrays bit for bit with their dtype and shape, floats by
    their bits (NaN equals NaN), containers item by item."""
    if isinstance(expected, np.ndarray):
        return (isinstance(ours, np.ndarray) and ours.dtype == expected.dtype
                and ours.shape == expected.shape
                and np.ascontiguousarray(ours).tobytes() == np.ascontiguousarray(expected).tobytes())
    if isinstance(expected, (tuple, list)):
        return (type(ours) is type(expected) and len(ours) == len(expected)
                and all(same(a, b) for a, b in zip(ours, expected)))
    if isinstance(expected, (float, np.floating, np.complexfloating)):
        return type(ours) is type(expected) and np.asarray(ours).tobytes() == np.asarray(expected).tobytes()
    return type(ours) is type(expected) and ours == expected


def same_outcome(ours, expected):
    if ours[0] != expected[0]:
        return False
    if ours[0] == "raised":
        return ours[1:] == expected[1:]
    return same(ours[1], expected[1])


def jobs_for(module, method):
    """(label, function, args, kwargs, expected outcome) for each call."""
    function = method.bound(module)
    images = tool_calls.sample_images(*IMAGE_SIZE)
    calls = (tool_calls.working_calls(module, method, images)
             + tool_calls.failing_calls(module, method, images))
    return [("{} #{}".format(method.qualname, i), function, args, kwargs,
             outcome(function, args, kwargs)) for i, (args, kwargs) in enumerate(calls)]


def run_concurrently(jobs, rounds=ROUNDS_PER_THREAD):
    """Runs the jobs from THREADS threads; returns the mismatches."""
    mismatches = []
    start = threading.Barrier(THREADS)

    def worker(seed):
        order = list(jobs) * rounds
        random.Random(seed).shuffle(order)
        start.wait()
        for label, function, args, kwargs, expected in order:
            got = outcome(function, args, kwargs)
            if not same_outcome(got, expected):
                mismatches.append("{}: {!r:.200} instead of {!r:.200}".format(label, got, expected))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return mismatches


def snapshot_inputs(jobs):
    arrays = {}
    for _, _, args, kwargs, _ in jobs:
        for value in list(args) + list(kwargs.values()):
            if isinstance(value, np.ndarray):
                arrays[id(value)] = (value, value.copy())
    return list(arrays.values())


def jobs_or_skip(module, method):
    jobs = jobs_for(module, method)
    if not any(expected[0] == "value" for *_, expected in jobs):
        reason = tool_calls.missing_environment(module, method)
        if reason:
            pytest.skip(reason)
    return jobs


@pytest.mark.parametrize("method", METHODS, ids=[m.qualname for m in METHODS])
def test_one_method_from_many_threads(module, method, fast_network, eager_switching):
    jobs = jobs_or_skip(module, method)
    inputs = snapshot_inputs(jobs)
    mismatches = run_concurrently(jobs)
    assert not mismatches, "{} of the concurrent calls differ:\n{}".format(
        len(mismatches), "\n".join(mismatches[:10]))
    for array, copy in inputs:
        np.testing.assert_array_equal(array, copy)


def test_all_methods_mixed_from_many_threads(module, fast_network, eager_switching):
    jobs = []
    for method in METHODS:
        jobs.extend(jobs_for(module, method))
    inputs = snapshot_inputs(jobs)
    mismatches = run_concurrently(jobs, rounds=1)
    assert not mismatches, "{} of the concurrent calls differ:\n{}".format(
        len(mismatches), "\n".join(mismatches[:10]))
    for array, copy in inputs:
        np.testing.assert_array_equal(array, copy)


def test_comparison_tells_results_apart():
    base = np.arange(6, dtype=np.uint16).reshape(2, 3)
    assert same(base, base.copy())
    assert not same(base, base.astype(np.uint8))
    assert not same(base, base.reshape(3, 2))
    assert not same(base, base + 1)
    assert same((1, np.float64("nan")), (1, np.float64("nan")))
    assert not same((1, np.float64(0.0)), (1, np.float64(-0.0)))
    assert not same_outcome(("raised", ValueError, "a"), ("raised", ValueError, "b"))
