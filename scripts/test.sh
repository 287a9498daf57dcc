#!/usr/bin/env bash
# Every test, build included. Each stage is a function listed in STAGES and
# runs in order; the first failure stops the script with a non-zero status.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/venv.sh

stage_release() {
    install_package build/release
    "$PY" -m pytest -q tests
}

STAGES=(stage_release)

ensure_venv
for stage in "${STAGES[@]}"; do
    echo "== $stage"
    "$stage"
done
