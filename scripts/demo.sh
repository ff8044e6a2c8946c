#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds ovrecover and runs it on the sample disk that ships with
# the project: the partition table's volumes, then a thorough search for lost ones.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh -DOV_BUILD_TESTS=OFF
sample="${BUILD_DIR:-build}/sample.img"
[ -f "$sample" ] || xz -dc tests/data/sample.img.xz > "$sample"
echo "== ovrecover volumes $sample"
"${BUILD_DIR:-build}/cli/ovrecover" volumes "$sample"
echo "== ovrecover search --thorough $sample"
"${BUILD_DIR:-build}/cli/ovrecover" search --thorough "$sample"
