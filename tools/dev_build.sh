#!/bin/sh
# Incremental development build of the extension, without installing it.
#   tools/dev_build.sh [BUILD_DIR]     (PYTHON selects the interpreter)
# Prints the PYTHONPATH under which `import pictor.lumenops` finds the build.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
python=$(command -v "${PYTHON:-python3}")
cmake -S "$root" -B "$build" -G Ninja -DPython_EXECUTABLE="$python" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >&2
pkg="$build/python/pictor"
mkdir -p "$pkg"
for entry in "$root"/src/pictor/*; do
  ln -sfn "$entry" "$pkg/"
done
cp "$build"/lumenops*.so "$pkg/"
mkdir -p "$pkg/models"
ln -sfn "$root/deeplearning/models/universal.onnx" "$pkg/models/"
echo "$build/python"
