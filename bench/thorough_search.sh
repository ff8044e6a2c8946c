#!/usr/bin/env bash
# Benchmark of `ovrecover search --thorough` on a large disk image, against `cat`
# (the speed of reading the image from the page cache) and, when installed,
# The Sleuth Kit's `sigfind` (a per-sector signature search).
#
# Usage: bench/thorough_search.sh
#
# Environment:
#   OVRECOVER        use this ovrecover binary instead of building one
#   BENCH_BUILD_DIR  build folder for the Release build (default: build-bench/ in the repo root)
#   BENCH_SIZE_MIB   size of the benchmark image in MiB (default 2048, at least 1024)
#   BENCH_RUNS       timed runs per tool (default 3); the best and the median are kept
#   BENCH_COPIES     copies of the test disk written into the image (default 3, at least 1)
#   TMPDIR           where the temporary image goes (needs the image size + 200 MiB free)
#
# Exits non-zero only on real errors (build failure, a tool failing, no room for the image).
# A wrong number of volumes found is printed as a warning.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

size_mib=${BENCH_SIZE_MIB:-2048}
runs=${BENCH_RUNS:-3}
copies=${BENCH_COPIES:-3}
build_dir=${BENCH_BUILD_DIR:-$root/build-bench}
disk_xz=$root/tests/data/mbr_ntfs_fat_zeroed.img.xz
# NTFS volumes of that disk (start sectors relative to the disk), from its manifest.
disk_volume_starts=(2048 26624 49152 67584)

die() { echo "thorough_search: $*" >&2; exit 1; }
note() { echo "== $*" >&2; }

if ! [[ $size_mib =~ ^[0-9]+$ ]] || ((size_mib < 1024)); then die "BENCH_SIZE_MIB must be a whole number >= 1024"; fi
if ! [[ $runs =~ ^[0-9]+$ ]] || ((runs < 1)); then die "BENCH_RUNS must be a whole number >= 1"; fi
if ! [[ $copies =~ ^[0-9]+$ ]] || ((copies < 1)); then die "BENCH_COPIES must be a whole number >= 1"; fi
[[ -f $disk_xz ]] || die "missing test image tests/data/$(basename "$disk_xz")"
for tool in xz openssl dd awk; do
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

# --- the image -------------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/ov-bench.XXXXXX")
cleanup() { rm -rf -- "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

image=$work/bench.img
disk=$work/disk.img
size_bytes=$((size_mib * 1024 * 1024))

free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
need_kib=$((size_bytes / 1024 + 200 * 1024))
((free_kib >= need_kib)) || die "needs $((need_kib / 1024)) MiB free in ${TMPDIR:-/tmp}, has $((free_kib / 1024)) MiB"

xz -dc "$disk_xz" >"$disk"
disk_sectors=$(($(stat -c %s "$disk") / 512))
image_sectors=$((size_bytes / 512))
((copies * disk_sectors <= image_sectors)) || die "$copies copies of the test disk do not fit in $size_mib MiB"

note "making a $size_mib MiB image (AES-CTR keystream, $copies copies of the test disk)"
# A fixed key: the same bytes on every run, and nothing that compresses or reads as zero.
head -c "$size_bytes" /dev/zero |
  openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv 00000000000000000000000000000000 \
    >"$image"
[[ $(stat -c %s "$image") -eq $size_bytes ]] || die "image has the wrong size"

# Copies at sector 0, spread evenly, and the last one as near the end as fits; each offset a
# multiple of 2048 sectors (1 MiB).
offsets=()
last_slot=$(((image_sectors - disk_sectors) / 2048 * 2048))
for ((c = 0; c < copies; c++)); do
  if ((copies == 1)); then at=0; else at=$((last_slot * c / (copies - 1) / 2048 * 2048)); fi
  offsets+=("$at")
  dd if="$disk" of="$image" bs=1M seek=$((at / 2048)) conv=notrunc status=none
done
rm -f -- "$disk"
expected_starts=$(for at in "${offsets[@]}"; do
  for s in "${disk_volume_starts[@]}"; do echo $((at + s)); done
done | sort -n)
expected_count=$((copies * ${#disk_volume_starts[@]}))
note "test disk copies at sectors: ${offsets[*]}"

# --- timing ----------------------------------------------------------------------------------
gnu_time=""
if [[ -x /usr/bin/time ]] && /usr/bin/time -f %M true >/dev/null 2>&1; then gnu_time=/usr/bin/time; fi
[[ -n $gnu_time ]] || note "GNU time not installed (apt package 'time'): peak RSS is not measured"

# run_timed NAME OUT_FILE COMMAND... : one run; appends "seconds rss_kib" to $work/NAME.times.
# Wall time from date's nanoseconds; peak RSS from GNU time. Standard error goes to
# $work/NAME.err. Fails on the command's failure, except for two exits that are not errors here:
# ovrecover's 1 (it finished and found nothing: left to the volume check) and sigfind's 1 after
# "error reading bytes N" with N the image's block count (its usual way to stop at the end).
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
  if ((rc == 1)) && [[ $name == ovrecover ]]; then rc=0; fi
  if ((rc == 1)) && [[ $name == sigfind ]] && grep -q "^error reading bytes $image_sectors\$" "$work/$name.err"; then rc=0; fi
  if ((rc != 0)); then
    cat "$work/$name.err" >&2
    die "'$*' failed with exit code $rc"
  fi
  [[ -n $gnu_time ]] && rss=$(tail -n 1 "$work/rss")
  echo "$(((t1 - t0) / 1000000)) $rss" >>"$work/$name.times"
}

note "warming the page cache"
cat "$image" >/dev/null

tools=(cat ovrecover)
have_sigfind=0
if command -v sigfind >/dev/null; then
  have_sigfind=1
  tools+=(sigfind)
else
  note "sigfind not installed (apt package 'sleuthkit'): skipped"
fi

# Results check first (it also warms ovrecover's code): every embedded copy has 4 NTFS volumes.
rc=0
"$ovrecover" search "$image" --thorough --json >"$work/found.json" 2>"$work/found.err" || rc=$?
if ((rc > 1)); then
  cat "$work/found.err" >&2
  die "ovrecover search failed with exit code $rc"
fi
found_starts=$(grep -o '"start_sector": *[0-9]*' "$work/found.json" | grep -o '[0-9]*$' | sort -n || true)
found_count=$(grep -c . <<<"$found_starts" || true)
[[ -z $found_starts ]] && found_count=0

for ((r = 1; r <= runs; r++)); do
  note "run $r of $runs"
  run_timed cat /dev/null cat "$image"
  run_timed ovrecover /dev/null "$ovrecover" search "$image" --thorough --json
  if ((have_sigfind)); then
    # "NTFS" (4E 54 46 53) at byte 3 of a 512-byte block: the boot sector's OEM id.
    run_timed sigfind "$work/sigfind.out" sigfind -o 3 4e544653 "$image"
  fi
done

# --- report ----------------------------------------------------------------------------------
# stats NAME: "best_s median_s peak_rss_kib"
stats() {
  sort -n "$work/$1.times" | awk '
    { t[NR] = $1; if ($2 > rss) rss = $2 }
    END { printf "%.3f %.3f %d\n", t[1] / 1000, t[int((NR + 1) / 2)] / 1000, rss }'
}

echo
echo "Image: $size_mib MiB, $copies copies of mbr_ntfs_fat_zeroed, $runs runs per tool, warm page cache"
echo "Commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD -- . ':!bench' ':!tests' ':!docs' 2>/dev/null || echo ' (with local changes)')"
echo
printf '%-10s %9s %9s %9s %14s %9s\n' tool best_s median_s MiB/s peak_RSS_MiB "% of cat"
cat_best=""
for tool in "${tools[@]}"; do
  read -r best median rss < <(stats "$tool")
  [[ $tool == cat ]] && cat_best=$best
  awk -v t="$tool" -v b="$best" -v m="$median" -v r="$rss" -v s="$size_mib" -v c="$cat_best" 'BEGIN {
    mibs = (b > 0) ? s / b : 0
    rs = (r < 0) ? "n/a" : sprintf("%.1f", r / 1024)
    pct = (c > 0 && b > 0) ? sprintf("%.0f%%", 100 * c / b) : "n/a"
    printf "%-10s %9.3f %9.3f %9.0f %14s %9s\n", t, b, m, mibs, rs, pct
  }'
done
echo

volumes_ok=0
[[ $found_count -eq $expected_count && $found_starts == "$expected_starts" ]] && volumes_ok=1

read -r ov_best ov_median _ < <(stats ovrecover)
read -r _ cat_median _ < <(stats cat)
awk -v c="$cat_best" -v o="$ov_best" -v cm="$cat_median" -v om="$ov_median" -v ok="$volumes_ok" 'BEGIN {
  p = (o > 0) ? 100 * c / o : 0
  pm = (om > 0) ? 100 * cm / om : 0
  printf "ovrecover throughput: %.0f%% of cat, best against best (%.0f%% median against median)\n", p, pm
  printf "target of at least 60%% of cat: %s%s\n", (p >= 60) ? "met" : "NOT met",
    ok ? "" : " (but the results are wrong: see the warning below)"
}'

if ((have_sigfind)); then
  echo "sigfind: $(grep -c 'Block:' "$work/sigfind.out" || true) blocks with \"NTFS\" at byte 3" \
    "(boot sectors and their backups; $((copies * 2 * ${#disk_volume_starts[@]})) expected)"
fi

if ((volumes_ok)); then
  echo "ovrecover found the $expected_count expected NTFS volumes"
else
  echo "WARNING: ovrecover found $found_count volumes, expected $expected_count" \
    "(starts found: $(tr '\n' ' ' <<<"$found_starts"); expected: $(tr '\n' ' ' <<<"$expected_starts"))" >&2
fi
