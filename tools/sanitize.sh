#!/usr/bin/env bash
# Builds the extension with AddressSanitizer + UndefinedBehaviorSanitizer and
# runs pytest against that build.
#
#   tools/sanitize.sh [PYTEST ARGS...]      (default: the whole of tests/)
#   tools/sanitize.sh --ci [PYTEST ARGS...] the subset that CI runs (below)
#
# PYTHON selects the interpreter (default python3; it needs the test
# dependencies), SANITIZE_BUILD the build directory (default build/sanitize).
# Exit status: pytest's, or 1 when the build fails. A sanitizer finding aborts
# the process that made it: in pytest itself the run ends with the report; in a
# fuzz worker or a fresh-interpreter test the test fails with the report in its
# output.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD:-$root/build/sanitize}
python=$(command -v "${PYTHON:-python3}")
cd "$root"

# The build tools come with the machine; fetch them into the build directory
# where they do not.
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  "$python" -m pip install --quiet --target "$build/buildtools" cmake ninja
  export PATH="$build/buildtools/bin:$PATH"
  export PYTHONPATH="$build/buildtools${PYTHONPATH:+:$PYTHONPATH}"
fi

# The option is cached in the build directory, so dev_build.sh (which only
# sets the build type) keeps building the instrumented module there. -g gives
# the reports file names and lines.
cmake -S "$root" -B "$build" -G Ninja -DPython_EXECUTABLE="$python" \
      -DPICTOR_SANITIZE=ON -DCMAKE_CXX_FLAGS="-g" >/dev/null
package_path=$(PYTHON="$python" "$root/tools/dev_build.sh" "$build")

runtime() { "${CXX:-c++}" -print-file-name="$1"; }
asan=$(runtime libasan.so)
ubsan=$(runtime libubsan.so)
if [ ! -e "$asan" ]; then
  echo "sanitize.sh: no AddressSanitizer runtime ($asan)" >&2
  exit 1
fi

# The interpreter is not instrumented, so the sanitizer runtime must be loaded
# before everything else.
export LD_PRELOAD="$asan${ubsan:+ $ubsan}"
# detect_leaks=0: CPython keeps interned strings, static types and module
#   state alive until exit, which LeakSanitizer reports as leaks on every run;
#   reference and memory leaks are measured by tests/module/test_leaks.py instead.
# allocator_may_return_null=1 + max_allocation_size_mb: an impossible
#   allocation (a huge keyword value, a huge image) fails as it does in a normal
#   build (MemoryError, cv2.error) instead of aborting the process. 8 GiB, the
#   fuzz workers' address-space limit in a normal build, still leaves room for
#   the 50000 x 50000 image tests.
# halt_on_error=1, abort_on_error=1: the first finding stops the process with
#   SIGABRT, which the fuzz workers and fresh-interpreter tests report.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=8192:halt_on_error=1:abort_on_error=1:print_summary=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:report_error_type=1"
# Python objects from the system allocator, so that an overrun of a buffer the
# module writes into (tuples, bytes, array descriptors) is seen by ASan.
export PYTHONMALLOC=malloc
# Everything runs several times slower under the sanitizers.
export PICTOR_FUZZ_TIMEOUT=${PICTOR_FUZZ_TIMEOUT:-180}

# The CI subset: the whole suite except what says nothing under the
# sanitizers or costs more than it finds there -- the leak measurements (block
# counts are zero without pymalloc and ASan keeps freed memory in quarantine,
# so only their reference counts would remain), the 50000 x 50000 images
# (gigabytes of shadow memory), the stub type-checking (no native code) and
# the Dask cluster processes (orchestration; the chunked native steps run in
# tests/python/test_dask.py). tests/napari needs napari's own environment.
if [ "${1:-}" = --ci ]; then
  shift
  set -- tests --ignore=tests/module/test_leaks.py --ignore=tests/module/test_huge_inputs.py \
    --ignore=tests/module/test_stubs.py --ignore=tests/python/test_dask_cluster.py --ignore=tests/napari "$@"
elif [ $# -eq 0 ]; then
  set -- tests --ignore=tests/napari
fi
status=0
PYTHONPATH="$package_path${PYTHONPATH:+:$PYTHONPATH}" "$python" -m pytest "$@" || status=$?
exit $status
