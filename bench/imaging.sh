#!/usr/bin/env bash
# Benchmark of `ovrecover image` (a whole source copied to an ".ov2" image), also with a map
# (`--map`, GNU ddrescue's mapfile kept as it goes), against `dd bs=128K` (a plain copy at the
# same request size) and, when installed, GNU ddrescue. Then, unless BENCH_CONTAINERS=0, the
# read speed of the containers: `ovrecover ls -r` of a 1 GiB NTFS volume from the raw image,
# an E01 and a VHDX of it, against The Sleuth Kit's `fls -r` on the same E01.
#
# Usage: bench/imaging.sh
#
# Environment:
#   OVRECOVER        use this ovrecover binary instead of building one
#   BENCH_BUILD_DIR  build folder for the Release build (default: build-bench/ in the repo root)
#   BENCH_SIZE_MIB   size of the source image in MiB (default 2048, at least 256)
#   BENCH_RUNS       timed runs per tool (default 3); the best and the median are kept
#   CXX              compiler for the stand-in driver (default g++), see below
#   TMPDIR           where the temporary folder goes (needs twice the image size + 200 MiB free;
#                    the container part needs 3 GiB more)
#   BENCH_CONTAINERS 0 skips the container part (it needs root, mkntfs, ntfs-3g, qemu-img,
#                    ewfacquire and fls: WITH_IMAGE_TOOLS=1 bash scripts/install-deps.sh)
#   BENCH_FILES      files written into the 1 GiB volume (default 20000)
#
# Every run writes a fresh copy into the same temporary folder and is timed until the copy is
# on the disk: each tool is followed by `sync FILE` inside the timing (ovrecover flushes its
# image itself before it reports "completed"; the `sync` after it finds nothing left to do).
# The previous copy is deleted and the file system synced before each run, outside the timing.
#
# While `ovrecover` has no `image` subcommand, the script builds a stand-in driver in the
# temporary folder from cli/commands_copy.cpp, scans/disk_copy.cpp and their sources: the same
# copy code behind the same command line.
#
# Exits non-zero only on real errors (build failure, a tool failing, a wrong copy, no room).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

size_mib=${BENCH_SIZE_MIB:-2048}
runs=${BENCH_RUNS:-3}
build_dir=${BENCH_BUILD_DIR:-$root/build-bench}
cxx=${CXX:-g++}

die() { echo "imaging: $*" >&2; exit 1; }
note() { echo "== $*" >&2; }

if ! [[ $size_mib =~ ^[0-9]+$ ]] || ((size_mib < 256)); then die "BENCH_SIZE_MIB must be a whole number >= 256"; fi
if ! [[ $runs =~ ^[0-9]+$ ]] || ((runs < 1)); then die "BENCH_RUNS must be a whole number >= 1"; fi
for tool in openssl dd awk cmp od sync; do
  command -v "$tool" >/dev/null || die "needs '$tool'"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/ov-bench.XXXXXX")
cleanup() { rm -rf -- "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- ovrecover -------------------------------------------------------------------------------
# The subcommand list of `ovrecover --help` names it once the program has it.
supports_image() { "$1" --help 2>/dev/null | grep -Eq '^[[:space:]]+image[[:space:]]'; }

ovrecover=""
if [[ -n ${OVRECOVER:-} ]]; then
  ovrecover=$OVRECOVER
  [[ -x $ovrecover ]] || die "OVRECOVER=$ovrecover is not an executable"
  supports_image "$ovrecover" || die "OVRECOVER=$ovrecover has no 'image' subcommand"
else
  note "building ovrecover (Release) in ${build_dir#"$root"/}"
  command -v cmake >/dev/null || die "needs cmake (or set OVRECOVER)"
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  if [[ ! -f $build_dir/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null ||
      die "cmake configure failed"
  fi
  cmake --build "$build_dir" --target ovrecover -j "$(nproc 2>/dev/null || echo 2)" >/dev/null ||
    die "build failed"
  [[ -x $build_dir/cli/ovrecover ]] || die "build gave no $build_dir/cli/ovrecover"
  if supports_image "$build_dir/cli/ovrecover"; then
    ovrecover=$build_dir/cli/ovrecover
  fi
fi

if [[ -z $ovrecover ]]; then
  note "ovrecover has no 'image' subcommand yet: building a stand-in driver with $cxx -O2"
  command -v "$cxx" >/dev/null || die "needs '$cxx' for the stand-in driver"
  cat >"$work/driver.cpp" <<'EOF'
// ovrecover image|clone SOURCE DEST [--overwrite], as the program will run it.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "cli/cli_host.h"

namespace ov::cli {
int runCopy(CliHost& host, RunControl& run, const std::string& source, const std::string& dest, bool clone,
            bool overwrite);
}

int main(int argc, char** argv) {
  if (argc < 4 || (std::strcmp(argv[1], "image") != 0 && std::strcmp(argv[1], "clone") != 0)) {
    std::fprintf(stderr, "usage: %s image|clone SOURCE DEST [--overwrite]\n", argv[0]);
    return 2;
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ov::cli::CliHost host;
  ov::RunControl run;
  std::thread([set, &run]() {
    int signal = 0;
    while (sigwait(&set, &signal) == 0) {
      if (!run.running()) std::_Exit(130);
      run.stop();
    }
  }).detach();
  bool overwrite = argc > 4 && std::strcmp(argv[4], "--overwrite") == 0;
  return ov::cli::runCopy(host, run, argv[2], argv[3], std::strcmp(argv[1], "clone") == 0, overwrite);
}
EOF
  (cd "$root" && "$cxx" -std=c++20 -O2 -DNDEBUG -I. "$work/driver.cpp" cli/commands_copy.cpp cli/cli_host.cpp \
    workbench/models/volume_search_dialog.cpp scans/disk_copy.cpp scans/process_log.cpp disk/byte_io.cpp \
    disk/sector_source.cpp disk/backend.cpp -pthread -o "$work/ovrecover-image") || die "driver build failed"
  ovrecover=$work/ovrecover-image
fi

# --- the source ------------------------------------------------------------------------------
source_img=$work/source.img
dest=$work/copy.ov2
size_bytes=$((size_mib * 1024 * 1024))

free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
need_kib=$((2 * size_bytes / 1024 + 200 * 1024))
((free_kib >= need_kib)) || die "needs $((need_kib / 1024)) MiB free in ${TMPDIR:-/tmp}, has $((free_kib / 1024)) MiB"

note "making a $size_mib MiB source (AES-CTR keystream)"
# A fixed key: the same bytes on every run, and nothing that compresses or reads as zero.
head -c "$size_bytes" /dev/zero |
  openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv 00000000000000000000000000000000 \
    >"$source_img"
[[ $(stat -c %s "$source_img") -eq $size_bytes ]] || die "source has the wrong size"
sync "$source_img"

# --- timing ----------------------------------------------------------------------------------
gnu_time=""
if [[ -x /usr/bin/time ]] && /usr/bin/time -f %M true >/dev/null 2>&1; then gnu_time=/usr/bin/time; fi
[[ -n $gnu_time ]] || note "GNU time not installed (apt package 'time'): peak RSS is not measured"

have_ddrescue=0
if command -v ddrescue >/dev/null; then
  have_ddrescue=1
else
  note "ddrescue not installed (apt package 'gddrescue'): skipped"
fi

# fresh: removes the last copy (and the map files) and syncs, outside the timing.
fresh() {
  rm -f -- "$dest" "$work/ddrescue.map" "$work/ovrecover.map"
  sync
}

# run_timed NAME COMMAND... : one run into $dest, timed until `sync $dest` returns; appends
# "milliseconds rss_kib" to $work/NAME.times.
run_timed() {
  local name=$1 rc=0 t0 t1 rss=-1
  shift
  fresh
  t0=$(date +%s%N)
  if [[ -n $gnu_time ]]; then
    "$gnu_time" -f %M -o "$work/rss" "$@" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
  else
    "$@" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
  fi
  ((rc == 0)) && { sync "$dest" || rc=$?; }
  t1=$(date +%s%N)
  if ((rc != 0)); then
    cat "$work/$name.err" >&2
    die "'$*' failed with exit code $rc"
  fi
  [[ -n $gnu_time ]] && rss=$(tail -n 1 "$work/rss")
  echo "$(((t1 - t0) / 1000000)) $rss" >>"$work/$name.times"
}

note "warming the page cache"
cat "$source_img" >/dev/null

# Results check first (it also warms ovrecover's code): every byte equal except the two
# geometry fields of sector 0, which hold the sector count and 512.
fresh
"$ovrecover" image "$source_img" "$dest" >"$work/check.out" 2>"$work/check.err" ||
  { cat "$work/check.err" >&2; die "ovrecover image failed"; }
[[ $(stat -c %s "$dest") -eq $size_bytes ]] || die "the image has the wrong size"
cmp -s -i 512 "$source_img" "$dest" || die "the image differs from the source after sector 0"
cmp -s -n 432 "$source_img" "$dest" || die "the image differs from the source in sector 0"
cmp -s -i 446:446 -n 66 "$source_img" "$dest" || die "the image differs from the source in sector 0"
stored_sectors=$(od -An -t u8 -j 432 -N 8 "$dest" | tr -d ' ')
stored_bps=$(od -An -t u2 -j 444 -N 2 "$dest" | tr -d ' ')
[[ $stored_sectors -eq $((size_bytes / 512)) && $stored_bps -eq 512 ]] ||
  die "sector 0 holds $stored_sectors sectors of $stored_bps bytes, expected $((size_bytes / 512)) of 512"
grep -q "^no unreadable sectors$" "$work/check.out" || die "ovrecover reported unreadable sectors"

tools=(dd ovrecover)
have_map=0
if "$ovrecover" image --help 2>/dev/null | grep -q -- --map; then
  have_map=1
  tools+=(ovrecover_map)
fi
((have_ddrescue)) && tools+=(ddrescue)
for ((r = 1; r <= runs; r++)); do
  note "run $r of $runs"
  run_timed dd dd if="$source_img" of="$dest" bs=128K status=none
  run_timed ovrecover "$ovrecover" image "$source_img" "$dest"
  if ((have_map)); then
    run_timed ovrecover_map "$ovrecover" image "$source_img" "$dest" --map "$work/ovrecover.map"
  fi
  if ((have_ddrescue)); then
    run_timed ddrescue ddrescue -q "$source_img" "$dest" "$work/ddrescue.map"
  fi
done
fresh

# --- report ----------------------------------------------------------------------------------
# stats NAME: "best_s median_s peak_rss_kib"
stats() {
  sort -n "$work/$1.times" | awk '
    { t[NR] = $1; if ($2 > rss) rss = $2 }
    END { printf "%.3f %.3f %d\n", t[1] / 1000, t[int((NR + 1) / 2)] / 1000, rss }'
}

echo
echo "Source: $size_mib MiB keystream, $runs runs per tool, warm page cache, each copy timed until synced"
echo "ovrecover: $ovrecover"
echo "Commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD -- . ':!bench' ':!tests' ':!docs' 2>/dev/null || echo ' (with local changes)')"
echo
printf '%-14s %9s %9s %9s %14s %9s\n' tool best_s median_s MiB/s peak_RSS_MiB "% of dd"
read -r dd_best dd_median _ < <(stats dd)
for tool in "${tools[@]}"; do
  read -r best median rss < <(stats "$tool")
  awk -v t="$tool" -v b="$best" -v m="$median" -v r="$rss" -v s="$size_mib" -v c="$dd_best" 'BEGIN {
    mibs = (b > 0) ? s / b : 0
    rs = (r < 0) ? "n/a" : sprintf("%.1f", r / 1024)
    pct = (c > 0 && b > 0) ? sprintf("%.0f%%", 100 * c / b) : "n/a"
    printf "%-14s %9.3f %9.3f %9.0f %14s %9s\n", t, b, m, mibs, rs, pct
  }'
done
echo

read -r ov_best ov_median _ < <(stats ovrecover)
awk -v c="$dd_best" -v o="$ov_best" -v cm="$dd_median" -v om="$ov_median" 'BEGIN {
  p = (o > 0) ? 100 * c / o : 0
  pm = (om > 0) ? 100 * cm / om : 0
  printf "ovrecover throughput: %.0f%% of dd, best against best (%.0f%% median against median)\n", p, pm
  printf "target of at least 90%% of dd: %s\n", (p >= 90) ? "met" : "NOT met"
}'
echo "ovrecover's image equals the source except the geometry fields of sector 0 ($stored_sectors sectors of $stored_bps bytes)"
if ((have_map)); then
  read -r map_best _ _ < <(stats ovrecover_map)
  awk -v c="$dd_best" -v o="$map_best" 'BEGIN {
    p = (o > 0) ? 100 * c / o : 0
    printf "ovrecover with a map: %.0f%% of dd, best against best; target of at least 90%%: %s\n", p, (p >= 90) ? "met" : "NOT met"
  }'
fi

# --- containers --------------------------------------------------------------------------------
# A 1 GiB NTFS volume with BENCH_FILES small files in 200 folders and 600 MiB of data, as a raw
# image, an E01 (ewfacquire, fast deflate) and a VHDX (qemu-img). Timed: listing every file of
# the volume, which reads its MFT, 3 times each on a warm page cache.
[[ ${BENCH_CONTAINERS:-1} == 0 ]] && exit 0
for tool in mkntfs ntfs-3g fusermount qemu-img ewfacquire fls; do
  command -v "$tool" >/dev/null || { note "container part skipped: '$tool' is missing"; exit 0; }
done
[[ $(id -u) -eq 0 ]] || { note "container part skipped: ntfs-3g needs root here"; exit 0; }
rm -f -- "$source_img" "$dest"
files=${BENCH_FILES:-20000}
vol=$work/volume.img
note "making a 1 GiB NTFS volume with $files files"
truncate -s 1G "$vol"
mkntfs -F -Q -q -L bench "$vol" >/dev/null 2>&1 || die "mkntfs failed"
mkdir -p "$work/mnt"
ntfs-3g "$vol" "$work/mnt"
head -c 4096 /dev/zero | openssl enc -aes-128-ctr -nosalt -K 0f0e0d0c0b0a09080706050403020100 \
  -iv 00000000000000000000000000000000 >"$work/small"
for ((d = 0; d < 200; d++)); do
  mkdir "$work/mnt/dir$d"
  for ((f = d; f < files; f += 200)); do cp "$work/small" "$work/mnt/dir$d/file$f.bin"; done
done
head -c $((600 * 1024 * 1024)) /dev/zero | openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f \
  -iv 00000000000000000000000000000000 >"$work/mnt/large.bin"
fusermount -u "$work/mnt"
note "making the E01 and the VHDX"
ewfacquire -u -q -t "$work/volume" -c fast -f encase6 -C bench -D bench -e bench -E 1 -N none "$vol" </dev/null >/dev/null
qemu-img convert -q -f raw -O vhdx "$vol" "$work/volume.vhdx"
cat "$vol" "$work/volume.E01" "$work/volume.vhdx" >/dev/null

list_timed() {
  local name=$1 t0 t1
  shift
  "$@" >"$work/$name.list" 2>/dev/null || die "'$*' failed"
  for ((r = 1; r <= runs; r++)); do
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1
    t1=$(date +%s%N)
    echo "$(((t1 - t0) / 1000000)) -1" >>"$work/list_$name.times"
  done
}
list_timed raw "$ovrecover" ls -r --json --volume 1 "$vol"
list_timed e01 "$ovrecover" ls -r --json --volume 1 "$work/volume.E01"
list_timed vhdx "$ovrecover" ls -r --json --volume 1 "$work/volume.vhdx"
list_timed fls_e01 fls -r -p "$work/volume.E01"
list_timed fls_raw fls -r -p "$vol"
cmp -s "$work/raw.list" "$work/e01.list" || die "the E01 lists other files than the raw image"
cmp -s "$work/raw.list" "$work/vhdx.list" || die "the VHDX lists other files than the raw image"
listed=$(grep -o '"folder":false' "$work/raw.list" | wc -l)

echo
echo "Listing a 1 GiB NTFS volume ($files files + 1 large; ovrecover listed $listed files), $runs runs, warm cache"
echo "sizes: raw $(($(stat -c %s "$vol") / 1048576)) MiB, E01 $(($(stat -c %s "$work/volume.E01") / 1048576)) MiB, VHDX $(($(stat -c %s "$work/volume.vhdx") / 1048576)) MiB"
printf '%-26s %9s %9s\n' source best_s median_s
for pair in "raw:ovrecover ls, raw" "e01:ovrecover ls, E01" "vhdx:ovrecover ls, VHDX" "fls_e01:fls, E01" "fls_raw:fls, raw"; do
  read -r best median _ < <(stats "list_${pair%%:*}")
  printf '%-26s %9.3f %9.3f\n' "${pair#*:}" "$best" "$median"
done
