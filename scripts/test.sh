#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the suite and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
ctest --test-dir "${BUILD_DIR:-build}" -j "$(nproc)" --output-on-failure
