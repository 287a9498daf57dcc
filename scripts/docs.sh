#!/usr/bin/env bash
# Builds the HTML documentation into docs/_build/html, every warning an
# error, running the gallery's examples. Installs the package into the
# repository's virtualenv first, as scripts/demo.sh does; with --installed
# it uses the package already there (scripts/test.sh, after its release
# stage). The docs tools are the `docs` extra of pyproject.toml.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/venv.sh

ensure_venv
if [ "${1:-}" != "--installed" ]; then
    install_package build/release
fi
# The extra's requirements, read from pyproject.toml (tomllib from Python
# 3.11 on, pip's own copy of tomli before).
"$PY" - <<'PYTHON' | "$PY" -m pip install -q -r /dev/stdin
try:
    import tomllib
except ImportError:
    from pip._vendor import tomli as tomllib
with open("pyproject.toml", "rb") as handle:
    print("\n".join(tomllib.load(handle)["project"]["optional-dependencies"]["docs"]))
PYTHON
# Pages generated from the code are written afresh on every build, so that a
# name removed from the package cannot linger in them.
rm -rf docs/_build docs/generated docs/auto_examples docs/_generated docs/sg_execution_times.rst
"$PY" -m sphinx -W --keep-going -q -b html docs docs/_build/html
echo "docs: docs/_build/html/index.html"
