#!/bin/sh
# SPDX-License-Identifier: MIT
# The card library keeps no state outside its card objects: its archive defines no writable
# data symbol (bss or data) of its own. Symbols the compiler or a sanitizer adds (names that
# begin with "__", "." or "DW.ref") are not ours.
set -eu
found=$(nm -C "$1" | awk 'NF >= 3 && $2 ~ /^[bBdDgGsS]$/ && $3 !~ /^(__|\.|DW\.ref)/')
if [ -n "$found" ]; then
    echo "writable data in the card library:"
    echo "$found"
    exit 1
fi
