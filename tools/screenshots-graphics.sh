#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the screenshots of the graphics window for the documentation: builds the small demo
# program, draws two sample pictures with ImageMagick, and has the demo save the window as
# it looks on a virtual X display.
#   tools/screenshots-graphics.sh [build-folder]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=docs/screenshots

cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j 2 --target vela-graphics-demo
demo=$build/graphics/ui/vela-graphics-demo

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# An 8-bit sprite sheet on a magenta key colour, and a 24-bit photo-like gradient.
convert -size 192x128 xc:magenta \
    -fill '#3a7bd5' -draw 'circle 48,64 48,24' \
    -fill '#f7b733' -draw 'rectangle 104,28 168,100' \
    -fill '#2ecc71' -draw 'polygon 60,120 96,70 132,120' \
    -fill '#ffffff' -draw 'circle 136,64 136,52' \
    -colors 64 -type Palette BMP3:"$work/sprites.bmp"
convert -size 320x200 gradient:'#203a80'-'#f0b040' \
    \( -size 320x200 radial-gradient:'#ffffff'-'#404040' \) -compose multiply -composite \
    -type TrueColor BMP3:"$work/sunset_background.bmp"

shot() {
    local name=$1
    shift
    xvfb-run -a -s "-screen 0 1280x800x24" "$demo" "$@" --screenshot "$out/$name" 2>/dev/null
    echo "wrote $out/$name"
}

mkdir -p "$out"
# The sprite sheet selected: palette grid with its markers, the key colour picked from the
# picture as the transparent colour, the view zoomed to fit on a dark background.
shot graphics-window.png "$work/sunset_background.bmp" "$work/sprites.bmp" \
    --entry 5 --pick 1,1 --fitted --background '#303030'
# The same in hexadecimal with the device preview: what the machine will show.
shot graphics-preview.png "$work/sunset_background.bmp" "$work/sprites.bmp" \
    --pick 1,1 --fitted --background '#303030' --hex --preview
