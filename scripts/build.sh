#!/usr/bin/env bash
# Configures and builds the suite into build/ (or $BUILD_DIR). Options given as arguments
# override the defaults below, which are set explicitly each time so that a cached choice of an
# earlier run (say, tests off) never carries over. $TARGET builds only the targets it names.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
  -DOV_BUILD_TESTS=ON -DOV_BUILD_CLI=ON -DOV_BUILD_GUI=ON -DOV_SANITIZE=OFF -DOV_BUILD_FUZZERS=OFF "$@" >/dev/null
# shellcheck disable=SC2086 # TARGET may name several targets
cmake --build "$build_dir" -j "$(nproc)" ${TARGET:+--target $TARGET}
