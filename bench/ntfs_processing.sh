#!/usr/bin/env bash
# Benchmark of NTFS volume processing by `ovrecover`: listing the tree of a volume holding many
# small files (MFT walk) against The Sleuth Kit's `fls`, saving one large file against `cat` and
# `icat`, and the Turbo Scan (which reads the whole volume) against `cat`.
#
# Usage: bench/ntfs_processing.sh
#
# The NTFS images are made with mkntfs and filled through ntfs-3g (FUSE), so this needs
# /dev/fuse. Missing sleuthkit, ntfs-3g and time are installed with apt-get when running as root.
#
# Environment:
#   OVRECOVER        use this ovrecover binary instead of building one
#   BENCH_BUILD_DIR  build folder for the Release build (default: build-bench/ in the repo root)
#   BENCH_FILES      small files in the listing image (default 100000, at least 1000)
#   BENCH_BIG_MIB    size of the large file in MiB (default 1024, at least 256)
#   BENCH_RUNS       timed runs per tool (default 3); the best and the median are kept
#   BENCH_MBR        1: put each volume in a disk image with an MBR (partition at sector 2048)
#                    even when ovrecover reads a bare volume image
#   TMPDIR           where the temporary images go
#
# Exits non-zero only on real errors (a tool failing, a build failure, no room, no FUSE).
# Wrong counts or a wrong checksum are printed as warnings.
set -euo pipefail

script_t0=$(date +%s%N)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

files=${BENCH_FILES:-100000}
big_mib=${BENCH_BIG_MIB:-1024}
runs=${BENCH_RUNS:-3}
force_mbr=${BENCH_MBR:-0}
build_dir=${BENCH_BUILD_DIR:-$root/build-bench}

die() { echo "ntfs_processing: $*" >&2; exit 1; }
note() { echo "== $*" >&2; }
warn() { echo "WARNING: $*" >&2; }

if ! [[ $files =~ ^[0-9]+$ ]] || ((files < 1000)); then die "BENCH_FILES must be a whole number >= 1000"; fi
if ! [[ $big_mib =~ ^[0-9]+$ ]] || ((big_mib < 256)); then die "BENCH_BIG_MIB must be a whole number >= 256"; fi
if ! [[ $runs =~ ^[0-9]+$ ]] || ((runs < 1)); then die "BENCH_RUNS must be a whole number >= 1"; fi
[[ $force_mbr == 0 || $force_mbr == 1 ]] || die "BENCH_MBR must be 0 or 1"

# --- tools -----------------------------------------------------------------------------------
missing=()
command -v mkntfs >/dev/null || [[ -x /usr/sbin/mkntfs || -x /sbin/mkntfs ]] || missing+=(ntfs-3g)
command -v ntfs-3g >/dev/null || missing+=(ntfs-3g)
command -v fls >/dev/null && command -v icat >/dev/null || missing+=(sleuthkit)
[[ -x /usr/bin/time ]] || missing+=(time)
if ((${#missing[@]})); then
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  if ((EUID == 0)) && command -v apt-get >/dev/null; then
    note "installing ${missing[*]} with apt-get"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null ||
      { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null; } ||
      die "apt-get could not install ${missing[*]}"
  else
    die "needs the packages ${missing[*]} (install them, or run as root with apt-get)"
  fi
fi
PATH=$PATH:/usr/sbin:/sbin
for tool in mkntfs ntfs-3g fls icat ifind openssl python3 sha256sum dd awk mountpoint; do
  command -v "$tool" >/dev/null || die "needs '$tool'"
done
[[ -c /dev/fuse ]] || die "needs /dev/fuse (ntfs-3g mounts the images through FUSE)"
unmount_cmd=(umount)
if command -v fusermount >/dev/null; then unmount_cmd=(fusermount -u); elif command -v fusermount3 >/dev/null; then unmount_cmd=(fusermount3 -u); fi

# --- ovrecover -------------------------------------------------------------------------------
if [[ -n ${OVRECOVER:-} ]]; then
  ovrecover=$OVRECOVER
  [[ -x $ovrecover ]] || die "OVRECOVER=$ovrecover is not an executable"
else
  note "building ovrecover (Release) in ${build_dir#"$root"/}"
  command -v cmake >/dev/null || die "needs cmake (or set OVRECOVER)"
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  if [[ ! -f $build_dir/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null ||
      die "cmake configure failed"
  fi
  jobs=$(nproc 2>/dev/null || echo 2)
  if ! cmake --build "$build_dir" --target ovrecover -j "$jobs" >/dev/null 2>&1; then
    # GCC 12 at -O3 reports a false -Wrestrict inside std::string for `"#" + std::to_string(n)`,
    # which -Werror turns into a build failure; the code is fine, so build once more without
    # that one warning.
    note "build failed; configuring again with -Wno-restrict (false positive of GCC 12 at -O3)"
    cmake -S "$root" -B "$build_dir" -DCMAKE_CXX_FLAGS=-Wno-restrict >/dev/null || die "cmake configure failed"
    cmake --build "$build_dir" --target ovrecover -j "$jobs" >/dev/null || die "build failed"
  fi
  ovrecover=$build_dir/cli/ovrecover
  [[ -x $ovrecover ]] || die "build gave no $ovrecover"
fi

# --- temporary folder ------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/ov-bench.XXXXXX")
mnt=$work/mnt
ntfs_pid=""
cleanup() {
  if [[ -n $ntfs_pid ]]; then
    mountpoint -q "$mnt" && "${unmount_cmd[@]}" "$mnt" 2>/dev/null
    wait "$ntfs_pid" 2>/dev/null || true
  fi
  # Never remove through a mount that is still there.
  if mountpoint -q "$mnt" 2>/dev/null; then
    echo "ntfs_processing: $mnt is still mounted; left $work in place" >&2
  else
    rm -rf -- "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir "$mnt"

# Volume of the listing image: 1 GiB, or more when many files need it (about 1 KiB of MFT
# and 1 KiB of index and data per file, with room to spare).
files_vol_mib=$(((files * 3 + 1023) / 1024 + 256))
((files_vol_mib < 1024)) && files_vol_mib=1024
big_vol_mib=$((big_mib + 256))

free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
need_mib=$((files_vol_mib + big_vol_mib + 3 * big_mib + 256))
((force_mbr)) && need_mib=$((need_mib + files_vol_mib + big_vol_mib))
((free_kib / 1024 >= need_mib)) || die "needs $need_mib MiB free in ${TMPDIR:-/tmp}, has $((free_kib / 1024)) MiB"

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# mount_ntfs IMAGE: ntfs-3g in the foreground as a background job (so that its end can be
# waited for), with big_writes when this ntfs-3g takes it.
mount_ntfs() {
  local image=$1 opts tries
  for opts in no_detach,big_writes no_detach; do
    ntfs-3g -o "$opts" "$image" "$mnt" 2>>"$work/ntfs-3g.log" &
    ntfs_pid=$!
    for ((tries = 0; tries < 200; tries++)); do
      mountpoint -q "$mnt" && return 0
      kill -0 "$ntfs_pid" 2>/dev/null || break
      sleep 0.05
    done
    if kill -0 "$ntfs_pid" 2>/dev/null; then
      kill "$ntfs_pid"
      wait "$ntfs_pid" 2>/dev/null || true
    else
      wait "$ntfs_pid" 2>/dev/null || true
    fi
    ntfs_pid=""
  done
  cat "$work/ntfs-3g.log" >&2
  die "ntfs-3g could not mount $(basename "$image")"
}

# unmount_ntfs: unmounts and waits for ntfs-3g to end, so that the image is complete.
unmount_ntfs() {
  local rc=0
  "${unmount_cmd[@]}" "$mnt" || die "could not unmount the ntfs-3g mount"
  wait "$ntfs_pid" || rc=$?
  ntfs_pid=""
  ((rc == 0)) || { cat "$work/ntfs-3g.log" >&2; die "ntfs-3g ended with exit code $rc"; }
}

# make_volume FILE MIB: an empty NTFS volume of 4 KiB clusters.
make_volume() {
  truncate -s "$2M" "$1"
  mkntfs -F -Q -c 4096 -L bench "$1" >/dev/null 2>"$work/mkntfs.log" ||
    { cat "$work/mkntfs.log" >&2; die "mkntfs failed"; }
}

# --- bare volume images or MBR disk images ---------------------------------------------------
# ovrecover takes a volume at `--start 0` when sector 0 is its boot sector; if it does not,
# every volume goes into a disk image with one type-7 partition at sector 2048.
wrap=$force_mbr
if ((!wrap)); then
  make_volume "$work/probe.img" 16
  if ! "$ovrecover" ls "$work/probe.img" --start 0 >/dev/null 2>"$work/probe.err"; then
    note "ovrecover does not take a bare volume image ($(head -n 1 "$work/probe.err")): using MBR disk images"
    wrap=1
  fi
  rm -f -- "$work/probe.img"
fi
if ((wrap)); then
  command -v sfdisk >/dev/null || die "needs 'sfdisk' (util-linux) for the MBR disk images"
  ov_sel=(--volume 1)
  tsk_off=(-o 2048)
else
  ov_sel=(--start 0)
  tsk_off=()
fi

# source_of VOLUME OUT: the file the tools read: the volume itself, or a disk image holding it.
source_of() {
  local vol=$1 out=$2 vol_bytes
  if ((!wrap)); then
    echo "$vol"
    return
  fi
  vol_bytes=$(stat -c %s "$vol")
  truncate -s $((vol_bytes + 1024 * 1024)) "$out"
  echo 'start=2048, type=7' | sfdisk -q --label dos "$out" >/dev/null || die "sfdisk failed"
  dd if="$vol" of="$out" bs=1M seek=1 conv=notrunc status=none
  rm -f -- "$vol"
  echo "$out"
}

# --- image 1: many small files ---------------------------------------------------------------
cat >"$work/fill.py" <<'EOF'
# Makes COUNT small files (a few hundred bytes, deterministic content) in folders of about 100
# files, three levels deep: dNN/eN/fN. Prints the number of folders made.
import os, sys

root, count = sys.argv[1], int(sys.argv[2])
leaves = max(1, (count + 99) // 100)
folders, made = [], set()
for i in range(leaves):
    parts = ("d%02d" % (i // 100), "e%d" % (i // 10 % 10), "f%d" % (i % 10))
    for k in range(1, 4):
        made.add(parts[:k])
    path = os.path.join(root, *parts)
    os.makedirs(path, exist_ok=True)
    folders.append(path)
for n in range(count):
    body = (("file %06d " % n) * (20 + n % 20)).encode()
    fd = os.open(os.path.join(folders[n % leaves], "file%06d.txt" % n), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.write(fd, body)
    finally:
        os.close(fd)
print(len(made))
EOF

note "making the listing image: $files files in a $files_vol_mib MiB NTFS volume"
t_files0=$(now_ms)
make_volume "$work/files.vol" "$files_vol_mib"
mount_ntfs "$work/files.vol"
t_fill0=$(now_ms)
made_folders=$(python3 "$work/fill.py" "$mnt" "$files") || die "writing the small files failed"
t_fill1=$(now_ms)
unmount_ntfs
files_img=$(source_of "$work/files.vol" "$work/files.img")
t_files1=$(now_ms)
files_img_mib=$(($(stat -c %s "$files_img") / 1048576))

# --- image 2: one large file -----------------------------------------------------------------
note "making the extraction image: one $big_mib MiB file in a $big_vol_mib MiB NTFS volume"
t_big0=$(now_ms)
src=$work/big.src
# AES-128-CTR keystream with a fixed key: the same bytes on every run, not compressible.
head -c "$((big_mib * 1048576))" /dev/zero |
  openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv 00000000000000000000000000000000 >"$src"
src_sha=$(sha256sum <"$src" | awk '{ print $1 }')
make_volume "$work/big.vol" "$big_vol_mib"
mount_ntfs "$work/big.vol"
t_copy0=$(now_ms)
dd if="$src" of="$mnt/big.bin" bs=1M status=none || die "writing big.bin failed"
t_copy1=$(now_ms)
unmount_ntfs
big_img=$(source_of "$work/big.vol" "$work/big.img")
t_big1=$(now_ms)
big_img_mib=$(($(stat -c %s "$big_img") / 1048576))

# --- timing ----------------------------------------------------------------------------------
gnu_time=""
if [[ -x /usr/bin/time ]] && /usr/bin/time -f %M true >/dev/null 2>&1; then gnu_time=/usr/bin/time; fi
[[ -n $gnu_time ]] || note "GNU time not usable: peak RSS is not measured"

# run_timed NAME OUT_FILE COMMAND... : one run; appends "milliseconds rss_kib" to
# $work/NAME.times. Wall time from date's nanoseconds; peak RSS from GNU time.
run_timed() {
  local name=$1 out=$2 rc=0 t0 t1 rss=-1
  shift 2
  t0=$(date +%s%N)
  if [[ -n $gnu_time ]]; then
    "$gnu_time" -f %M -o "$work/rss" "$@" >"$out" 2>"$work/$name.err" || rc=$?
  else
    "$@" >"$out" 2>"$work/$name.err" || rc=$?
  fi
  t1=$(date +%s%N)
  if ((rc != 0)); then
    cat "$work/$name.err" >&2
    die "'$*' failed with exit code $rc"
  fi
  [[ -n $gnu_time ]] && rss=$(tail -n 1 "$work/rss")
  echo "$(((t1 - t0) / 1000000)) $rss" >>"$work/$name.times"
}

# stats NAME: "best_s median_s peak_rss_kib"
stats() {
  sort -n "$work/$1.times" | awk '
    { t[NR] = $1; if ($2 > rss) rss = $2 }
    END { printf "%.3f %.3f %d\n", t[1] / 1000, t[int((NR + 1) / 2)] / 1000, rss }'
}

note "warming the page cache"
cat "$files_img" "$big_img" "$src" >/dev/null

# Checks first (they also warm each tool's code).
note "checking the listings"
"$ovrecover" ls "$files_img" "${ov_sel[@]}" -r --json >"$work/ls.json" 2>"$work/ls.err" ||
  { cat "$work/ls.err" >&2; die "ovrecover ls failed"; }
fls -r -p "${tsk_off[@]}" "$files_img" >"$work/fls.txt" 2>"$work/fls.err" ||
  { cat "$work/fls.err" >&2; die "fls failed"; }
read -r ov_files ov_folders ov_entries < <(python3 - "$work/ls.json" <<'EOF'
import json, re, sys
entries = json.load(open(sys.argv[1]))
f = sum(1 for e in entries if not e["folder"] and re.fullmatch(r"file\d+\.txt", e["name"]))
d = sum(1 for e in entries if e["folder"] and re.fullmatch(r"d\d+|e\d|f\d", e["name"]))
print(f, d, len(entries))
EOF
)
fls_files=$(grep -cE $'^r/r [0-9-]+:\t(.*/)?file[0-9]+\\.txt$' "$work/fls.txt" || true)
fls_folders=$(grep -cE $'^d/d [0-9-]+:\t(.*/)?(d[0-9]+|e[0-9]|f[0-9])$' "$work/fls.txt" || true)
fls_lines=$(wc -l <"$work/fls.txt")

note "checking the extraction"
big_inode=$(ifind "${tsk_off[@]}" -n /big.bin "$big_img") || die "ifind found no /big.bin"
rm -rf -- "$work/out"
"$ovrecover" recover "$big_img" "${ov_sel[@]}" --out "$work/out" big.bin >/dev/null 2>"$work/recover.err" ||
  { cat "$work/recover.err" >&2; die "ovrecover recover failed"; }
mapfile -t recovered < <(find "$work/out" -type f -name big.bin)
ov_sha=none
((${#recovered[@]} == 1)) && ov_sha=$(sha256sum <"${recovered[0]}" | awk '{ print $1 }')
rm -rf -- "$work/out"
icat "${tsk_off[@]}" "$big_img" "$big_inode" >"$work/icat.out" || die "icat failed"
icat_sha=$(sha256sum <"$work/icat.out" | awk '{ print $1 }')
rm -f -- "$work/icat.out"

note "checking the Turbo Scan"
"$ovrecover" ls --turbo "$files_img" "${ov_sel[@]}" -r --json >"$work/turbo.json" 2>"$work/turbo.err" ||
  { cat "$work/turbo.err" >&2; die "ovrecover ls --turbo failed"; }
turbo_files=$(python3 -c '
import json, re, sys
print(sum(1 for e in json.load(open(sys.argv[1])) if not e["folder"] and re.fullmatch(r"file\d+\.txt", e["name"])))' "$work/turbo.json")
"$ovrecover" ls --turbo "$big_img" "${ov_sel[@]}" -r --json >"$work/turbo_big.json" 2>"$work/turbo.err" ||
  { cat "$work/turbo.err" >&2; die "ovrecover ls --turbo failed"; }
turbo_big=$(grep -c '"name": "big.bin"' "$work/turbo_big.json" || true)
rm -f -- "$work/ls.json" "$work/turbo.json" "$work/turbo_big.json"

# Each write run starts with its output removed and the dirty pages of the file system written
# out (both outside the timed part), so that one run's writeback does not slow the next.
settle() { rm -rf -- "$work/out" "$work/copy.out" "$work/icat.out"; sync -f "$work" 2>/dev/null || sync; }

for ((r = 1; r <= runs; r++)); do
  note "run $r of $runs"
  # 1. Listing (MFT walk) against fls.
  run_timed fls /dev/null fls -r -p "${tsk_off[@]}" "$files_img"
  run_timed ls_json /dev/null "$ovrecover" ls "$files_img" "${ov_sel[@]}" -r --json
  run_timed ls_text /dev/null "$ovrecover" ls "$files_img" "${ov_sel[@]}" -r
  run_timed ls_top /dev/null "$ovrecover" ls "$files_img" "${ov_sel[@]}"
  # 2. Extraction.
  run_timed cat_big /dev/null cat "$big_img"
  settle
  run_timed copy "$work/copy.out" cat "$src"
  settle
  run_timed recover /dev/null "$ovrecover" recover "$big_img" "${ov_sel[@]}" --out "$work/out" big.bin
  settle
  run_timed icat "$work/icat.out" icat "${tsk_off[@]}" "$big_img" "$big_inode"
  settle
  # 3. Turbo Scan.
  run_timed cat_files /dev/null cat "$files_img"
  run_timed turbo_files /dev/null "$ovrecover" ls --turbo "$files_img" "${ov_sel[@]}" -r --json
  run_timed turbo_files_top /dev/null "$ovrecover" ls --turbo "$files_img" "${ov_sel[@]}"
  run_timed turbo_big /dev/null "$ovrecover" ls --turbo "$big_img" "${ov_sel[@]}" -r --json
done

# --- report ----------------------------------------------------------------------------------
# row LABEL NAME MIB REF_MIBS : one table line; MIB is the bytes the tool reads or writes
# (0: no throughput column), REF_MIBS the reference throughput for the percentage (0: none).
row() {
  local label=$1 name=$2 mib=$3 ref=$4 best median rss
  read -r best median rss < <(stats "$name")
  awk -v l="$label" -v b="$best" -v m="$median" -v r="$rss" -v s="$mib" -v ref="$ref" 'BEGIN {
    mibs = (s > 0 && b > 0) ? sprintf("%.0f", s / b) : "-"
    rs = (r < 0) ? "n/a" : sprintf("%.1f", r / 1024)
    pct = (ref > 0 && b > 0 && s > 0) ? sprintf("%.0f%%", 100 * (s / b) / ref) : "-"
    printf "%-40s %8.3f %9.3f %8s %13s %9s\n", l, b, m, mibs, rs, pct
  }'
}
# mibs NAME MIB: throughput of the best run
mibs() { read -r best _ < <(stats "$1"); awk -v s="$2" -v b="$best" 'BEGIN { printf "%.3f", (b > 0) ? s / b : 0 }'; }
header() { printf '%-40s %8s %9s %8s %13s %9s\n' tool best_s median_s MiB/s peak_RSS_MiB "$1"; }
# ratio NAME_A NAME_B MIB_A MIB_B FIELD (1: best, 2: median): throughput of A as a % of B's
ratio() {
  local a b
  a=$(stats "$1" | awk -v k="$5" '{ print $k }')
  b=$(stats "$2" | awk -v k="$5" '{ print $k }')
  awk -v a="$a" -v b="$b" -v sa="$3" -v sb="$4" 'BEGIN { printf "%.0f", (a > 0 && b > 0) ? 100 * (sa / a) / (sb / b) : 0 }'
}

layout=$([[ $wrap == 1 ]] && echo "MBR disk images, partition at sector 2048" || echo "bare volume images (--start 0)")
sel_text=${ov_sel[*]}
echo
echo "Commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD -- . ':!bench' ':!tests' ':!docs' ':!fuzz' 2>/dev/null || echo ' (with local changes)')"
echo "Images: $layout; $runs runs per tool, warm page cache"
echo "Image creation: $(((t_files1 - t_files0 + t_big1 - t_big0) / 1000)) s in all:" \
  "listing image $(((t_files1 - t_files0) / 1000)) s ($files files written through ntfs-3g in $(((t_fill1 - t_fill0) / 1000)) s)," \
  "extraction image $(((t_big1 - t_big0) / 1000)) s ($big_mib MiB written through ntfs-3g in $(((t_copy1 - t_copy0) / 1000)) s)"

echo
echo "1. Listing: $files files in $made_folders folders, $files_img_mib MiB image (MFT walk)"
echo
fls_best=$(stats fls | awk '{ print $1 }')
printf '%-40s %8s %9s %13s %9s\n' tool best_s median_s peak_RSS_MiB "fls/tool"
for pair in "fls -r -p:fls" "ovrecover ls -r --json:ls_json" "ovrecover ls -r (text):ls_text" "ovrecover ls (top folder only):ls_top"; do
  read -r best median rss < <(stats "${pair#*:}")
  awk -v l="${pair%:*}" -v b="$best" -v m="$median" -v r="$rss" -v f="$fls_best" 'BEGIN {
    rs = (r < 0) ? "n/a" : sprintf("%.1f", r / 1024)
    printf "%-40s %8.3f %9.3f %13s %8.2fx\n", l, b, m, rs, (b > 0) ? f / b : 0
  }'
done
echo
echo "files named file*.txt: ovrecover $ov_files, fls $fls_files (expected $files);" \
  "their folders: ovrecover $ov_folders, fls $fls_folders (expected $made_folders)"
echo "all entries: ovrecover JSON $ov_entries, fls lines $fls_lines (system files, streams and orphans differ)"
((ov_files == files && fls_files == files)) || warn "a listing does not hold the $files files"
((ov_folders == made_folders && fls_folders == made_folders)) || warn "a listing does not hold the $made_folders folders"

echo
echo "2. Extraction: one $big_mib MiB file (big.bin, inode $big_inode) from a $big_img_mib MiB image"
echo
cat_big_mibs=$(mibs cat_big "$big_img_mib")

header "% of cat"
row "cat IMAGE > /dev/null (reading)" cat_big "$big_img_mib" "$cat_big_mibs"
row "cat big.src > FILE (copying)" copy "$big_mib" "$cat_big_mibs"
row "ovrecover recover big.bin" recover "$big_mib" "$cat_big_mibs"
row "icat IMAGE $big_inode > FILE" icat "$big_mib" "$cat_big_mibs"
echo
ex_best=$(ratio recover cat_big "$big_mib" "$big_img_mib" 1)
ex_median=$(ratio recover cat_big "$big_mib" "$big_img_mib" 2)
echo "ovrecover recover: ${ex_best}% of cat's MiB/s, best against best (${ex_median}% median against median);" \
  "$(ratio recover copy "$big_mib" "$big_mib" 1)% of copying the file with cat"
echo "target of at least 70% of cat: $( ((ex_best >= 70)) && echo met || echo "NOT met")"
echo "sha256: original $src_sha"
echo "        ovrecover $ov_sha $([[ $ov_sha == "$src_sha" ]] && echo "(same)" || echo "(DIFFERENT)")"
echo "        icat      $icat_sha $([[ $icat_sha == "$src_sha" ]] && echo "(same)" || echo "(DIFFERENT)")"
[[ $ov_sha == "$src_sha" ]] || warn "the file saved by ovrecover differs from the original"

echo
echo "3. Turbo Scan (reads the whole volume)"
echo
cat_files_mibs=$(mibs cat_files "$files_img_mib")
header "% of cat"
row "cat listing image > /dev/null" cat_files "$files_img_mib" "$cat_files_mibs"
row "ovrecover ls --turbo -r --json" turbo_files "$files_img_mib" "$cat_files_mibs"
row "ovrecover ls --turbo (top folder only)" turbo_files_top "$files_img_mib" "$cat_files_mibs"
row "cat extraction image > /dev/null" cat_big "$big_img_mib" "$cat_big_mibs"
row "ovrecover ls --turbo -r --json" turbo_big "$big_img_mib" "$cat_big_mibs"
echo
tb_best=$(ratio turbo_big cat_big "$big_img_mib" "$big_img_mib" 1)
tb_median=$(ratio turbo_big cat_big "$big_img_mib" "$big_img_mib" 2)
tf_best=$(ratio turbo_files cat_files "$files_img_mib" "$files_img_mib" 1)
tf_median=$(ratio turbo_files cat_files "$files_img_mib" "$files_img_mib" 2)
tt_best=$(ratio turbo_files_top cat_files "$files_img_mib" "$files_img_mib" 1)
echo "extraction image: ${tb_best}% of cat (${tb_median}% median); target of at least 60%: $( ((tb_best >= 60)) && echo met || echo "NOT met")"
echo "listing image:    ${tf_best}% of cat (${tf_median}% median) with the full JSON listing," \
  "${tt_best}% listing the top folder only; target of at least 60%: $( ((tf_best >= 60)) && echo met || echo "NOT met")"
echo "Turbo Scan found file*.txt: $turbo_files (expected $files); big.bin: $turbo_big (expected 1)"
((turbo_files == files)) || warn "the Turbo Scan listing does not hold the $files files"
((turbo_big == 1)) || warn "the Turbo Scan listing of the extraction image does not hold big.bin"

echo
echo "ovrecover selection: $sel_text; total time of this script: $((($(date +%s%N) - script_t0) / 1000000000)) s"
