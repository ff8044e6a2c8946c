#!/usr/bin/env bash
# Builds the engine tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR=build-asan BUILD_TYPE=Debug bash scripts/build.sh -DOV_SANITIZE=ON -DOV_BUILD_CLI=OFF -DOV_BUILD_GUI=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan -j "$(nproc)" --output-on-failure
