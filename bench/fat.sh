#!/usr/bin/env bash
# Benchmark of FAT32 volume processing by `ovrecover`: listing the tree of a volume holding many
# files against The Sleuth Kit's `fls`, and the passes that read the whole volume (the Turbo
# Scan, the thorough and the basic search) against `cat`. Then an exFAT row: listing a volume of
# 100,000 files against `fls -r -p`, and its deleted files recovered byte for byte against
# `tsk_recover -e` (root only: the volume is written with exfat-fuse on a loop device).
#
# Usage: bench/fat.sh
#
# The FAT32 image is made with mkfs.fat (dosfstools) and filled with mcopy (mtools), so no
# mount is needed. Missing sleuthkit, dosfstools, mtools and time are installed with apt-get
# when running as root.
#
# Environment:
#   OVRECOVER        use this ovrecover binary instead of building one
#   BENCH_BUILD_DIR  build folder for the Release build (default: build-bench/ in the repo root)
#   BENCH_FILES      files in the image (default 50000, at least 1000), 100 per folder
#   BENCH_RUNS       timed runs per tool (default 3); the best and the median are kept
#   BENCH_MBR        1: put the volume in a disk image with an MBR (partition at sector 2048)
#                    even when ovrecover reads a bare volume image
#   BENCH_EXFAT      0: leave out the exFAT row (default 1; left out without root)
#   BENCH_EXFAT_FILES files in the exFAT image (default 100000)
#   BENCH_EXFAT_BIG  0: leave out the file over 4 GiB (default 1; needs about 10 GiB free)
#   TMPDIR           where the temporary files go
#
# Exits non-zero only on real errors (a tool failing, a build failure, no room).
# Wrong counts are printed as warnings.
set -euo pipefail

script_t0=$(date +%s%N)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

files=${BENCH_FILES:-50000}
runs=${BENCH_RUNS:-3}
force_mbr=${BENCH_MBR:-0}
build_dir=${BENCH_BUILD_DIR:-$root/build-bench}

die() { echo "fat: $*" >&2; exit 1; }
note() { echo "== $*" >&2; }
warn() { echo "WARNING: $*" >&2; }

if ! [[ $files =~ ^[0-9]+$ ]] || ((files < 1000)); then die "BENCH_FILES must be a whole number >= 1000"; fi
if ! [[ $runs =~ ^[0-9]+$ ]] || ((runs < 1)); then die "BENCH_RUNS must be a whole number >= 1"; fi
[[ $force_mbr == 0 || $force_mbr == 1 ]] || die "BENCH_MBR must be 0 or 1"

# --- tools -----------------------------------------------------------------------------------
PATH=$PATH:/usr/sbin:/sbin
missing=()
command -v mkfs.fat >/dev/null || missing+=(dosfstools)
command -v mcopy >/dev/null || missing+=(mtools)
command -v fls >/dev/null || missing+=(sleuthkit)
[[ -x /usr/bin/time ]] || missing+=(time)
if ((${#missing[@]})); then
  if ((EUID == 0)) && command -v apt-get >/dev/null; then
    note "installing ${missing[*]} with apt-get"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null ||
      { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null; } ||
      die "apt-get could not install ${missing[*]}"
  else
    die "needs the packages ${missing[*]} (install them, or run as root with apt-get)"
  fi
fi
for tool in mkfs.fat mcopy fls openssl python3 dd awk truncate; do
  command -v "$tool" >/dev/null || die "needs '$tool'"
done

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
  cmake --build "$build_dir" --target ovrecover -j "$(nproc 2>/dev/null || echo 2)" >/dev/null ||
    die "build failed"
  ovrecover=$build_dir/cli/ovrecover
  [[ -x $ovrecover ]] || die "build gave no $ovrecover"
fi

# --- temporary folder ------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/ov-bench.XXXXXX")
cleanup() { rm -rf -- "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

# mtools: no checks of the geometry against a drive, and no configuration file of the user.
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null

# Volume size: 1 GiB, or more when many files need it (the files average about 7.4 KiB, 2.3
# clusters of 4 KiB, plus their folders; with room to spare).
vol_mib=$((files * 12 / 1024 + 256))
((vol_mib < 1024)) && vol_mib=1024
leaves=$(((files + 99) / 100))
# Each file is written twice: in the folder tree on the temporary file system, then into the
# image (about 10 KiB each on disk, counted twice for the margin).
free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
need_mib=$((vol_mib + files * 20 / 1024 + 256))
((force_mbr)) && need_mib=$((need_mib + vol_mib))
((free_kib / 1024 >= need_mib)) || die "needs $need_mib MiB free in ${TMPDIR:-/tmp}, has $((free_kib / 1024)) MiB"

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# keystream FILE MIB: an AES-128-CTR keystream with a fixed key: the same bytes on every run,
# not compressible and not zero, standing in for old data in the clusters no file uses.
keystream() {
  head -c "$(($2 * 1048576))" /dev/zero |
    openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv 00000000000000000000000000000000 >"$1"
}

# make_volume FILE MIB HIDDEN_SECTORS: a FAT32 volume of 4 KiB clusters over a keystream.
make_volume() {
  keystream "$1" "$2"
  mkfs.fat -F 32 -S 512 -s 8 -h "$3" -n BENCH "$1" >/dev/null 2>"$work/mkfs.log" ||
    { cat "$work/mkfs.log" >&2; die "mkfs.fat failed"; }
}

# --- bare volume image or MBR disk image -----------------------------------------------------
# ovrecover takes a bare volume when `volumes` lists it at sector 0 and `ls --start 0` reads
# it; if not, the volume goes into a disk image with one type-0x0C partition at sector 2048.
wrap=$force_mbr
if ((!wrap)); then
  # 64 MiB with 512-byte clusters: enough clusters for FAT32.
  keystream "$work/probe.img" 64
  mkfs.fat -F 32 -S 512 -s 1 -n PROBE "$work/probe.img" >/dev/null 2>"$work/mkfs.log" ||
    { cat "$work/mkfs.log" >&2; die "mkfs.fat failed on the probe volume"; }
  probe_ok=1
  "$ovrecover" volumes --fs fat "$work/probe.img" >"$work/probe.out" 2>"$work/probe.err" || probe_ok=0
  grep -Eq 'logical drive 1 +0 ' "$work/probe.out" || probe_ok=0
  "$ovrecover" ls --fs fat --start 0 "$work/probe.img" >/dev/null 2>>"$work/probe.err" || probe_ok=0
  if ((!probe_ok)); then
    note "ovrecover does not take a bare FAT volume image: using an MBR disk image"
    wrap=1
  fi
  rm -f -- "$work/probe.img"
fi
if ((wrap)); then
  command -v sfdisk >/dev/null || die "needs 'sfdisk' (util-linux) for the MBR disk image"
  ov_sel=(--volume 1)
  tsk_off=(-o 2048)
  vol_start=2048
else
  ov_sel=(--start 0)
  tsk_off=()
  vol_start=0
fi

# --- the image -------------------------------------------------------------------------------
# The folder tree: FILES files named fileNNNNNN.txt (long names), 100 per folder dNN/eNN, 25
# folders eNN in each dNN; each file the text `file NNNNNN ` repeated, 240 bytes to 14.6 KB,
# so the content is the same on every run.
cat >"$work/tree.py" <<'EOF'
import os, sys

root, count = sys.argv[1], int(sys.argv[2])
leaves = (count + 99) // 100
folders, made = [], set()
for i in range(leaves):
    top, sub = "d%02d" % (i // 25), "e%02d" % (i % 25)
    made.add(top)
    path = os.path.join(root, top, sub)
    os.makedirs(path, exist_ok=True)
    folders.append(path)
total = 0
for n in range(count):
    body = (("file %06d " % n) * (20 + n * 37 % 1200)).encode()
    total += len(body)
    fd = os.open(os.path.join(folders[n // 100], "file%06d.txt" % n), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.write(fd, body)
    finally:
        os.close(fd)
print(len(made) + leaves, total)
EOF

note "making the image: $files files, up to 100 in each of $leaves folders, in a $vol_mib MiB FAT32 volume"
t_make0=$(now_ms)
make_volume "$work/fat.vol" "$vol_mib" "$vol_start"
t_tree0=$(now_ms)
read -r made_folders data_bytes < <(python3 "$work/tree.py" "$work/tree" "$files") || die "writing the folder tree failed"
t_copy0=$(now_ms)
# One mcopy for the whole tree (recursive), its top folders as the arguments.
mcopy -s -i "$work/fat.vol" "$work/tree"/* ::/ </dev/null >"$work/mcopy.log" 2>&1 ||
  { cat "$work/mcopy.log" >&2; die "mcopy failed"; }
t_copy1=$(now_ms)
rm -rf -- "$work/tree"
if ((wrap)); then
  image=$work/fat.img
  truncate -s $(($(stat -c %s "$work/fat.vol") + 1048576)) "$image"
  echo 'start=2048, type=c' | sfdisk -q --label dos "$image" >/dev/null || die "sfdisk failed"
  dd if="$work/fat.vol" of="$image" bs=1M seek=1 conv=notrunc status=none
  rm -f -- "$work/fat.vol"
else
  image=$work/fat.vol
fi
t_make1=$(now_ms)
img_mib=$(($(stat -c %s "$image") / 1048576))

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
  # A search's exit code 1 means it finished and found nothing: left to the check above.
  if ((rc == 1)) && [[ $name == thorough || $name == basic ]]; then rc=0; fi
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
cat "$image" >/dev/null

# Checks first (they also warm each tool's code). FAT short names may come back in capitals
# (mtools writes `d00` as a short name with the lower-case flag), so names compare without case.
note "checking the listings"
# count_json FILE: "files folders entries" of an `ovrecover ls -r --json` listing.
count_json() {
  python3 - "$1" <<'EOF'
import json, re, sys
entries = json.load(open(sys.argv[1]))
f = sum(1 for e in entries if not e["folder"] and re.fullmatch(r"file\d+\.txt", e["name"], re.I))
d = sum(1 for e in entries if e["folder"] and re.fullmatch(r"[de]\d\d", e["name"], re.I))
print(f, d, len(entries))
EOF
}
"$ovrecover" ls --fs fat "$image" "${ov_sel[@]}" -r --json >"$work/ls.json" 2>"$work/ls.err" ||
  { cat "$work/ls.err" >&2; die "ovrecover ls failed"; }
read -r ov_files ov_folders ov_entries < <(count_json "$work/ls.json")
fls -r -p "${tsk_off[@]}" "$image" >"$work/fls.txt" 2>"$work/fls.err" ||
  { cat "$work/fls.err" >&2; die "fls failed"; }
fls_files=$(grep -ciE $'^r/r [0-9]+:\t(.*/)?file[0-9]+\\.txt$' "$work/fls.txt" || true)
fls_folders=$(grep -ciE $'^d/d [0-9]+:\t(.*/)?[de][0-9][0-9]$' "$work/fls.txt" || true)
fls_lines=$(wc -l <"$work/fls.txt")

note "checking the Turbo Scan"
"$ovrecover" ls --fs fat --turbo "$image" "${ov_sel[@]}" -r --json >"$work/turbo.json" 2>"$work/turbo.err" ||
  { cat "$work/turbo.err" >&2; die "ovrecover ls --turbo failed"; }
read -r tu_files tu_folders tu_entries < <(count_json "$work/turbo.json")

note "checking the searches"
# count_found FILE: "volumes volumes_at_the_expected_start" of a search's JSON.
count_found() {
  python3 - "$1" "$vol_start" <<'EOF'
import json, sys
found = json.load(open(sys.argv[1]))
ok = sum(1 for v in found if v.get("start_sector") == int(sys.argv[2]) and v.get("fs") == "fat32")
print(len(found), ok)
EOF
}
for kind in thorough basic; do
  rc=0
  "$ovrecover" search --fs fat "--$kind" "$image" --json >"$work/$kind.json" 2>"$work/$kind.err" || rc=$?
  ((rc <= 1)) || { cat "$work/$kind.err" >&2; die "ovrecover search --$kind failed with exit code $rc"; }
done
read -r th_found th_ok < <(count_found "$work/thorough.json")
read -r ba_found ba_ok < <(count_found "$work/basic.json")

for ((r = 1; r <= runs; r++)); do
  note "run $r of $runs"
  run_timed fls "$work/fls.out" fls -r -p "${tsk_off[@]}" "$image"
  run_timed ls_json /dev/null "$ovrecover" ls --fs fat "$image" "${ov_sel[@]}" -r --json
  run_timed ls_text /dev/null "$ovrecover" ls --fs fat "$image" "${ov_sel[@]}" -r
  run_timed ls_top /dev/null "$ovrecover" ls --fs fat "$image" "${ov_sel[@]}"
  run_timed cat /dev/null cat "$image"
  run_timed turbo_json /dev/null "$ovrecover" ls --fs fat --turbo "$image" "${ov_sel[@]}" -r --json
  run_timed turbo_top /dev/null "$ovrecover" ls --fs fat --turbo "$image" "${ov_sel[@]}"
  run_timed thorough /dev/null "$ovrecover" search --fs fat --thorough "$image" --json
  run_timed basic /dev/null "$ovrecover" search --fs fat --basic "$image" --json
done

# --- report ----------------------------------------------------------------------------------
# ratio A B K: 100 * B's K-th statistic / A's (A's throughput as a % of B's, same bytes)
ratio() {
  local a b
  a=$(stats "$1" | awk -v k="$3" '{ print $k }')
  b=$(stats "$2" | awk -v k="$3" '{ print $k }')
  awk -v a="$a" -v b="$b" 'BEGIN { printf "%.0f", (a > 0 && b > 0) ? 100 * b / a : 0 }'
}

layout=$([[ $wrap == 1 ]] && echo "MBR disk image, partition at sector 2048 (--volume 1, fls -o 2048)" || echo "bare volume image (--start 0)")
echo
echo "Commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD -- . ':!bench' ':!tests' ':!docs' ':!fuzz' 2>/dev/null || echo ' (with local changes)')"
echo "Image: $img_mib MiB, $layout; $runs runs per tool, warm page cache"
echo "Image creation: $(((t_make1 - t_make0) / 1000)) s in all: keystream and mkfs.fat $(((t_tree0 - t_make0) / 1000)) s," \
  "folder tree on ${TMPDIR:-/tmp} $(((t_copy0 - t_tree0) / 1000)) s, mcopy -s $(((t_copy1 - t_copy0) / 1000)) s" \
  "($files files, $((data_bytes / 1048576)) MiB of data, $made_folders folders)"

echo
echo "1. Listing: $files files in $made_folders folders"
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
echo "all entries: ovrecover JSON $ov_entries, fls lines $fls_lines (fls adds its virtual files and the volume label)"
ls_best=$(ratio ls_json fls 1)
ls_median=$(ratio ls_json fls 2)
echo "ovrecover ls -r --json: ${ls_best}% of fls's speed, best against best (${ls_median}% median against median);" \
  "target at least as fast as fls: $( ((ls_best >= 100)) && echo met || echo "NOT met")"
((ov_files == files && fls_files == files)) || warn "a listing does not hold the $files files"
((ov_folders == made_folders && fls_folders == made_folders)) || warn "a listing does not hold the $made_folders folders"

echo
echo "2. Reading the whole volume: Turbo Scan and searches against cat ($img_mib MiB)"
echo
cat_best=$(stats cat | awk '{ print $1 }')
printf '%-40s %8s %9s %9s %13s %9s\n' tool best_s median_s MiB/s peak_RSS_MiB "% of cat"
for pair in "cat IMAGE > /dev/null:cat" "ovrecover ls --turbo -r --json:turbo_json" \
  "ovrecover ls --turbo (top folder only):turbo_top" "ovrecover search --thorough:thorough" \
  "ovrecover search --basic:basic"; do
  read -r best median rss < <(stats "${pair#*:}")
  awk -v l="${pair%:*}" -v b="$best" -v m="$median" -v r="$rss" -v s="$img_mib" -v c="$cat_best" 'BEGIN {
    rs = (r < 0) ? "n/a" : sprintf("%.1f", r / 1024)
    printf "%-40s %8.3f %9.3f %9.0f %13s %8.0f%%\n", l, b, m, (b > 0) ? s / b : 0, rs, (b > 0) ? 100 * c / b : 0
  }'
done
echo
for pair in "Turbo Scan -r --json:turbo_json" "Turbo Scan (top folder only):turbo_top" "search --thorough:thorough"; do
  best=$(ratio "${pair#*:}" cat 1)
  median=$(ratio "${pair#*:}" cat 2)
  printf '%-30s %3s%% of cat (%s%% median); target of at least 60%%: %s\n' "${pair%:*}:" "$best" "$median" \
    "$( ((best >= 60)) && echo met || echo "NOT met")"
done
echo "Turbo Scan found file*.txt: $tu_files, folders: $tu_folders, entries: $tu_entries (expected $files, $made_folders)"
echo "search --thorough found $th_found volume(s), $th_ok FAT32 at sector $vol_start;" \
  "--basic $ba_found, $ba_ok at sector $vol_start (expected 1)"
((tu_files == files && tu_folders == made_folders)) || warn "the Turbo Scan listing does not hold the $files files and $made_folders folders"
((th_found == 1 && th_ok == 1)) || warn "search --thorough did not find just the one FAT32 volume at sector $vol_start"
((ba_found == 1 && ba_ok == 1)) || warn "search --basic did not find just the one FAT32 volume at sector $vol_start"

echo
echo "ovrecover selection: ${ov_sel[*]}; total time of this script: $((($(date +%s%N) - script_t0) / 1000000000)) s"

# --- exFAT -----------------------------------------------------------------------------------
# A volume of 4 KiB clusters made by mkfs.exfat, the same folder tree written through exfat-fuse
# on a loop device; then every tenth file (numbers ending in 3) and the folder d00/e01 deleted.
# Listing: `ovrecover ls -r --json` against `fls -r -p`. Deleted files: `ovrecover recover
# --deleted` against `tsk_recover -e` (which saves every file), each deleted file's bytes
# compared with what was written.
exfat_files=${BENCH_EXFAT_FILES:-100000}
if [[ ${BENCH_EXFAT:-1} == 1 ]] && ((EUID == 0)); then
  if ! command -v mkfs.exfat >/dev/null || ! command -v mount.exfat-fuse >/dev/null; then
    note "installing exfatprogs and exfat-fuse with apt-get"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q exfatprogs exfat-fuse >/dev/null || die "apt-get failed"
  fi
  command -v tsk_recover >/dev/null || die "needs tsk_recover (sleuthkit)"
  rm -f -- "$image"
  ex_mib=$((exfat_files * 12 / 1024 + 256))
  ex_img=$work/exfat.img
  note "making the exFAT image: $exfat_files files in a $ex_mib MiB volume (exfat-fuse)"
  t_ex0=$(now_ms)
  keystream "$ex_img" "$ex_mib"
  mkfs.exfat -c 4K -L BENCH "$ex_img" >/dev/null || die "mkfs.exfat failed"
  ex_loop=$(losetup -f --show "$ex_img") || die "losetup failed"
  mkdir -p "$work/mnt"
  trap 'umount "$work/mnt" 2>/dev/null; losetup -d "$ex_loop" 2>/dev/null; cleanup' EXIT
  mount.exfat-fuse "$ex_loop" "$work/mnt" >/dev/null || die "mount.exfat-fuse failed"
  read -r ex_folders _ < <(python3 "$work/tree.py" "$work/mnt" "$exfat_files") || die "writing the exFAT tree failed"
  cat >"$work/delete.py" <<'PYDEL'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
def path(n):
    i = n // 100
    return "d%02d/e%02d/file%06d.txt" % (i // 25, i % 25, n)
for n in range(count):
    if n % 10 == 3 or n // 100 == 1:
        print(path(n), n)
for n in range(count):
    if n % 10 == 3 and n // 100 != 1:
        os.unlink(os.path.join(root, path(n)))
top = os.path.join(root, "d00/e01")
for name in os.listdir(top):
    os.unlink(os.path.join(top, name))
os.rmdir(top)
PYDEL
  python3 "$work/delete.py" "$work/mnt" "$exfat_files" >"$work/deleted.txt" || die "deleting failed"
  umount "$work/mnt"
  losetup -d "$ex_loop"
  trap cleanup EXIT
  t_ex1=$(now_ms)
  ex_deleted=$(wc -l <"$work/deleted.txt")
  ex_mib_img=$(($(stat -c %s "$ex_img") / 1048576))
  cat "$ex_img" >/dev/null

  cat >"$work/count_ok.py" <<'PYOK'
import os, sys
out, listing = sys.argv[1], sys.argv[2]
ok = 0
for line in open(listing):
    path, n = line.split()
    n = int(n)
    want = (("file %06d " % n) * (20 + n * 37 % 1200)).encode()
    try:
        with open(os.path.join(out, path), "rb") as f:
            ok += f.read() == want
    except OSError:
        pass
print(ok)
PYOK
  note "exFAT: checking the listings"
  "$ovrecover" ls --fs fat "$ex_img" -r --json >"$work/ex_ls.json" 2>"$work/ex_ls.err" ||
    { cat "$work/ex_ls.err" >&2; die "ovrecover ls on the exFAT image failed"; }
  read -r ex_ov_files ex_ov_folders ex_ov_entries < <(count_json "$work/ex_ls.json")
  fls -r -p "$ex_img" >"$work/ex_fls.txt" 2>"$work/ex_fls.err" || { cat "$work/ex_fls.err" >&2; die "fls failed"; }
  ex_fls_files=$(grep -ciE $'^r/r [*]? ?[0-9]+:\t(.*/)?file[0-9]+\\.txt$' "$work/ex_fls.txt" || true)
  for ((r = 1; r <= runs; r++)); do
    note "exFAT run $r of $runs"
    run_timed ex_fls /dev/null fls -r -p "$ex_img"
    run_timed ex_ls_json /dev/null "$ovrecover" ls --fs fat "$ex_img" -r --json
  done
  note "exFAT: recovering the deleted files"
  run_timed ex_recover /dev/null "$ovrecover" recover --fs fat --deleted "$ex_img" --out "$work/ex_ov"
  run_timed ex_tsk_recover /dev/null tsk_recover -e "$ex_img" "$work/ex_tsk"
  ex_ov_ok=$(python3 "$work/count_ok.py" "$work/ex_ov" "$work/deleted.txt")
  ex_tsk_ok=$(python3 "$work/count_ok.py" "$work/ex_tsk" "$work/deleted.txt")

  echo
  echo "3. exFAT: $exfat_files files in $ex_folders folders, $ex_mib_img MiB volume (4 KiB clusters), $ex_deleted deleted;" \
    "image made in $(((t_ex1 - t_ex0) / 1000)) s"
  echo
  printf '%-40s %8s %9s %13s %9s\n' tool best_s median_s peak_RSS_MiB "fls/tool"
  ex_fls_best=$(stats ex_fls | awk '{ print $1 }')
  for pair in "fls -r -p:ex_fls" "ovrecover ls -r --json:ex_ls_json" "ovrecover recover --deleted:ex_recover" \
    "tsk_recover -e:ex_tsk_recover"; do
    read -r best median rss < <(stats "${pair#*:}")
    awk -v l="${pair%:*}" -v b="$best" -v m="$median" -v r="$rss" -v f="$ex_fls_best" 'BEGIN {
      rs = (r < 0) ? "n/a" : sprintf("%.1f", r / 1024)
      printf "%-40s %8.3f %9.3f %13s %8.2fx\n", l, b, m, rs, (b > 0) ? f / b : 0
    }'
  done
  echo
  echo "files named file*.txt listed: ovrecover $ex_ov_files, fls $ex_fls_files (live and deleted)"
  echo "deleted files saved byte for byte: ovrecover $ex_ov_ok of $ex_deleted, tsk_recover -e $ex_tsk_ok of $ex_deleted"
  ((ex_ov_ok >= ex_tsk_ok)) || warn "ovrecover saved fewer deleted files whole than tsk_recover"
  # A file over 4 GiB on a card-sized volume of 128 KiB clusters: its 64-bit size listed and its
  # bytes saved as icat reads them (exfat-fuse writes the zeros of the extended part).
  if [[ ${BENCH_EXFAT_BIG:-1} == 1 ]]; then
    rm -rf -- "$ex_img" "$work/ex_ov" "$work/ex_tsk"
    big_img=$work/big.img
    truncate -s 5G "$big_img"
    mkfs.exfat -c 128K -L BIG "$big_img" >/dev/null || die "mkfs.exfat failed"
    ex_loop=$(losetup -f --show "$big_img") || die "losetup failed"
    trap 'umount "$work/mnt" 2>/dev/null; losetup -d "$ex_loop" 2>/dev/null; cleanup' EXIT
    mount.exfat-fuse "$ex_loop" "$work/mnt" >/dev/null || die "mount.exfat-fuse failed"
    big_size=$((4 * 1073741824 + 300 * 1048576 + 12345))
    head -c 1048576 /dev/urandom >"$work/head.bin"
    cp "$work/head.bin" "$work/mnt/big.bin"
    truncate -s "$big_size" "$work/mnt/big.bin"
    umount "$work/mnt"
    losetup -d "$ex_loop"
    trap cleanup EXIT
    t_big0=$(now_ms)
    "$ovrecover" recover --fs fat "$big_img" --out "$work/big_ov" big.bin >/dev/null 2>"$work/big.err" ||
      { cat "$work/big.err" >&2; die "ovrecover recover of the big file failed"; }
    t_big1=$(now_ms)
    big_listed=$("$ovrecover" ls --fs fat --json "$big_img" 2>/dev/null | python3 -c '
import json, sys
print(next((e["size"] for e in json.load(sys.stdin) if e["name"] == "big.bin"), 0))')
    big_ov=$(sha256sum <"$work/big_ov/big.bin" | cut -d" " -f1)
    rm -rf -- "$work/big_ov"
    big_inode=$(fls "$big_img" | awk -F'[ :\t]+' '$NF == "big.bin" { print $2 }')
    big_tsk=$(icat "$big_img" "$big_inode" | sha256sum | cut -d" " -f1)
    big_want=$( (cat "$work/head.bin"; head -c $((big_size - 1048576)) /dev/zero) | sha256sum | cut -d" " -f1)
    echo
    echo "4. exFAT file over 4 GiB ($big_size bytes, 128 KiB clusters): listed size $big_listed;" \
      "saved by ovrecover in $(((t_big1 - t_big0) / 1000)) s;" \
      "ovrecover $([[ $big_ov == "$big_want" ]] && echo "byte for byte" || echo "DIFFERENT")," \
      "icat $([[ $big_tsk == "$big_want" ]] && echo "byte for byte" || echo "DIFFERENT")"
    [[ $big_ov == "$big_want" && $big_listed == "$big_size" ]] || warn "the big file was not listed or saved whole"
    rm -f -- "$big_img"
  fi

fi
