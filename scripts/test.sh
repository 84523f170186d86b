#!/usr/bin/env bash
# Builds everything and runs every test: unit and end-to-end, normal and sanitizer builds,
# the arm64 build under emulation; then builds the packages and checks them (scripts/package.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
for preset in default sanitize; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  ctest --preset "$preset" -j2 </dev/null
done
echo "== arm64 build: unit tests and an end-to-end run under qemu-aarch64"
bash scripts/build-arm64.sh
ctest --test-dir build-arm64 -j2 --output-on-failure </dev/null
bash tests/arm64/run.sh
echo "== packages"
bash scripts/package.sh
echo "== Windows build, end-to-end under Wine"
bash scripts/build-windows.sh
bash tests/wine/run.sh
