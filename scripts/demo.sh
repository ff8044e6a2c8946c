#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds ovrecover and recovers the sample disk that ships with the
# project: its volumes, its recovered tree (live and deleted files), then every file saved into
# build/recovered.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
TARGET=ovrecover bash scripts/build.sh
build="${BUILD_DIR:-build}"
sample="$build/sample.img"
[ -f "$sample" ] || xz -dc tests/data/sample.img.xz > "$sample"
echo "== ovrecover volumes $sample"
"$build/cli/ovrecover" volumes "$sample"
echo "== ovrecover ls -r $sample"
"$build/cli/ovrecover" ls -r "$sample"
echo "== ovrecover recover $sample --out $build/recovered"
rm -rf "$build/recovered"
"$build/cli/ovrecover" recover "$sample" --out "$build/recovered"
find "$build/recovered" -type f | sort
