# Sourced by the other scripts (run from the repository root): the
# repository's own virtualenv, shared by the tests and the demo.
VENV_DIR="${VENV_DIR:-.venv}"
PY="$VENV_DIR/bin/python"

# Creates the virtualenv when missing and installs the build and test tools;
# the package's own dependencies come with it from pyproject.toml.
ensure_venv() {
    if [ ! -x "$PY" ]; then
        "${PYTHON:-python3}" -m venv "$VENV_DIR"
    fi
    "$PY" -m pip install -q scikit-build-core cmake ninja pytest hypothesis
}

# Builds and installs the package with its distributed extra (the tests of
# vellum.distributed need Dask); $1 is the build directory, further
# arguments go to pip (for example -C cmake.define.SOME_OPTION=ON).
install_package() {
    local build_dir="$1"
    shift
    "$PY" -m pip install -q --no-build-isolation ".[distributed]" -C build-dir="$build_dir" "$@"
}

# Runs a command (a Python of a GKM_SANITIZE=ON build) under the sanitizers:
# gcc's runtimes preloaded, since the interpreter itself is not instrumented;
# the system allocator, so that ASan sees Python's allocations too; every
# report fatal; impossible
# allocations return NULL, as they do without ASan, so that the tests of the
# MemoryError paths can run. Leak detection
# is off because the interpreter's own allocations make LeakSanitizer noisy;
# tests/test_leaks.py checks leaks instead, and skips its memory-growth
# measurements when it sees libasan preloaded.
with_sanitizers() {
    local cc="${CC:-gcc}"
    LD_PRELOAD="$("$cc" -print-file-name=libasan.so) $("$cc" -print-file-name=libubsan.so)" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:strict_init_order=1" \
        UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1" \
        "$@"
}
