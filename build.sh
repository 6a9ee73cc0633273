#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds, and then runs the application, the tests or the
# sanitizer run.
#   ./build.sh run       build and start the application
#   ./build.sh test      build and run every test
#   ./build.sh sanitize  build the libraries and their tests with ASan + UBSan and run them
#   ./build.sh tsan      build the card library's tests with ThreadSanitizer and run them
#   ./build.sh bench     build and run the benchmarks
set -euo pipefail
cd "$(dirname "$0")"
mode=${1:-run}

packages=(cmake ninja-build g++ pkg-config qt6-base-dev libusb-1.0-0-dev libjpeg62-turbo-dev libpng-dev
          libgtest-dev libgmock-dev libbenchmark-dev dosfstools mtools imagemagick
          libfuse3-dev fuse3)
# The package test also runs Debian's package checker and the AppStream validator; the
# mount test puts fio's checked writes on a mounted card.
if [ "$mode" = test ]; then
    packages+=(lintian appstream fio)
fi
# The benchmarks time whole processes with hyperfine.
if [ "$mode" = bench ]; then
    packages+=(hyperfine)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

jobs=$(nproc)
# A compiler cache, where the machine has one, makes rebuilds and other checkouts of the
# same sources cheap; paths are taken relative to the checkout so clones share it.
if command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
fi
configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@"
    cmake --build "$dir" -j "$jobs"
}
# The application and test build: optimised, without debug information (it halves the
# compile time); the sanitizer build keeps its debug information for the reports.
release=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG")

case "$mode" in
run)
    configure_and_build build "${release[@]}" -DVELA_BUILD_TESTS=OFF -DVELA_BUILD_BENCH=OFF
    exec ./build/app/vela-devtool
    ;;
test)
    configure_and_build build "${release[@]}"
    ctest --test-dir build --output-on-failure -j "$jobs"
    ;;
sanitize)
    configure_and_build build-sanitize -DVELA_SANITIZE=ON -DVELA_BUILD_UI=OFF \
        -DCMAKE_BUILD_TYPE=Debug
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
    ;;
tsan)
    # Only the card library and its thread tests (cards used from two threads at once); the
    # other library tests are single-threaded and run in the other two modes.
    cmake -S . -B build-tsan -G Ninja -DVELA_TSAN=ON -DVELA_BUILD_UI=OFF -DVELA_BUILD_BENCH=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build-tsan -j "$jobs" --target smfs_thread_tests
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ./build-tsan/tests/smfs/smfs_thread_tests
    ;;
bench)
    configure_and_build build "${release[@]}"
    bash bench/run build
    ;;
*)
    echo "usage: $0 [run|test|sanitize|tsan|bench]" >&2
    exit 2
    ;;
esac
