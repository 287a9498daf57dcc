#!/usr/bin/env bash
# Installs the package (and the vellum command) into the repository's
# virtualenv and runs `vellum demo`; arguments go to it (see --help).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/venv.sh

ensure_venv
install_package build/release
"$VENV_DIR/bin/vellum" demo "$@"
