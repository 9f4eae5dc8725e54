#!/usr/bin/env bash
# Makes (or brings up to date) a virtual environment with the package built
# from this checkout and the Python packages it needs:
#
#   scripts/venv.sh PYTHON DIR [EXTRAS]     e.g. scripts/venv.sh python3.12 .venv-3.12
#
# EXTRAS is a comma-separated list of the package's extras (default
# test,bench). An existing environment is reused. The build tree is
# build/<wheel tag> (cp312-cp312-linux_x86_64, ...), kept between runs, so a
# second run rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

python=$1 dir=$2 extras=${3:-test,bench}
if [ ! -x "$dir/bin/python" ]; then
  "$python" -m venv "$dir"
fi
py="$dir/bin/python"
"$py" -m pip install "${PIP_FLAGS[@]}" --upgrade "pip>=23"
# The build backend and tools go in first: the package is built without
# isolation, by the environment's own cmake and ninja.
"$py" -m pip install "${PIP_FLAGS[@]}" "scikit-build-core>=0.10" "cmake>=3.20" ninja
# The run-time dependencies and those of the extras, as pyproject.toml lists
# them (some of them build from source, in isolation as usual).
requirements=$("$py" - "$extras" <<'EOF'
import sys, tomllib
project = tomllib.load(open("pyproject.toml", "rb"))["project"]
requirements = list(project["dependencies"])
for extra in filter(None, sys.argv[1].split(",")):
    requirements += project["optional-dependencies"][extra]
print("\n".join(dict.fromkeys(requirements)))
EOF
)
mapfile -t requirements <<<"$requirements"
"$py" -m pip install "${PIP_FLAGS[@]}" "${requirements[@]}"
"$py" -m pip install "${PIP_FLAGS[@]}" --no-build-isolation --no-deps --force-reinstall \
  -Cbuild-dir='build/{wheel_tag}' .
