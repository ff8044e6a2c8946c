#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS (default 20) from its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
seconds="${FUZZ_SECONDS:-20}"
CC=clang CXX=clang++ BUILD_DIR=build-fuzz BUILD_TYPE=RelWithDebInfo \
  bash scripts/build.sh -DOV_BUILD_FUZZERS=ON -DOV_BUILD_TESTS=OFF -DOV_BUILD_CLI=OFF -DOV_BUILD_GUI=OFF
work="$(mktemp -d "${TMPDIR:-/tmp}/ovfuzz-XXXXXX")"
trap 'rm -rf "$work"' EXIT
for target in build-fuzz/fuzz/*_fuzz; do
  name="$(basename "$target" _fuzz)"
  mkdir -p "$work/$name"
  cp -r "fuzz/corpus/$name/." "$work/$name/" 2>/dev/null || true
  echo "== fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -max_len=1048576 -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 "$work/$name" 2>&1 | tail -n 12
done
