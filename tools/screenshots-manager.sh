#!/bin/sh
# SPDX-License-Identifier: MIT
# Takes the user guide's pictures of the desktop application: builds the picture taker and
# runs it under Xvfb, which writes docs/screenshots/manager.png, progress.png and
# card-dialog.png. Usage: tools/screenshots-manager.sh [BUILD-FOLDER]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja
fi
cmake --build "$build" -j2 --target vela-devtool-screenshots
command -v xvfb-run >/dev/null || { echo "xvfb-run is needed (Debian package xvfb)" >&2; exit 1; }
mkdir -p "$root/docs/screenshots"
# A quiet temporary folder, so the PC tree shows few folders beside the demo home.
TMPDIR=${SCREENSHOTS_TMPDIR:-/var/tmp} xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$build/app/vela-devtool-screenshots" "$root/docs/screenshots"
