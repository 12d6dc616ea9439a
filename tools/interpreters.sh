# Finding CPython interpreters; sourced by tools/test_all.sh and tools/wheels.sh.

newest() { sort -V | tail -n 1; }

# Prints the path of a CPython MAJOR.MINOR interpreter: the one on PATH, else
# the newest matching pyenv installation.
find_python() {
  local want=$1 candidate pyenv_root version
  local candidates=("python$want")
  if command -v pyenv >/dev/null 2>&1; then
    pyenv_root=$(pyenv root)
    candidate=$(ls -d "$pyenv_root"/versions/"$want".*/bin/python 2>/dev/null | newest)
    [ -n "$candidate" ] && candidates+=("$candidate")
    version=$(pyenv versions --bare 2>/dev/null | grep -E "^$want\.[0-9]+$" | newest)
    if [ -n "$version" ]; then
      candidate=$(PYENV_VERSION=$version pyenv which "python$want" 2>/dev/null)
      [ -n "$candidate" ] && candidates+=("$candidate")
    fi
  fi
  for candidate in "${candidates[@]}"; do
    if "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$want'.split('.'))))" \
        >/dev/null 2>&1; then
      "$candidate" -c 'import sys; print(sys.executable)'
      return 0
    fi
  done
  echo "no CPython $want found (looked on PATH and in pyenv)" >&2
  return 1
}
