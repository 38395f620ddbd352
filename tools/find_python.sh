#!/bin/sh
# Prints the path of a working CPython 3.12. A bare `python3.12` may be a pyenv
# shim that refuses to run outside a folder with .python-version, so each
# candidate is tried for real before it is chosen.
works() { "$1" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; }

if [ -n "${VIRTUAL_ENV:-}" ] && works "$VIRTUAL_ENV/bin/python"; then
  echo "$VIRTUAL_ENV/bin/python"; exit 0
fi
for candidate in python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do
  if works "$candidate"; then
    "$candidate" -c 'import sys; print(sys.executable)'; exit 0
  fi
done
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  for version in $(pyenv versions --bare 2>/dev/null | grep '^3\.12' | sort -r -V); do
    if works "$root/versions/$version/bin/python3.12"; then
      echo "$root/versions/$version/bin/python3.12"; exit 0
    fi
  done
fi
for candidate in "$HOME"/.pyenv/versions/3.12*/bin/python3.12; do
  if works "$candidate"; then echo "$candidate"; exit 0; fi
done
echo "find_python.sh: no working CPython 3.12 found (install one, or activate a 3.12 virtualenv)" >&2
exit 1
