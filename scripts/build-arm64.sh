#!/usr/bin/env bash
# Cross-compiles build-arm64/drive-test for 64-bit ARM Linux, with the unit tests
# that ctest runs under qemu-aarch64, installing the cross compiler, the emulator
# and the GoogleTest sources first when they are missing.
# Usage: scripts/build-arm64.sh [build-dir]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-arm64}"

missing=()
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null 2>&1 || command -v qemu-aarch64-static >/dev/null 2>&1 ||
    missing+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing ${missing[*]}..."
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" </dev/null >/dev/null ||
        { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null &&
          $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" </dev/null >/dev/null; }
fi

cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2
echo "Built $build/drive-test"
