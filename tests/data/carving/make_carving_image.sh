#!/usr/bin/env bash
# Builds the carving test image beside this script: carving.img.xz and carving.manifest.json.
#
# The samples of this folder (samples.json), and a few small files made here for types that have
# no end-finding routine, each start at a sector boundary with deterministic random filler
# between them. The first two bytes of every filler sector are re-drawn while they could begin a
# signature of the shipped catalogue (carver/signatures/signatures.txt) or an MPEG audio frame,
# so that only the placed files are found. The last file is a gzip blob that starts ten sectors
# before the image's end, so its item is cut at the end of the disk.
#
# Needs: python3, xz. Running it again writes the same bytes.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"

python3 - "$here" "$root/carver/signatures/signatures.txt" <<'EOF'
import bz2, gzip, hashlib, io, json, os, random, sys

here, signatures = sys.argv[1], sys.argv[2]
SECTOR = 512
rng = random.Random(20261206)

# First two bytes at which a filler sector could be taken for the start of a file.
forbidden = set()
for line in open(signatures, encoding="utf-8"):
    line = line.strip()
    if not line or line.startswith("#"):
        continue
    fields = [f.strip() for f in line.split("|")]
    sig = bytes.fromhex(fields[3].replace(" ", ""))
    if int(fields[4]) == 0:
        forbidden.add(sig[:2] if len(sig) >= 2 else sig[:1])
forbidden |= {b"ID", b"RI"} | {bytes([0xFF, b]) for b in range(0xE0, 0x100)}

def filler(sectors):
    out = bytearray()
    for _ in range(sectors):
        s = bytearray(rng.randbytes(SECTOR))
        while bytes(s[:2]) in forbidden or bytes(s[:1]) in forbidden:
            s[:2] = rng.randbytes(2)
        out += s
    return bytes(out)

def pad(data):
    rest = (-len(data)) % SECTOR
    return data + rng.randbytes(rest)

samples = json.load(open(os.path.join(here, "samples.json")))["samples"]
files = []
for s in samples:
    data = open(os.path.join(here, s["file"]), "rb").read()
    entry = {k: s[k] for k in ("file", "format", "handler", "expected", "jump")}
    entry["carved_size"] = s.get("carved_size", s["size"])
    files.append((entry, data))

# Types without an end-finding routine: each match is an item of the user's maximum size, or
# less where the next found file starts sooner.
files.append(({"file": "made:note.gz", "format": "gz", "handler": 1, "expected": "size rule", "jump": False,
               "carved_size": 0}, gzip.compress(b"carving sample, gzip\n" * 300, mtime=0)))
files.append(({"file": "made:note.bz2", "format": "bz2", "handler": 1, "expected": "size rule", "jump": False,
               "carved_size": 0}, bz2.compress(b"carving sample, bzip2\n" * 300)))
gz = gzip.compress(b"carving sample\n" * 400, mtime=0)
cut = ({"file": "made:tail.gz", "format": "gz", "handler": 1, "expected": "cut at end", "jump": False,
        "carved_size": 0}, gz)

image = bytearray(filler(64))
placed = []
for entry, data in files:
    start = len(image) // SECTOR
    image += pad(data)
    placed.append((entry, data, start))
    image += filler(rng.randint(1, 24))

# The gzip blob ten sectors before the end.
start = len(image) // SECTOR
image += pad(cut[1])
tail_sectors = 10 - (len(image) // SECTOR - start)
assert tail_sectors >= 0
image += filler(tail_sectors)
placed.append((cut[0], cut[1], start))
assert len(image) // SECTOR - start == 10

out = []
for entry, data, start in placed:
    e = dict(entry)
    e["start_sector"] = start
    e["size"] = len(data)
    e["sha256"] = hashlib.sha256(data).hexdigest()
    out.append(e)

manifest = {
    "image": "carving.img.xz",
    "sector_size": SECTOR,
    "total_sectors": len(image) // SECTOR,
    "sha256": hashlib.sha256(image).hexdigest(),
    "note": "expected: 'end found' = the routine gives the size (carved_size bytes from the start); "
            "'rejected' = no item; 'size rule' = no routine, the item has the user's maximum or ends where "
            "the next file starts; 'cut at end' = no routine, cut to the sectors left on the disk. "
            "jump: the scan jumps past the file.",
    "files": out,
}
open(os.path.join(here, "carving.img"), "wb").write(image)
with open(os.path.join(here, "carving.manifest.json"), "w") as f:
    json.dump(manifest, f, indent=2)
    f.write("\n")
EOF

xz -9e -f -T1 "$here/carving.img"
echo "wrote $here/carving.img.xz and carving.manifest.json"
