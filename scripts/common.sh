# Shared set-up for the project's commands: find CPython 3.9 and build a virtual environment
# with the package installed. Sourced by run_demo.sh and run_tests.sh.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=${VELMORA_VENV:-$ROOT/.venv}

is_python39() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 9))' >/dev/null 2>&1
}

# python3.9 on PATH first, then any 3.9 that pyenv has installed.
find_python39() {
    if command -v python3.9 >/dev/null 2>&1 && is_python39 python3.9; then
        command -v python3.9
        return 0
    fi
    local roots=()
    if command -v pyenv >/dev/null 2>&1; then roots+=("$(pyenv root)"); fi
    roots+=("${PYENV_ROOT:-$HOME/.pyenv}")
    local root candidate
    for root in "${roots[@]}"; do
        for candidate in "$root"/versions/3.9*/bin/python3.9; do
            if [ -x "$candidate" ] && is_python39 "$candidate"; then
                echo "$candidate"
                return 0
            fi
        done
    done
    echo "error: CPython 3.9 was not found. Put python3.9 on PATH or install it with pyenv" \
         "(pyenv install 3.9), then run this command again." >&2
    return 1
}

# Debian packages the engine builds against, "pkg-config-name:package" pairs: its audio path,
# its video codecs (H.264 with OpenH264, H.265 decoding with libde265), hiredis for rooms that
# span processes, and libsodium for the room bus's key.
ENGINE_PACKAGES="opus:libopus-dev speexdsp:libspeexdsp-dev webrtc-audio-processing:libwebrtc-audio-processing-dev openh264:libopenh264-dev libde265:libde265-dev hiredis:libhiredis-dev libsodium:libsodium-dev"
# Programs the tests run, "command:package" pairs (rooms across processes need a Redis server;
# the timeline page is checked in a headless Chromium; clang checks the engine's lock
# annotations).
TEST_PROGRAMS="redis-server:redis-server chromium:chromium chromedriver:chromium-driver clang++:clang"

# Prints the Debian packages of ENGINE_PACKAGES (and pkg-config itself) that are missing, and
# with the argument "with-tests" those of TEST_PROGRAMS too.
missing_packages() {
    local pair
    if [ "${1:-}" = with-tests ]; then
        for pair in $TEST_PROGRAMS; do
            command -v "${pair%%:*}" >/dev/null 2>&1 || echo "${pair#*:}"
        done
    fi
    if ! command -v pkg-config >/dev/null 2>&1; then
        echo pkg-config
        for pair in $ENGINE_PACKAGES; do echo "${pair#*:}"; done
        return 0
    fi
    for pair in $ENGINE_PACKAGES; do
        pkg-config --exists "${pair%%:*}" || echo "${pair#*:}"
    done
}

# Installs the missing packages as root; stops with their names otherwise.
require_packages() {
    local missing
    missing=$(missing_packages "$@" | tr '\n' ' ')
    [ -z "${missing// /}" ] && return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
        apt-get update
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
        return 0
    fi
    echo "error: the engine and its tests need these Debian packages: ${missing% }. Install them with" \
         "'sudo apt-get install ${missing% }', then run this command again." >&2
    return 1
}

# A virtual environment with the package (module and engine) built and installed, with the
# package extras PACKAGE_EXTRAS names (e.g. "[test]"), plus the requirements given as arguments.
setup_venv() {
    local python
    require_packages ${WITH_TEST_PROGRAMS:+with-tests}
    python=$(find_python39)
    if [ ! -x "$VENV/bin/python" ] || ! is_python39 "$VENV/bin/python"; then
        rm -rf "$VENV"
        "$python" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install --quiet --upgrade pip
    "$VENV/bin/python" -m pip install --quiet "$ROOT${PACKAGE_EXTRAS:-}" "$@"
}
