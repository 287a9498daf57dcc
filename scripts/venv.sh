# Sourced by the other scripts (run from the repository root): the
# repository's own virtualenv, shared by the tests and the demo.
VENV_DIR="${VENV_DIR:-.venv}"
PY="$VENV_DIR/bin/python"

# Creates the virtualenv when missing and installs the build and test tools.
ensure_venv() {
    if [ ! -x "$PY" ]; then
        "${PYTHON:-python3}" -m venv "$VENV_DIR"
    fi
    "$PY" -m pip install -q scikit-build-core cmake ninja pytest hypothesis numpy
}

# Builds and installs the package; $1 is the build directory, further
# arguments go to pip (for example -C cmake.define.SOME_OPTION=ON).
install_package() {
    local build_dir="$1"
    shift
    "$PY" -m pip install -q --no-build-isolation . -C build-dir="$build_dir" "$@"
}
