"""Out-of-process runner for the fuzz tests.

A fuzz case names one tool method and describes its call: the arguments are
plain picklable values or ``ArraySpec`` recipes that the worker turns into
arrays of the requested element type, shape and memory layout. The worker
calls the method and checks what must hold for any input:

- the call ends in a result or in an exception of an ordinary type
  (``SystemError`` means a C API call failed without being reported, which is
  a fault of the module, never of the caller's input);
- the input arrays, and the memory around their views, are unchanged;
- a returned array is readable to its last byte, writeable, and does not
  share memory with an input, except where a view is documented (``crop``)
  or the input itself is returned (``crop_return``);
- a second identical call, with the heap scribbled with another byte pattern,
  gives the same result (else it was read from uninitialised or freed memory).

The parent keeps one long-lived worker and restarts it when a case kills it
(a crash is reported as a failure with the worker's stderr) or overruns its
time limit (a hang). Protocol: length-prefixed pickles over the worker's
stdin and a duplicate of its stdout; its original stdout is pointed at its
stderr, so that stray output from libraries cannot corrupt the stream.
"""
import collections
import functools
import os
import pickle
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import zlib

import numpy as np

from tool_calls import write_identity_model

# The worker imports this module from its folder and the shared helpers
# (tool_calls, corpus) from the tests' root.
WORKER_DIR = os.path.dirname(os.path.abspath(__file__))
TESTS_DIR = os.path.dirname(WORKER_DIR)

# Methods whose result legitimately involves the input.
RETURNS_A_VIEW = {"GeometricTransformation.crop"}
RETURNS_THE_SOURCE = {"GeometricTransformation.crop_return"}

MODEL_PATH = os.path.join("deeplearning", "models", "universal.onnx")
STARTUP_TIMEOUT = 180.0
WORKER_MEMORY_LIMIT = 8 << 30  # address space; huge keyword values then fail fast
SENTINEL_BYTE = 0xA5           # fills the gaps around strided views

ArraySpec = collections.namedtuple("ArraySpec", "dtype shape fill seed layout")
ArraySpec.__doc__ = """Recipe for an input array: NumPy dtype, shape, fill kind, seed, layout tags.

Layout tags: "fortran", "strided" (every other element of a larger buffer),
"reversed" (negative strides on every axis), "unaligned" (offset by one byte
into a byte buffer), "byteswapped", "readonly", "broadcast" (zero stride on
the first axis), "masked" / "matrix" (ndarray subclasses)."""

Case = collections.namedtuple("Case", "class_name method args kwargs")


# --- hostile objects (importable, so that they pickle by reference) ---------

class Exploding:
    """Every numeric or container protocol raises."""

    def _boom(self, *args, **kwargs):
        raise ValueError("exploding operand")

    __index__ = __int__ = __float__ = __bool__ = __len__ = __iter__ = _boom
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _boom
    __truediv__ = __rtruediv__ = __floordiv__ = __rfloordiv__ = _boom
    __mod__ = __rmod__ = __pow__ = __rpow__ = __neg__ = __abs__ = _boom
    __lt__ = __le__ = __gt__ = __ge__ = __getitem__ = _boom

    def __eq__(self, other):
        raise ValueError("exploding comparison")

    __hash__ = object.__hash__

    def __repr__(self):
        return "Exploding()"


class FakeImage:
    """Looks like an image by its attributes but holds no data."""

    dtype = np.dtype(np.uint16)
    shape = (4, 4)
    ndim = 2
    size = 16

    def __repr__(self):
        return "FakeImage()"


class ArrayRaising:
    """Converting it to an array raises."""

    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("no array for you")

    def __repr__(self):
        return "ArrayRaising()"


class HugeLength:
    """A sequence that claims more items than any index can hold."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        if isinstance(index, int) and index < 4:
            return 0
        raise IndexError(index)

    def __repr__(self):
        return "HugeLength()"


# --- building the inputs (worker side) -------------------------------------

def _element_count(shape):
    count = 1
    for n in shape:
        count *= n
    return count


def _random_objects(rng, count):
    # No strings or tuples: NumPy's arithmetic on object arrays would repeat
    # them (a tuple times 65535), work that grows without bound and is the
    # library's, not the module's.
    pool = [0, 1, 255, 2.5, -1, None, np.uint8(7), float("nan"), 10 ** 30, 1j, Exploding()]
    kind = rng.integers(0, 3)
    if kind == 0:  # all Python ints, which NumPy can compute with
        return [int(v) for v in rng.integers(0, 256, count)]
    if kind == 1:
        return [float(v) for v in rng.random(count)]
    return [pool[i] for i in rng.integers(0, len(pool), count)]


def _fill_values(dtype, shape, fill, seed):
    """The logical contents of an input, as a C-contiguous array."""
    rng = np.random.default_rng(seed)
    count = _element_count(shape)
    if dtype.hasobject:
        values = np.empty(count, dtype)
        values[:] = _random_objects(rng, count) if count else []
        return values.reshape(shape)
    if fill == "bits" or dtype.kind in "VSUMm" or dtype.fields:
        raw = rng.integers(0, 256, count * dtype.itemsize, dtype=np.uint8)
        return raw.view(dtype).reshape(shape).copy()
    if fill == "zeros":
        return np.zeros(shape, dtype)
    if dtype.kind == "b":
        return rng.integers(0, 2, shape).astype(dtype)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        if fill == "max":
            return np.full(shape, info.max, dtype)
        if fill == "extremes":
            return rng.choice(np.array([info.min, info.max, 0, 1], dtype), size=shape)
        if fill == "small":
            return rng.integers(0, 4, shape).astype(dtype)
        if fill == "ramp":
            return (np.arange(count) % (int(info.max) + 1)).astype(dtype).reshape(shape)
        return rng.integers(info.min, info.max, size=shape, dtype=dtype, endpoint=True)
    # floating and complex
    if fill == "max":
        return np.full(shape, 255, dtype)
    if fill == "extremes":
        specials = [np.nan, np.inf, -np.inf, -0.0, 0.0, 1.0, 1e300, -1e300, 5e-324]
        return np.array(rng.choice(specials, size=shape)).astype(dtype)
    if fill == "small":
        return rng.random(shape).astype(dtype)
    if fill == "ramp":
        return (np.arange(count) % 256).astype(dtype).reshape(shape)
    return (rng.random(shape) * 65535).astype(dtype)


class BuiltArray:
    """An input array together with the buffer that owns its memory."""

    def __init__(self, array, owner):
        self.array = array
        self.owner = owner
        self.before = self.snapshot()

    def snapshot(self):
        if self.owner.dtype.hasobject:
            return [id(item) for item in self.owner.ravel()]
        return bytes(self.owner.data)

    def unchanged(self):
        return self.snapshot() == self.before


def _container(dtype, shape, layout):
    """A buffer holding an array of `shape` in the requested memory form,
    the gaps (for strided views) filled with a sentinel byte."""
    count = _element_count(shape)
    order = "F" if "fortran" in layout else "C"
    if dtype.hasobject:
        owner = np.full(max(count, 1), None, dtype)
        return owner, owner[:count].reshape(shape, order=order)
    offset = 1 if "unaligned" in layout and dtype.itemsize > 1 else 0
    owner = np.full(count * dtype.itemsize + offset + 1, SENTINEL_BYTE, np.uint8)
    flat = owner[offset:offset + count * dtype.itemsize].view(dtype)
    return owner, flat.reshape(shape, order=order)


def make_array(spec):
    """Builds the array that `spec` describes; returns a BuiltArray."""
    dtype = np.dtype(spec.dtype)
    shape = tuple(spec.shape)
    layout = set(spec.layout)
    values = _fill_values(dtype, shape, spec.fill, spec.seed)
    if "byteswapped" in layout and not dtype.hasobject:
        dtype = dtype.newbyteorder()
    steps = 2 if "strided" in layout and shape else 1
    owner, container = _container(dtype, tuple(n * steps for n in shape), layout)
    view = container[tuple(slice(None, None, steps) for _ in shape)] if steps > 1 else container
    if "reversed" in layout and shape:
        view = view[tuple(slice(None, None, -1) for _ in shape)]
    if "broadcast" in layout and shape and shape[0] > 0:
        view = view[:1]
        view[...] = values[:1]
        view = np.broadcast_to(view, shape)
    else:
        view[...] = values
    if "masked" in layout:
        view = np.ma.masked_array(view, mask=np.zeros(shape, bool))
    # Only numeric matrices: `*` is a matrix product there, and for records it
    # turns into Python-level sequence repetition of unbounded cost.
    if "matrix" in layout and len(shape) == 2 and not dtype.hasobject and not dtype.fields:
        view = np.asmatrix(view)
    if "readonly" in layout:
        view.flags.writeable = False
    return BuiltArray(view, owner)


def build_value(value, built):
    """A call argument from its description; arrays are recorded in `built`."""
    if isinstance(value, ArraySpec):
        made = make_array(value)
        built.append(made)
        return made.array
    if isinstance(value, list):  # lists of specs become lists of arrays
        return [build_value(item, built) for item in value]
    return value


# --- checking one call (worker side) ---------------------------------------

def _is_ordinary(error):
    # NotImplementedError: a method whose body is missing, which must fail here.
    return isinstance(error, Exception) and not isinstance(error, (SystemError, NotImplementedError))


def _arrays_in(result):
    if isinstance(result, np.ndarray):
        yield result
    elif isinstance(result, (tuple, list)):
        for item in result:
            yield from _arrays_in(item)


def _shares(result, owner):
    if not np.may_share_memory(result, owner):
        return False
    try:
        return np.shares_memory(result, owner, max_work=10 ** 6)
    except np.TooHardError:
        return True


# x86's long double holds 10 significant bytes in 16; the rest is padding that
# nothing initialises.
LONG_DOUBLE_BYTES = 10


def _significant_bytes(array):
    base = array.dtype.type
    if base in (np.longdouble, np.clongdouble) and array.dtype.itemsize in (16, 32):
        # In native order the significant bytes come first, whatever the array's order.
        native = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("="))
        parts = native.view(np.uint8).reshape(-1, 16)
        return parts[:, :LONG_DOUBLE_BYTES].tobytes()
    return array.tobytes()


def _touch(array):
    """Reads every element, so that a dangling or short buffer shows."""
    array = array.view(np.ndarray)  # subclasses (masked results) may refuse tobytes
    if array.dtype.hasobject:
        return zlib.crc32(repr([type(item).__name__ for item in array.ravel()]).encode())
    return zlib.crc32(_significant_bytes(array))


def _check_result(qualname, result, inputs, built):
    problems = []
    if qualname in RETURNS_THE_SOURCE:
        expected = inputs.get("src")
        if result is not expected:
            problems.append("does not return its src argument")
        return problems, "src"
    if any(result is value for value in inputs.values() if isinstance(value, (np.ndarray, list))):
        problems.append("returns one of its input arrays")
    summaries = []
    for array in _arrays_in(result):
        summaries.append("{} {} crc {}".format(array.dtype.str, array.shape, _touch(array)))
        if qualname in RETURNS_A_VIEW:
            continue
        if type(array) is np.ndarray and not array.flags.writeable:
            problems.append("returns a read-only array")
        for made in built:
            if _shares(array, made.owner):
                problems.append("returns an array sharing memory with an input")
    description = type(result).__name__ + (": " + "; ".join(summaries) if summaries else "")
    return problems, description


def _fingerprint(result):
    """What a result holds, in a form two calls can be compared by."""
    if isinstance(result, np.ndarray):
        return ("array", result.dtype.str, result.shape, _touch(result))
    if isinstance(result, (tuple, list)):
        return (type(result).__name__,) + tuple(_fingerprint(item) for item in result)
    if isinstance(result, (int, float, complex, np.generic)):
        return (type(result).__name__, repr(result))
    return (type(result).__name__,)


@functools.lru_cache(maxsize=None)
def _mallopt():
    """glibc's mallopt, or None where malloc is not glibc's (the sanitizers
    bring their own allocator, and their own checks)."""
    import ctypes

    try:
        return ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return None


def _scribble_heap(fill_byte):
    """Makes glibc fill newly allocated and freed heap memory with a byte
    pattern, so that a result read from uninitialised or freed memory differs
    from one call to the next."""
    m_perturb = -6
    mallopt = _mallopt()
    if mallopt is not None:
        mallopt(m_perturb, fill_byte)


def _call(module, case, args, kwargs):
    """("returned", result) or ("raised", error)."""
    try:
        tool = getattr(module, case.class_name)()
        return "returned", getattr(tool, case.method)(*args, **kwargs)
    except BaseException as error:  # classified by the caller, never re-raised
        return "raised", error


def run_case(module, case):
    """Runs one case in this process, twice over differently scribbled heap
    memory; returns an outcome dictionary."""
    built = []
    args = [build_value(value, built) for value in case.args]
    kwargs = {name: build_value(value, built) for name, value in case.kwargs.items()}
    inputs = dict(zip(("arg%d" % i for i in range(len(args))), args))
    inputs.update(kwargs)
    qualname = case.class_name + "." + case.method
    _scribble_heap(0x55)
    kind, value = _call(module, case, args, kwargs)
    if kind == "raised":
        error = value
        outcome = {"kind": "raised",
                   "ordinary": _is_ordinary(error), "problems": [],
                   "detail": "{}: {}".format(type(error).__name__, str(error)[:300])}
    else:
        problems, description = _check_result(qualname, value, inputs, built)
        first = _fingerprint(value)
        del value
        _scribble_heap(0xAA)
        again_kind, again = _call(module, case, args, kwargs)
        if again_kind != "returned" or _fingerprint(again) != first:
            problems.append("a second identical call gave {!r:.200}: the result depends on "
                            "uninitialised or freed memory".format(again))
        outcome = {"kind": "returned", "problems": problems, "detail": description,
                   "shapes": [array.shape for array in _arrays_in(again)]}
    _scribble_heap(0)
    changed = [i for i, made in enumerate(built) if not made.unchanged()]
    if changed:
        outcome["problems"].append("wrote into input array(s) {}".format(changed))
    return outcome


# --- the worker process -----------------------------------------------------

def _read_exactly(stream, count):
    data = b""
    while len(data) < count:
        chunk = stream.read(count - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def _send(stream, message):
    payload = pickle.dumps(message, protocol=2)
    stream.write(struct.pack("<I", len(payload)) + payload)
    stream.flush()


def _receive(stream):
    (length,) = struct.unpack("<I", _read_exactly(stream, 4))
    return pickle.loads(_read_exactly(stream, length))


def under_sanitizer():
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def _limit_memory():
    # The sanitizer reserves terabytes of shadow address space; it has its own
    # allocation limit there (see tools/sanitize.sh).
    if under_sanitizer():
        return
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (WORKER_MEMORY_LIMIT, WORKER_MEMORY_LIMIT))


def serve():
    """Worker main loop: read cases from stdin, answer on the saved stdout."""
    import faulthandler
    import warnings

    replies = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    requests = sys.stdin.buffer
    faulthandler.enable(sys.stderr)
    warnings.simplefilter("ignore")
    _limit_memory()
    import pictor.lumenops as module

    _send(replies, {"kind": "ready"})
    while True:
        try:
            case = _receive(requests)
        except EOFError:
            return
        sys.stderr.write("case {!r}\n".format(case))
        sys.stderr.flush()
        try:
            outcome = run_case(module, case)
        except Exception:  # a fault of this harness, not of the module
            outcome = {"kind": "harness_error", "problems": [], "detail": traceback.format_exc()}
        _send(replies, outcome)


# --- the parent side --------------------------------------------------------

class WorkerDied(AssertionError):
    pass


def prepare_scratch_dir():
    """Working directory of the workers: an identity network as the model file
    (the shipped one costs a large fraction of a second per call, and the
    module's steps around it are the same), and the three image folders that
    crop_return walks, with one small image pair."""
    import cv2

    scratch = tempfile.mkdtemp(prefix="pictor-fuzz-")
    model = os.path.join(scratch, MODEL_PATH)
    os.makedirs(os.path.dirname(model))
    write_identity_model(model)
    for folder in ("global", "local", "merge"):
        os.mkdir(os.path.join(scratch, folder))
    cv2.imwrite(os.path.join(scratch, "global", "a.tif"), np.full((6, 5), 9, np.uint8))
    cv2.imwrite(os.path.join(scratch, "local", "a.tif"), np.full((1, 1), 200, np.uint8))
    return scratch


def _pictor_search_path():
    import pictor

    return os.path.dirname(os.path.dirname(os.path.abspath(pictor.__file__)))


class Worker:
    """One fuzz worker process, restarted when it dies or hangs."""

    def __init__(self, cwd, timeout):
        self.cwd = cwd
        self.timeout = timeout
        self.process = None
        self.log = None
        self.starts = 0

    def _start(self):
        self.log = tempfile.TemporaryFile()
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            [WORKER_DIR, TESTS_DIR, _pictor_search_path()] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
        env["PYTHONFAULTHANDLER"] = "1"
        command = [sys.executable, "-c", "import fuzz_worker; fuzz_worker.serve()"]
        self.process = subprocess.Popen(command, cwd=self.cwd, env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.log)
        self.starts += 1
        reply = self._await_reply(STARTUP_TIMEOUT, "starting up")
        if reply.get("kind") != "ready":
            raise WorkerDied("worker sent {!r} instead of ready".format(reply))

    def _stderr_tail(self, limit=4000):
        self.log.seek(0)
        text = self.log.read().decode(errors="replace")
        return text[-limit:]

    def _exit_cause(self):
        code = self.process.poll()
        if code is None:
            return "still running"
        return "signal {}".format(signal.Signals(-code).name) if code < 0 else "exit status {}".format(code)

    def _fail(self, what):
        cause = self._exit_cause()
        tail = self._stderr_tail()
        self.stop()
        raise WorkerDied("{} [{}]\n--- worker stderr (tail) ---\n{}".format(what, cause, tail))

    def _await_reply(self, timeout, doing):
        stream = self.process.stdout
        deadline = time.monotonic() + timeout
        data = b""
        need = 4
        while len(data) < need:
            left = deadline - time.monotonic()
            if left <= 0:
                self._fail("worker hung: no answer after {:.0f} s while {}".format(timeout, doing))
            ready, _, _ = select.select([stream], [], [], left)
            if not ready:
                continue
            chunk = os.read(stream.fileno(), need - len(data))
            if not chunk:
                self.process.wait()
                self._fail("worker died while {}".format(doing))
            data += chunk
            if len(data) == 4 and need == 4:
                need = 4 + struct.unpack("<I", data)[0]
        return pickle.loads(data[4:])

    def run(self, case):
        if self.process is None or self.process.poll() is not None:
            self._start()
        try:
            _send(self.process.stdin, case)
        except BrokenPipeError:
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                pass
            self._fail("worker died before it received {!r}".format(case))
        return self._await_reply(self.timeout, "running {!r}".format(case))

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                self.process.kill()
            self.process.wait()
            self.process.stdin.close()
            self.process.stdout.close()
            self.process = None
