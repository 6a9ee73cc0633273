#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package, built by CPack from the build folder, unpacked into a temporary root:
# every file in its place, Debian's package checker (lintian) and the AppStream validator
# content where they are installed, the desktop entry, card image type and udev rule sound,
# the manual pages and completions covering every command of the installed tools, and the
# installed tools working on a card image.
#   package_test.sh BUILD_DIR SOURCE_DIR WITH_UI(0|1) CPACK
set -u
build=$1 source=$2 ui=$3 cpack=$4
cmake=$(dirname "$cpack")/cmake
base=${VELA_TEST_TMP:-${TMPDIR:-/tmp}}
mkdir -p "$base" && tmp=$(mktemp -d "$base/vela-package-XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

"$cpack" -G DEB -B "$tmp/out" --config "$build/CPackConfig.cmake" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }
debs=("$tmp"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no single .deb" >&2; exit 1; }
deb=${debs[0]}
[ "$(dpkg-deb -f "$deb" Package)" = vela-devtool ] || fail "package name"
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -f "$deb" Depends | grep -q 'libusb-1.0-0' || fail "Depends lacks libusb-1.0-0"
dpkg-deb -f "$deb" Recommends | grep -qw 'fuse3' || fail "Recommends lacks fuse3"
dpkg-deb -e "$deb" "$tmp/control"
[ -x "$tmp/control/postinst" ] || fail "postinst missing"
root=$tmp/root
dpkg-deb -x "$deb" "$root"

expected=(usr/bin/vela-smc usr/bin/vela-gfx
          usr/lib/udev/rules.d/70-vela.rules
          usr/share/man/man1/vela-smc.1.gz usr/share/man/man1/vela-gfx.1.gz
          usr/share/doc/vela-devtool/copyright usr/share/doc/vela-devtool/changelog.gz
          usr/share/bash-completion/completions/vela-smc
          usr/share/bash-completion/completions/vela-gfx)
if [ "$ui" = 1 ]; then
    expected+=(usr/bin/vela-devtool usr/share/man/man1/vela-devtool.1.gz
               usr/share/applications/org.vela_devtool.DevTool.desktop
               usr/share/metainfo/org.vela_devtool.DevTool.metainfo.xml
               usr/share/mime/packages/vela-devtool.xml
               usr/share/icons/hicolor/scalable/apps/vela-devtool.svg
               usr/share/icons/hicolor/256x256/apps/vela-devtool.png
               usr/share/icons/hicolor/scalable/mimetypes/application-x-vela-smc.svg)
fi
for file in "${expected[@]}"; do
    [ -f "$root/$file" ] || fail "$file is not in the package"
done
for program in vela-smc vela-gfx; do
    [ -x "$root/usr/bin/$program" ] || fail "$program is not executable"
done

# ---- Debian's checks ----
# lintian: no error, and every warning one packaging/README.md names with its reason.
if command -v lintian >/dev/null; then
    before=$failures
    lintian --tag-display-limit 0 "$deb" >"$tmp/lintian.log" 2>&1
    status=$?
    while read -r level _ tag _; do
        case $level in
        E:) fail "lintian error $tag" ;;
        W:) grep -q "^- \`$tag\`" "$source/packaging/README.md" ||
            fail "lintian warning $tag is not named in packaging/README.md" ;;
        esac
    done <"$tmp/lintian.log"
    if [ "$status" -ne 0 ] && ! grep -q '^E: ' "$tmp/lintian.log"; then
        fail "lintian could not check the package (status $status)"
    fi
    [ "$failures" -eq "$before" ] || cat "$tmp/lintian.log" >&2
fi
# The changelog's newest entry and the metadata's newest release are this version.
gzip -dc "$root/usr/share/doc/vela-devtool/changelog.gz" | head -n 1 |
    grep -q "^vela-devtool ($version) " || fail "changelog does not start at $version"

# ---- The software centres' metadata ----
if [ "$ui" = 1 ]; then
    metainfo=$root/usr/share/metainfo/org.vela_devtool.DevTool.metainfo.xml
    # validate-tree also finds the desktop entry the metadata launches.
    if command -v appstreamcli >/dev/null; then
        appstreamcli validate-tree --no-net --strict "$root" >"$tmp/appstream.log" 2>&1 ||
            { cat "$tmp/appstream.log" >&2; fail "appstreamcli validate-tree"; }
    fi
    grep -m 1 '<release ' "$metainfo" | grep -q "version=\"$version\"" ||
        fail "newest release in the metadata is not $version"
    # Every screenshot is one of docs/screenshots, at its size.
    shots=$(sed -n 's|.*<image width="\([0-9]*\)" height="\([0-9]*\)">.*/docs/screenshots/\([^<]*\)</image>.*|\3 \1 \2|p' "$metainfo")
    [ -n "$shots" ] || fail "no screenshots in the metadata"
    while read -r name width height; do
        png=$source/docs/screenshots/$name
        size=$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | awk '{ print $3 * 256 + $4, $7 * 256 + $8 }')
        [ "$size" = "$width $height" ] || fail "screenshot $name is '$size', the metadata says $width x $height"
    done <<<"$shots"
fi

# ---- The desktop entry and the card image type ----
if [ "$ui" = 1 ]; then
    desktop=$root/usr/share/applications/org.vela_devtool.DevTool.desktop
    grep -qx 'Name=Vela Developer Tool' "$desktop" || fail "desktop Name"
    grep -qx 'Exec=vela-devtool %f' "$desktop" || fail "desktop Exec"
    grep -qx 'MimeType=application/x-vela-smc;' "$desktop" || fail "desktop MimeType"
    grep -qx 'Icon=vela-devtool' "$desktop" || fail "desktop Icon"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$desktop" || fail "desktop-file-validate"
    fi
    # update-mime-database reads the package's XML as the desktop will (it says what it
    # cannot parse on standard error, and leaves the type out).
    if command -v update-mime-database >/dev/null; then
        update-mime-database "$root/usr/share/mime" 2>"$tmp/mime.log"
        if grep -qi 'error\|warning' "$tmp/mime.log"; then
            cat "$tmp/mime.log" >&2
            fail "update-mime-database refused the card image type"
        fi
        grep -q '^50:application/x-vela-smc:\*\.smc$' "$root/usr/share/mime/globs2" ||
            fail "*.smc is not application/x-vela-smc"
        grep -aq '^\[60:application/x-vela-smc\]' "$root/usr/share/mime/magic" ||
            fail "no magic for application/x-vela-smc"
        # Other programs claim "*.smc" too; a card image must still come out as ours, and
        # another program's file must not.
        if command -v gio >/dev/null && [ -f /usr/share/mime/packages/freedesktop.org.xml ]; then
            mkdir -p "$tmp/mime/mime/packages"
            cp /usr/share/mime/packages/freedesktop.org.xml \
                "$root/usr/share/mime/packages/vela-devtool.xml" "$tmp/mime/mime/packages/"
            update-mime-database "$tmp/mime/mime" 2>/dev/null
            "$root/usr/bin/vela-smc" create "$tmp/typed.smc" --vendor toshiba --size 1 >/dev/null
            printf '\200\000' | cat - /dev/zero | head -c 4096 >"$tmp/other.smc"
            type_of() {
                XDG_DATA_DIRS=$tmp/mime XDG_DATA_HOME=$tmp/none \
                    gio info -a standard::content-type "$1" | sed -n 's/.*content-type: //p'
            }
            [ "$(type_of "$tmp/typed.smc")" = application/x-vela-smc ] ||
                fail "a card image is not application/x-vela-smc"
            [ "$(type_of "$tmp/other.smc")" != application/x-vela-smc ] ||
                fail "another program's .smc file is taken for a card image"
        fi
    elif command -v xmllint >/dev/null; then
        xmllint --noout "$root/usr/share/mime/packages/vela-devtool.xml" || fail "mime XML"
    fi
    # The icon is a 256 px PNG.
    head -c 24 "$root/usr/share/icons/hicolor/256x256/apps/vela-devtool.png" | od -An -tx1 |
        tr -d ' \n' | grep -q '^89504e470d0a1a0a0000000d4948445200000100' || fail "icon size"
    # The application answers --help without a display.
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/vela-devtool" --help |
        grep -q 'usage: vela-devtool \[CARD.smc\]' || fail "vela-devtool --help"
fi

# ---- The udev rule ----
rule=$root/usr/lib/udev/rules.d/70-vela.rules
grep -q 'ATTR{idVendor}==.*TAG+="uaccess"' "$rule" || fail "udev rule has no uaccess line"
# Made-up ids: the rule made for them is active and spells them as sysfs does.
"$cmake" -DVENDOR=12AB -DPRODUCT=34cd -DOUT="$tmp/ids.rules" \
    -P "$source/packaging/linux/udev_rule.cmake" >/dev/null 2>&1 || fail "rule for ids"
grep -qx 'SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="12ab", ATTR{idProduct}=="34cd", TAG+="uaccess"' \
    "$tmp/ids.rules" || fail "rule for ids is not active"
for bad in "-DVENDOR=12a -DPRODUCT=34cd" "-DVENDOR=12ab" "-DVENDOR=12ab -DPRODUCT=34c;"; do
    # shellcheck disable=SC2086
    if "$cmake" $bad -DOUT="$tmp/bad.rules" -P "$source/packaging/linux/udev_rule.cmake" \
        >/dev/null 2>&1; then
        fail "ids '$bad' were taken"
    fi
done

# ---- The installed tools on a card image ----
smc=$root/usr/bin/vela-smc
"$smc" --help | grep -q '^usage: vela-smc' || fail "vela-smc --help"
"$root/usr/bin/vela-gfx" --help | grep -q '^usage: vela-gfx' || fail "vela-gfx --help"
echo "hello" >"$tmp/readme.txt"
if "$smc" create "$tmp/card.smc" --vendor samsung --size 1 --format >/dev/null &&
    "$smc" put "$tmp/card.smc" "$tmp/readme.txt" / &&
    "$smc" mkdir "$tmp/card.smc" /game; then
    [ "$("$smc" ls "$tmp/card.smc" | sort | tr '\n' ' ')" = "game/ readme.txt " ] ||
        fail "vela-smc ls"
else
    fail "vela-smc create, put, mkdir"
fi

# ---- Manual pages and completions name every command the tools offer ----
commands=$("$smc" --help | sed -n 's/^  \([a-z]\+\) .*/\1/p')
[ -n "$commands" ] || fail "no commands in vela-smc --help"
page=$(gzip -dc "$root/usr/share/man/man1/vela-smc.1.gz")
completion=$root/usr/share/bash-completion/completions/vela-smc
for command in $commands; do
    grep -q "^\.BI \"$command " <<<"$page" || fail "vela-smc.1 lacks $command"
    grep -q "commands=\".*\b$command\b" "$completion" || fail "completion lacks $command"
done
gfx_commands=$("$root/usr/bin/vela-gfx" --help | sed -n 's/^  \([a-z]\+\) .*/\1/p')
gfx_page=$(gzip -dc "$root/usr/share/man/man1/vela-gfx.1.gz")
for command in $gfx_commands; do
    grep -q "^\.BI \"$command " <<<"$gfx_page" || fail "vela-gfx.1 lacks $command"
    grep -q "compgen -W \".*\b$command\b" "$root/usr/share/bash-completion/completions/vela-gfx" ||
        fail "vela-gfx completion lacks $command"
done

# The completion offers cards where a card goes: the machine's forms, images and folders.
mkdir -p "$tmp/pc/sub" && touch "$tmp/pc/a.smc" "$tmp/pc/B.SMC" "$tmp/pc/notes.txt"
replies=$(cd "$tmp/pc" && bash --norc --noprofile -c '
    source "$1"
    complete_line() { COMP_LINE=$1; COMP_POINT=${#1}; _vela_smc; printf "%s\n" "${COMPREPLY[*]}"; }
    complete_line "vela-smc ls "
    complete_line "vela-smc info "
    complete_line "vela-smc ls sim:s"
    complete_line "vela-smc create x.smc --vendor "
' _ "$completion")
expect_reply() {
    local got
    got=$(sed -n "${1}p" <<<"$replies" | tr ' ' '\n' | LC_ALL=C sort | tr '\n' ' ')
    [ "$got" = "$2" ] || fail "completion line $1: got '$got', expected '$2'"
}
expect_reply 1 "B.SMC a.smc sim: sub unix: usb "
expect_reply 2 "B.SMC a.smc sub "
expect_reply 3 "sub "
expect_reply 4 "samsung toshiba "

[ "$failures" -eq 0 ] || exit 1
echo "package $(basename "$deb"): all checks passed"
