#!/bin/sh
# Prints the path of a working CPython of the version given (default 3.12):
#   sh tools/find_python.sh [3.12|3.13]
# A bare `python3.12` may be a pyenv shim that refuses to run outside a folder with
# .python-version (unless PYENV_VERSION names an installed 3.12), so each candidate
# is tried for real before it is chosen.
version="${1:-3.12}"
major="${version%%.*}"
minor="${version#*.}"
works() {
  "$1" -c "import sys; assert sys.version_info[:2] == ($major, $minor)" >/dev/null 2>&1
}

if [ -n "${VIRTUAL_ENV:-}" ] && works "$VIRTUAL_ENV/bin/python"; then
  echo "$VIRTUAL_ENV/bin/python"; exit 0
fi
for candidate in "python$version" "/usr/local/bin/python$version" "/usr/bin/python$version"; do
  if works "$candidate"; then
    "$candidate" -c 'import sys; print(sys.executable)'; exit 0
  fi
done
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  for installed in $(pyenv versions --bare 2>/dev/null | grep "^$version\." | sort -r -V); do
    if works "$root/versions/$installed/bin/python$version"; then
      echo "$root/versions/$installed/bin/python$version"; exit 0
    fi
  done
fi
for candidate in "$HOME"/.pyenv/versions/"$version".*/bin/python"$version"; do
  if works "$candidate"; then echo "$candidate"; exit 0; fi
done
echo "find_python.sh: no working CPython $version found (install one, or activate a $version virtualenv)" >&2
exit 1
