# Sourced by the scripts: where the project's Python environments live and
# which interpreters it is tested on.
#
# The default environment is the active virtual environment ($VIRTUAL_ENV)
# when there is one, otherwise .venv in the project, made from $PYTHON
# (python3 when unset). Each other supported version found on the machine
# gets .venv-<major.minor>.

SUPPORTED_PYTHONS=(3.11 3.12 3.13)

# pip of this project's scripts: quiet (errors still show). The environments
# are virtual, so pip never runs against the system interpreter.
PIP_FLAGS=(-qq --disable-pip-version-check --no-input)

default_venv() {
  if [ -n "${VIRTUAL_ENV:-}" ]; then echo "$VIRTUAL_ENV"; else echo "$PWD/.venv"; fi
}

# The X.Y of an interpreter.
python_minor() {
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

# An interpreter of version X.Y: the newest pyenv one (by version: 3.12.10
# after 3.12.9), else pythonX.Y on PATH. Prints nothing when there is none.
find_python() {
  local minor=$1 root="" best=""
  if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null || true); fi
  if [ -n "$root" ]; then
    best=$(ls -d "$root"/versions/"$minor".*/bin/python"$minor" 2>/dev/null | sort -V | tail -n 1 || true)
  fi
  if [ -z "$best" ] && command -v "python$minor" >/dev/null 2>&1; then best=$(command -v "python$minor"); fi
  if [ -n "$best" ]; then echo "$best"; fi
}
