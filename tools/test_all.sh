#!/usr/bin/env bash
# Builds the test environments and runs every check of the project.
#
#   tools/test_all.sh              create/refresh all environments, install the
#                                  package into each, run all checks (CI)
#   tools/test_all.sh env NAME     only create/refresh environment NAME and
#                                  install the package into it
#
# Environments live in .venv/NAME, one per file requirements/NAME.txt:
#   main    CPython 3.11, NumPy 1.26: the test suite, and the crosscheck record
#   numpy2  CPython 3.11, newest NumPy 2: the crosscheck comparison
#   cvnew   CPython 3.11, newest OpenCV: the smoke run
#   py38    CPython 3.8, NumPy 1.24: the test suite again
#   bench   CPython 3.11: main plus pyvips, for benchmarks/streaming.py only
#   py313   CPython 3.13, NumPy 2: the test suite (what the reference model
#           allows under NumPy 2) and the crosscheck comparison
#   napari  CPython 3.11 with napari and PyQt6: the plugin's tests in a real
#           viewer on a virtual X display (Debian's Xvfb and Mesa, installed
#           with apt-get when missing)
#   newest  CPython 3.13 with the newest release of every dependency of the
#           extras "dask" and "ome" (unpinned, upgraded on every run): the
#           Dask, OME and file tests
# Every environment installs the package from the wheel of its CPython that
# tools/wheels.sh builds for older Linux (repaired to a manylinux tag), so the
# suites test the wheels' own module. The wheels of CPython 3.8 and 3.13 are
# then installed into clean virtual environments and smoke-tested there from
# an empty folder (tools/wheel_smoke.py).
# An environment is reused while its requirement file and interpreter are
# unchanged ("newest" is upgraded in place); the package itself is rebuilt and
# reinstalled on every run.
# Last, tools/sanitize.sh --ci builds the module with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs most of the suite against it in "main".
set -u -o pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Time limits in seconds: CI stops at 90 minutes, the suites take about ten.
SUITE_LIMIT=1800
TOOL_LIMIT=600
# The instrumented build plus most of the suite: about ten minutes.
SANITIZE_LIMIT=1800
# A test still running after 15 minutes gets every thread's stack printed.
PYTEST_OPTIONS="-q -o faulthandler_timeout=900"
# The fuzz tests run the same bounded set of examples on every CI run.
export PICTOR_FUZZ_PROFILE=${PICTOR_FUZZ_PROFILE:-ci}

say() { printf '\n=== %s\n' "$*"; }

# shellcheck source=tools/interpreters.sh
. tools/interpreters.sh

interpreter_version() {
  case $1 in
    py38) echo 3.8 ;;
    py313|newest) echo 3.13 ;;
    main|numpy2|cvnew|napari|bench) echo 3.11 ;;
    *) echo "unknown environment: $1" >&2; return 1 ;;
  esac
}

# Creates .venv/NAME from requirements/NAME.txt unless the stamp shows that the
# existing one was made from the same file with the same interpreter.
ensure_env() {
  local name=$1 python requirements venv stamp wanted
  python=$(find_python "$(interpreter_version "$name")") || return 1
  requirements=requirements/$name.txt
  venv=.venv/$name
  stamp=$venv/requirements.stamp
  wanted="$(sha256sum "$requirements" | cut -d' ' -f1) $("$python" -c 'import sys; print(sys.version)' | head -n 1) $python"
  if [ -x "$venv/bin/python" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$wanted" ]; then
    echo "reusing $venv"
    return 0
  fi
  echo "creating $venv with $python"
  rm -rf "$venv"
  "$python" -m venv "$venv" &&
    "$venv/bin/python" -m pip install --quiet --requirement "$requirements" &&
    echo "$wanted" >"$stamp"
}

# The environments whose requirement file names no versions: upgraded to the
# newest releases on every run.
UNPINNED_ENVIRONMENTS="newest"
# What runs in "newest": the tests of the Dask, OME and file code.
NEWEST_TESTS="tests/python/test_dask.py tests/python/test_dask_axes.py tests/python/test_dask_cluster.py
  tests/python/test_ome_files.py tests/python/test_cli_batch.py"

# Upgrades an unpinned environment to the newest releases and prints them.
upgrade_unpinned() {
  local name=$1
  ".venv/$name/bin/python" -m pip install --quiet --upgrade --upgrade-strategy eager \
    --requirement "requirements/$name.txt" || return 1
  echo "newest releases:" $(".venv/$name/bin/python" -m pip freeze --exclude pictor-lumenops | sort)
}

# Builds the wheel for the interpreter of environment NAME with
# tools/wheels.sh (for older Linux, repaired to a manylinux tag) and prints
# its path. The environments of one CPython share its wheel.
build_wheel() {
  local name=$1 version wheel_dir wheel
  version=$(interpreter_version "$name")
  wheel_dir=build/wheels/py$version
  if [ -z "$(built_wheel "$wheel_dir")" ]; then
    rm -rf "$wheel_dir"
    mkdir -p "$wheel_dir"
    wheel=$(bash tools/wheels.sh "$version") || return 1
    cp "$wheel" "$wheel_dir/"
  fi
  built_wheel "$wheel_dir"
}

built_wheel() { ls "$1"/pictor_lumenops-*.whl 2>/dev/null | head -n 1; }

# Reinstalls the package into NAME; dependencies come from the pinned file.
install_package() {
  local name=$1 wheel problems
  wheel=$(build_wheel "$name") || return 1
  ".venv/$name/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel" || return 1
  # The package's own dependencies must be met by the pinned set.
  problems=$(".venv/$name/bin/python" -m pip check 2>&1) || { echo "$problems"; return 1; }
}

# napari draws with OpenGL, which Qt's offscreen platform lacks: the plugin's
# tests run under Xvfb with Mesa and Qt's xcb libraries.
DISPLAY_PACKAGES="xvfb xauth libgl1-mesa-dri libegl1 libdbus-1-3 libfontconfig1 libxkbcommon-x11-0
  libxcb-icccm4 libxcb-image0 libxcb-keysyms1 libxcb-randr0 libxcb-render-util0 libxcb-xinerama0
  libxcb-xfixes0 libxcb-shape0 libxcb-cursor0"

ensure_display_packages() {
  local missing
  # shellcheck disable=SC2086
  missing=$(dpkg-query -W -f='${Package} ${Status}\n' $DISPLAY_PACKAGES 2>&1 | grep -v ' installed$' || true)
  [ -z "$missing" ] && return 0
  echo "installing the virtual display: $DISPLAY_PACKAGES"
  # shellcheck disable=SC2086
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $DISPLAY_PACKAGES >/dev/null
}

prepare() {
  local name=$1
  say "environment $name"
  if [ "$name" = napari ]; then ensure_display_packages || return 1; fi
  ensure_env "$name" || return 1
  if [[ " $UNPINNED_ENVIRONMENTS " == *" $name "* ]]; then upgrade_unpinned "$name" || return 1; fi
  install_package "$name"
}

failures=()
ready=()

is_ready() { [[ " ${ready[*]} " == *" $1 "* ]]; }

# Runs one check in the named environment, stopped after LIMIT seconds so that
# a hang fails the run instead of eating the whole CI budget, and records its
# outcome.
check() {
  local title=$1 name=$2 limit=$3 status started
  shift 3
  say "$title ($name)"
  if ! is_ready "$name"; then
    echo "skipped: environment $name could not be set up"
    failures+=("$title")
    return
  fi
  started=$SECONDS
  timeout --signal=INT --kill-after=60 "$limit" "$@"
  status=$?
  case $status in
    124|137) echo "stopped: still running after $limit s" ;;
    5) [ "$3" = pytest ] && echo "pytest collected no tests" ;;
  esac
  echo "--- $title: exit $status after $((SECONDS - started)) s"
  [ "$status" -eq 0 ] || failures+=("$title")
}

# --deselect options for the tests that NumPy 2 keeps from passing, and why:
# tests/numpy2_deselect.txt.
numpy2_deselect() { grep -v -e '^#' -e '^$' tests/numpy2_deselect.txt | sed 's/^/--deselect=/'; }

run_all() {
  local name record=build/crosscheck/main.pkl
  rm -rf build/wheels
  for name in main numpy2 cvnew py38 py313 napari newest; do
    if prepare "$name"; then
      ready+=("$name")
    else
      echo "setting up $name failed"
      failures+=("environment $name")
    fi
  done
  mkdir -p build/crosscheck
  rm -f "$record"
  check "test suite, CPython 3.11" main $SUITE_LIMIT .venv/main/bin/python -m pytest $PYTEST_OPTIONS
  check "crosscheck record" main $TOOL_LIMIT .venv/main/bin/python tools/crosscheck.py dump "$record"
  check "crosscheck against NumPy 2" numpy2 $TOOL_LIMIT \
    .venv/numpy2/bin/python tools/crosscheck.py compare "$record"
  check "smoke run with the newest OpenCV" cvnew $TOOL_LIMIT .venv/cvnew/bin/python tools/crosscheck.py smoke
  check "test suite, CPython 3.8" py38 $SUITE_LIMIT .venv/py38/bin/python -m pytest $PYTEST_OPTIONS
  check "test suite, CPython 3.13 with NumPy 2" py313 $SUITE_LIMIT \
    .venv/py313/bin/python -m pytest $PYTEST_OPTIONS $(numpy2_deselect)
  check "crosscheck against NumPy 2, CPython 3.13" py313 $TOOL_LIMIT \
    .venv/py313/bin/python tools/crosscheck.py compare "$record"
  # shellcheck disable=SC2086
  check "Dask, OME and file tests on the newest releases, CPython 3.13" newest $SUITE_LIMIT \
    .venv/newest/bin/python -m pytest $PYTEST_OPTIONS $(numpy2_deselect) $NEWEST_TESTS
  for name in py38 py313; do
    check "wheel smoke test, CPython $(interpreter_version $name)" $name $TOOL_LIMIT \
      bash tools/wheels.sh smoke "$(built_wheel "build/wheels/py$(interpreter_version $name)")" \
      "requirements/$name.txt"
  done
  check "napari plugin in a viewer on Xvfb" napari $TOOL_LIMIT \
    xvfb-run -a .venv/napari/bin/python -m pytest $PYTEST_OPTIONS tests/napari
  check "sanitizer subset (ASan + UBSan), CPython 3.11" main $SANITIZE_LIMIT \
    env PYTHON=.venv/main/bin/python bash tools/sanitize.sh --ci $PYTEST_OPTIONS

  say "summary after $SECONDS s"
  if [ ${#failures[@]} -eq 0 ]; then
    echo "all checks passed"
    return 0
  fi
  printf 'FAILED: %s\n' "${failures[@]}"
  return 1
}

case ${1:-all} in
  all) run_all ;;
  env)
    [ $# -eq 2 ] || { echo "usage: $0 env NAME" >&2; exit 2; }
    rm -rf build/wheels
    prepare "$2"
    ;;
  *) echo "usage: $0 [env NAME]" >&2; exit 2 ;;
esac
