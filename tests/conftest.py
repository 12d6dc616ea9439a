"""Shared fixtures and assertions for the pictor test suite."""
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

MODULE_NAME = "pictor.lumenops"
FRESH_INTERPRETER_TIMEOUT = 180


@pytest.fixture(scope="session")
def lumenops():
    import pictor.lumenops

    return pictor.lumenops


@pytest.fixture(scope="session")
def smoother(lumenops):
    return lumenops.ImageSmoother()


@pytest.fixture(scope="session")
def enhancer(lumenops):
    return lumenops.ImageEnhancer()


@pytest.fixture(scope="session")
def segmenter(lumenops):
    return lumenops.ImageSegmenter()


def _describe_mismatch(ours, expected, differs):
    where = np.argwhere(differs)
    first = [tuple(int(i) for i in idx) for idx in where[:5]]
    pairs = ", ".join("{}: ours {!r} expected {!r}".format(i, ours[i], expected[i]) for i in first)
    return "{} of {} elements differ; first {}".format(len(where), differs.size, pairs)


def _bits(values):
    """Floating values as unsigned integers of the same width (signed zeros differ)."""
    return values.view("u{}".format(values.dtype.itemsize))


def _float_parts(values):
    """Floating array with complex numbers split into their two parts."""
    values = np.ascontiguousarray(values)
    return values.view(values.real.dtype) if values.dtype.kind == "c" else values


def assert_same_array(ours, expected):
    """Same Python type, dtype (byte order included), shape and values, bit for bit.

    Floating arrays must have NaN in the same places and equal bits elsewhere,
    so -0.0 and 0.0 are told apart.
    """
    assert type(ours) is type(expected), "type {} != {}".format(type(ours), type(expected))
    assert ours.dtype == expected.dtype and ours.dtype.str == expected.dtype.str, \
        "dtype {} != {}".format(ours.dtype.str, expected.dtype.str)
    assert ours.shape == expected.shape, "shape {} != {}".format(ours.shape, expected.shape)
    if ours.dtype.kind in "fc":
        ours, expected = _float_parts(ours), _float_parts(expected)
        ours_nan, expected_nan = np.isnan(ours), np.isnan(expected)
        numbers_differ = ~(ours_nan | expected_nan) & (_bits(ours) != _bits(expected))
        differs = (ours_nan != expected_nan) | numbers_differ
    else:
        differs = ours != expected
    if np.any(differs):
        pytest.fail(_describe_mismatch(ours, expected, differs))


def assert_parity(ours_call, reference_call, check_message=True):
    """Run both calls: the same exception (type and message) or the same array.

    ``ours_call`` and ``reference_call`` take no arguments. Returns the
    reference result (None when both raised).
    """
    try:
        expected = reference_call()
    except Exception as reference_error:  # the reference's exception is the expectation
        with pytest.raises(Exception) as caught:
            ours_call()
        assert type(caught.value) is type(reference_error), \
            "raised {!r}, reference raised {!r}".format(caught.value, reference_error)
        if check_message:
            assert str(caught.value) == str(reference_error)
        return None
    assert_same_array(ours_call(), expected)
    return expected


def assert_calls_parity(ours, reference_call, src, quiet=False, compare=assert_parity):
    """``ours(src)`` equals ``reference_call(copy of src)`` -- the same array or
    the same exception, as ``compare`` judges them -- and ``src`` is left
    alone. ``quiet``: NumPy's runtime warnings are not under test. Returns what
    ``compare`` returns (assert_parity: the reference result)."""
    is_array = isinstance(src, np.ndarray)
    before = src.copy() if is_array else src
    with warnings.catch_warnings():
        if quiet:
            warnings.simplefilter("ignore", RuntimeWarning)
        expected = compare(lambda: ours(src), lambda: reference_call(before.copy() if is_array else before))
    if is_array:
        assert src.tobytes() == before.tobytes(), "input array was modified"
    return expected


def assert_method_parity(tool, reference_module, method, src, ours_extra=None, quiet=False, compare=assert_parity,
                         **kwargs):
    """``tool.method(src=src, **kwargs)`` equals the reference model's function
    of the same name (array or exception) and leaves ``src`` alone;
    ``ours_extra`` holds keywords that only our call receives; ``quiet`` and
    ``compare`` as for assert_calls_parity."""
    return assert_calls_parity(lambda image: getattr(tool, method)(src=image, **kwargs, **(ours_extra or {})),
                               lambda image: getattr(reference_module, method)(src=image, **kwargs), src, quiet,
                               compare)


def keyword_label(kwargs):
    """A test id for a keyword dict ("k=v,..." without src, or "defaults");
    None for anything else, which pytest then names itself."""
    if not isinstance(kwargs, dict):
        return None
    return ",".join("{}={!r}".format(k, v) for k, v in kwargs.items() if k != "src") or "defaults"


def keyword_cases(method, sweeps):
    """pytest parameters (method, kwargs), one per keyword dict of ``sweeps``."""
    return [pytest.param(method, kwargs, id="{}-{}".format(method, keyword_label(kwargs))) for kwargs in sweeps]


def assert_same_from_threads(ours, reference_call):
    """``ours(src=...)`` run from 4 threads at once gives what
    ``reference_call(src=...)`` gives sequentially, on grey 16-bit and colour
    8-bit images."""
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(7)
    sources = [rng.integers(0, 65536, size=(131, 97), dtype=np.uint16) for _ in range(6)]
    sources += [rng.integers(0, 256, size=(61, 83, 3), dtype=np.uint8) for _ in range(6)]
    expected = [reference_call(src=src.copy()) for src in sources]
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(2):
            for result, reference_result in zip(pool.map(lambda src: ours(src=src), sources), expected):
                assert_same_array(result, reference_result)


def _pictor_search_path():
    import pictor

    return os.path.dirname(os.path.dirname(os.path.abspath(pictor.__file__)))


def run_fresh_python(snippet, cwd=None):
    """Run ``snippet`` in a new interpreter (same executable, same import path
    for pictor) and return its standard output; fail with its stderr if it
    exits with a non-zero status (a crash included)."""
    env = dict(os.environ)
    paths = [_pictor_search_path()] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(snippet)], cwd=cwd, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=FRESH_INTERPRETER_TIMEOUT)
    if done.returncode != 0:
        pytest.fail("fresh interpreter exited with {}:\n{}{}".format(
            done.returncode, done.stdout, done.stderr))
    return done.stdout


@pytest.fixture
def fresh_python():
    return run_fresh_python


def pictor_environment():
    """The environment for a `python -m pictor` subprocess that imports the package under test."""
    import pictor

    environment = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(pictor.__file__)))
    environment["PYTHONPATH"] = os.pathsep.join([package_root, environment.get("PYTHONPATH", "")])
    return environment


def with_sitecustomize(environment, folder, code):
    """environment (for a subprocess) whose interpreter first runs code, written as FOLDER/sitecustomize.py."""
    folder.mkdir(exist_ok=True)
    (folder / "sitecustomize.py").write_text(code)
    return dict(environment, PYTHONPATH=os.pathsep.join([str(folder), environment.get("PYTHONPATH", "")]))


def loop_over_planes(function, stack, axes):
    """FUNCTION on each Y x X (x S) plane of STACK, one call at a time, the
    results stacked back in the order AXES names (without S when a colour
    plane comes back grey): what named axes must give."""
    stacked = [position for position, letter in enumerate(axes) if letter not in "YXS"]
    if stacked:
        position = stacked[0]
        rest = axes[:position] + axes[position + 1:]
        parts = [loop_over_planes(function, np.take(stack, index, axis=position), rest)
                 for index in range(stack.shape[position])]
        lost_samples = parts[0].ndim < len(rest) and "S" in axes[:position]
        return np.stack(parts, axis=position - lost_samples)
    own = [letter for letter in "YXS" if letter in axes]
    result = function(np.transpose(stack, [axes.index(letter) for letter in own]))
    own = own[:result.ndim]
    return np.transpose(result, [own.index(letter) for letter in axes if letter in own])


def mount_namespace_command(kind, folder):
    """A command prefix that runs a command in a private mount namespace where
    FOLDER is a tiny tmpfs ("full": 64 KiB, so any real write fills it) or a
    read-only view of itself ("read-only"), and then lists FOLDER on stdout
    (a tmpfs is gone once the command ends). None where the machine cannot
    make one (no unshare, or no user namespaces)."""
    import shutil

    if shutil.which("unshare") is None or subprocess.run(["unshare", "-rm", "true"]).returncode != 0:
        return None
    mount = ("mount -t tmpfs -o size=64k none \"$0\"" if kind == "full"
             else "mount --bind \"$0\" \"$0\" && mount -o remount,ro,bind \"$0\"")
    script = mount + " && { \"$@\"; status=$?; echo '--- listing'; ls -A \"$0\"; exit $status; }"
    return ["unshare", "-rm", "sh", "-c", script, str(folder)]


def blob_image(low, high, dtype, shape=(256, 256), seed=0, blobs=40):
    """(image, truth): round objects (the truth mask) brighter than their
    background, with Gaussian noise, on the levels low..high of dtype."""
    rng = np.random.default_rng(seed)
    rows, cols = np.mgrid[:shape[0], :shape[1]]
    truth = np.zeros(shape, bool)
    for _ in range(blobs):
        centre_row, centre_col, radius = rng.uniform(0, shape[0]), rng.uniform(0, shape[1]), rng.uniform(10, 26)
        truth |= (rows - centre_row) ** 2 + (cols - centre_col) ** 2 < radius ** 2
    brightness = np.clip(0.3 + 0.4 * truth + rng.normal(0, 0.08, shape), 0, 1)
    return np.round(low + brightness * (high - low)).astype(dtype), truth
