#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the programs and opens the sample disk that ships with the
# project. With a display, OV_NTFS starts with the sample image chosen on its wizard's image
# page: Next, Finish, and its recovered tree is shown. Without a display, ovrecover lists the
# sample's volumes and recovered tree and saves every file into build/recovered.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
TARGET="ovrecover OV_NTFS OV_FAT Kestrin" bash scripts/build.sh
build="${BUILD_DIR:-build}"
sample="$build/sample.img"
[ -f "$sample" ] || xz -dc tests/data/sample.img.xz > "$sample"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${OV_DEMO_CLI:-0}" != 1 ]; then
  echo "== OV_NTFS $sample"
  exec "$build/bin/OV_NTFS" "$sample"
fi
echo "== ovrecover volumes $sample"
"$build/cli/ovrecover" volumes "$sample"
echo "== ovrecover ls -r $sample"
"$build/cli/ovrecover" ls -r "$sample"
echo "== ovrecover recover $sample --out $build/recovered"
rm -rf "$build/recovered"
"$build/cli/ovrecover" recover "$sample" --out "$build/recovered"
find "$build/recovered" -type f | sort
