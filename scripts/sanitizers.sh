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
    local build="$ROOT/build/address-sanitized" runtime
    runtime=$(sanitizer_runtime libasan.so) || return 1
    rm -rf "$build"
    VELMORA_SANITIZE="address,undefined" "$VENV/bin/python" -m pip install --quiet --no-deps \
        --config-settings=build-dir="$ROOT/build/address-sanitized-tree" \
        --config-settings=cmake.build-type=RelWithDebInfo \
        --target "$build" "$ROOT" || return 1
    echo "== the test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
    # Leak checking stays on; tests/sanitizers/lsan.supp names the interpreter's own
    # allocations that live until exit, and nothing of ours.
    (cd "$ROOT" && env \
        LD_PRELOAD="$runtime" \
        ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:detect_odr_violation=0" \
        LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizers/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        PYTHONPATH="$build" \
        VELMORA_SANITIZED=address \
        "$VENV/bin/python" -m pytest tests "$@")
}

run_thread_sanitized_engine() {
    local build="$ROOT/build/engine-thread"
    sanitizer_runtime libtsan.so >/dev/null || return 1
    "$VENV/bin/cmake" -S "$ROOT/tests/engine" -B "$build" -G Ninja \
        -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" -DVELMORA_SANITIZE=thread >/dev/null || return 1
    "$VENV/bin/cmake" --build "$build" >/dev/null || return 1
    echo "== the engine's threads under ThreadSanitizer"
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" "$build/tsan_driver"
}
