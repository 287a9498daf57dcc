#!/usr/bin/env bash
# Every test, build included. Each stage is a function listed in STAGES and
# runs in order; the first failure stops the script with a non-zero status.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/venv.sh

stage_release() {
    ensure_venv
    install_package build/release
    "$PY" -m pytest -q tests
}

# The documentation, examples run, warnings as errors, against the package
# the release stage installed.
stage_docs() {
    bash scripts/docs.sh --installed
}

# The whole suite again against an AddressSanitizer + UndefinedBehaviorSanitizer
# build, in a virtualenv and build directory of its own so that neither build
# replaces the other.
stage_sanitizers() {
    local VENV_DIR=.venv-asan
    local PY="$VENV_DIR/bin/python"
    ensure_venv
    install_package build/asan -C cmake.define.GKM_SANITIZE=ON
    # Capturing sys.stderr rather than file descriptor 2 lets a sanitizer's
    # report reach the log even when it aborts the run.
    with_sanitizers "$PY" -m pytest -q --capture=sys tests
}

STAGES=(stage_release stage_docs stage_sanitizers)

for stage in "${STAGES[@]}"; do
    echo "== $stage"
    start=$SECONDS
    "$stage"
    echo "== $stage passed in $((SECONDS - start)) s"
done
