#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Puts the licence line "SPDX-License-Identifier: MIT" at the top of every source file of the
# project, in the file's own comment syntax: C++ sources and headers, CMake files, shell
# scripts (by name or by their "#!" line) and Python. The line goes first, or after the "#!"
# line (and after a Python coding line) where there is one. Files that have it are left as
# they are, so a second run changes nothing. Fuzz corpora, pictures and generated files are
# no sources: only files git knows (tracked or new, not ignored) are looked at, and the
# corpora are left out by path.
#   tools/add-spdx-headers.sh [--check] [SOURCE_DIR]
# --check changes nothing: it lists the files that lack the line and fails if there are any.
set -euo pipefail

check=0
if [ "${1:-}" = --check ]; then
    check=1
    shift
fi
root=${1:-$(dirname "$0")/..}
cd "$root"
line='SPDX-License-Identifier: MIT'

# Prints the comment marker of a source file of ours, or nothing for any other file.
comment_of() {
    case $1 in
    tests/fuzz/corpus/* | */fuzz/corpus/*) return ;;
    *.cpp | *.h | *.hpp | *.c | *.cc) echo '//' ;;
    CMakeLists.txt | */CMakeLists.txt | *.cmake | *.sh | *.bash | *.py) echo '#' ;;
    packaging/completion/*) echo '#' ;;
    *)
        # Scripts without an extension (build.sh's peers .ci/run, bench/run, postinst).
        if head -c 64 "$1" | head -n 1 | grep -Eq '^#!.*\b(ba|da)?sh\b|^#!.*python'; then
            echo '#'
        fi
        ;;
    esac
}

# The number of leading lines the licence line goes after: a "#!" line, and a Python coding
# line after it or on its own.
preamble_of() {
    awk 'NR == 1 && /^#!/ { n = 1; next }
         NR <= 2 && /^#.*coding[:=]/ { n = NR; next }
         { exit }
         END { print n + 0 }' "$1"
}

has_line() { # FILE PREAMBLE MARKER
    [ "$(sed -n "$(($2 + 1))p" "$1")" = "$3 $line" ]
}

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    list_files() { git ls-files -z --cached --others --exclude-standard; }
else
    list_files() { find . -path ./.git -prune -o -path './build*' -prune -o -type f -print0 |
        sed -z 's|^\./||'; }
fi

missing=0
while IFS= read -r -d '' file; do
    [ -f "$file" ] || continue # deleted in the work tree, still in the index
    marker=$(comment_of "$file")
    [ -n "$marker" ] || continue
    preamble=$(preamble_of "$file")
    has_line "$file" "$preamble" "$marker" && continue
    if [ "$check" = 1 ]; then
        echo "$file: no '$marker $line' line at the top" >&2
        missing=$((missing + 1))
        continue
    fi
    # The new text goes to a temporary file beside the source, which then replaces it with
    # the source's permissions.
    tmp=$(mktemp "$file.spdx-XXXXXX")
    awk -v n="$preamble" -v text="$marker $line" \
        'NR == n + 1 { print text } { print } END { if (NR <= n) print text }' \
        "$file" >"$tmp"
    chmod --reference="$file" "$tmp"
    mv "$tmp" "$file"
    echo "$file"
done < <(list_files)

if [ "$missing" -gt 0 ]; then
    echo "$missing source files lack the licence line; tools/add-spdx-headers.sh adds it" >&2
    exit 1
fi
