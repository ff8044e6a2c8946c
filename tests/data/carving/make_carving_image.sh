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
import gzip, hashlib, io, json, os, random, sys, zipfile

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

# Types without an end-finding routine: each match is an item of the user's maximum size.
zbuf = io.BytesIO()
with zipfile.ZipFile(zbuf, "w", zipfile.ZIP_DEFLATED) as z:
    info = zipfile.ZipInfo("note.txt", date_time=(2026, 1, 1, 0, 0, 0))
    z.writestr(info, "carving sample " * 40)
files.append(({"file": "made:archive.zip", "format": "zip", "handler": 1, "expected": "max size", "jump": False,
               "carved_size": 0}, zbuf.getvalue()))
# A Canon raw header: its own row and the little-endian TIFF row both match; the narrower row
# comes first in the index and gives the only item.
cr2 = b"II*\x00\x10\x00\x00\x00CR\x02\x00" + rng.randbytes(1000)
files.append(({"file": "made:raw.cr2", "format": "cr2", "handler": 1, "expected": "max size", "jump": False,
               "carved_size": 0}, cr2))
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
            "'rejected' = no item; 'max size' = no routine, the item has the user's maximum; "
            "'cut at end' = no routine, cut to the sectors left on the disk. jump: the scan jumps past the file.",
    "files": out,
}
open(os.path.join(here, "carving.img"), "wb").write(image)
with open(os.path.join(here, "carving.manifest.json"), "w") as f:
    json.dump(manifest, f, indent=2)
    f.write("\n")
EOF

xz -9e -f -T1 "$here/carving.img"
echo "wrote $here/carving.img.xz and carving.manifest.json"
