#!/usr/bin/env bash
# Installs what is missing, builds, and then runs the application, the tests or the
# sanitizer run.
#   ./build.sh run       build and start the application
#   ./build.sh test      build and run every test
#   ./build.sh sanitize  build the libraries and their tests with ASan + UBSan and run them
#   ./build.sh bench     build and run the benchmarks
set -euo pipefail
cd "$(dirname "$0")"
mode=${1:-run}

packages=(cmake ninja-build g++ pkg-config qt6-base-dev libusb-1.0-0-dev libjpeg62-turbo-dev
          libgtest-dev libgmock-dev libbenchmark-dev dosfstools mtools imagemagick
          libfuse3-dev fuse3)
# The package test also runs Debian's package checker and the AppStream validator.
if [ "$mode" = test ]; then
    packages+=(lintian appstream)
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
bench)
    configure_and_build build "${release[@]}"
    bash bench/run build
    ;;
*)
    echo "usage: $0 [run|test|sanitize|bench]" >&2
    exit 2
    ;;
esac
