#!/usr/bin/env bash
# Prints the path of a working Python 3.13: python3.13 on PATH, else the newest 3.13 that pyenv
# holds. Fails with what to install when there is neither.
set -u
if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1; then
  command -v python3.13
  exit 0
fi
root=$( (pyenv root 2>/dev/null) || echo "${PYENV_ROOT:-$HOME/.pyenv}")
best=$(ls -d "$root"/versions/3.13* 2>/dev/null | grep -E '/3\.13(\.[0-9]+)?$' | sort -V | tail -n 1)
if [ -n "$best" ] && [ -x "$best/bin/python3.13" ]; then
  echo "$best/bin/python3.13"
  exit 0
fi
echo "No Python 3.13 found: install python3.13 (for example 'pyenv install 3.13') and retry." >&2
exit 1
