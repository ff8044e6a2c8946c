#!/usr/bin/env bash
# The desktop workbench on a volume of many files: builds an NTFS image of BENCH_FILES files
# (default 150000) in folders of 1000 with mkntfs and ntfs-3g, then runs bench/workbench_bench
# (Release build) on it: processing and reading the tree, opening and sorting the largest folder,
# marking everything, and the memory held. Needs /dev/fuse; run as root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
files=${BENCH_FILES:-150000}
build_dir=${BENCH_BUILD_DIR:-$root/build-bench}
PATH=$PATH:/usr/sbin:/sbin
for tool in mkntfs ntfs-3g cmake mountpoint python3; do command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }; done
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOV_BUILD_TESTS=OFF -DOV_BUILD_GUI=ON \
  -DCMAKE_CXX_FLAGS=-Wno-restrict >/dev/null
cmake --build "$build_dir" --target workbench_bench -j "$(nproc)" >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/ov-wbench.XXXXXX")
trap 'mountpoint -q "$work/mnt" && fusermount -u "$work/mnt"; rm -rf "$work"' EXIT
mkdir "$work/mnt"
mib=$(((files * 3 + 1023) / 1024 + 256))
truncate -s "${mib}M" "$work/volume.img"
mkntfs -q -F -f "$work/volume.img" >/dev/null
ntfs-3g -o big_writes "$work/volume.img" "$work/mnt"
python3 - "$work/mnt" "$files" <<'PY'
import os, sys
top, files = sys.argv[1], int(sys.argv[2])
for n in range(files):
    folder = os.path.join(top, "folder%04d" % (n // 1000))
    if n % 1000 == 0:
        os.mkdir(folder)
    with open(os.path.join(folder, "file%06d.txt" % n), "w") as f:
        f.write("x" * (n % 3000))
PY
fusermount -u "$work/mnt"
"$build_dir/bench/workbench_bench" "$work/volume.img"
