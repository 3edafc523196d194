# The engine's lock rules checked by the compiler, for scripts/run_tests.sh (sourced after
# common.sh once the virtual environment is set up): the engine built by clang with
# -Wthread-safety, any warning an error (cmake/thread_safety.cmake), in build/thread-safety;
# then a file that breaks the rules on purpose (tests/engine/thread_safety_canary.cpp), which
# that same build must refuse.

run_thread_safety_check() {
    local build="$ROOT/build/thread-safety" started=$SECONDS output
    if ! command -v clang++ >/dev/null 2>&1; then
        echo "error: the lock check needs clang++ (Debian package clang; scripts/common.sh" \
             "installs it when run as root)." >&2
        return 1
    fi
    echo "== the engine's lock annotations under clang's thread-safety analysis"
    "$VENV/bin/cmake" -S "$ROOT/tests/engine" -B "$build" -G Ninja \
        -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=Debug -DVELMORA_THREAD_SAFETY=ON >/dev/null || return 1
    if ! output=$("$VENV/bin/cmake" --build "$build" 2>&1); then
        echo "$output" >&2
        return 1
    fi
    if output=$("$VENV/bin/cmake" --build "$build" --target thread_safety_canary 2>&1); then
        echo "error: tests/engine/thread_safety_canary.cpp compiled: the build no longer checks" \
             "the engine's locks (-Wthread-safety -Werror, engine/src/sync/thread_annotations.h)" >&2
        return 1
    fi
    if ! grep -q "Wthread-safety" <<<"$output"; then
        echo "error: tests/engine/thread_safety_canary.cpp failed to build for another reason" \
             "than the lock check:" >&2
        echo "$output" >&2
        return 1
    fi
    echo "== thread-safety build and check: $((SECONDS - started)) s"
}
