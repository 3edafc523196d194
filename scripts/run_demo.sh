#!/usr/bin/env bash
# The main job: builds and installs the package, then runs the room demo on the loopback
# engine. Extra arguments go to the demo (see --help).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
setup_venv
cd "$ROOT"
exec "$VENV/bin/python" examples/room_demo.py "$@"
