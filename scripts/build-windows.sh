#!/usr/bin/env bash
# Cross-compiles build-windows/drive-test.exe with mingw-w64, installing the
# compiler first when it is missing. Usage: scripts/build-windows.sh [build-dir]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-windows}"

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 &&
   ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
    echo "Installing the mingw-w64 cross compiler (g++-mingw-w64-x86-64)..."
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q g++-mingw-w64-x86-64 >/dev/null ||
        { apt-get update -q >/dev/null && apt-get install -y -q g++-mingw-w64-x86-64 >/dev/null; }
fi

cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DDRIVE_TEST_BUILD_TESTS=OFF
cmake --build "$build" --target drive-test -j2
echo "Built $build/drive-test.exe"
