"""Hostile calls of every tool method, each run in a worker process.

The methods are found by introspection (every function attribute of every
tool class, with its parameters from inspect.signature), so a method is fuzzed
as soon as it is declared, and one that raises NotImplementedError fails.
Each hypothesis example is one call with inputs of random element type, shape
and memory layout and keyword values of every kind; the worker
(tests/fuzz_worker.py) checks the outcome and the parent turns a crash or a
hang of the worker into a failure.

Profiles (PICTOR_FUZZ_PROFILE): "ci" (bounded, derandomised; the default when
CI is set), "dev" (the default otherwise) and "long" (for a soak run).
PICTOR_FUZZ_EXAMPLES overrides the number of examples per method and
PICTOR_FUZZ_TIMEOUT the seconds one call may take.
"""
import os
import shutil
import signal
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis import given

import fuzz_worker
from fuzz_worker import ArraySpec, Case
from tool_calls import tool_methods

_HEALTH = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile("pictor-fuzz-ci", max_examples=40, deadline=None, derandomize=True,
                          database=None, suppress_health_check=_HEALTH, print_blob=True)
settings.register_profile("pictor-fuzz-dev", max_examples=150, deadline=None,
                          suppress_health_check=_HEALTH, print_blob=True)
settings.register_profile("pictor-fuzz-long", max_examples=3000, deadline=None,
                          suppress_health_check=_HEALTH, print_blob=True)


def _fuzz_settings():
    name = os.environ.get("PICTOR_FUZZ_PROFILE") or ("ci" if os.environ.get("CI") else "dev")
    profile = settings.get_profile("pictor-fuzz-" + name)
    examples = os.environ.get("PICTOR_FUZZ_EXAMPLES")
    return settings(profile, max_examples=int(examples)) if examples else profile


FUZZ_SETTINGS = _fuzz_settings()
CASE_TIMEOUT = float(os.environ.get("PICTOR_FUZZ_TIMEOUT", "30"))

# Parameters that take an image (or a list of values) rather than a number.
ARRAY_PARAMETERS = {"src", "img", "image", "lst", "probabilities", "base", "overlay"}


METHODS = tool_methods()


# --- strategies --------------------------------------------------------------

IMAGE_DTYPES = [np.uint8, np.uint16]
NUMERIC_DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
                  np.uint64, np.float16, np.float32, np.float64, np.longdouble, np.complex64,
                  np.complex128, np.clongdouble]
OTHER_DTYPES = [object, [("r", "u1"), ("g", "<u2")], [("a", "f4", (2,))], "S3", "U2",
                "datetime64[s]", "timedelta64[ms]"]
FILLS = ["random", "ramp", "zeros", "max", "extremes", "small", "bits"]
LAYOUTS = ["fortran", "strided", "reversed", "unaligned", "byteswapped", "readonly",
           "broadcast", "masked", "matrix"]



@st.composite
def _weighted(draw, choices):
    number = draw(st.integers(0, sum(weight for weight, _ in choices) - 1))
    for weight, strategy in choices:
        if number < weight:
            return draw(strategy)
        number -= weight


def weighted(*choices):
    """one_of with integer weights (one_of draws its branches alike, and
    merges repeated ones); shrinks towards the first choice."""
    return _weighted(choices)


dtypes = weighted((3, st.sampled_from(IMAGE_DTYPES)), (1, st.sampled_from(NUMERIC_DTYPES)),
                  (1, st.sampled_from(OTHER_DTYPES))).map(np.dtype)

side = st.integers(1, 24)
image_shapes = st.one_of(
    st.tuples(side, side),
    st.tuples(side, side, st.sampled_from([3, 3, 3, 1, 2, 4])),
    st.tuples(st.integers(25, 90), st.integers(25, 90)),
    st.tuples(st.integers(25, 90), st.integers(25, 90), st.just(3)),
)
odd_shapes = st.one_of(
    st.just(()),
    st.tuples(st.integers(0, 40)),
    st.tuples(*[st.integers(0, 3)] * 4),
    st.sampled_from([(0, 0), (0, 5), (5, 0), (0, 5, 3), (5, 0, 3), (4, 4, 0), (1, 1), (1, 1, 3)]),
    st.tuples(st.integers(1, 2), st.integers(2, 300)),
    st.tuples(st.integers(2, 300), st.integers(1, 2)),
    st.tuples(st.just(1), st.integers(2, 200), st.just(3)),
)
shapes = weighted((2, image_shapes), (1, odd_shapes))

array_specs = st.builds(
    ArraySpec, dtype=dtypes, shape=shapes, fill=st.sampled_from(FILLS),
    seed=st.integers(0, 2 ** 32 - 1),
    layout=st.lists(st.sampled_from(LAYOUTS), max_size=3, unique=True).map(tuple))

small_array_specs = st.builds(
    ArraySpec, dtype=st.sampled_from([np.uint8, np.int64, np.float64, object]).map(np.dtype),
    shape=st.sampled_from([(), (1,), (2,), (2, 2)]), fill=st.sampled_from(FILLS),
    seed=st.integers(0, 2 ** 32 - 1), layout=st.just(()))

NON_ARRAYS = [None, 0, 3.5, True, 1j, "img", b"\x00\x01", bytearray(4), range(4), {}, [], [[]],
              [[1, 2], [3, 4]], [[0, 255], [255, 0]], ((1, 2), (3, 4)), [0.1, 0.2, 0.7],
              [[1, "a"], [None, 2]], np.uint8(7), np.float64("nan"),
              fuzz_worker.Exploding(), fuzz_worker.FakeImage(), fuzz_worker.ArrayRaising(),
              fuzz_worker.HugeLength()]

# Keyword values of every kind. Values that are huge fail fast (no allocation
# can hold what they ask for); mid-sized ones such as 65535 are left out on
# purpose, because OpenCV accepts them as kernel or window sides and then
# computes for minutes even on a 10 x 10 image (a 16385 Gaussian kernel takes
# 9 s, the work grows with its square; a 1025 non-local means template takes
# 20 s) -- that time would be the library's, and the hang check is there to
# catch the module's own loops.
HOSTILE_SCALARS = [None, "", "3", True, False, float("nan"), float("inf"), float("-inf"), -0.0,
                   1e308, -1e308, 5e-324, 2 ** 31 - 1, 2 ** 31, -2 ** 31, 2 ** 32 + 3, 2 ** 63 - 1,
                   2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 30, -10 ** 30, np.int8(-1), np.uint8(255),
                   np.int16(-300), np.uint16(257), np.int32(-7), np.int64(2 ** 62),
                   np.uint64(2 ** 64 - 1), np.float16("nan"), np.float32(0.5), np.float32(-3.5),
                   np.float64("inf"), np.longdouble(3), np.complex128(1 + 1j), np.bool_(True), 1j,
                   [3], (3, 3), Decimal("2.5"), Fraction(7, 2), fuzz_worker.Exploding()]

image_values = weighted((8, array_specs), (1, st.sampled_from(NON_ARRAYS)),
                        (1, st.lists(array_specs, min_size=1, max_size=2)))


def numbers_near(default):
    """Plausible values around a keyword's default, of the default's kind
    and as NumPy scalars."""
    if isinstance(default, bool) or not isinstance(default, (int, float)):
        ints = st.integers(-3, 40)
        floats = st.floats(-1.0, 2.0, allow_nan=False)
    else:
        top = max(abs(default) * 2, 2)
        ints = st.integers(-3, int(top) + 3)
        floats = st.floats(-1.0, float(top) + 1.0, allow_nan=False)
    plain = ints if isinstance(default, int) else floats
    as_numpy = st.one_of(ints.map(np.int32), ints.map(np.int64), floats.map(np.float32),
                         floats.map(np.float64))
    return weighted((3, plain), (1, st.one_of(ints, floats)), (1, as_numpy))


# Keywords that count passes of a loop: a huge count is a long computation by
# definition (`range` takes any int), so only the values that fail or finish
# fast are hostile there.
LOOP_COUNTS = {"multi_scale"}
MAX_LOOP_COUNT = 64


def _finishes_fast(value):
    return not (isinstance(value, (int, np.integer)) and value > MAX_LOOP_COUNT)


def value_for(parameter):
    if parameter.name in ARRAY_PARAMETERS:
        return image_values
    default = None if parameter.default is parameter.empty else parameter.default
    hostile, arrays = HOSTILE_SCALARS, small_array_specs
    if parameter.name in LOOP_COUNTS:
        hostile = [value for value in HOSTILE_SCALARS if _finishes_fast(value)]
        # A random 64-bit integer array counts passes by the billion.
        arrays = small_array_specs.filter(lambda spec: spec.dtype != np.int64)
    return weighted((6, numbers_near(default)), (3, st.sampled_from(hostile)), (1, arrays))


@st.composite
def calls(draw, method):
    """One call of a method: positional or keyword arguments as its
    convention allows, sometimes with an unknown keyword or an extra
    positional argument."""
    args, kwargs = [], {}
    for parameter in method.parameters:
        required = parameter.default is parameter.empty
        likely = parameter.name in ARRAY_PARAMETERS or required
        if not required and draw(st.integers(0, 9)) >= (9 if likely else 5):
            continue
        value = draw(value_for(parameter))
        if not method.keyword_only and not kwargs and draw(st.booleans()):
            args.append(value)
        else:
            kwargs[parameter.name] = value
    if draw(st.integers(0, 19)) == 0:
        kwargs["unknown_keyword"] = draw(st.sampled_from(HOSTILE_SCALARS))
    if draw(st.integers(0, 29)) == 0:
        args.append(draw(image_values))
    return Case(method.class_name, method.attribute, tuple(args), kwargs)


# --- the tests ---------------------------------------------------------------

@pytest.fixture(scope="module")
def worker():
    scratch = fuzz_worker.prepare_scratch_dir()
    runner = fuzz_worker.Worker(scratch, CASE_TIMEOUT)
    yield runner
    runner.stop()
    shutil.rmtree(scratch, ignore_errors=True)


def describe_failure(case, outcome):
    return "{}.{} with args={!r} kwargs={!r}: {} ({})".format(
        case.class_name, case.method, case.args, case.kwargs,
        "; ".join(outcome.get("problems", [])) or "extraordinary exception", outcome["detail"])


@pytest.mark.parametrize("method", METHODS, ids=[m.qualname for m in METHODS])
def test_hostile_calls_end_in_a_result_or_an_ordinary_exception(worker, method):
    @FUZZ_SETTINGS
    @given(case=calls(method))
    def check(case):
        outcome = worker.run(case)
        assert outcome["kind"] != "harness_error", outcome["detail"]
        ordinary = outcome["kind"] != "raised" or outcome["ordinary"]
        assert ordinary and not outcome["problems"], describe_failure(case, outcome)

    # One example database entry per method, not one for the shared inner function.
    check.hypothesis.inner_test._hypothesis_internal_add_digest = method.qualname.encode()
    check()


IMAGE_METHODS = [m for m in METHODS if any(p.name in ("src", "img", "image") for p in m.parameters)]


@pytest.mark.parametrize("shape", [(6, 5, 0), (1, 3, 0, 0), (6, 5, 2, 0)])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("method", IMAGE_METHODS, ids=[m.qualname for m in IMAGE_METHODS])
def test_image_without_samples_per_pixel_is_never_read_past_its_buffer(worker, method, dtype, shape):
    """Found by fuzzing: OpenCV's binding takes an (h, w, 0) array for an
    image of 512 channels, and an (h, w, c, 0) one for an h x w image, and
    reads far past the buffer, so the plain recipe returns garbage or
    crashes. Such an image must be refused or give an empty result."""
    image = ArraySpec(np.dtype(dtype), shape, "random", 1, ())
    kwargs = {p.name: image for p in method.parameters if p.name in ARRAY_PARAMETERS}
    kwargs.update({p.name: 5 for p in method.required if p.name not in kwargs})
    outcome = worker.run(Case(method.class_name, method.attribute, (), kwargs))
    assert outcome["kind"] != "raised" or outcome["ordinary"], outcome["detail"]
    assert not outcome["problems"], outcome["problems"]
    for returned in outcome.get("shapes", []):
        assert 0 in returned, "{} returned {}".format(method.qualname, outcome["detail"])


@pytest.mark.parametrize("layout", [(), ("fortran",), ("strided",), ("reversed",), ("unaligned",),
                                    ("byteswapped",), ("readonly",), ("broadcast",)])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float64, object])
def test_worker_builds_the_requested_layout(dtype, layout):
    spec = ArraySpec(np.dtype(dtype), (5, 4, 3), "ramp", 1, layout)
    made = fuzz_worker.make_array(spec)
    array = made.array
    assert array.shape == (5, 4, 3)
    if "broadcast" not in layout and dtype is not object:
        expected = fuzz_worker.make_array(ArraySpec(np.dtype(dtype), (5, 4, 3), "ramp", 1, ())).array
        np.testing.assert_array_equal(array, expected)
    flags = array.flags
    checks = {
        "fortran": flags.f_contiguous and not flags.c_contiguous,
        "strided": not flags.c_contiguous and not flags.f_contiguous,
        "reversed": all(s < 0 for s in array.strides),
        "unaligned": dtype is object or np.dtype(dtype).itemsize == 1 or not flags.aligned,
        "byteswapped": dtype is object or np.dtype(dtype).itemsize == 1
        or not array.dtype.isnative,
        "readonly": not flags.writeable,
        "broadcast": array.strides[0] == 0,
    }
    for tag in layout:
        assert checks[tag], tag
    assert made.unchanged()


def test_worker_reports_a_write_into_the_input():
    made = fuzz_worker.make_array(ArraySpec(np.dtype(np.uint8), (4, 4), "zeros", 0, ("strided",)))
    made.owner[1] = 0  # a gap between the strided elements
    assert not made.unchanged()


def test_crashing_worker_is_reported_and_replaced(worker):
    case = Case("ImageSmoother", "mean_blur", (), {"src": None})
    assert worker.run(case)["kind"] == "raised"
    starts = worker.starts
    os.kill(worker.process.pid, signal.SIGSEGV)
    # Under the address sanitizer the signal becomes its report, then an exit
    # status or, with abort_on_error, SIGABRT.
    with pytest.raises(fuzz_worker.WorkerDied, match="worker died .*(signal SIG(SEGV|ABRT)|exit status)"):
        worker.run(case)
    assert worker.run(case)["kind"] == "raised"
    assert worker.starts == starts + 1
