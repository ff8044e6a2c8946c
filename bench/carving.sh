#!/usr/bin/env bash
# Benchmark of `ovrecover carve` on a large image made of the carving samples with filler between
# them, side by side with PhotoRec (`photorec /cmd`), foremost and `cat IMAGE > /dev/null`:
# throughput, recall (placed files recovered byte for byte, by start sector and SHA-256) and junk
# (saved files that are no placed file: pieces, files cut wrong, finds inside other files).
#
# Usage: bench/carving.sh
#
# Environment:
#   OVRECOVER        use this ovrecover binary (with the carve subcommand) instead of building one
#   OVRECOVER_BASE   also run this ovrecover binary (an earlier build, say of main) as "baseline",
#                    with the Signature file beside it or in its ../carver/
#   BENCH_BUILD_DIR  build folder for the Release build (default: build-bench/ in the repo root)
#   BENCH_SIZE_MIB   image size in MiB (default 1024, at least 1024)
#   BENCH_UNIT_MIB   one copy of the carving test image per this many MiB (default 16)
#   BENCH_RUNS       timed runs per tool (default 2); the best and the median are kept
#   BENCH_MAX_SIZE   ovrecover's --max-size for types without an end-finding routine (default 64K)
#   TMPDIR           where the temporary folder goes (needs about 3 x the image size free)
#
# Installs testdisk (photorec), foremost and time with apt-get when missing and run as root.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

size_mib=${BENCH_SIZE_MIB:-1024}
unit_mib=${BENCH_UNIT_MIB:-16}
runs=${BENCH_RUNS:-2}
max_size=${BENCH_MAX_SIZE:-64K}
build_dir=${BENCH_BUILD_DIR:-$root/build-bench}
unit_xz=$root/tests/data/carving/carving.img.xz
unit_manifest=$root/tests/data/carving/carving.manifest.json
signatures=$root/carver/signatures/signatures.txt

die() { echo "carving: $*" >&2; exit 1; }
note() { echo "== $*" >&2; }

if ! [[ $size_mib =~ ^[0-9]+$ ]] || ((size_mib < 1024)); then die "BENCH_SIZE_MIB must be a whole number >= 1024"; fi
if ! [[ $unit_mib =~ ^[0-9]+$ ]] || ((unit_mib < 1)); then die "BENCH_UNIT_MIB must be a whole number >= 1"; fi
if ! [[ $runs =~ ^[0-9]+$ ]] || ((runs < 1)); then die "BENCH_RUNS must be a whole number >= 1"; fi
for f in "$unit_xz" "$unit_manifest" "$signatures"; do [[ -f $f ]] || die "missing $f"; done

# --- peers -----------------------------------------------------------------------------------
missing=()
command -v photorec >/dev/null || missing+=(testdisk)
command -v foremost >/dev/null || missing+=(foremost)
[[ -x /usr/bin/time ]] || missing+=(time)
if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    note "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null ||
      { apt-get update >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >/dev/null; } ||
      die "apt-get install ${missing[*]} failed"
  else
    die "needs the packages: ${missing[*]} (run as root to install them)"
  fi
fi
for tool in xz openssl python3 awk sha256sum; do command -v "$tool" >/dev/null || die "needs '$tool'"; done

# --- ovrecover -------------------------------------------------------------------------------
if [[ -n ${OVRECOVER:-} ]]; then
  ovrecover=$OVRECOVER
else
  note "building ovrecover (Release) in ${build_dir#"$root"/}"
  generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  if [[ ! -f $build_dir/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Wno-restrict \
      >/dev/null || die "cmake configure failed"
  fi
  cmake --build "$build_dir" --target ovrecover carver_signature_file -j "$(nproc 2>/dev/null || echo 2)" >/dev/null || die "build failed"
  ovrecover=$build_dir/cli/ovrecover
fi
[[ -x $ovrecover ]] || die "no ovrecover at $ovrecover"
"$ovrecover" carve --help >/dev/null 2>&1 || die "$ovrecover has no carve subcommand"

# --- the image -------------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/ov-carve-bench.XXXXXX")
cleanup() { rm -rf -- "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

image=$work/bench.img
size_bytes=$((size_mib * 1024 * 1024))
free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
need_kib=$((size_bytes / 1024 * 3))
((free_kib >= need_kib)) || die "needs $((need_kib / 1024)) MiB free in ${TMPDIR:-/tmp}, has $((free_kib / 1024)) MiB"

xz -dc "$unit_xz" >"$work/unit.img"
note "making a $size_mib MiB image: the carving test image once per $unit_mib MiB, keystream filler between"
# The filler is an AES-CTR keystream with a fixed key; a filler sector whose first two bytes could
# start a file of the catalogue (or an MPEG audio frame) gets them re-drawn, as in the test image,
# so every tool sees only the placed files.
cat >"$work/make_image.py" <<'EOF'
import json, sys
out_path, unit_path, manifest_path, sig_path, size, unit_span, expected_path = sys.argv[1:]
size, unit_span = int(size), int(unit_span)
S = 512
unit = open(unit_path, "rb").read()
manifest = json.load(open(manifest_path))
forbidden = set()
for line in open(sig_path, encoding="utf-8"):
    line = line.strip()
    if not line or line.startswith("#"):
        continue
    f = [x.strip() for x in line.split("|")]
    sig = bytes.fromhex(f[3].replace(" ", ""))
    if int(f[4]) == 0:
        forbidden.add(sig[:2])
forbidden |= {b"ID", b"RI"} | {bytes([0xFF, b]) for b in range(0xE0, 0x100)}
firsts = {p[:1] for p in forbidden if len(p) == 1}
src = sys.stdin.buffer
out = open(out_path, "wb")
expected = open(expected_path, "w")
written = 0
copy = 0
while written < size:
    span = min(unit_span, size - written)
    filler_len = span - len(unit) if span > len(unit) else span
    filler = bytearray(src.read(filler_len))
    if len(filler) != filler_len:
        sys.exit("the keystream ended early")
    for at in range(0, len(filler) - 1, S):
        while bytes(filler[at:at + 2]) in forbidden or bytes(filler[at:at + 1]) in firsts:
            filler[at] = (filler[at] + 1) & 0xFF
    out.write(filler)
    written += len(filler)
    if span > len(unit):
        base = written // S
        out.write(unit)
        src.read(len(unit))  # the keystream stays as long as the image, so its writer ends cleanly
        written += len(unit)
        for f in manifest["files"]:
            expected.write(f"{base + f['start_sector']} {f['sha256']} {f['format'].replace(' ', '_')} {f['file']}\n")
        copy += 1
src.read()
out.close()
EOF
head -c "$size_bytes" /dev/zero |
  openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv 00000000000000000000000000000000 |
  python3 "$work/make_image.py" "$image" "$work/unit.img" "$unit_manifest" "$signatures" "$size_bytes" \
    "$((unit_mib * 1024 * 1024))" "$work/expected.txt" || die "making the image failed"
[[ $(stat -c %s "$image") -eq $size_bytes ]] || die "image has the wrong size"
placed=$(wc -l <"$work/expected.txt")
note "$placed files placed"

# --- timing ----------------------------------------------------------------------------------
# run_timed NAME COMMAND... : appends "milliseconds rss_kib" to $work/NAME.times.
run_timed() {
  local name=$1 rc=0 t0 t1
  shift
  t0=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/rss" "$@" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
  t1=$(date +%s%N)
  if ((rc != 0)); then
    tail -n 20 "$work/$name.err" >&2
    die "'$*' failed with exit code $rc"
  fi
  echo "$(((t1 - t0) / 1000000)) $(tail -n 1 "$work/rss")" >>"$work/$name.times"
}

fresh() { rm -rf -- "$work/out-$1"; mkdir -p "$work/out-$1"; }

tools=(cat ovrecover photorec foremost)
if [[ -n ${OVRECOVER_BASE:-} ]]; then
  [[ -x $OVRECOVER_BASE ]] || die "no ovrecover at $OVRECOVER_BASE"
  OVRECOVER_BASE=$(realpath "$OVRECOVER_BASE")
  tools+=(baseline)
fi
# PhotoRec writes its log into the current folder: run everything from the temporary one.
ovrecover=$(realpath "$ovrecover")
cd "$work"
note "warming the page cache"
cat "$image" >/dev/null
for ((r = 1; r <= runs; r++)); do
  note "run $r of $runs"
  run_timed cat cat "$image"
  fresh ovrecover
  run_timed ovrecover "$ovrecover" carve "$image" --out "$work/out-ovrecover" --max-size "$max_size"
  fresh photorec
  # The whole image as one unpartitioned disk, every file type, every block examined.
  run_timed photorec photorec /log /d "$work/out-photorec/recup" /cmd "$image" \
    partition_none,options,paranoid,fileopt,everything,enable,wholespace,search
  rm -rf -- "$work/out-foremost"
  # -q: headers at the start of a 512-byte block only, as the other two tools look for them.
  run_timed foremost foremost -q -t all -i "$image" -o "$work/out-foremost"
  if [[ -n ${OVRECOVER_BASE:-} ]]; then
    fresh baseline
    run_timed baseline "$OVRECOVER_BASE" carve "$image" --out "$work/out-baseline" --max-size "$max_size"
  fi
done

# --- recall ----------------------------------------------------------------------------------
# A recovered file counts when its start sector (from its name) and its SHA-256 equal a placed
# file's. Names: ovrecover "<sector>.<ext>", PhotoRec "f<sector>[_name].<ext>", foremost
# "<sector>.<ext>" (in 512-byte blocks with -q as without).
recall() {
  local dir=$1
  find "$dir" -type f ! -name '*.xml' ! -name '*.txt' ! -name '*.log' -print0 |
    xargs -0 -r sha256sum |
    python3 -c '
import os, re, sys
expected = {}
for line in open(sys.argv[1]):
    sector, sha, fmt, name = line.split(None, 3)
    expected[(int(sector), sha)] = (fmt, name.strip())
found = set()
junk = 0
for line in sys.stdin:
    sha, path = line.rstrip("\n").split("  ", 1)
    m = re.match(r"^(?:#\d+)?f?(\d+)", os.path.basename(path))
    if m and (int(m.group(1)), sha) in expected:
        found.add((int(m.group(1)), sha))
    else:
        junk += 1
per = {}
for key, (fmt, name) in expected.items():
    tot, ok = per.get(fmt, (0, 0))
    per[fmt] = (tot + 1, ok + (key in found))
both = [f for f in per if f != "length_field"]
print(len(found), junk, sum(per[f][1] for f in both), sum(per[f][0] for f in both),
      " ".join("%s=%d/%d" % (f, per[f][1], per[f][0]) for f in sorted(per)))
' "$work/expected.txt"
}

stats() {
  sort -n "$work/$1.times" | awk '
    { t[NR] = $1; if ($2 > rss) rss = $2 }
    END { printf "%.3f %.3f %d\n", t[1] / 1000, t[int((NR + 1) / 2)] / 1000, rss }'
}

echo
echo "Image: $size_mib MiB, the carving test image every $unit_mib MiB ($placed files), $runs runs per tool, warm page cache"
echo "Commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD -- . ':!bench' ':!tests' 2>/dev/null || echo ' (with local changes)')"
echo
printf '%-10s %9s %9s %9s %13s %9s %14s %14s %7s\n' tool best_s median_s MiB/s peak_RSS_MiB "% of cat" recall "recall(both)" junk
cat_best=""
declare -A per_format
for tool in "${tools[@]}"; do
  read -r best median rss < <(stats "$tool")
  [[ $tool == cat ]] && cat_best=$best
  rec="-" recb="-" junk="-"
  if [[ $tool != cat ]]; then
    read -r n junk nb tb detail < <(recall "$work/out-$tool")
    rec="$n/$placed"
    recb="$nb/$tb"
    per_format[$tool]=$detail
  fi
  awk -v t="$tool" -v b="$best" -v m="$median" -v r="$rss" -v s="$size_mib" -v c="$cat_best" -v rc="$rec" -v rb="$recb" -v j="$junk" 'BEGIN {
    printf "%-10s %9.3f %9.3f %9.0f %13.1f %9s %14s %14s %7s\n", t, b, m, (b > 0) ? s / b : 0, r / 1024,
      (c > 0 && b > 0) ? sprintf("%.0f%%", 100 * c / b) : "n/a", rc, rb, j
  }'
done
echo
for tool in "${tools[@]}"; do [[ $tool == cat ]] || echo "$tool per format: ${per_format[$tool]}"; done
echo "recall(both): the formats both ovrecover's catalogue and PhotoRec know (all but the made-up length-field sample)"
echo "junk: saved files whose start sector and SHA-256 match no placed file"
