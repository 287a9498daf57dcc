#!/usr/bin/env bash
# Builds the package into the repository's virtualenv and runs the demo;
# arguments go to `python -m vellum.demo` (see --help).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/venv.sh

ensure_venv
install_package build/release
"$PY" -m vellum.demo "$@"
