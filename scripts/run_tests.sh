#!/usr/bin/env bash
# The whole test suite: builds and installs the package, builds a second copy of the module
# with the binding library's assertions kept (for the tests that need one), checks the
# engine's layers and, with a clang build, its lock annotations, and runs pytest;
# then the sanitized runs of scripts/sanitizers.sh (VELMORA_SANITIZERS=0 skips them, for a
# quicker loop). Extra arguments go to every pytest run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
WITH_TEST_PROGRAMS=1  # the tests also run a Redis server
# The test requirements are the package's "test" extras (pyproject.toml); CMake and Ninja
# build the sanitized and native programs.
PACKAGE_EXTRAS="[test]"
setup_venv "cmake>=3.18" "ninja"
ASSERTIONS_BUILD="$ROOT/build/with-assertions"
rm -rf "$ASSERTIONS_BUILD"
VELMORA_ASSERTIONS=ON "$VENV/bin/python" -m pip install --quiet --no-deps \
    --config-settings=build-dir="$ROOT/build/with-assertions-tree" \
    --target "$ASSERTIONS_BUILD" "$ROOT"
cd "$ROOT"
export VELMORA_ASSERTIONS_BUILD="$ASSERTIONS_BUILD"
status=0
# The engine's folders keep to their layers (engine/src/layers.txt).
"$VENV/bin/python" tools/check_layers.py || status=$?
# The engine's lock rules, checked by clang (scripts/thread_safety.sh).
source "$ROOT/scripts/thread_safety.sh"
run_thread_safety_check || status=$?
"$VENV/bin/python" -m pytest tests "$@" || status=$?
if [ "${VELMORA_SANITIZERS:-1}" != 0 ]; then
    source "$ROOT/scripts/sanitizers.sh"
    run_address_sanitized_suite "$@" || status=$?
    run_thread_sanitized_engine || status=$?
fi
exit $status
