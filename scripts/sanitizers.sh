# Sanitized runs for scripts/run_tests.sh, sourced after common.sh once the virtual
# environment is set up:
# - the whole test suite against a second build of the module and the engine made with
#   AddressSanitizer and UndefinedBehaviorSanitizer (python3.9 itself is not instrumented, so
#   the runtime is preloaded into it and into every child interpreter the tests start);
# - the engine's own threads under ThreadSanitizer, through a C++ driver (no Python: an
#   uninstrumented interpreter would hide or fake races).
# Both use the compiler the package builds with (gcc), whose sanitizer runtimes come with it.

# The compiler's copy of a sanitizer runtime, or a message naming the package that has it.
sanitizer_runtime() {
    local path
    path=$("${CXX:-c++}" -print-file-name="$1")
    if [ ! -f "$path" ]; then
        echo "error: the compiler has no $1; install gcc's runtime libraries" \
             "(Debian: apt-get install libgcc-12-dev) or set VELMORA_SANITIZERS=0." >&2
        return 1
    fi
    echo "$path"
}

run_address_sanitized_suite() {
    local build="$ROOT/build/address-sanitized" runtime started=$SECONDS
    runtime=$(sanitizer_runtime libasan.so) || return 1
    rm -rf "$build"
    VELMORA_SANITIZE="address,undefined" "$VENV/bin/python" -m pip install --quiet --no-deps \
        --config-settings=build-dir="$ROOT/build/address-sanitized-tree" \
        --config-settings=cmake.build-type=RelWithDebInfo \
        --target "$build" "$ROOT" || return 1
    echo "== the test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
    # libstdc++ is preloaded too: the interpreter does not link it, and the runtime must see
    # it at start-up to intercept C++ exceptions thrown on the engine's threads.
    # Reports go to files, one per process: pytest captures the stderr of a test that ends
    # the process, and the tests read their children's stderr.
    # Leak checking is off for the suite: at exit CPython, numpy and the test tools leave
    # hundreds of allocations behind through dozens of the interpreter's allocation paths, and
    # suppressing them all would hide leaks of ours too. tests/engine/test_soak.py checks for leaks
    # instead, in a child that runs every kind of our work and nothing else, with
    # tests/sanitizers/lsan.supp; Python objects that we leak show up there and in the soak.
    # The assertion build is left out: it is not instrumented.
    local reports="$ROOT/build/sanitizer-reports" status=0
    rm -rf "$reports"
    mkdir -p "$reports"
    (cd "$ROOT" && env -u VELMORA_ASSERTIONS_BUILD \
        LD_PRELOAD="$runtime $(sanitizer_runtime libstdc++.so)" \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$reports/asan" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
        PYTHONPATH="$build" \
        VELMORA_SANITIZED=address \
        "$VENV/bin/python" -m pytest tests "$@") || status=$?
    if compgen -G "$reports/*" >/dev/null; then
        echo "error: sanitizer reports (also in $reports):" >&2
        head -c 20000 "$reports"/* >&2
        status=1
    fi
    echo "== AddressSanitizer build and suite: $((SECONDS - started)) s"
    return $status
}

run_thread_sanitized_engine() {
    local build="$ROOT/build/engine-thread" started=$SECONDS status=0
    sanitizer_runtime libtsan.so >/dev/null || return 1
    "$VENV/bin/cmake" -S "$ROOT/tests/engine" -B "$build" -G Ninja \
        -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" -DVELMORA_SANITIZE=thread >/dev/null || return 1
    "$VENV/bin/cmake" --build "$build" >/dev/null || return 1
    echo "== the engine's threads under ThreadSanitizer"
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" "$build/tsan_driver" || status=$?
    echo "== ThreadSanitizer build and driver: $((SECONDS - started)) s"
    return $status
}
