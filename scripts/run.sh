#!/usr/bin/env bash
# Builds drive-test and starts it (the dialogue reads from this terminal).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target drive-test
exec ./build/drive-test
