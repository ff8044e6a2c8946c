#!/usr/bin/env bash
# Builds the small disk images used by the tests, with the ordinary open-source
# file system tools (mkntfs, ntfs-3g, mkfs.fat, mtools, sfdisk, ImageMagick),
# and writes beside each a JSON manifest of its partitions and files.
#
#   sudo bash tests/data/make_images.sh            # every image
#   sudo bash tests/data/make_images.sh NAME...    # only these images
#
# Every volume is built in a file of its own (no loop devices), filled through
# an ntfs-3g FUSE mount (NTFS) or mtools (FAT), then copied into the disk image
# at its partition's offset. File contents come from seeded generators, so a
# rebuild writes the same file bytes; file system metadata (NTFS serial numbers,
# time stamps) differs between builds and is recorded in the manifests.
#
# Output, in the folder of this script: NAME.img.xz and NAME.manifest.json.
# Set KEEP_IMG=1 to also leave the uncompressed NAME.img files there.
set -euo pipefail

out_dir=$(cd "$(dirname "$0")" && pwd)

# Image names on the command line build only those images; with none, all
# are built. A *_zeroed image is made from the image it copies, so naming
# either one builds both (and any gpt_disk* image builds all four).
builds=()
for image in "${@:-all}"; do
  case $image in
    all) builds+=(build_mbr_ntfs_fat build_ntfs_zeroed_boot build_ntfs_4k
                 build_sample build_xp_cylinders build_ntfs_features
                 build_ntfs_turbo build_fat_mbr build_fat32_backup_boot
                 build_gpt_disk build_ntfs_volume_only
                 build_fat32_volume_only build_fat12_floppy build_fat_small_mbr
                 build_fat16_volume_only build_ntfs_fidelity
                 build_ntfs_odd_mft build_ntfs_4kn build_fat16_not_ntfs
                 build_ntfs_ext2_signature build_exfat_card
                 build_exfat_volume_only build_containers) ;;
    exfat_card | exfat_card_backup | exfat_card_zeroed) builds+=(build_exfat_card) ;;
    exfat_volume_only) builds+=(build_exfat_volume_only) ;;
    containers) builds+=(build_containers) ;;
    mbr_ntfs_fat | mbr_ntfs_fat_zeroed) builds+=(build_mbr_ntfs_fat) ;;
    ntfs_zeroed_boot) builds+=(build_ntfs_zeroed_boot) ;;
    ntfs_4k) builds+=(build_ntfs_4k) ;;
    sample) builds+=(build_sample) ;;
    xp_cylinders | xp_cylinders_zeroed) builds+=(build_xp_cylinders) ;;
    ntfs_features) builds+=(build_ntfs_features) ;;
    ntfs_turbo) builds+=(build_ntfs_turbo) ;;
    fat_mbr | fat_mbr_zeroed) builds+=(build_fat_mbr) ;;
    fat32_backup_boot) builds+=(build_fat32_backup_boot) ;;
    gpt_disk | gpt_disk_primary_damaged | gpt_disk_entries_damaged | \
      gpt_disk_zeroed) builds+=(build_gpt_disk) ;;
    ntfs_volume_only) builds+=(build_ntfs_volume_only) ;;
    fat32_volume_only) builds+=(build_fat32_volume_only) ;;
    fat12_floppy) builds+=(build_fat12_floppy) ;;
    fat_small_mbr) builds+=(build_fat_small_mbr) ;;
    fat16_volume_only) builds+=(build_fat16_volume_only) ;;
    ntfs_fidelity) builds+=(build_ntfs_fidelity) ;;
    ntfs_odd_mft) builds+=(build_ntfs_odd_mft) ;;
    ntfs_4kn_gpt | ntfs_4kn_mbr) builds+=(build_ntfs_4kn) ;;
    fat16_not_ntfs) builds+=(build_fat16_not_ntfs) ;;
    ntfs_ext2_signature) builds+=(build_ntfs_ext2_signature) ;;
    *)
      echo "make_images.sh: unknown image $image (known: mbr_ntfs_fat," \
        "mbr_ntfs_fat_zeroed, ntfs_zeroed_boot, ntfs_4k, sample," \
        "xp_cylinders, xp_cylinders_zeroed, ntfs_features, ntfs_turbo," \
        "fat_mbr, fat_mbr_zeroed, fat32_backup_boot, gpt_disk," \
        "gpt_disk_primary_damaged, gpt_disk_entries_damaged," \
        "gpt_disk_zeroed, ntfs_volume_only, fat32_volume_only, fat12_floppy," \
        "fat_small_mbr, fat16_volume_only," \
        "ntfs_fidelity, ntfs_odd_mft, ntfs_4kn_gpt, ntfs_4kn_mbr," \
        "fat16_not_ntfs, ntfs_ext2_signature, exfat_card, exfat_card_backup," \
        "exfat_card_zeroed, exfat_volume_only, containers)" >&2
      exit 1
      ;;
  esac
done
# Naming both images of a pair must not build them twice.
mapfile -t builds < <(printf '%s\n' "${builds[@]}" | awk '!seen[$0]++')

if [ "$(id -u)" -ne 0 ]; then
  echo "make_images.sh: run as root (FUSE mounts are needed)" >&2
  exit 1
fi
for tool in mkntfs ntfs-3g fusermount mkfs.fat mcopy mmd mdel mdeltree mattrib \
            mlabel sfdisk convert fls icat ifind istat fsstat setfattr getfattr mountpoint python3 xz dd \
            truncate losetup mke2fs mkfs.exfat mount.exfat-fuse; do
  command -v "$tool" >/dev/null || {
    echo "make_images.sh: missing $tool (install-deps.sh with WITH_IMAGE_TOOLS=1)" >&2
    exit 1
  }
done

work=$(mktemp -d)
mnt_dir=""
mnt_pid=""
loop_dev=""
cleanup() {
  if [ -n "$loop_dev" ]; then
    losetup -d "$loop_dev" 2>/dev/null || true
  fi
  if [ -n "$mnt_dir" ]; then
    fusermount -u "$mnt_dir" 2>/dev/null || umount "$mnt_dir" 2>/dev/null || true
  fi
  if [ -n "$mnt_pid" ]; then
    wait "$mnt_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

export MTOOLS_SKIP_CHECK=1
export LC_ALL=C

helper=$work/helper.py
cat >"$helper" <<'PY'
"""Content generators, boot sector readers, manifest writer and checks."""
import errno
import hashlib
import json
import os
import random
import re
import struct
import subprocess
import sys

WORDS = ("sector cluster volume record index folder file table entry stream "
         "header boot mirror bitmap journal name size offset length block "
         "alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo "
         "lima mike november oscar papa quebec romeo sierra tango uniform "
         "victor whiskey xray yankee zulu red green blue orange purple black "
         "white north south east west river mountain valley forest garden "
         "morning evening winter summer spring autumn paper letter report "
         "number value count total average minimum maximum first last").split()


def gen_rand(path, size, seed):
    rng = random.Random(seed)
    with open(path, "wb") as f:
        f.write(rng.randbytes(int(size)))


def text_bytes(size, seed, vocab=WORDS):
    rng = random.Random(seed)
    out = []
    total = 0
    line_no = 1
    while total < size:
        words = " ".join(rng.choice(vocab) for _ in range(rng.randint(6, 14)))
        line = "%05d %s.\n" % (line_no, words.capitalize())
        out.append(line)
        total += len(line)
        line_no += 1
    return "".join(out).encode("ascii")[:size]


def gen_text(path, size, seed):
    with open(path, "wb") as f:
        f.write(text_bytes(int(size), seed))


def gen_log(path, size, seed):
    """Very repetitive text, to show NTFS compression at work."""
    with open(path, "wb") as f:
        f.write(log_bytes(int(size), seed))


def log_bytes(size, seed):
    vocab = WORDS[:12]
    rng = random.Random(seed)
    out = []
    total = 0
    n = 0
    while total < int(size):
        line = "2021-03-%02d 12:%02d:%02d INFO worker %d: %s %s done\n" % (
            1 + n // 3600 % 28, n // 60 % 60, n % 60, rng.randint(1, 4),
            rng.choice(vocab), rng.choice(vocab))
        out.append(line)
        total += len(line)
        n += 1
    return "".join(out).encode("ascii")[:int(size)]


def gen_csv(path, rows, seed):
    rng = random.Random(seed)
    lines = ["id,date,item,amount"]
    for i in range(1, int(rows) + 1):
        lines.append("%d,2021-%02d-%02d,%s,%d.%02d" % (
            i, rng.randint(1, 12), rng.randint(1, 28), rng.choice(WORDS),
            rng.randint(1, 999), rng.randint(0, 99)))
    with open(path, "wb") as f:
        f.write(("\n".join(lines) + "\n").encode("ascii"))


def gen_pdf(path, title, seed):
    """A small, valid one-page PDF written by hand (no dates in it)."""
    body = text_bytes(1500, seed).decode("ascii").splitlines()[:30]
    ops = ["BT", "/F1 16 Tf", "72 760 Td", "(%s) Tj" % title, "/F1 9 Tf",
           "0 -24 Td"]
    for line in body:
        ops.append("(%s) Tj" % line.replace("\\", "").replace("(", "")
                   .replace(")", ""))
        ops.append("0 -12 Td")
    ops.append("ET")
    stream = "\n".join(ops).encode("ascii")
    objs = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
        b"/Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>",
        b"<< /Length %d >>\nstream\n" % len(stream) + stream +
        b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    ]
    data = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"
    offsets = []
    for i, o in enumerate(objs, 1):
        offsets.append(len(data))
        data += b"%d 0 obj\n" % i + o + b"\nendobj\n"
    xref = len(data)
    data += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    for off in offsets:
        data += b"%010d 00000 n \n" % off
    data += (b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n"
             % (len(objs) + 1, xref))
    with open(path, "wb") as f:
        f.write(data)


def boot_fields(vol_file, fs):
    """Fields as the formatting tool wrote them into the volume's sector 0."""
    with open(vol_file, "rb") as f:
        b = f.read(512)
    bps, spc = struct.unpack_from("<HB", b, 0x0B)
    hidden = struct.unpack_from("<I", b, 0x1C)[0]
    if fs == "ntfs":
        assert b[3:11] == b"NTFS    ", vol_file
        total = struct.unpack_from("<Q", b, 0x28)[0]
        mft, mirr = struct.unpack_from("<QQ", b, 0x30)
        cpr = struct.unpack_from("<b", b, 0x40)[0]
        cluster = bps * spc
        rec = (1 << -cpr) if cpr < 0 else cpr * cluster
        serial = struct.unpack_from("<Q", b, 0x48)[0]
        return {"cluster_bytes": cluster, "boot_total_sectors": total,
                "mft_lcn": mft, "mftmirr_lcn": mirr,
                "serial": "%016x" % serial, "mft_record_bytes": rec,
                "hidden_sectors": hidden}
    if fs == "exfat":
        assert b[3:11] == b"EXFAT   ", vol_file
        length, = struct.unpack_from("<Q", b, 72)
        serial, = struct.unpack_from("<I", b, 100)
        return {"cluster_bytes": 1 << (b[108] + b[109]),
                "boot_total_sectors": length, "serial": "%08x" % serial,
                "fat_offset": struct.unpack_from("<I", b, 80)[0],
                "cluster_heap_offset": struct.unpack_from("<I", b, 88)[0],
                "root_cluster": struct.unpack_from("<I", b, 96)[0],
                "hidden_sectors": None}
    if fs in ("fat12", "fat16"):
        assert b[0x36:0x3E] == ("FAT12   " if fs == "fat12" else
                                "FAT16   ").encode(), vol_file
        serial_at = 0x27
    else:
        assert b[0x52:0x5A] == b"FAT32   ", vol_file
        serial_at = 0x43
    total = struct.unpack_from("<H", b, 0x13)[0] or \
        struct.unpack_from("<I", b, 0x20)[0]
    serial = struct.unpack_from("<I", b, serial_at)[0]
    return {"cluster_bytes": bps * spc, "boot_total_sectors": total,
            "serial": "%08x" % serial, "hidden_sectors": hidden}


def read_table(img, bps=512):
    """Partition entries of the MBR and the EBR chain: (index, start, size,
    type, logical) with absolute starts, and the list of EBR sectors; in
    sectors of BPS bytes."""
    with open(img, "rb") as f:
        def sector(n):
            f.seek(n * bps)
            return f.read(512)
        mbr = sector(0)
        assert mbr[510:512] == b"\x55\xaa", "no MBR in " + img
        parts, ebrs = [], []
        ext = None
        for i in range(4):
            e = mbr[446 + 16 * i:462 + 16 * i]
            start, size = struct.unpack_from("<II", e, 8)
            if e[4]:
                parts.append((i + 1, start, size, e[4], False))
                if e[4] in (0x05, 0x0F, 0x85):
                    ext = start
        index = 5
        cur = ext
        while cur is not None:
            ebr = sector(cur)
            assert ebr[510:512] == b"\x55\xaa", "bad EBR at %d" % cur
            ebrs.append(cur)
            t0, s0, n0 = ebr[450], *struct.unpack_from("<II", ebr, 454)
            t1, s1 = ebr[466], struct.unpack_from("<I", ebr, 470)[0]
            if t0:
                parts.append((index, cur + s0, n0, t0, True))
                index += 1
            cur = ext + s1 if t1 else None
    return parts, ebrs


def guid_text(b):
    """A GUID as text, its first three fields little-endian."""
    a, b2, c = struct.unpack_from("<IHH", b, 0)
    return "%08X-%04X-%04X-%s-%s" % (a, b2, c, b[8:10].hex().upper(),
                                      b[10:16].hex().upper())


def gpt_header(img, lba, bps=512):
    """(entries lba, entry count, entry size) of the GPT header at LBA,
    after checking its signature and CRC32."""
    import zlib
    with open(img, "rb") as f:
        f.seek(lba * bps)
        h = f.read(512)
    assert h[0:8] == b"EFI PART", "no GPT header at %d" % lba
    size = struct.unpack_from("<I", h, 12)[0]
    crc = struct.unpack_from("<I", h, 16)[0]
    assert zlib.crc32(h[:16] + bytes(4) + h[20:size]) == crc, \
        "GPT header CRC at %d" % lba
    lba_entries, count, entry = struct.unpack_from("<QII", h, 72)
    return lba_entries, count, entry


def read_gpt(img, bps=512):
    """Non-empty GPT entries: (index, first, sectors, type GUID, name)."""
    lba, count, size = gpt_header(img, 1, bps)
    parts = []
    with open(img, "rb") as f:
        f.seek(lba * bps)
        data = f.read(count * size)
    for i in range(count):
        e = data[i * size:(i + 1) * size]
        if e[0:16] == bytes(16):
            continue
        first, last = struct.unpack_from("<QQ", e, 32)
        name = e[56:128].decode("utf-16-le").split("\0")[0]
        parts.append((i + 1, first, last - first + 1, guid_text(e[0:16]),
                      name))
    return parts


def cmd_damage_gpt(img, what):
    """primary-header: break the primary header's CRC32; primary-entries:
    change the first entry's first LBA in the primary array (its header
    stays valid); all: zero the protective MBR and both GPT copies."""
    total = os.path.getsize(img) // 512
    p_entries, count, size = gpt_header(img, 1)
    b_entries = gpt_header(img, total - 1)[0]
    array = -(-count * size // 512)
    with open(img, "r+b") as f:
        if what == "primary-header":
            f.seek(512 + 16)
            crc = f.read(4)
            f.seek(512 + 16)
            f.write(bytes(x ^ 0xFF for x in crc))
            zeroed = "sector 1: header CRC32 inverted"
        elif what == "primary-entries":
            f.seek(p_entries * 512 + 32)
            lba = f.read(1)
            f.seek(p_entries * 512 + 32)
            f.write(bytes([lba[0] ^ 0x08]))
            zeroed = "sector %d: first entry's first LBA changed" % p_entries
        elif what == "all":
            runs = [(0, 1), (1, 1), (p_entries, array), (b_entries, array),
                    (total - 1, 1)]
            for at, n in runs:
                f.seek(at * 512)
                f.write(bytes(n * 512))
            zeroed = "zeroed sectors: " + ", ".join(
                "%d-%d" % (at, at + n - 1) if n > 1 else str(at)
                for at, n in runs)
        else:
            raise SystemExit("damage-gpt: unknown damage " + what)
    print("  " + zeroed)


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def cmd_manifest(desc, img, out):
    """desc lines (tab separated):
         part IDX FS VOLFILE STAGEDIR   one per partition that holds a volume
         del  IDX /PATH                 deleted file or folder (with contents)
         flag IDX /PATH FLAG            flag on a file or folder (and contents)
         flag1 IDX /PATH FLAG           flag on that entry only
         top  KEY JSON                  extra top-level field"""
    vols, dels, flags, only, top = {}, {}, {}, {}, {}
    with open(desc) as f:
        for line in f:
            row = line.rstrip("\n").split("\t")
            if row[0] == "part":
                vols[int(row[1])] = (row[2], row[3], row[4])
            elif row[0] == "del":
                dels.setdefault(int(row[1]), []).append(row[2])
            elif row[0] == "flag":
                flags.setdefault(int(row[1]), []).append((row[2], row[3]))
            elif row[0] == "flag1":
                only.setdefault(int(row[1]), []).append((row[2], row[3]))
            elif row[0] == "top":
                top[row[1]] = json.loads(row[2])
    size = os.path.getsize(img)
    bps = top.get("bytes_per_sector", 512)
    assert size % bps == 0
    kind = top.get("table", "mbr")
    ebrs = []
    if kind == "gpt":
        table = [(i, start, n, t, name) for i, start, n, t, name in
                 read_gpt(img, bps)]
    elif kind == "none":
        # an image of one volume: its boot sector is sector 0
        table = [(1, 0, size // bps, None, None)]
    else:
        table, ebrs = read_table(img, bps)
    manifest = {"image": os.path.basename(img), "bytes_per_sector": bps,
                "total_sectors": size // bps, "table": "mbr"}
    if ebrs:
        manifest["ebr_sectors"] = ebrs
    manifest.update(top)
    parts = []
    for index, start, count, ptype, extra in table:
        if kind == "gpt":
            p = {"index": index, "start": start, "sectors": count,
                 "type": ptype, "name": extra}
        elif kind == "none":
            p = {"index": index, "start": start, "sectors": count}
        else:
            p = {"index": index, "start": start, "sectors": count,
                 "type": ptype, "logical": extra}
        if kind == "mbr" and ptype in (0x05, 0x0F, 0x85):
            p["fs"] = "extended"
        elif kind == "gpt" and index not in vols:
            p["fs"] = "none"  # a partition with no file system (reserved)
        else:
            fs, vol, _ = vols[index]
            p["fs"] = fs
            assert os.path.getsize(vol) == count * bps, (vol, count)
            p.update(boot_fields(vol, fs))
            if fs == "exfat":
                # mkfs.exfat on a file records no partition offset
                del p["hidden_sectors"]
            else:
                assert p["hidden_sectors"] == start, (vol, p["hidden_sectors"])
            if fs == "ntfs" and top.get("boot_sector_zeroed"):
                p["boot_sector_zeroed"] = True
        parts.append(p)
    assert set(vols) <= {p["index"] for p in parts}
    serials = [p["serial"] for p in parts if "serial" in p]
    assert len(serials) == len(set(serials)), "volume serials repeat"
    manifest["partitions"] = parts

    def under(path, roots):
        return [r for r in roots if path == r or path.startswith(r + "/")]

    files = []
    for index in sorted(vols):
        stage = vols[index][2]
        entries = []
        for dirpath, dirnames, filenames in os.walk(stage):
            rel = "/" + os.path.relpath(dirpath, stage)
            rel = "" if rel == "/." else rel
            for d in dirnames:
                entries.append((rel + "/" + d, "folder",
                                os.path.join(dirpath, d)))
            for n in filenames:
                entries.append((rel + "/" + n, "file",
                                os.path.join(dirpath, n)))
        known = {e[0] for e in entries}
        for d in dels.get(index, []):
            assert d in known, "deleted path not staged: " + d
        for fpath, _ in flags.get(index, []):
            assert fpath in known, "flagged path not staged: " + fpath
        for path, kind, local in sorted(entries):
            e = {"partition": index, "path": path, "type": kind}
            if kind == "file":
                e["size"] = os.path.getsize(local)
                e["sha256"] = sha256_file(local)
            else:
                e["size"] = 0
            e["state"] = "deleted" if under(path, dels.get(index, [])) \
                else "live"
            e["flags"] = sorted({fl for fp, fl in flags.get(index, [])
                                 if under(path, [fp])} |
                                {fl for fp, fl in only.get(index, [])
                                 if fp == path})
            files.append(e)
    manifest["files"] = files
    manifest["image_sha256"] = sha256_file(img)
    with open(out, "w") as f:
        json.dump(manifest, f, indent=1)
        f.write("\n")


def cmd_derive(src, out, image, *pairs):
    """Copy a manifest for a modified copy of its image."""
    with open(src) as f:
        m = json.load(f)
    m["image"] = os.path.basename(image)
    for pair in pairs:
        key, value = pair.split("=", 1)
        m[key] = json.loads(value)
    # keep image_sha256 last
    m.pop("image_sha256", None)
    m["image_sha256"] = sha256_file(image)
    with open(out, "w") as f:
        json.dump(m, f, indent=1)
        f.write("\n")


def cmd_zero_tables(img):
    """Zero sector 0 and every EBR sector."""
    _, ebrs = read_table(img)
    with open(img, "r+b") as f:
        for s in [0] + ebrs:
            f.seek(s * 512)
            f.write(bytes(512))
    print("zeroed sectors:", " ".join(str(s) for s in [0] + ebrs))


def cmd_zero_ntfs_boot(img, start, sectors):
    """Zero an NTFS volume's boot sector and its backup copy, wherever the
    backup was written (last sector of the partition, or the sector just
    past the boot sector's total)."""
    start, sectors = int(start), int(sectors)
    with open(img, "r+b") as f:
        f.seek(start * 512)
        boot = f.read(512)
        assert boot[3:11] == b"NTFS    ", "no NTFS boot sector at %d" % start
        total = struct.unpack_from("<Q", boot, 0x28)[0]
        zeroed = [start]
        for cand in sorted({start + sectors - 1, start + total,
                            start + sectors // 2}):
            f.seek(cand * 512)
            if f.read(512) == boot:
                zeroed.append(cand)
        assert len(zeroed) >= 2, "backup boot sector not found"
        for s in zeroed:
            f.seek(s * 512)
            f.write(bytes(512))
    print("zeroed NTFS boot sectors:", " ".join(str(s) for s in zeroed))


def cmd_verify(img, manifest_path):
    """List each volume with The Sleuth Kit's fls and compare with the
    manifest: every live file and folder must be listed as allocated, and
    every live file's bytes (read back with icat) must match its sha256.
    Deleted entries are only counted: still named, and still readable."""
    with open(manifest_path) as f:
        m = json.load(f)
    ok = True
    bps = str(m.get("bytes_per_sector", 512))
    for p in m["partitions"]:
        if p["fs"] not in ("ntfs", "fat12", "fat16", "fat32", "exfat"):
            continue
        off = str(p["start"])
        res = subprocess.run(["fls", "-b", bps, "-r", "-p", "-o", off, img],
                             capture_output=True, text=True)
        if res.returncode != 0:
            print("  partition %d: fls failed: %s" % (p["index"],
                                                     res.stderr.strip()))
            ok = False
            continue
        live, deleted = {}, {}
        for line in res.stdout.splitlines():
            head, _, name = line.partition(":\t")
            name = "/" + re.sub(r" \(realloc\)$", "", name)
            # a volume label that holds data is listed as a file
            name = re.sub(r"^/ *(.*?) *\(Volume Label Entry\)$", r"/\1", name)
            inode = head.split()[-1]
            (deleted if "*" in head else live).setdefault(name, inode)

        def content_ok(e, inode):
            data = subprocess.run(["icat", "-b", bps, "-o", off, img, inode],
                                  capture_output=True).stdout
            return hashlib.sha256(data).hexdigest() == e["sha256"]

        want = [e for e in m["files"] if e["partition"] == p["index"]]
        n_live = [e for e in want if e["state"] == "live"]
        n_del = [e for e in want if e["state"] == "deleted"]
        missing = [e["path"] for e in n_live if e["path"] not in live]
        bad = [e["path"] for e in n_live if e["type"] == "file" and
               e["path"] in live and not content_ok(e, live[e["path"]])]
        named = [e for e in n_del if e["path"] in deleted]
        readable = [e for e in named if e["type"] == "file" and
                    content_ok(e, deleted[e["path"]])]
        if all("record" in e for e in want):
            # Record numbers known: every deleted file must still read back
            # through its own record, named or not.
            readable = [e for e in n_del if e["type"] == "file" and
                        content_ok(e, str(e["record"]))]
            lost = [e["path"] for e in n_del if e["type"] == "file" and
                    e not in readable]
            if lost:
                ok = False
                print("    DELETED FILES NOT READABLE:", ", ".join(lost))
        if p["fs"] == "exfat":
            # Deleted files of exFAT: every one not flagged must read back
            # whole through TSK as well.
            lost = [e["path"] for e in n_del if e["type"] == "file" and
                    not e["flags"] and e not in readable]
            if lost:
                ok = False
                print("    DELETED FILES NOT READABLE:", ", ".join(lost))
        print("  partition %d (%s @%d, %d sectors, cluster %d): %d/%d live "
              "entries listed, %d bad contents; deleted: %d/%d still named, "
              "%d/%d files still readable" % (
                  p["index"], p["fs"], p["start"], p["sectors"],
                  p["cluster_bytes"], len(n_live) - len(missing), len(n_live),
                  len(bad), len(named), len(n_del), len(readable),
                  sum(e["type"] == "file" for e in n_del)))
        if missing or bad:
            ok = False
            print("    MISSING:", ", ".join(missing))
            print("    BAD CONTENT:", ", ".join(bad))
    if not ok:
        sys.exit(1)


def cmd_exfat_files(mnt, stage, desc, index, kind):
    """Writes the files of an exFAT volume through its exfat-fuse mount and
    mirrors them into the staging tree; deleted entries and flags go to
    DESC. KIND: card (the card-like volume) or small (the bare volume)."""
    t = Twin(mnt, stage, desc, "exfat-%s" % kind)
    t.seed = lambda path: "exfat-%s/p%s%s" % (kind, index, path)
    idx = int(index)

    def rand(path, size):
        t.put(path, random.Random(t.seed(path)).randbytes(size))

    def grow(paths, size, step):
        # appended to in turns, so that their clusters interleave
        data = {p: random.Random(t.seed(p)).randbytes(size) for p in paths}
        for off in range(0, size, step):
            for p in paths:
                for root in (t.mnt, t.stage):
                    os.makedirs(os.path.dirname(root + p), exist_ok=True)
                    with open(root + p, "ab") as f:
                        f.write(data[p][off:off + step])

    if kind == "card":
        t.text("/readme.txt", 3000)
        rand("/DCIM/100CAMERA/IMG_0001.JPG", 36000)
        rand("/DCIM/100CAMERA/IMG_0002.JPG", 19000)
        rand("/DCIM/100CAMERA/IMG_0003.JPG", 24000)
        t.put("/empty.txt", b"")
        # a name of 255 UTF-16 units (Linux names stop at 255 bytes of UTF-8,
        # so it is ASCII), one of 84 CJK units, letters outside Latin-1 and
        # a surrogate pair
        t.text("/Names/" + ("long-name-" * 26)[:251] + ".txt", 900)
        t.text("/Names/" + ("\u65e5\u672c\u8a9e" * 27)[:80] + ".txt", 1500)
        t.text("/Names/\u00c9t\u00e9 \u0424\u043e\u0442\u043e \U0001F4F7 \u5199\u771f.txt",
               2200)
        t.text("/Docs/Deep/Deeper/Deepest/note.txt", 700)
        # a live file whose clusters interleave with another's: a FAT chain
        grow(["/Docs/interleaved-a.bin", "/Docs/interleaved-b.bin"], 24000,
             5000)
        t.line("flag", idx, "/Docs/interleaved-a.bin", "fat_chain")
        t.line("flag", idx, "/Docs/interleaved-b.bin", "fat_chain")
        # deleted: two photos written in one go, a fragmented clip, a folder
        rand("/DCIM/100CAMERA/IMG_0004.JPG", 30000)
        rand("/DCIM/100CAMERA/IMG_0005.JPG", 7000)
        grow(["/DCIM/100CAMERA/MOV_0006.MP4", "/DCIM/100CAMERA/keep.dat"],
             20000, 5000)
        t.line("flag", idx, "/DCIM/100CAMERA/keep.dat", "fat_chain")
        rand("/DCIM/101CAMERA/IMG_0101.JPG", 16000)
        rand("/DCIM/101CAMERA/IMG_0102.JPG", 9000)
        t.text("/DCIM/101CAMERA/Notes/list.txt", 1200)
        # a folder of 70 photos: its directory outgrows its first cluster
        # while they are written, so it gets a FAT chain, cleared when it
        # is deleted (TSK then finds only the first cluster's files)
        for i in range(70):
            t.text("/DCIM/102CAMERA/IMG_%04d.JPG" % (201 + i), 1500)
        t.line("flag", idx, "/DCIM/102CAMERA", "directory_chain_lost")
        for path in ("/DCIM/100CAMERA/IMG_0004.JPG",
                     "/DCIM/100CAMERA/IMG_0005.JPG",
                     "/DCIM/100CAMERA/MOV_0006.MP4", "/DCIM/101CAMERA",
                     "/DCIM/102CAMERA"):
            t.line("del", idx, path)
        t.line("flag", idx, "/DCIM/100CAMERA/MOV_0006.MP4", "fragmented")
    else:
        t.text("/A file on a bare exFAT volume.txt", 2400)
        rand("/DATA/BLOB.BIN", 18000)
        t.text("/DATA/Sub/notes.txt", 1300)
        t.text("/DATA/gone.txt", 1600)
        t.text("/Old/one.txt", 800)
        rand("/Old/two.bin", 5000)
        for path in ("/DATA/gone.txt", "/Old"):
            t.line("del", idx, path)
    # the deletions, children first
    with open(desc) as f:
        dels = [r.split("\t")[2].rstrip("\n") for r in f
                if r.startswith("del\t%s\t" % index)]
    for path in dels:
        full = t.mnt + path
        if os.path.isdir(full):
            for root, dirs, files in os.walk(full, topdown=False):
                for n in files:
                    os.unlink(os.path.join(root, n))
                for n in dirs:
                    os.rmdir(os.path.join(root, n))
            os.rmdir(full)
        else:
            os.unlink(full)


def cmd_exfat_facts(img, manifest_path):
    """Adds each exFAT file's first cluster as istat lists it, and checks
    that the files flagged fragmented or fat_chain lie in more than one
    run (live) or lost their chain (deleted), and that no other file does."""
    with open(manifest_path) as f:
        m = json.load(f)
    bad = []
    for p in m["partitions"]:
        if p["fs"] != "exfat":
            continue
        off = str(p["start"])
        spc = p["cluster_bytes"] // 512
        heap = p["cluster_heap_offset"]
        inodes = fls_records(img, off)
        for e in m["files"]:
            if e["partition"] != p["index"] or e["type"] != "file" or \
                    e["size"] == 0:
                continue
            if e["path"] not in inodes and "directory_chain_lost" in e["flags"]:
                continue  # TSK does not find it
            out = tsk("istat", "-o", off, img, inodes[e["path"]])
            tail = out.split("Sectors:", 1)[1] if "Sectors:" in out else ""
            sectors = [int(x) for x in tail.split() if x.isdigit() and
                       int(x) != 0]
            clusters = []
            for sec in sectors:
                c = (sec - heap) // spc + 2
                if not clusters or clusters[-1] != c:
                    clusters.append(c)
            e["first_cluster"] = clusters[0] if clusters else 0
            runs = sum(1 for i, c in enumerate(clusters)
                       if i == 0 or c != clusters[i - 1] + 1)
            chained = "fat_chain" in e["flags"] or "fragmented" in e["flags"]
            if e["state"] == "live" and (runs > 1) != chained:
                bad.append("%s: %d runs" % (e["path"], runs))
    if bad:
        print("  MISMATCH:\n    " + "\n    ".join(bad))
        sys.exit(1)
    m.pop("image_sha256", None)
    m["image_sha256"] = sha256_file(img)
    with open(manifest_path, "w") as f:
        json.dump(m, f, indent=1)
        f.write("\n")


def cmd_zero_exfat_boot(img, start, which):
    """Zeroes an exFAT volume's main boot region (sectors 0-11), or both
    regions (0-23) with WHICH=both."""
    start = int(start)
    count = 24 if which == "both" else 12
    with open(img, "r+b") as f:
        f.seek(start * 512)
        assert f.read(512)[3:11] == b"EXFAT   ", "no exFAT boot sector"
        f.seek(start * 512)
        f.write(bytes(count * 512))
    print("  zeroed sectors %d-%d" % (start, start + count - 1))


def label_bytes(tag, offset, size):
    """Compressible bytes in which every 64-byte line names its file and its
    own offset, so that every cluster of the file differs from every other."""
    first = offset - offset % 64
    out = bytearray()
    pos = first
    while pos < offset + size:
        line = ("%s @%010d" % (tag, pos)).encode("ascii")
        out += line[:63].ljust(63, b".") + b"\n"
        pos += 64
    return bytes(out[offset - first:offset - first + size])


class Twin:
    """Writes through an ntfs-3g mount and mirrors every write into the
    staging tree, which then holds the logical content of every file."""

    def __init__(self, mnt, stage, desc, name):
        self.mnt, self.stage, self.desc, self.name = mnt, stage, desc, name

    def seed(self, path):
        return self.name + "/p1" + path

    def mkdir(self, path, compressed=False):
        os.makedirs(self.mnt + path, exist_ok=True)
        os.makedirs(self.stage + path, exist_ok=True)
        if compressed:
            # FILE_ATTRIBUTE_COMPRESSED, big-endian, as ntfs-3g expects it
            os.setxattr(self.mnt + path, "system.ntfs_attrib_be",
                        b"\x00\x00\x08\x00")

    def put(self, path, data):
        os.makedirs(os.path.dirname(self.stage + path), exist_ok=True)
        os.makedirs(os.path.dirname(self.mnt + path), exist_ok=True)
        for root in (self.mnt, self.stage):
            with open(root + path, "wb") as f:
                f.write(data)

    def text(self, path, size):
        self.put(path, text_bytes(size, self.seed(path)))

    def line(self, *fields):
        with open(self.desc, "a") as f:
            f.write("\t".join(str(x) for x in fields) + "\n")


def features_files(t):
    """Ordinary files, odd names, the compressed folder, the sparse file and
    the folder /Gone whose record is reused later."""
    t.mkdir("/Gone")
    t.text("/Gone/child1.txt", 6000)
    t.text("/Gone/child2.txt", 9000)
    t.text("/readme.txt", 2500)
    t.put("/empty.txt", b"")
    t.text("/Docs/report.txt", 14000)
    t.text("/Docs/old.txt", 7000)
    t.text("/Docs/Notes/todo.txt", 900)
    t.text("/Docs/Notes/small.txt", 300)
    # a name of 255 UTF-16 units, and names with non-ASCII letters
    t.text("/Names/" + ("long-name-" * 26)[:251] + ".txt", 1200)
    t.text("/Names/caf\u00e9-r\u00e9sum\u00e9.txt", 1800)
    t.text("/Names/\u00dcbergr\u00f6\u00dfe.txt", 2600)
    t.text("/Names/\u65e5\u672c\u8a9e.txt", 5000)

    t.mkdir("/Compressed", compressed=True)
    # 300001 bytes: four full 64 KiB compression units and a partial one
    t.put("/Compressed/log.txt",
          log_bytes(300001, t.seed("/Compressed/log.txt")))
    t.put("/Compressed/random.bin",
          random.Random(t.seed("/Compressed/random.bin")).randbytes(150000))
    mixed = bytearray()
    for i in range(5):  # text, random, text, random, text (64 KiB each)
        part = t.seed("/Compressed/mixed.bin") + "/%d" % i
        mixed += text_bytes(65536, part) if i % 2 == 0 else \
            random.Random(part).randbytes(65536)
    mixed += text_bytes(5000, t.seed("/Compressed/mixed.bin") + "/5")
    t.put("/Compressed/mixed.bin", bytes(mixed))
    t.text("/Compressed/tiny.txt", 3000)
    t.put("/Compressed/empty.txt", b"")
    t.line("flag", 1, "/Compressed", "compressed")

    # data, a hole made by seeking 3 MiB past the end, then more data
    head = text_bytes(100000, t.seed("/Sparse/holes.bin") + "/head")
    tail = text_bytes(60000, t.seed("/Sparse/holes.bin") + "/tail")
    hole_end = 100000 + 3 * 1024 * 1024
    t.mkdir("/Sparse")
    for root in (t.mnt, t.stage):
        with open(root + "/Sparse/holes.bin", "wb") as f:
            f.write(head)
            f.seek(hole_end)
            f.write(tail)
    t.line("flag", 1, "/Sparse/holes.bin", "sparse")


def write_until_full(t, path):
    """Fills the volume with one file, then gives back its last clusters."""
    fd = os.open(t.mnt + path, os.O_WRONLY | os.O_CREAT, 0o644)
    size, chunk = 0, 1 << 20
    while True:
        try:
            n = os.write(fd, label_bytes(path, size, chunk))
        except OSError as e:
            if e.errno != errno.ENOSPC:
                raise
            if chunk > 4096:
                chunk = 4096
                continue
            break
        size += n
    return fd, size


def interleave(t, a, a_data, a_chunk, b, b_tag, b_chunk):
    """Writes two files in turns, so that each one's next cluster is taken
    by the other and the allocator moves on: both end up fragmented."""
    fa = os.open(t.mnt + a, os.O_WRONLY | os.O_CREAT, 0o644)
    fb = os.open(t.mnt + b, os.O_WRONLY | os.O_CREAT, 0o644)
    b_data = bytearray()
    for off in range(0, len(a_data), a_chunk):
        os.write(fa, a_data[off:off + a_chunk])
        piece = label_bytes(b_tag, len(b_data), b_chunk)
        os.write(fb, piece)
        b_data += piece
    os.close(fa)
    os.close(fb)
    for path, data in ((a, a_data), (b, b_data)):
        with open(t.stage + path, "wb") as f:
            f.write(data)


def features_fragment(t, reserve):
    """Fills the volume, hands back RESERVE clusters, then writes the
    fragmented files into them two at a time."""
    t.mkdir("/Fill")
    t.mkdir("/Fragmented")
    fd, size = write_until_full(t, "/Fill/ballast.bin")
    size -= int(reserve) * 4096
    os.ftruncate(fd, size)
    os.close(fd)
    with open(t.stage + "/Fill/ballast.bin", "wb") as f:
        f.write(label_bytes("/Fill/ballast.bin", 0, size))
    print("  /Fill/ballast.bin: %d bytes; %d clusters left free" %
          (size, int(reserve)))
    big = text_bytes(2 * 1024 * 1024, t.seed("/Fragmented/big.bin"))
    interleave(t, "/Fragmented/big.bin", big, 65536,
               "/Fragmented/big-gaps.bin", "/Fragmented/big-gaps.bin", 4096)
    runs = label_bytes("/Fragmented/manyruns.bin", 0, 700 * 4096)
    interleave(t, "/Fragmented/manyruns.bin", runs, 4096,
               "/Fragmented/manyruns-gaps.bin",
               "/Fragmented/manyruns-gaps.bin", 4096)
    for path in ("/Fragmented/big.bin", "/Fragmented/big-gaps.bin",
                 "/Fragmented/manyruns.bin", "/Fragmented/manyruns-gaps.bin"):
        t.line("flag", 1, path, "fragmented")
    # 700 runs do not fit in one record: ntfs-3g gives both files an
    # attribute list and carries their $DATA on in two extension records.
    for path in ("/Fragmented/manyruns.bin", "/Fragmented/manyruns-gaps.bin"):
        t.line("flag", 1, path, "attribute_list")
        t.line("flag", 1, path, "data_in_extension_records")
    t.line("del", 1, "/Fragmented/big-gaps.bin")


def cmd_features(phase, mnt, stage, desc, name, *args):
    t = Twin(mnt, stage, desc, name)
    if phase == "files":
        features_files(t)
    elif phase == "fragment":
        features_fragment(t, *args)
    elif phase == "drop-gone":
        for path in ("/Gone/child1.txt", "/Gone/child2.txt"):
            os.remove(mnt + path)
        os.rmdir(mnt + "/Gone")
        t.line("del", 1, "/Gone")
        t.line("flag", 1, "/Gone/child1.txt", "parent_reused")
        t.line("flag", 1, "/Gone/child2.txt", "parent_reused")
        t.line("flag1", 1, "/Gone", "record_reused")
    elif phase == "reuse":
        t.text("/Docs/after.txt", 400)
    elif phase == "delete":
        for path in ("/Docs/old.txt", "/Fragmented/big-gaps.bin"):
            os.remove(mnt + path)
        t.line("del", 1, "/Docs/old.txt")


def cmd_zero_mft_start(img, start):
    """Zero $MFT records 0 and 1 (those of $MFT and $MFTMirr) and the whole
    of $MFTMirr (its copy of records 0-3); the boot sector stays."""
    start = int(start) * 512
    with open(img, "r+b") as f:
        f.seek(start)
        b = f.read(512)
        assert b[3:11] == b"NTFS    ", "no NTFS boot sector at %d" % start
        bps, spc = struct.unpack_from("<HB", b, 0x0B)
        cluster = bps * spc
        mft, mirr = struct.unpack_from("<QQ", b, 0x30)
        cpr = struct.unpack_from("<b", b, 0x40)[0]
        rec = (1 << -cpr) if cpr < 0 else cpr * cluster
        mirr_bytes = -(-4 * rec // cluster) * cluster
        for pos, size in ((start + mft * cluster, 2 * rec),
                          (start + mirr * cluster, mirr_bytes)):
            f.seek(pos)
            assert f.read(4) == b"FILE", "no MFT record at byte %d" % pos
            f.seek(pos)
            f.write(bytes(size))
    print("zeroed $MFT records 0-1 at cluster %d and %d bytes of $MFTMirr at "
          "cluster %d" % (mft, mirr_bytes, mirr))


def tsk(*args):
    return subprocess.run([str(a) for a in args], capture_output=True,
                          text=True, check=True).stdout


def fls_records(img, off):
    """path -> MFT record from fls -r -p, live entries before deleted ones."""
    live, deleted = {}, {}
    for line in tsk("fls", "-r", "-p", "-o", off, img).splitlines():
        head, _, name = line.partition(":\t")
        name = "/" + re.sub(r" \(realloc\)$", "", name)
        name = re.sub(r"^/ *(.*?) *\(Volume Label Entry\)$", r"/\1", name)
        rec = int(re.match(r"\d+", head.split()[-1]).group(0))
        (deleted if "*" in head else live).setdefault(name, rec)
    return {**deleted, **live}


def istat_facts(img, off, rec):
    """What istat says about one MFT record."""
    out = tsk("istat", "-o", off, img, rec)
    f = {"allocated": re.search(r"^Allocated (File|Directory)$", out,
                                re.M) is not None,
         "names": re.findall(r"^Name: (.*)$", out, re.M),
         "parents": [int(x) for x in
                     re.findall(r"^Parent MFT Entry: (\d+)", out, re.M)],
         "attribute_list": "$ATTRIBUTE_LIST (32-" in out,
         "data_records": sorted({int(m) for m in re.findall(
             r"^Type: 128-\d+\s+MFT Entry: (\d+)", out, re.M)})}
    m = re.search(r"^Type: \$DATA \(128-\d+\)\s+Name: N/A\s+(.*)$", out, re.M)
    f["data"] = m.group(1) if m else ""
    clusters = []
    if m:
        for line in out[m.end():].splitlines()[1:]:
            if not re.match(r"^[\d ]+$", line):
                break
            clusters += [int(x) for x in line.split()]
    runs, sparse, prev = 0, 0, None
    for c in clusters:
        if c == 0:
            if prev != 0:
                sparse += 1
        elif prev is None or prev == 0 or c != prev + 1:
            runs += 1
        prev = c
    f["runs"], f["sparse_runs"] = runs, sparse
    return f


def cmd_records(img, off, manifest_path, desc):
    """Adds each entry's MFT record number and its parent folder's record
    number, as The Sleuth Kit reads them, to the manifest. desc lines
    `rec IDX /PATH RECORD PARENT` give them for entries whose records were
    taken over by other files (read before that happened)."""
    known = {}
    with open(desc) as f:
        for line in f:
            row = line.rstrip("\n").split("\t")
            if row[0] == "rec":
                known[row[2]] = (int(row[3]), int(row[4]))
    recs = fls_records(img, off)
    with open(manifest_path) as f:
        m = json.load(f)
    files = []
    for e in m["files"]:
        if e["path"] in known:
            rec, parent = known[e["path"]]
        else:
            rec = recs[e["path"]]
            parent = istat_facts(img, off, rec)["parents"][0]
        out = {}
        for k, v in e.items():
            if k == "flags":
                out["record"], out["parent_record"] = rec, parent
            out[k] = v
        files.append(out)
    m["files"] = files
    with open(manifest_path, "w") as f:
        json.dump(m, f, indent=1)
        f.write("\n")


def cmd_check_features(img, off, manifest_path):
    """Checks with istat that every flag in the manifest is what the
    volume holds, and prints what each flagged file really is."""
    with open(manifest_path) as f:
        m = json.load(f)
    byrec = {e["record"]: e for e in m["files"]
             if "record_reused" not in e["flags"]}
    bad = []
    for e in m["files"]:
        fl = set(e["flags"])
        facts = istat_facts(img, off, e["record"])
        base = e["path"].rsplit("/", 1)[1]
        if "record_reused" in fl:
            holder = byrec.get(e["record"])
            ok = facts["allocated"] and holder is not None and \
                holder["path"] != e["path"]
            print("  %s: its record %d now holds %s" % (
                e["path"], e["record"], holder and holder["path"]))
            if not ok:
                bad.append(e["path"] + ": record not reused")
            continue
        if base not in facts["names"] or \
                e["parent_record"] not in facts["parents"]:
            bad.append("%s: record %d names %s in %s" % (
                e["path"], e["record"], facts["names"], facts["parents"]))
        if facts["allocated"] != (e["state"] == "live"):
            bad.append("%s: allocation does not match its state" % e["path"])
        if "parent_reused" in fl:
            holder = byrec.get(e["parent_record"])
            if holder is None or holder["type"] != "file":
                bad.append(e["path"] + ": parent record not reused by a file")
        if e["type"] != "file":
            continue
        want = {"compressed": "Compressed" in facts["data"],
                "sparse": "Sparse" in facts["data"] and
                facts["sparse_runs"] > 0,
                "fragmented": facts["runs"] >= 20,
                "attribute_list": facts["attribute_list"],
                "data_in_extension_records":
                len([r for r in facts["data_records"]
                     if r != e["record"]]) >= 2}
        for flag, has in want.items():
            if flag == "compressed" and e["size"] <= 1024:
                continue
            if has != (flag in fl):
                bad.append("%s: %s is %s on the volume" % (e["path"], flag,
                                                          has))
        if fl or facts["attribute_list"]:
            print("  %s: record %d, %s; %d runs, %d sparse runs%s%s" % (
                e["path"], e["record"], facts["data"].split("size:")[0]
                .strip(), facts["runs"], facts["sparse_runs"],
                ", attribute list" if facts["attribute_list"] else "",
                ", $DATA pieces in records %s" % facts["data_records"]
                if facts["attribute_list"] else ""))
    if bad:
        print("  MISMATCH:\n    " + "\n    ".join(bad))
        sys.exit(1)


def cmd_fat_facts(img, manifest_path):
    """Adds the FAT geometry of each FAT partition (reserved sectors, sectors
    per FAT, label) and every live entry's first cluster, as istat lists its
    sectors, to the manifest; checks that entries flagged "fragmented" have a
    cluster chain in more than one run and that no other file has."""
    with open(manifest_path) as f:
        m = json.load(f)
    bad = []
    for p in m["partitions"]:
        if p["fs"] not in ("fat12", "fat16", "fat32"):
            continue
        off = str(p["start"])
        with open(img, "rb") as f:
            f.seek(p["start"] * 512)
            b = f.read(512)
        p["reserved_sectors"] = struct.unpack_from("<H", b, 0x0E)[0]
        if p["fs"] in ("fat12", "fat16"):
            p["fat_sectors"] = struct.unpack_from("<H", b, 0x16)[0]
            p["root_entries"] = struct.unpack_from("<H", b, 0x11)[0]
            label = b[0x2B:0x36]
        else:
            p["fat_sectors"] = struct.unpack_from("<I", b, 0x24)[0]
            label = b[0x47:0x52]
        p["label"] = label.decode("ascii").rstrip()
        spc = p["cluster_bytes"] // 512
        area = int(re.search(r"^\*\* Cluster Area: (\d+)",
                             tsk("fsstat", "-o", off, img), re.M).group(1))
        inodes = fls_records(img, off)
        for e in m["files"]:
            if e["partition"] != p["index"] or e["state"] != "live":
                continue
            out = tsk("istat", "-o", off, img, inodes[e["path"]])
            tail = out.split("Sectors:", 1)[1] if "Sectors:" in out else ""
            sectors = [int(x) for x in tail.split() if x.isdigit() and
                       int(x) != 0]
            clusters = []
            for sec in sectors:
                c = (sec - area) // spc + 2
                if not clusters or clusters[-1] != c:
                    clusters.append(c)
            e["first_cluster"] = clusters[0] if clusters else 0
            runs = sum(1 for i, c in enumerate(clusters)
                       if i == 0 or c != clusters[i - 1] + 1)
            if e["type"] == "file" and (runs > 1) != \
                    ("fragmented" in e["flags"]):
                bad.append("%s: %d runs" % (e["path"], runs))
            if runs > 1:
                print("  %s: %d clusters in %d runs from cluster %d" % (
                    e["path"], len(clusters), runs, clusters[0]))
    if bad:
        print("  MISMATCH:\n    " + "\n    ".join(bad))
        sys.exit(1)
    files = []
    for e in m["files"]:  # keep flags last, as in the other manifests
        flags = e.pop("flags")
        e["flags"] = flags
        files.append(e)
    m["files"] = files
    m.pop("image_sha256", None)
    m["image_sha256"] = sha256_file(img)
    with open(manifest_path, "w") as f:
        json.dump(m, f, indent=1)
        f.write("\n")


def cmd_fat_rewind(vol):
    """mtools allocates the first free cluster from the FAT32 FS information
    sector's next-free hint on (FAT16: from cluster 2). Setting the hint back
    to 2 makes the next file fill the holes of deleted files first."""
    with open(vol, "r+b") as f:
        b = f.read(512)
        if b[0x52:0x5A] != b"FAT32   ":
            return
        info = struct.unpack_from("<H", b, 0x30)[0]
        f.seek(info * 512 + 0x1EC)
        f.write(struct.pack("<I", 2))


def cmd_label_data(vol, data_file):
    """Gives the volume label entry of a FAT12/FAT16 volume's root directory
    data, as some tools leave it: the file's bytes are written to free
    clusters at the end of the volume, chained in both FATs, and the label
    entry gets their first cluster and the size. No tool writes this."""
    with open(data_file, "rb") as f:
        data = f.read()
    with open(vol, "r+b") as f:
        b = f.read(512)
        bps, spc, reserved, nfats, roots, total16, media, fatsz = \
            struct.unpack_from("<HBHBHHBH", b, 11)
        total = total16 or struct.unpack_from("<I", b, 0x20)[0]
        root = reserved + nfats * fatsz
        root_sectors = (roots * 32 + bps - 1) // bps
        first_data = root + root_sectors
        clusters = (total - first_data) // spc
        fat12 = clusters < 4085
        f.seek(reserved * bps)
        fat = bytearray(f.read(fatsz * bps))

        def get(c):
            if fat12:
                v = struct.unpack_from("<H", fat, c + c // 2)[0]
                return v & 0xFFF if c % 2 == 0 else v >> 4
            return struct.unpack_from("<H", fat, 2 * c)[0]

        def put(c, value):
            if fat12:
                at = c + c // 2
                v = struct.unpack_from("<H", fat, at)[0]
                v = (v & 0xF000) | value if c % 2 == 0 else \
                    (v & 0x000F) | (value << 4)
                struct.pack_into("<H", fat, at, v)
            else:
                struct.pack_into("<H", fat, 2 * c, value)
        need = -(-len(data) // (bps * spc))
        last = clusters + 1
        first = last - need + 1
        assert all(get(c) == 0 for c in range(first, last + 1)), \
            "the last clusters are in use"
        for c in range(first, last + 1):
            put(c, c + 1 if c < last else (0xFFF if fat12 else 0xFFFF))
        for i in range(nfats):
            f.seek((reserved + i * fatsz) * bps)
            f.write(fat)
        f.seek((first_data + (first - 2) * spc) * bps)
        f.write(data)
        f.seek(root * bps)
        entries = f.read(root_sectors * bps)
        for at in range(0, len(entries), 32):
            if entries[at] not in (0, 0xE5) and entries[at + 11] == 0x08:
                break
        else:
            raise SystemExit("label-data: no volume label entry in " + vol)
        f.seek(root * bps + at + 26)
        f.write(struct.pack("<HI", first, len(data)))
    print("  label entry: %d bytes at clusters %d-%d" % (len(data), first,
                                                          last))


def cmd_zero_fat32_boot(img, start):
    """Zero a FAT32 volume's boot sector (volume sector 0); the backup at
    volume sector 6 stays."""
    start = int(start)
    with open(img, "r+b") as f:
        f.seek(start * 512)
        boot = f.read(512)
        assert boot[0x52:0x5A] == b"FAT32   ", "no FAT32 boot sector"
        f.seek((start + 6) * 512)
        assert f.read(512) == boot, "backup boot sector differs"
        f.seek(start * 512)
        f.write(bytes(512))
    print("zeroed the FAT32 boot sector at %d; backup at %d kept" % (
        start, start + 6))


def fidelity_files(t):
    """Ordinary files, named data streams, a file with 40 hard links and a
    file whose valid data length is shorter than its size."""
    t.text("/readme.txt", 2500)
    t.text("/Docs/report.txt", 14000)
    t.text("/Docs/removed.txt", 6000)
    # Named data streams: on a file (one stored in the record, one in
    # clusters), on a folder, and on a file that is deleted later.
    t.text("/Streams/host.txt", 3000)
    t.text("/Streams/host.txt:secret.txt", 9000)
    t.put("/Streams/host.txt:Zone.Identifier",
          b"[ZoneTransfer]\r\nZoneId=3\r\n")
    t.text("/Streams:folder-note.txt", 1800)
    t.text("/Streams/deleted.txt", 2000)
    t.text("/Streams/deleted.txt:gone.txt", 7000)
    for path in ("/Streams/host.txt:secret.txt",
                 "/Streams/host.txt:Zone.Identifier",
                 "/Streams:folder-note.txt", "/Streams/deleted.txt:gone.txt"):
        t.line("flag1", 1, path, "stream")
    # 40 names for one file: its file names fill extension records.
    t.text("/Links/target.txt", 5000)
    names = ["/Links/target.txt"]
    for i in range(1, 40):
        folder = "/Links" if i < 30 else "/Links/More"
        names.append("%s/link-%02d-with-a-longer-name.txt" % (folder, i))
    for name in names[1:]:
        for root in (t.mnt, t.stage):
            os.makedirs(os.path.dirname(root + name), exist_ok=True)
            os.link(root + names[0], root + name)
    for name in names:
        t.line("flag1", 1, name, "hard_link")
    # Written as 8192 bytes, cut to 5000, then extended to 150000: the
    # clusters still hold the old bytes past 5000, but the file reads as
    # zeros from there on (its initialized size stays 5000).
    old = random.Random(t.seed("/Sizes/valid-length.bin")).randbytes(8192)
    os.makedirs(t.mnt + "/Sizes", exist_ok=True)
    with open(t.mnt + "/Sizes/valid-length.bin", "wb") as f:
        f.write(old)
        f.flush()
        os.fsync(f.fileno())
        f.truncate(5000)
        f.flush()
        os.fsync(f.fileno())
        f.truncate(150000)
    os.makedirs(t.stage + "/Sizes", exist_ok=True)
    with open(t.stage + "/Sizes/valid-length.bin", "wb") as f:
        f.write(old[:5000] + bytes(150000 - 5000))
    t.line("flag1", 1, "/Sizes/valid-length.bin", "valid_length")


def fidelity_fragment(t, reserve):
    """Fills the volume, hands back RESERVE clusters, then writes two files
    one cluster at a time in turns: about 300 runs each, more than one
    record holds, so both get an attribute list."""
    t.mkdir("/Fill")
    t.mkdir("/Fragmented")
    fd, size = write_until_full(t, "/Fill/ballast.bin")
    size -= int(reserve) * 4096
    os.ftruncate(fd, size)
    os.close(fd)
    with open(t.stage + "/Fill/ballast.bin", "wb") as f:
        f.write(label_bytes("/Fill/ballast.bin", 0, size))
    runs = label_bytes("/Fragmented/runs300.bin", 0, 300 * 4096)
    interleave(t, "/Fragmented/runs300.bin", runs, 4096,
               "/Fragmented/runs300-gaps.bin",
               "/Fragmented/runs300-gaps.bin", 4096)
    for path in ("/Fragmented/runs300.bin", "/Fragmented/runs300-gaps.bin"):
        t.line("flag1", 1, path, "fragmented")
        t.line("flag1", 1, path, "attribute_list")


def cmd_fidelity(phase, mnt, stage, desc, name, *args):
    t = Twin(mnt, stage, desc, name)
    if phase == "files":
        fidelity_files(t)
    elif phase == "fragment":
        fidelity_fragment(t, *args)
    elif phase == "delete":
        for path in ("/Docs/removed.txt", "/Streams/deleted.txt",
                     "/Fragmented/runs300-gaps.bin"):
            os.remove(mnt + path)
        for path in ("/Docs/removed.txt", "/Streams/deleted.txt",
                     "/Streams/deleted.txt:gone.txt",
                     "/Fragmented/runs300-gaps.bin"):
            t.line("del", 1, path)
        # ntfs-3g empties the extension records of a file it deletes: the
        # name of the deleted 300-run file, kept in one of them, is gone.
        t.line("flag1", 1, "/Fragmented/runs300-gaps.bin", "name_lost")


def cmd_check_fidelity(img, off, manifest_path, desc):
    """Checks with istat and fls that the flags of the manifest hold: the
    streams are named data attributes, the 40 links are 40 names of one
    record kept through an attribute list, the fragmented files have about
    300 runs and an attribute list, and the valid data length is short."""
    with open(manifest_path) as f:
        m = json.load(f)
    recs = fls_records(img, off)
    with open(desc) as f:  # records of deleted files, read before deletion
        for line in f:
            row = line.rstrip("\n").split("\t")
            if row[0] == "rec":
                recs.setdefault(row[2], int(row[3]))
    bad = []
    link_records = set()
    for e in m["files"]:
        fl = set(e["flags"])
        if "stream" in fl:
            base, _, stream = e["path"].rpartition(":")
            out = tsk("istat", "-o", off, img, recs[base])
            if not re.search(r"^Type: \$DATA \(128-\d+\)\s+Name: %s\s" %
                             re.escape(stream), out, re.M):
                bad.append(e["path"] + ": no $DATA named " + stream)
        if "hard_link" in fl:
            link_records.add(recs[e["path"]])
        if "fragmented" in fl:
            facts = istat_facts(img, off, recs[e["path"]])
            print("  %s: %d runs%s" % (e["path"], facts["runs"],
                  ", attribute list" if facts["attribute_list"] else ""))
            if facts["runs"] < 200 or not facts["attribute_list"]:
                bad.append(e["path"] + ": not fragmented enough")
        if "valid_length" in fl:
            out = tsk("istat", "-o", off, img, recs[e["path"]])
            sizes = re.search(r"size: (\d+)\s+init_size: (\d+)", out)
            print("  %s: size %s, initialized size %s" % (
                e["path"], sizes.group(1), sizes.group(2)))
            if int(sizes.group(2)) >= int(sizes.group(1)):
                bad.append(e["path"] + ": initialized size not short")
    if len(link_records) != 1:
        bad.append("the links are not one record: %s" % link_records)
    else:
        facts = istat_facts(img, off, link_records.pop())
        print("  /Links/target.txt: %d names, attribute list: %s" % (
            len(facts["names"]), facts["attribute_list"]))
        if len(facts["names"]) < 40 or not facts["attribute_list"]:
            bad.append("/Links/target.txt: names not in extension records")
    if bad:
        print("  MISMATCH:\n    " + "\n    ".join(bad))
        sys.exit(1)


def mst_read(buf, at, size, bps):
    """A multi-sector record with its update sequence undone."""
    rec = bytearray(buf[at:at + size])
    usa, count = struct.unpack_from("<HH", rec, 4)
    usn = rec[usa:usa + 2]
    for i in range(1, count):
        end = i * bps - 2
        assert rec[end:end + 2] == usn, "fixup mismatch at %d" % at
        rec[end:end + 2] = rec[usa + 2 * i:usa + 2 * i + 2]
    return rec


def mst_write(buf, at, rec, bps):
    """Puts a record back with its update sequence applied."""
    rec = bytearray(rec)
    usa, count = struct.unpack_from("<HH", rec, 4)
    usn = rec[usa:usa + 2]
    for i in range(1, count):
        end = i * bps - 2
        rec[usa + 2 * i:usa + 2 * i + 2] = rec[end:end + 2]
        rec[end:end + 2] = usn
    buf[at:at + len(rec)] = rec


def data_runs(rec):
    """(run list offset in the record, [(length, lcn)]) of the first
    non-resident $DATA attribute of a record."""
    at = struct.unpack_from("<H", rec, 0x14)[0]
    while True:
        typ, length = struct.unpack_from("<II", rec, at)
        assert typ != 0xFFFFFFFF, "no $DATA"
        if typ == 0x80 and rec[at + 8] == 1:
            break
        at += length
    pos = at + struct.unpack_from("<H", rec, at + 0x20)[0]
    runs, lcn, i = [], 0, pos
    while rec[i]:
        ls, os_ = rec[i] & 15, rec[i] >> 4
        n = int.from_bytes(rec[i + 1:i + 1 + ls], "little")
        d = int.from_bytes(rec[i + 1 + ls:i + 1 + ls + os_], "little",
                           signed=True)
        lcn += d
        runs.append((n, lcn))
        i += 1 + ls + os_
    return pos, runs


def cmd_shift_mft(vol):
    """Moves the MFT of a volume with 512-byte clusters one cluster on, so
    that it starts on an odd sector (mkntfs always puts it at 16 KiB): the
    MFT's clusters are copied one cluster further, the cluster after it must
    be free; the boot sector and its backup, record 0 and its copy in
    $MFTMirr, and $Bitmap are updated to match."""
    with open(vol, "rb") as f:
        buf = bytearray(f.read())
    bps, spc = struct.unpack_from("<HB", buf, 0x0B)
    assert spc == 1, "512-byte clusters expected"
    cluster = bps * spc
    mft, mirr = struct.unpack_from("<QQ", buf, 0x30)
    total = struct.unpack_from("<Q", buf, 0x28)[0]
    rec0 = mst_read(buf, mft * cluster, 1024, bps)
    pos, runs = data_runs(rec0)
    assert len(runs) == 1 and runs[0][1] == mft, "one MFT run expected: %s" % runs
    length = runs[0][0]
    # $Bitmap (record 6): the cluster after the MFT must be free.
    rec6 = mst_read(buf, mft * cluster + 6 * 1024, 1024, bps)
    _, bitmap_runs = data_runs(rec6)
    bitmap_at = bitmap_runs[0][1] * cluster

    def bit(c):
        return bitmap_at + c // 8, 1 << (c % 8)
    at, mask = bit(mft + length)
    assert not buf[at] & mask, "the cluster after the MFT is in use"
    # Record 0's run: the same field width, one cluster on.
    header = rec0[pos]
    ls, os_ = header & 15, header >> 4
    new = (mft + 1).to_bytes(os_, "little", signed=True)
    rec0[pos + 1 + ls:pos + 1 + ls + os_] = new
    start = mft * cluster
    moved = bytes(buf[start:start + length * cluster])
    buf[start + cluster:start + cluster + len(moved)] = moved
    buf[start:start + cluster] = bytes(cluster)
    mst_write(buf, (mft + 1) * cluster, rec0, bps)
    mirror0 = mst_read(buf, mirr * cluster, 1024, bps)
    mirror0[pos + 1 + ls:pos + 1 + ls + os_] = new
    mst_write(buf, mirr * cluster, mirror0, bps)
    at, mask = bit(mft)
    buf[at] &= ~mask & 0xFF
    at, mask = bit(mft + length)
    buf[at] |= mask
    struct.pack_into("<Q", buf, 0x30, mft + 1)
    backup = total * bps
    if buf[backup + 3:backup + 11] == b"NTFS    ":
        struct.pack_into("<Q", buf, backup + 0x30, mft + 1)
    with open(vol, "wb") as f:
        f.write(buf)
    print("  moved the MFT (%d clusters) from cluster %d to %d (sector %d)" %
          (length, mft, mft + 1, mft + 1))


def cmd_ext2_superblock(vol, ext2_vol):
    """Copies the superblock of an ext2 volume (bytes 1024-2047, made by
    mke2fs) into an NTFS volume, where $Boot's sectors 2 and 3 hold
    nothing: the volume then carries both file systems' signatures."""
    with open(ext2_vol, "rb") as f:
        f.seek(1024)
        sb = f.read(1024)
    assert sb[56:58] == b"\x53\xef", "no ext2 superblock"
    with open(vol, "r+b") as f:
        f.seek(1024)
        assert f.read(1024) == bytes(1024), "NTFS sectors 2-3 not empty"
        f.seek(1024)
        f.write(sb)


if __name__ == "__main__":
    cmd, args = sys.argv[1], sys.argv[2:]
    {"rand": gen_rand, "text": gen_text, "log": gen_log, "csv": gen_csv,
     "pdf": gen_pdf, "manifest": cmd_manifest, "derive": cmd_derive,
     "zero-tables": cmd_zero_tables, "zero-ntfs-boot": cmd_zero_ntfs_boot,
     "verify": cmd_verify, "features": cmd_features, "records": cmd_records,
     "check-features": cmd_check_features,
     "zero-mft-start": cmd_zero_mft_start, "fat-facts": cmd_fat_facts,
     "fat-rewind": cmd_fat_rewind,
     "zero-fat32-boot": cmd_zero_fat32_boot, "label-data": cmd_label_data,
     "damage-gpt": cmd_damage_gpt, "fidelity": cmd_fidelity,
     "check-fidelity": cmd_check_fidelity, "shift-mft": cmd_shift_mft,
     "ext2-superblock": cmd_ext2_superblock,
     "exfat-files": cmd_exfat_files, "exfat-facts": cmd_exfat_facts,
     "zero-exfat-boot": cmd_zero_exfat_boot}[cmd](*args)
PY

py() { python3 "$helper" "$@"; }

# put KIND STAGE /PATH SIZE: writes one staged file (parents made as needed).
# KIND is rand (seeded random bytes), text (seeded words) or log
# (repetitive text). The seed is the path plus the stage name, so every file
# has its own bytes (e.g. "mbr_ntfs_fat/p1/readme.txt").
put() {
  local kind=$1 stage=$2 path=$3 size=$4
  mkdir -p "$(dirname "$stage$path")"
  py "$kind" "$stage$path" "$size" "${stage#"$work"/}$path"
}
# folder STAGE /PATH: an (empty) staged folder.
folder() { mkdir -p "$1$2"; }

# new_ntfs VOLFILE SECTORS START LABEL [mkntfs options...]
# mkntfs draws the volume serial number from a generator seeded with the
# current second, so each call waits for a new second: volumes made in the
# same second would otherwise share one serial number. The second is taken
# when mkntfs has finished, since a run can cross into the next second
# before it reads the clock.
last_mkntfs_second=0
new_ntfs() {
  local vol=$1 sectors=$2 start=$3 label=$4
  shift 4
  while [ "$(date +%s)" -le "$last_mkntfs_second" ]; do sleep 0.2; done
  rm -f "$vol"
  truncate -s $((sectors * 512)) "$vol"
  if ! mkntfs -F -Q -q -s 512 -p "$start" -H 255 -S 63 -L "$label" "$@" "$vol" \
      >"$work/mkntfs.log" 2>&1; then
    cat "$work/mkntfs.log" >&2
    exit 1
  fi
  last_mkntfs_second=$(date +%s)
}

# new_fat32 VOLFILE SECTORS START LABEL VOLID
new_fat32() {
  local vol=$1 sectors=$2 start=$3 label=$4 volid=$5
  rm -f "$vol"
  truncate -s $((sectors * 512)) "$vol"
  mkfs.fat -F 32 -s 1 -S 512 -h "$start" -g 255/63 --mbr=n -n "$label" \
    -i "$volid" "$vol" >/dev/null
}

mount_ntfs() { # VOLFILE [MORE_OPTIONS]
  mnt_dir=$work/mnt
  mkdir -p "$mnt_dir"
  ntfs-3g -o "no_detach,compression${2:+,$2}" "$1" "$mnt_dir" >"$work/ntfs-3g.log" 2>&1 &
  mnt_pid=$!
  local _
  for _ in $(seq 1 100); do
    if mountpoint -q "$mnt_dir"; then return 0; fi
    if ! kill -0 "$mnt_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  cat "$work/ntfs-3g.log" >&2
  echo "make_images.sh: ntfs-3g mount of $1 failed" >&2
  exit 1
}

unmount_ntfs() {
  sync
  fusermount -u "$mnt_dir" 2>/dev/null || umount "$mnt_dir"
  wait "$mnt_pid" # ntfs-3g writes out and exits
  mnt_dir=""
  mnt_pid=""
  sync
}

# fill_ntfs VOLFILE STAGE DESC INDEX: copies the staged tree into the volume,
# marks folders flagged "compressed" for NTFS compression before their
# contents are written, then deletes the paths listed as deleted.
fill_ntfs() {
  local vol=$1 stage=$2 desc=$3 index=$4 kind idx path flag attr
  mount_ntfs "$vol"
  while IFS=$'\t' read -r kind idx path flag; do
    [ "$kind|$idx|$flag" = "flag|$index|compressed" ] || continue
    if [ -d "$stage$path" ]; then
      mkdir -p "$mnt_dir$path"
      setfattr -n system.ntfs_attrib_be -v 0x00000800 "$mnt_dir$path"
    fi
  done <"$desc"
  cp -r --no-preserve=all "$stage/." "$mnt_dir/"
  sync
  while IFS=$'\t' read -r kind idx path flag; do
    [ "$kind|$idx|$flag" = "flag|$index|compressed" ] || continue
    while IFS= read -r -d '' f; do
      attr=$(getfattr -n system.ntfs_attrib_be -e hex --only-values "$f" 2>/dev/null |
             od -An -tx1 | tr -d ' \n')
      if [ $((0x$attr & 0x800)) -eq 0 ]; then
        echo "make_images.sh: $f is not compressed (attributes 0x$attr)" >&2
        exit 1
      fi
    done < <(find "$mnt_dir$path" -print0)
  done <"$desc"
  while IFS=$'\t' read -r kind idx path flag; do
    [ "$kind|$idx" = "del|$index" ] || continue
    rm -rf "$mnt_dir$path"
  done <"$desc"
  unmount_ntfs
}

# fill_fat VOLFILE STAGE DESC INDEX: the same with mtools.
fill_fat() {
  local vol=$1 stage=$2 desc=$3 index=$4 kind idx path flag rel
  while IFS= read -r rel; do
    mmd -i "$vol" "::${rel#.}"
  done < <(cd "$stage" && find . -mindepth 1 -type d | sort)
  while IFS= read -r rel; do
    mcopy -i "$vol" "$stage/${rel#./}" "::${rel#.}"
  done < <(cd "$stage" && find . -type f | sort)
  while IFS=$'\t' read -r kind idx path flag; do
    [ "$kind|$idx" = "del|$index" ] || continue
    if [ -d "$stage$path" ]; then
      mdeltree -i "$vol" "::$path"
    else
      mdel -i "$vol" "::$path"
    fi
  done <"$desc"
}

# place VOLFILE DISK START: copies a finished volume into the disk image.
place() {
  dd if="$1" of="$2" bs=512 seek="$3" conv=notrunc status=none
  sync
}

# finish NAME: manifest, fls check, compressed copy.
finish() {
  local name=$1
  py manifest "$work/$name.desc" "$work/$name.img" "$work/$name.manifest.json"
  echo "$name: checking with fls"
  py verify "$work/$name.img" "$work/$name.manifest.json"
}

publish() { # NAME
  local name=$1
  cp "$work/$name.manifest.json" "$out_dir/$name.manifest.json"
  xz -9 -T2 -c "$work/$name.img" >"$out_dir/$name.img.xz"
  if [ "${KEEP_IMG:-0}" = 1 ]; then
    cp --sparse=always "$work/$name.img" "$out_dir/$name.img"
  fi
  echo "$name: $(du -k "$out_dir/$name.img.xz" | cut -f1) KiB compressed"
}

desc_line() { # DESC FIELDS...
  local desc=$1
  shift
  (IFS=$'\t'; echo "$*") >>"$desc"
}

###########################################################################
# 1. mbr_ntfs_fat: four primaries (NTFS, NTFS, extended, FAT32) and two
#    logical NTFS volumes in the extended partition.
###########################################################################
build_mbr_ntfs_fat() {
  local name=mbr_ntfs_fat
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -f "$img" "$desc"
  truncate -s 96M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0001
unit: sectors
sector-size: 512

start=2048, size=24576, type=7
start=26624, size=20480, type=7
start=47104, size=36864, type=5
start=83968, size=73728, type=c
start=49152, size=16384, type=7
start=67584, size=16384, type=7
EOF

  # Partition 1: NTFS, 4096-byte clusters.
  local p=$s/p1
  put text "$p" /readme.txt 3000
  put text "$p" /tiny.txt 200
  put text "$p" /empty.dat 0
  put text "$p" /Projects/plan.txt 12000
  put rand "$p" /Projects/Data/table.bin 120000
  put text "$p" /Projects/Data/notes.txt 40000
  put rand "$p" /Archive/old.bin 40000
  put text "$p" /Archive/keep.txt 5000
  put rand "$p" /Temp/scratch.bin 20000
  put text "$p" /Temp/scratch.txt 2500
  desc_line "$desc" part 1 ntfs "$s.p1.vol" "$p"
  desc_line "$desc" del 1 /Archive/old.bin
  desc_line "$desc" del 1 /Temp

  # Partition 2: NTFS, 1024-byte clusters.
  p=$s/p2
  put text "$p" /config.ini 600
  put text "$p" /Music/list.txt 8000
  put rand "$p" /Music/track01.bin 90000
  put rand "$p" /Music/track02.bin 45000
  put text "$p" /Letters/2019/letter1.txt 6000
  put text "$p" /Letters/2019/letter2.txt 2500
  put text "$p" /Letters/empty.txt 0
  desc_line "$desc" part 2 ntfs "$s.p2.vol" "$p"
  desc_line "$desc" del 2 /Music/track02.bin
  desc_line "$desc" del 2 /Letters/2019/letter2.txt

  # Partition 5 (first logical): NTFS, 512-byte clusters.
  p=$s/p5
  put text "$p" /Logs/app.log 50000
  put text "$p" /Logs/old/app.1.log 30000
  put rand "$p" /Bin/tool.bin 70000
  put rand "$p" /Bin/lib.bin 20000
  put text "$p" /empty 0
  desc_line "$desc" part 5 ntfs "$s.p5.vol" "$p"
  desc_line "$desc" del 5 /Logs/old/app.1.log
  desc_line "$desc" del 5 /Bin/lib.bin

  # Partition 6 (second logical): NTFS, 2048-byte clusters.
  p=$s/p6
  put rand "$p" /Video/clip.bin 120000
  put rand "$p" /Video/clip2.bin 25000
  put text "$p" /Docs/a/b/deep.txt 9000
  put text "$p" /Docs/summary.txt 4000
  put text "$p" /zero.dat 0
  desc_line "$desc" part 6 ntfs "$s.p6.vol" "$p"
  desc_line "$desc" del 6 /Video/clip2.bin
  desc_line "$desc" del 6 /Docs/summary.txt

  # Partition 4: FAT32, 512-byte clusters.
  p=$s/p4
  put rand "$p" /Pictures/holiday.bin 80000
  put rand "$p" /Pictures/Old/scan001.bin 40000
  put text "$p" /Notes/todo.txt 3000
  put text "$p" "/Notes/long file name example.txt" 20000
  put text "$p" /Notes/Sub/deep.txt 7000
  put text "$p" /EMPTY.TXT 0
  mkdir -p "$p"
  py csv "$p/report.csv" 150 "$name/p4/report.csv"
  desc_line "$desc" part 4 fat32 "$s.p4.vol" "$p"
  desc_line "$desc" del 4 /Pictures/Old/scan001.bin
  desc_line "$desc" del 4 "/Notes/long file name example.txt"

  new_ntfs "$s.p1.vol" 24576 2048 VOLUME1 -c 4096
  fill_ntfs "$s.p1.vol" "$s/p1" "$desc" 1
  place "$s.p1.vol" "$img" 2048

  new_ntfs "$s.p2.vol" 20480 26624 VOLUME2 -c 1024
  fill_ntfs "$s.p2.vol" "$s/p2" "$desc" 2
  place "$s.p2.vol" "$img" 26624

  new_ntfs "$s.p5.vol" 16384 49152 LOGICAL5 -c 512
  fill_ntfs "$s.p5.vol" "$s/p5" "$desc" 5
  place "$s.p5.vol" "$img" 49152

  new_ntfs "$s.p6.vol" 16384 67584 LOGICAL6 -c 2048
  fill_ntfs "$s.p6.vol" "$s/p6" "$desc" 6
  place "$s.p6.vol" "$img" 67584

  new_fat32 "$s.p4.vol" 73728 83968 FATDATA 5eed0f40
  fill_fat "$s.p4.vol" "$s/p4" "$desc" 4
  place "$s.p4.vol" "$img" 83968

  finish "$name"
  publish "$name"

  # 2. mbr_ntfs_fat_zeroed: the same bytes with sector 0 and the EBRs zeroed.
  local z=mbr_ntfs_fat_zeroed
  cp --sparse=always "$img" "$work/$z.img"
  py zero-tables "$work/$z.img"
  py derive "$work/$name.manifest.json" "$work/$z.manifest.json" \
    "$work/$z.img" table_zeroed=true
  echo "$z: checking with fls (explicit offsets)"
  py verify "$work/$z.img" "$work/$z.manifest.json"
  publish "$z"
}

###########################################################################
# 3. ntfs_zeroed_boot: one NTFS partition whose boot sector and backup boot
#    sector are zeroed; only $MFT and $MFTMirr remain to find it by.
###########################################################################
build_ntfs_zeroed_boot() {
  local name=ntfs_zeroed_boot
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -f "$img" "$desc"
  truncate -s 24M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0003
unit: sectors
sector-size: 512

start=2048, size=40960, type=7
EOF
  local p=$s/p1
  put text "$p" /notes.txt 2000
  put text "$p" /empty.txt 0
  put text "$p" /Reports/q1.txt 15000
  put rand "$p" /Reports/q2.bin 60000
  put text "$p" /Reports/draft.txt 5000
  put rand "$p" /Reports/Archive/2020.bin 30000
  put rand "$p" /photo.bin 40000
  desc_line "$desc" part 1 ntfs "$s.p1.vol" "$p"
  desc_line "$desc" del 1 /photo.bin
  desc_line "$desc" del 1 /Reports/draft.txt
  desc_line "$desc" top boot_sector_zeroed true

  # mkntfs picks its default cluster size here.
  new_ntfs "$s.p1.vol" 40960 2048 NOBOOT
  fill_ntfs "$s.p1.vol" "$p" "$desc" 1
  place "$s.p1.vol" "$img" 2048

  finish "$name" # fls check while the boot sectors are still there
  py zero-ntfs-boot "$img" 2048 40960
  if fls -o 2048 "$img" >/dev/null 2>&1; then
    echo "make_images.sh: fls still reads $name after zeroing" >&2
    exit 1
  fi
  echo "$name: fls can no longer open the volume (as intended)"
  py derive "$work/$name.manifest.json" "$work/$name.manifest.json.new" \
    "$img"
  mv "$work/$name.manifest.json.new" "$work/$name.manifest.json"
  publish "$name"
}

###########################################################################
# 4. ntfs_4k: 4096-byte clusters, file sizes around cluster boundaries.
###########################################################################
build_ntfs_4k() {
  local name=ntfs_4k
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -f "$img" "$desc"
  truncate -s 32M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0004
unit: sectors
sector-size: 512

start=2048, size=57344, type=7
EOF
  local p=$s/p1
  put rand "$p" /size1.bin 1
  put rand "$p" /size700.bin 700
  put rand "$p" /size4095.bin 4095
  put rand "$p" /size4096.bin 4096
  put rand "$p" /size4097.bin 4097
  put rand "$p" /size300000.bin 300000
  put rand "$p" /empty.bin 0
  put text "$p" /Level1/a.txt 10000
  put rand "$p" /Level1/Level2/b.bin 8193
  put rand "$p" /Level1/Level2/Level3/c.bin 12288
  put text "$p" /Level1/Level2/Level3/d.txt 5000
  folder "$p" /Level1/Level2/Level3/EmptyFolder
  put rand "$p" /deleted4097.bin 4097
  put rand "$p" /Level1/Level2/gone.bin 20000
  put text "$p" /Level1/Level2/Level3/gone.txt 3000
  put rand "$p" /Old/x.bin 9000
  put text "$p" /Old/y.txt 1500
  desc_line "$desc" part 1 ntfs "$s.p1.vol" "$p"
  desc_line "$desc" del 1 /deleted4097.bin
  desc_line "$desc" del 1 /Level1/Level2/gone.bin
  desc_line "$desc" del 1 /Level1/Level2/Level3/gone.txt
  desc_line "$desc" del 1 /Old

  new_ntfs "$s.p1.vol" 57344 2048 FOURK -c 4096
  fill_ntfs "$s.p1.vol" "$p" "$desc" 1
  place "$s.p1.vol" "$img" 2048
  finish "$name"
  publish "$name"
}

###########################################################################
# 5. sample: pictures, documents, deleted files and an NTFS-compressed file.
###########################################################################
picture() { # STAGE /PATH ImageMagick-arguments...
  local stage=$1 path=$2
  shift 2
  mkdir -p "$(dirname "$stage$path")"
  convert -seed 1 "$@" -strip -define png:exclude-chunks=date,time \
    "$stage$path"
}

build_sample() {
  local name=sample
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -f "$img" "$desc"
  truncate -s 24M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0005
unit: sectors
sector-size: 512

start=2048, size=40960, type=7
EOF
  local p=$s/p1
  picture "$p" /Photos/beach.jpg -size 480x360 plasma:fractal -quality 85
  picture "$p" /Photos/forest.jpg -size 400x300 plasma:green-darkgreen -quality 90
  picture "$p" /Photos/sunset.png -size 120x90 plasma:orange-purple
  picture "$p" /Photos/sky.png -size 128x96 gradient:skyblue-white \
    -attenuate 0.4 +noise Uniform
  picture "$p" /Photos/Trips/mountain.jpg -size 640x480 plasma:white-gray -quality 80
  picture "$p" /Photos/party.jpg -size 500x375 plasma:red-yellow -quality 85
  picture "$p" /Photos/cat.png -size 100x100 plasma:gray-brown
  put text "$p" /Documents/readme.txt 1800
  put text "$p" /Documents/letter.txt 6500
  put text "$p" /Documents/draft.txt 4200
  py pdf "$p/Documents/report.pdf" "Quarterly report" "$name/report.pdf"
  py pdf "$p/Documents/old-report.pdf" "Old report" "$name/old-report.pdf"
  py csv "$p/Documents/budget.csv" 200 "$name/budget.csv"
  put log "$p" /Compressed/server.log 102400
  desc_line "$desc" part 1 ntfs "$s.p1.vol" "$p"
  desc_line "$desc" del 1 /Photos/party.jpg
  desc_line "$desc" del 1 /Photos/cat.png
  desc_line "$desc" del 1 /Documents/old-report.pdf
  desc_line "$desc" del 1 /Documents/draft.txt
  desc_line "$desc" flag 1 /Compressed compressed

  new_ntfs "$s.p1.vol" 40960 2048 SAMPLE -c 4096
  fill_ntfs "$s.p1.vol" "$p" "$desc" 1
  place "$s.p1.vol" "$img" 2048
  finish "$name"
  # TSK must see the compressed $DATA attribute too.
  local inode
  inode=$(ifind -n /Compressed/server.log -o 2048 "$img")
  if ! istat -o 2048 "$img" "$inode" | grep -q 'Non-Resident, Compressed'; then
    echo "make_images.sh: /Compressed/server.log is not compressed" >&2
    exit 1
  fi
  echo "$name: /Compressed/server.log (MFT entry $inode) is stored compressed"
  publish "$name"
}

###########################################################################
# 6. xp_cylinders: a disk partitioned on cylinder boundaries of a 255-head,
#    63-sector geometry (16065 sectors a cylinder), as Windows XP did it:
#    NTFS from sector 63 to the end of cylinder 1, an extended partition from
#    cylinder 2 holding one logical NTFS volume 63 sectors after its EBR, and
#    the rest of the disk unpartitioned.
###########################################################################
build_xp_cylinders() {
  local name=xp_cylinders
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  local cyl=16065
  local p1_start=63 p1_sectors=$((2 * cyl - 63))
  local ext_start=$((2 * cyl)) ext_sectors=$((2 * cyl))
  local p5_start=$((2 * cyl + 63)) p5_sectors=$((2 * cyl - 63))
  rm -f "$img" "$desc"
  truncate -s 64M "$img"
  # sfdisk warns that these starts are not aligned to 1 MiB, which is the
  # point of this image; its messages are shown only if it fails.
  if ! sfdisk -q -f --no-reread "$img" >"$work/sfdisk.log" 2>&1 <<EOF
label: dos
label-id: 0x5eed0006
unit: sectors
sector-size: 512

start=$p1_start, size=$p1_sectors, type=7, bootable
start=$ext_start, size=$ext_sectors, type=5
start=$p5_start, size=$p5_sectors, type=7
EOF
  then
    cat "$work/sfdisk.log" >&2
    exit 1
  fi

  # Partition 1: NTFS, 4096-byte clusters.
  local p=$s/p1
  put text "$p" /readme.txt 2200
  put text "$p" /Documents/letter.txt 9000
  put text "$p" /Documents/old-letter.txt 6000
  put rand "$p" /Documents/Scans/page1.bin 30000
  put rand "$p" /setup.bin 18000
  desc_line "$desc" part 1 ntfs "$s.p1.vol" "$p"
  desc_line "$desc" del 1 /Documents/old-letter.txt

  # Partition 5 (the logical volume): NTFS, 2048-byte clusters.
  p=$s/p5
  put text "$p" /notes.txt 3500
  put rand "$p" /Backup/archive.bin 40000
  put text "$p" /Backup/list.txt 7000
  put rand "$p" /Backup/old-archive.bin 25000
  put text "$p" /empty.txt 0
  desc_line "$desc" part 5 ntfs "$s.p5.vol" "$p"
  desc_line "$desc" del 5 /Backup/old-archive.bin

  new_ntfs "$s.p1.vol" "$p1_sectors" "$p1_start" XPSYSTEM -c 4096
  fill_ntfs "$s.p1.vol" "$s/p1" "$desc" 1
  place "$s.p1.vol" "$img" "$p1_start"

  new_ntfs "$s.p5.vol" "$p5_sectors" "$p5_start" XPDATA -c 2048
  fill_ntfs "$s.p5.vol" "$s/p5" "$desc" 5
  place "$s.p5.vol" "$img" "$p5_start"

  finish "$name"
  publish "$name"

  # 7. xp_cylinders_zeroed: the same bytes with sector 0 and the EBR zeroed.
  local z=xp_cylinders_zeroed
  cp --sparse=always "$img" "$work/$z.img"
  py zero-tables "$work/$z.img"
  py derive "$work/$name.manifest.json" "$work/$z.manifest.json" \
    "$work/$z.img" table_zeroed=true
  echo "$z: checking with fls (explicit offsets)"
  py verify "$work/$z.img" "$work/$z.manifest.json"
  publish "$z"
}

###########################################################################
# 8. ntfs_features: NTFS-compressed files, a sparse file, fragmented files,
#    a file whose $DATA runs fill extension records (attribute list), odd
#    names, and deleted files whose folder's record went to another file.
###########################################################################
build_ntfs_features() {
  local name=ntfs_features
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  local vol=$work/$name.p1.vol p=$work/$name/p1 path rec parent
  rm -rf "$img" "$desc" "$s"
  mkdir -p "$p"
  truncate -s 48M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0008
unit: sectors
sector-size: 512

start=2048, size=96256, type=7
EOF
  desc_line "$desc" part 1 ntfs "$vol" "$p"
  new_ntfs "$vol" 96256 2048 FEATURES -c 4096

  # Everything is written through ntfs-3g by the helper, which mirrors each
  # file into the staging tree. The fragmented files are written last,
  # after a ballast file has filled the volume and handed back its last
  # 2100 clusters: with no other free space, two files written in turns
  # keep taking each other's next cluster.
  mount_ntfs "$vol"
  py features files "$mnt_dir" "$p" "$desc" "$name"
  py features fragment "$mnt_dir" "$p" "$desc" "$name" 2100
  unmount_ntfs

  # /Gone and its two files are deleted, and on the next mount ntfs-3g
  # gives the lowest free record (the folder's) to the next new file,
  # /Docs/after.txt. Their record numbers are read now, while TSK can
  # still name them.
  for path in /Gone /Gone/child1.txt /Gone/child2.txt; do
    rec=$(ifind -n "$path" "$vol")
    parent=$(istat "$vol" "$rec" |
             sed -n 's/^Parent MFT Entry: \([0-9]*\).*/\1/p' | head -n 1)
    desc_line "$desc" rec 1 "$path" "$rec" "$parent"
  done
  mount_ntfs "$vol"
  py features drop-gone "$mnt_dir" "$p" "$desc" "$name"
  unmount_ntfs
  mount_ntfs "$vol"
  py features reuse "$mnt_dir" "$p" "$desc" "$name"
  unmount_ntfs
  # The other deletions come last, so nothing is written over them.
  mount_ntfs "$vol"
  py features delete "$mnt_dir" "$p" "$desc" "$name"
  unmount_ntfs
  place "$vol" "$img" 2048

  py manifest "$desc" "$img" "$work/$name.manifest.json"
  py records "$img" 2048 "$work/$name.manifest.json" "$desc"
  echo "$name: checking with fls"
  py verify "$img" "$work/$name.manifest.json"
  echo "$name: checking the flags with istat"
  py check-features "$img" 2048 "$work/$name.manifest.json"
  publish "$name"
}

###########################################################################
# 9. ntfs_turbo: a folder tree whose $MFT records 0 and 1 and whose
#    $MFTMirr are zeroed, so the MFT can no longer be found from its first
#    record; the boot sector, the files' own records and the folders'
#    index records stay.
###########################################################################
build_ntfs_turbo() {
  local name=ntfs_turbo
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  truncate -s 24M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0009
unit: sectors
sector-size: 512

start=2048, size=40960, type=7
EOF
  local p=$s/p1
  put text "$p" /readme.txt 2200
  put text "$p" /todo.txt 600
  put text "$p" /empty.txt 0
  put text "$p" /Work/plan.txt 9000
  put rand "$p" /Work/budget.bin 24000
  put text "$p" /Work/minutes.txt 4100
  put text "$p" /Work/Projects/alpha.txt 15000
  put rand "$p" /Work/Projects/alpha.bin 50000
  put text "$p" /Work/Projects/beta.txt 3000
  put rand "$p" /Work/Projects/Old/beta-v1.bin 12000
  put text "$p" /Work/Projects/Old/notes.txt 1500
  put rand "$p" /Media/clip.bin 90000
  put rand "$p" /Media/Pictures/pic1.bin 30000
  put rand "$p" /Media/Pictures/pic2.bin 41000
  put text "$p" /Media/Pictures/list.txt 800
  # Enough names in one folder that its index needs an INDX record.
  local i
  for i in 3 4 5 6 7 8 9 10 11; do
    put rand "$p" "/Media/Pictures/holiday-picture-$i.bin" $((2000 + 700 * i))
  done
  put text "$p" /Home/user/profile.txt 2000
  put text "$p" /Home/user/Mail/inbox.txt 26000
  put text "$p" /Home/user/Mail/sent.txt 11000
  put rand "$p" /Home/user/Mail/attachment.bin 18000
  put text "$p" /Home/shared.txt 5000
  put rand "$p" /Work/old-budget.bin 20000
  put text "$p" /Home/user/Mail/draft.txt 3500
  desc_line "$desc" part 1 ntfs "$s.p1.vol" "$p"
  desc_line "$desc" del 1 /Work/old-budget.bin
  desc_line "$desc" del 1 /Home/user/Mail/draft.txt
  desc_line "$desc" top mft_record0_zeroed true

  new_ntfs "$s.p1.vol" 40960 2048 TURBO -c 4096
  fill_ntfs "$s.p1.vol" "$p" "$desc" 1
  place "$s.p1.vol" "$img" 2048

  # Record numbers and the fls check while $MFT record 0 is still there.
  py manifest "$desc" "$img" "$work/$name.manifest.json"
  py records "$img" 2048 "$work/$name.manifest.json" "$desc"
  echo "$name: checking with fls"
  py verify "$img" "$work/$name.manifest.json"
  local folders
  folders=$(fls -r -p -D -o 2048 "$img" |
    while IFS=$'\t' read -r head path; do
      head=${head##* }
      istat -o 2048 "$img" "${head%:}" 2>/dev/null |
        grep -q 'INDEX_ALLOCATION' && echo -n " /$path"
      true
    done)
  echo "$name: folders with INDX records:${folders:- none}"
  py zero-mft-start "$img" 2048
  if fls -o 2048 "$img" >/dev/null 2>&1; then
    echo "make_images.sh: fls still reads $name after zeroing" >&2
    exit 1
  fi
  echo "$name: fls can no longer open the volume (as intended)"
  py derive "$work/$name.manifest.json" "$work/$name.manifest.json.new" \
    "$img"
  mv "$work/$name.manifest.json.new" "$work/$name.manifest.json"
  publish "$name"
}

###########################################################################
# FAT images: volumes made by mkfs.fat and filled with mtools only.
###########################################################################

# new_fat16 VOLFILE SECTORS START LABEL VOLID: 512 root entries, 2048-byte
# clusters. At 65536 sectors or more the size sits in the 32-bit total.
new_fat16() {
  local vol=$1 sectors=$2 start=$3 label=$4 volid=$5
  rm -f "$vol"
  truncate -s $((sectors * 512)) "$vol"
  mkfs.fat -F 16 -r 512 -s 4 -S 512 -h "$start" -g 255/63 --mbr=n \
    -n "$label" -i "$volid" "$vol" >/dev/null
}

# new_fat12 VOLFILE SECTORS START LABEL VOLID [mkfs.fat options...]: a FAT12
# volume with mkfs.fat's choices for its size (a 1.44 MB floppy: media 0xF0,
# 224 root entries, 512-byte clusters) unless options say otherwise.
new_fat12() {
  local vol=$1 sectors=$2 start=$3 label=$4 volid=$5
  shift 5
  rm -f "$vol"
  truncate -s $((sectors * 512)) "$vol"
  mkfs.fat -F 12 -S 512 -h "$start" --mbr=n -n "$label" -i "$volid" "$@" \
    "$vol" >/dev/null
}

# fill_fat_staged VOLFILE STAGE DESC INDEX: like fill_fat, in rounds so that
# a file can be made fragmented: everything but the files listed as `late`
# is copied, the deleted files flagged `overwritten` are deleted, the late
# files are copied (they fill the holes first: see fat-rewind), `attr` lines set DOS attributes with mattrib, `label` lines
# rename the volume with mlabel, `labeldata` lines give the label entry the
# staged file of that name as its data (instead of copying it), and then the
# other deletions are made.
fill_fat_staged() {
  local vol=$1 stage=$2 desc=$3 index=$4 kind idx path flag rel
  local -A late=() early=()
  while IFS=$'\t' read -r kind idx path flag; do
    [ "$idx" = "$index" ] || continue
    case $kind in
      late | labeldata) late[$path]=1 ;;
      flag) if [ "$flag" = overwritten ]; then early[$path]=1; fi ;;
    esac
  done <"$desc"
  while IFS= read -r rel; do
    mmd -i "$vol" "::${rel#.}"
  done < <(cd "$stage" && find . -mindepth 1 -type d | sort)
  while IFS= read -r rel; do
    [ -z "${late[${rel#.}]:-}" ] || continue
    mcopy -i "$vol" "$stage/${rel#./}" "::${rel#.}"
  done < <(cd "$stage" && find . -type f | sort)
  for path in "${!early[@]}"; do
    mdel -i "$vol" "::$path"
  done
  py fat-rewind "$vol"
  for path in "${!late[@]}"; do
    grep -qxF "labeldata	$index	$path" "$desc" && continue
    mcopy -i "$vol" "$stage$path" "::$path"
  done
  while IFS=$'\t' read -r kind idx path flag; do
    [ "$idx" = "$index" ] || continue
    case $kind in
      attr) mattrib -i "$vol" "$flag" "::$path" ;;
      label) mlabel -i "$vol" "::$path" ;;
    esac
  done <"$desc"
  while IFS=$'\t' read -r kind idx path flag; do
    [ "$kind|$idx" = "labeldata|$index" ] || continue
    mlabel -i "$vol" "::${path#/}"
    py label-data "$vol" "$stage$path"
  done <"$desc"
  while IFS=$'\t' read -r kind idx path flag; do
    [ "$kind|$idx" = "del|$index" ] || continue
    [ -z "${early[$path]:-}" ] || continue
    if [ -d "$stage$path" ]; then
      mdeltree -i "$vol" "::$path"
    else
      mdel -i "$vol" "::$path"
    fi
  done <"$desc"
}

# fragment_fat STAGE DESC INDEX DIR CLUSTER BIGNAME BIGSIZE: six two-cluster
# files in DIR, every other one deleted before BIGNAME is written, which
# then fills their holes first (they carry the flag `overwritten`).
fragment_fat() {
  local stage=$1 desc=$2 index=$3 dir=$4 cluster=$5 big=$6 size=$7 i
  for i in 1 2 3 4 5 6; do
    put rand "$stage" "$dir/GAP$i.BIN" $((2 * cluster))
  done
  for i in 2 4 6; do
    desc_line "$desc" del "$index" "$dir/GAP$i.BIN"
    desc_line "$desc" flag "$index" "$dir/GAP$i.BIN" overwritten
  done
  put text "$stage" "$dir/$big" "$size"
  desc_line "$desc" late "$index" "$dir/$big"
  desc_line "$desc" flag "$index" "$dir/$big" fragmented
}

###########################################################################
# 10. fat_mbr: a FAT16 primary, a FAT32 primary and a logical FAT32 volume in
#     an extended partition, with long names, deleted files and folders and
#     fragmented files; fat_mbr_zeroed is the same without MBR and EBR.
###########################################################################
build_fat_mbr() {
  local name=fat_mbr
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  truncate -s 128M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0010
unit: sectors
sector-size: 512

start=2048, size=81920, type=6
start=83968, size=81920, type=c
start=165888, size=83968, type=5
start=167936, size=81920, type=b
EOF

  # Partition 1: FAT16, 2048-byte clusters.
  local p=$s/p1
  put text "$p" /README.TXT 3000
  put text "$p" "/A long file name spanning several entries.txt" 5000
  put text "$p" /EMPTY.TXT 0
  put text "$p" "/Documents/Letter to the bank.txt" 7000
  put text "$p" /Documents/NOTES.TXT 1200
  put text "$p" "/Documents/Archive/2019/Summary of the year 2019.txt" 9000
  put rand "$p" /Documents/Archive/2019/DATA.BIN 20000
  put rand "$p" /Pictures/holiday-photo-0001.bin 30000
  put text "$p" "/hidden file.txt" 800
  put text "$p" /READONLY.TXT 900
  put text "$p" "/Old report.txt" 4000
  put rand "$p" /TEMP.DAT 3000
  put text "$p" /Trash/a.txt 1500
  put text "$p" /Trash/Sub/b.txt 2500
  put rand "$p" /Trash/Sub/Deeper/C.BIN 5000
  fragment_fat "$p" "$desc" 1 /Frag 2048 "Fragmented file on FAT16.txt" 40000
  desc_line "$desc" part 1 fat16 "$s.p1.vol" "$p"
  desc_line "$desc" del 1 "/Old report.txt"
  desc_line "$desc" del 1 /TEMP.DAT
  desc_line "$desc" del 1 /Trash
  desc_line "$desc" attr 1 "/hidden file.txt" +h
  desc_line "$desc" flag 1 "/hidden file.txt" hidden
  desc_line "$desc" attr 1 /READONLY.TXT +r
  desc_line "$desc" flag 1 /READONLY.TXT read_only
  desc_line "$desc" label 1 SIXTEEN

  # Partition 2: FAT32, 512-byte clusters.
  p=$s/p2
  put text "$p" "/readme first.txt" 2500
  put text "$p" "/Projects/Project plan for the next quarter.txt" 12000
  put rand "$p" /Projects/BUDGET.XLS 15000
  put text "$p" "/Projects/Code/main source file.c" 6000
  put rand "$p" "/Music/Track 01 - A rather long title.bin" 25000
  put text "$p" "/Projects/old draft.txt" 3000
  put text "$p" /OLDDIR/X.TXT 2000
  put text "$p" "/OLDDIR/Inner folder/y file.txt" 1000
  fragment_fat "$p" "$desc" 2 /Frag 512 "Fragmented file on FAT32.txt" 20000
  desc_line "$desc" part 2 fat32 "$s.p2.vol" "$p"
  desc_line "$desc" del 2 "/Projects/old draft.txt"
  desc_line "$desc" del 2 /OLDDIR
  desc_line "$desc" label 2 PRIMARY32

  # Partition 5 (logical): FAT32, 512-byte clusters.
  p=$s/p5
  put text "$p" /LOGICAL.TXT 1500
  put rand "$p" "/Photos/Summer trip to the mountains 2020.bin" 20000
  put rand "$p" /Photos/Winter/snow.bin 8000
  put text "$p" "/Notes/shopping list.txt" 700
  put rand "$p" "/Photos/deleted picture.bin" 6000
  desc_line "$desc" part 5 fat32 "$s.p5.vol" "$p"
  desc_line "$desc" del 5 "/Photos/deleted picture.bin"
  desc_line "$desc" label 5 LOGICAL32

  new_fat16 "$s.p1.vol" 81920 2048 FAT16VOL 5eed1601
  fill_fat_staged "$s.p1.vol" "$s/p1" "$desc" 1
  place "$s.p1.vol" "$img" 2048
  new_fat32 "$s.p2.vol" 81920 83968 FAT32VOL 5eed1602
  fill_fat_staged "$s.p2.vol" "$s/p2" "$desc" 2
  place "$s.p2.vol" "$img" 83968
  new_fat32 "$s.p5.vol" 81920 167936 LOGICALVOL 5eed1605
  fill_fat_staged "$s.p5.vol" "$s/p5" "$desc" 5
  place "$s.p5.vol" "$img" 167936

  finish "$name"
  py fat-facts "$img" "$work/$name.manifest.json"
  publish "$name"

  # 11. fat_mbr_zeroed: the same bytes with sector 0 and the EBR zeroed.
  local z=fat_mbr_zeroed
  cp --sparse=always "$img" "$work/$z.img"
  py zero-tables "$work/$z.img"
  py derive "$work/$name.manifest.json" "$work/$z.manifest.json" \
    "$work/$z.img" table_zeroed=true
  echo "$z: checking with fls (explicit offsets)"
  py verify "$work/$z.img" "$work/$z.manifest.json"
  publish "$z"
}

###########################################################################
# 12. fat32_backup_boot: one FAT32 volume whose boot sector is zeroed; its
#     backup boot sector (volume sector 6) is intact.
###########################################################################
build_fat32_backup_boot() {
  local name=fat32_backup_boot
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  truncate -s 48M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0012
unit: sectors
sector-size: 512

start=2048, size=81920, type=c
EOF
  local p=$s/p1
  put text "$p" "/Kept after the boot sector was lost.txt" 6000
  put rand "$p" /DATA/RECORDS.BIN 12000
  put text "$p" /DATA/Sub/notes.txt 2200
  put text "$p" /DATA/removed.txt 1800
  desc_line "$desc" part 1 fat32 "$s.p1.vol" "$p"
  desc_line "$desc" del 1 /DATA/removed.txt
  desc_line "$desc" top boot_sector_zeroed true

  new_fat32 "$s.p1.vol" 81920 2048 BACKUPBOOT 5eed1612
  fill_fat_staged "$s.p1.vol" "$p" "$desc" 1
  place "$s.p1.vol" "$img" 2048
  finish "$name" # fls check while the boot sector is still there
  py fat-facts "$img" "$work/$name.manifest.json"
  py zero-fat32-boot "$img" 2048
  py derive "$work/$name.manifest.json" "$work/$name.manifest.json.new" \
    "$img"
  mv "$work/$name.manifest.json.new" "$work/$name.manifest.json"
  publish "$name"
}

###########################################################################
# 13. gpt_disk: a GUID partition table (sfdisk) with an EFI system partition
#     (FAT32), a reserved partition with no file system, a basic data
#     partition (NTFS) and a recovery partition (NTFS), all 1 MiB-aligned;
#     then three copies with the primary header, the primary entry array or
#     the whole table damaged.
###########################################################################
build_gpt_disk() {
  local name=gpt_disk
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  truncate -s 64M "$img"
  sfdisk -q "$img" <<'EOF'
label: gpt
label-id: 5EED0013-0000-4000-8000-000000000000
unit: sectors
sector-size: 512

start=2048, size=69632, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, uuid=5EED0013-0001-4000-8000-000000000001, name="EFI system partition"
start=71680, size=2048, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE, uuid=5EED0013-0002-4000-8000-000000000002, name="Reserved"
start=73728, size=24576, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=5EED0013-0003-4000-8000-000000000003, name="Basic data partition"
start=98304, size=16384, type=DE94BBA4-06D1-4D40-A16A-BFD50179D6AC, uuid=5EED0013-0004-4000-8000-000000000004, name="Recovery"
EOF
  desc_line "$desc" top table '"gpt"'

  # Partition 1: the EFI system partition, FAT32 with 512-byte clusters
  # (34 MiB is just above the 65525 clusters FAT32 needs).
  local p=$s/p1
  put rand "$p" /EFI/BOOT/BOOTX64.EFI 24000
  put text "$p" /EFI/BOOT/boot.cfg 900
  put text "$p" "/EFI/Loader/loader settings.conf" 2600
  put rand "$p" /EFI/Loader/core.bin 9000
  put text "$p" /startup.nsh 120
  put text "$p" /EFI/Loader/old.conf 1400
  desc_line "$desc" part 1 fat32 "$s.p1.vol" "$p"
  desc_line "$desc" del 1 /EFI/Loader/old.conf
  new_fat32 "$s.p1.vol" 69632 2048 ESP 5eed1613
  fill_fat_staged "$s.p1.vol" "$p" "$desc" 1
  place "$s.p1.vol" "$img" 2048

  # Partition 3: basic data, NTFS with 4096-byte clusters.
  p=$s/p3
  put text "$p" /readme.txt 3000
  put text "$p" /empty.txt 0
  put text "$p" /Documents/report.txt 18000
  put text "$p" /Documents/Notes/todo.txt 1100
  put rand "$p" /Documents/data.bin 40000
  put rand "$p" /Pictures/photo-0001.bin 30000
  put text "$p" /Pictures/captions.txt 700
  put text "$p" /Documents/draft.txt 5000
  put rand "$p" /Old/backup.bin 12000
  put text "$p" /Old/list.txt 2000
  desc_line "$desc" part 3 ntfs "$s.p3.vol" "$p"
  desc_line "$desc" del 3 /Documents/draft.txt
  desc_line "$desc" del 3 /Old
  new_ntfs "$s.p3.vol" 24576 73728 DATA -c 4096
  fill_ntfs "$s.p3.vol" "$p" "$desc" 3
  place "$s.p3.vol" "$img" 73728

  # Partition 4: recovery, NTFS with 4096-byte clusters.
  p=$s/p4
  put text "$p" /Recovery/recovery.txt 1500
  put rand "$p" /Recovery/image.bin 20000
  put text "$p" /Recovery/Logs/setup.log 4500
  put text "$p" /Recovery/Logs/old.log 2500
  desc_line "$desc" part 4 ntfs "$s.p4.vol" "$p"
  desc_line "$desc" del 4 /Recovery/Logs/old.log
  new_ntfs "$s.p4.vol" 16384 98304 RECOVERY -c 4096
  fill_ntfs "$s.p4.vol" "$p" "$desc" 4
  place "$s.p4.vol" "$img" 98304

  finish "$name"
  py fat-facts "$img" "$work/$name.manifest.json"
  publish "$name"

  # 14-16. The same bytes with one part of the table damaged.
  local z damage
  for z in gpt_disk_primary_damaged:primary-header \
           gpt_disk_entries_damaged:primary-entries gpt_disk_zeroed:all; do
    damage=${z#*:}
    z=${z%%:*}
    cp --sparse=always "$img" "$work/$z.img"
    echo "$z:"
    py damage-gpt "$work/$z.img" "$damage"
    py derive "$work/$name.manifest.json" "$work/$z.manifest.json" \
      "$work/$z.img" "gpt_damaged=\"$damage\""
    echo "$z: checking with fls (explicit offsets)"
    py verify "$work/$z.img" "$work/$z.manifest.json"
    publish "$z"
  done
}

###########################################################################
# 17. ntfs_volume_only: an image of one NTFS volume, with no partition
#     table: sector 0 is its boot sector.
###########################################################################
build_ntfs_volume_only() {
  local name=ntfs_volume_only
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  local p=$s/p1
  put text "$p" /readme.txt 2200
  put text "$p" /Folder/notes.txt 6000
  put rand "$p" /Folder/blob.bin 25000
  put text "$p" /Folder/Sub/deep.txt 900
  put text "$p" /removed.txt 3000
  desc_line "$desc" top table '"none"'
  desc_line "$desc" part 1 ntfs "$img" "$p"
  desc_line "$desc" del 1 /removed.txt
  new_ntfs "$img" 16384 0 VOLONLY -c 4096
  fill_ntfs "$img" "$p" "$desc" 1
  finish "$name"
  publish "$name"
}

###########################################################################
# 18. fat32_volume_only: an image of one FAT32 volume (512-byte clusters),
#     with no partition table.
###########################################################################
build_fat32_volume_only() {
  local name=fat32_volume_only
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  local p=$s/p1
  put text "$p" "/A file on a bare volume.txt" 2400
  put rand "$p" /DATA/BLOB.BIN 18000
  put text "$p" /DATA/Sub/notes.txt 1300
  put text "$p" /DATA/gone.txt 1600
  desc_line "$desc" top table '"none"'
  desc_line "$desc" part 1 fat32 "$img" "$p"
  desc_line "$desc" del 1 /DATA/gone.txt
  new_fat32 "$img" 69632 0 VOLONLY32 5eed1618
  fill_fat_staged "$img" "$p" "$desc" 1
  finish "$name"
  py fat-facts "$img" "$work/$name.manifest.json"
  publish "$name"
}

###########################################################################
# 19. fat12_floppy: a 1.44 MB floppy image (FAT12, no partition table) with
#     8.3 names in lower case, long names, empty files, a file that crosses
#     FAT sectors, a fragmented one, and deleted files and folders.
###########################################################################
build_fat12_floppy() {
  local name=fat12_floppy
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name path
  rm -rf "$img" "$desc" "$s"
  local p=$s/p1
  put text "$p" /readme.txt 1500          # 8.3 in lower case: flags 0x18
  put text "$p" /notes.TXT 700            # lower-case base only: 0x08
  put rand "$p" /DATA.bin 2600            # lower-case extension only: 0x10
  put text "$p" "/A long file name on a floppy disk.txt" 5000
  put text "$p" /empty.txt 0
  put text "$p" /EMPTY2.TXT 0
  put text "$p" "/Letters/to a friend.txt" 3000
  put text "$p" /Letters/old/first.txt 900
  folder "$p" "/Letters/Empty folder"
  # 500 clusters from about cluster 40 on: their FAT entries cross the
  # boundaries of the first FAT sectors (clusters 341 and 682 straddle them).
  put text "$p" /big-file.txt 256000
  put text "$p" "/Deleted long name file.txt" 4000
  put text "$p" /OLD.TXT 1200
  put text "$p" /gone.txt 800
  put text "$p" "/deleted empty file.txt" 0
  put text "$p" /ZERO.TXT 0
  put text "$p" "/Trash/thrown away.txt" 2000
  put rand "$p" /Trash/SUB/inner.bin 1500
  fragment_fat "$p" "$desc" 1 /Frag 512 "Fragmented file on FAT12.txt" 6000
  desc_line "$desc" top table '"none"'
  desc_line "$desc" part 1 fat12 "$img" "$p"
  for path in "/Deleted long name file.txt" /OLD.TXT /gone.txt \
              "/deleted empty file.txt" /ZERO.TXT /Trash; do
    desc_line "$desc" del 1 "$path"
  done
  desc_line "$desc" label 1 FLOPPY12
  new_fat12 "$img" 2880 0 FLOPPY 5eed1619
  fill_fat_staged "$img" "$p" "$desc" 1
  finish "$name"
  py fat-facts "$img" "$work/$name.manifest.json"
  publish "$name"
}

###########################################################################
# 20. fat_small_mbr: a card-sized disk with an MBR: a FAT16 volume of fewer
#     than 65,536 sectors (type 0x04, as cameras write it) and a FAT12 one
#     of 4 MiB (type 0x01).
###########################################################################
build_fat_small_mbr() {
  local name=fat_small_mbr
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  truncate -s 21M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0020
unit: sectors
sector-size: 512

start=63, size=32705, type=4
start=32768, size=8192, type=1
EOF
  # Partition 1: FAT16, 2048-byte clusters, like a 16 MB camera card.
  local p=$s/p1
  put rand "$p" /DCIM/100CANON/IMG_0001.JPG 30000
  put rand "$p" /DCIM/100CANON/IMG_0002.JPG 24000
  put rand "$p" /DCIM/100CANON/IMG_0003.JPG 18000
  put text "$p" /MISC/AUTPRINT.MRK 0
  put text "$p" /readme.txt 1200
  put text "$p" "/Card notes with a long name.txt" 2500
  put text "$p" /empty.txt 0
  put rand "$p" /DCIM/101CANON/IMG_0101.JPG 22000
  put rand "$p" "/DCIM/101CANON/Holiday clip.mov" 16000
  put text "$p" "/Deleted movie notes.txt" 3000
  desc_line "$desc" part 1 fat16 "$s.p1.vol" "$p"
  desc_line "$desc" del 1 /DCIM/100CANON/IMG_0002.JPG
  desc_line "$desc" del 1 /DCIM/101CANON
  desc_line "$desc" del 1 "/Deleted movie notes.txt"
  desc_line "$desc" label 1 CAMERA

  # Partition 2: FAT12 of 4 MiB, 2048-byte clusters, 512 root entries.
  p=$s/p2
  put text "$p" /docs/report.txt 9000
  put text "$p" "/docs/Budget for 2021.txt" 4000
  put rand "$p" /docs/archive/OLDDATA.BIN 7000
  put text "$p" /notes.txt 600
  put text "$p" /nothing.txt 0
  put text "$p" /docs/draft.txt 2500
  put text "$p" "/docs/archive/Removed long name.txt" 1800
  desc_line "$desc" part 2 fat12 "$s.p2.vol" "$p"
  desc_line "$desc" del 2 /docs/draft.txt
  desc_line "$desc" del 2 "/docs/archive/Removed long name.txt"
  desc_line "$desc" del 2 /nothing.txt

  new_fat16 "$s.p1.vol" 32705 63 CARD 5eed1620
  fill_fat_staged "$s.p1.vol" "$s/p1" "$desc" 1
  place "$s.p1.vol" "$img" 63
  new_fat12 "$s.p2.vol" 8192 32768 SMALL12 5eed1621 -s 4 -r 512 -g 255/63
  fill_fat_staged "$s.p2.vol" "$s/p2" "$desc" 2
  place "$s.p2.vol" "$img" 32768
  finish "$name"
  py fat-facts "$img" "$work/$name.manifest.json"
  publish "$name"
}

###########################################################################
# 21. fat16_volume_only: a FAT16 volume of 16,384 sectors with no partition
#     table and a root directory of 256 entries, whose volume label entry
#     holds data (written by the script's helper: no tool writes that).
###########################################################################
build_fat16_volume_only() {
  local name=fat16_volume_only
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  local p=$s/p1
  put text "$p" /LABELDAT 3000            # becomes the label entry's data
  put text "$p" /Photos/list.txt 1100
  put rand "$p" /Photos/IMG_0042.JPG 14000
  put text "$p" /todo.txt 500
  put text "$p" /Zero.txt 0                # mixed case: a long name
  put text "$p" "/Old photo list.txt" 2200
  put text "$p" /Photos/OLDPIC.JPG 3300
  desc_line "$desc" top table '"none"'
  desc_line "$desc" part 1 fat16 "$img" "$p"
  desc_line "$desc" labeldata 1 /LABELDAT
  desc_line "$desc" del 1 "/Old photo list.txt"
  desc_line "$desc" del 1 /Photos/OLDPIC.JPG
  rm -f "$img"
  truncate -s $((16384 * 512)) "$img"
  mkfs.fat -F 16 -r 256 -s 1 -S 512 -h 0 --mbr=n -n VOLONLY16 -i 5eed1622 \
    "$img" >/dev/null
  fill_fat_staged "$img" "$p" "$desc" 1
  finish "$name"
  py fat-facts "$img" "$work/$name.manifest.json"
  publish "$name"
}

# fill_exfat VOLFILE STAGE DESC INDEX KIND: the files of `exfat-files` KIND,
# written through exfat-fuse on a loop device over the volume file.
fill_exfat() {
  local vol=$1 stage=$2 desc=$3 index=$4 kind=$5 mnt=$work/exfat-mnt
  mkdir -p "$mnt" "$stage"
  loop_dev=$(losetup -f --show "$vol")
  mount.exfat-fuse "$loop_dev" "$mnt" >/dev/null
  mnt_dir=$mnt
  py exfat-files "$mnt" "$stage" "$desc" "$index" "$kind"
  umount "$mnt"
  mnt_dir=""
  losetup -d "$loop_dev"
  loop_dev=""
}

###########################################################################
# 26. exfat_card: a camera card's layout: an MBR whose exFAT partition
#     (type 0x07) starts at 4 MiB, with its cluster heap aligned to 4 MiB
#     (mkfs.exfat -b 4M), 4 KiB clusters; long and non-Latin names, a file
#     name with a surrogate pair, files whose FAT chains interleave, deleted
#     photos (contiguous), a deleted fragmented clip and a deleted folder.
#     exfat_card_backup is a copy without the MBR and the main boot region
#     (the backup at volume sector 12 is left); exfat_card_zeroed has both
#     boot regions zeroed as well.
###########################################################################
build_exfat_card() {
  local name=exfat_card
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  truncate -s 16M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0026
unit: sectors
sector-size: 512

start=8192, size=24576, type=7
EOF
  local vol=$s.p1.vol
  truncate -s $((24576 * 512)) "$vol"
  mkfs.exfat -b 4M -c 4K -L CAMERA "$vol" >/dev/null
  fill_exfat "$vol" "$s/p1" "$desc" 1 card
  desc_line "$desc" part 1 exfat "$vol" "$s/p1"
  place "$vol" "$img" 8192
  finish "$name"
  py exfat-facts "$img" "$work/$name.manifest.json"
  publish "$name"

  local b=exfat_card_backup z=exfat_card_zeroed
  cp --sparse=always "$img" "$work/$b.img"
  py zero-tables "$work/$b.img"
  py zero-exfat-boot "$work/$b.img" 8192 main
  py derive "$work/$name.manifest.json" "$work/$b.manifest.json" \
    "$work/$b.img" table_zeroed=true boot_sector_zeroed=true
  publish "$b"
  cp --sparse=always "$img" "$work/$z.img"
  py zero-tables "$work/$z.img"
  py zero-exfat-boot "$work/$z.img" 8192 both
  py derive "$work/$name.manifest.json" "$work/$z.manifest.json" \
    "$work/$z.img" table_zeroed=true boot_regions_zeroed=true
  publish "$z"
}

###########################################################################
# 27. exfat_volume_only: an exFAT volume of 4 MiB with no partition table,
#     512-byte clusters, a deleted file and a deleted folder.
###########################################################################
build_exfat_volume_only() {
  local name=exfat_volume_only
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  truncate -s 4M "$img"
  mkfs.exfat -c 512 -L BARE "$img" >/dev/null
  desc_line "$desc" top table '"none"'
  fill_exfat "$img" "$s/p1" "$desc" 1 small
  desc_line "$desc" part 1 exfat "$img" "$s/p1"
  finish "$name"
  py exfat-facts "$img" "$work/$name.manifest.json"
  publish "$name"
}


###########################################################################
# 22. ntfs_fidelity: named data streams, a file with 40 hard links, two
#     files of about 300 runs each (attribute lists; one deleted) and a
#     file whose valid data length is shorter than its size.
###########################################################################
build_ntfs_fidelity() {
  local name=ntfs_fidelity
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  local vol=$work/$name.p1.vol p=$work/$name/p1
  rm -rf "$img" "$desc" "$s"
  mkdir -p "$p"
  truncate -s 16M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0019
unit: sectors
sector-size: 512

start=2048, size=30720, type=7
EOF
  desc_line "$desc" part 1 ntfs "$vol" "$p"
  new_ntfs "$vol" 30720 2048 FIDELITY -c 4096
  # Streams are written as "file:stream" paths through ntfs-3g's Windows
  # stream interface; the staging tree keeps them as files of that name.
  mount_ntfs "$vol" streams_interface=windows
  py fidelity files "$mnt_dir" "$p" "$desc" "$name"
  py fidelity fragment "$mnt_dir" "$p" "$desc" "$name" 640
  unmount_ntfs
  # The deleted file of 300 runs keeps its name only in an extension
  # record, where fls does not look for it: its record is noted now.
  desc_line "$desc" rec 1 /Fragmented/runs300-gaps.bin \
    "$(ifind -n /Fragmented/runs300-gaps.bin "$vol")" 0
  mount_ntfs "$vol" streams_interface=windows
  py fidelity delete "$mnt_dir" "$p" "$desc" "$name"
  unmount_ntfs
  place "$vol" "$img" 2048
  finish "$name"
  echo "$name: checking the flags with istat"
  py check-fidelity "$img" 2048 "$work/$name.manifest.json" "$desc"
  publish "$name"
}

###########################################################################
# 23. ntfs_odd_mft: 512-byte clusters, the MFT moved by one cluster so that
#     its records start on odd sectors (as on volumes formatted by Windows
#     with small clusters), and a folder big enough for INDX records.
###########################################################################
build_ntfs_odd_mft() {
  local name=ntfs_odd_mft
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  local vol=$work/$name.p1.vol p=$work/$name/p1 i
  rm -rf "$img" "$desc" "$s"
  truncate -s 12M "$img"
  sfdisk -q "$img" <<'EOF'
label: dos
label-id: 0x5eed0020
unit: sectors
sector-size: 512

start=2048, size=20480, type=7
EOF
  put text "$p" /readme.txt 1800
  put text "$p" /Notes/monday.txt 4200
  put rand "$p" /Notes/sketch.bin 9000
  put text "$p" /Notes/Old/tuesday.txt 2600
  for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14; do
    put text "$p" "/Letters/a-letter-with-a-long-name-number-$i.txt" $((700 + 300 * i))
  done
  put text "$p" /Letters/draft.txt 3300
  desc_line "$desc" part 1 ntfs "$vol" "$p"
  desc_line "$desc" del 1 /Letters/draft.txt
  desc_line "$desc" del 1 /Notes/Old
  new_ntfs "$vol" 20480 2048 ODDMFT -c 512
  fill_ntfs "$vol" "$p" "$desc" 1
  py shift-mft "$vol"
  place "$vol" "$img" 2048
  finish "$name"
  publish "$name"
}

###########################################################################
# 24. ntfs_4kn_gpt and ntfs_4kn_mbr: raw images of disks with 4096-byte
#     sectors: a GPT (or MBR) written by sfdisk on a loop device with
#     4096-byte sectors, and an NTFS volume made with mkntfs -s 4096.
###########################################################################
build_ntfs_4kn() {
  local label name img desc s vol p
  for label in gpt mbr; do
    name=ntfs_4kn_$label
    img=$work/$name.img desc=$work/$name.desc s=$work/$name
    vol=$work/$name.p1.vol p=$work/$name/p1
    rm -rf "$img" "$desc" "$s"
    truncate -s 16M "$img"
    loop_dev=$(losetup --find --show --sector-size 4096 "$img")
    if [ "$label" = gpt ]; then
      sfdisk -q --no-reread "$loop_dev" >/dev/null 2>&1 <<'EOF'
label: gpt
label-id: 5EED0021-0000-4000-8000-000000000000
unit: sectors
first-lba: 6

start=256, size=3584, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, uuid=5EED0021-0001-4000-8000-000000000001, name="Basic data partition"
EOF
      desc_line "$desc" top table '"gpt"'
    else
      sfdisk -q --no-reread "$loop_dev" >/dev/null 2>&1 <<'EOF'
label: dos
label-id: 0x5eed0022
unit: sectors

start=256, size=3584, type=7
EOF
    fi
    losetup -d "$loop_dev"
    loop_dev=""
    desc_line "$desc" top bytes_per_sector 4096
    put text "$p" /readme.txt 2100
    put text "$p" /Docs/plan.txt 13000
    put rand "$p" /Docs/data.bin 30000
    put text "$p" /Docs/Old/notes.txt 3700
    put text "$p" /Docs/gone.txt 2500
    desc_line "$desc" part 1 ntfs "$vol" "$p"
    desc_line "$desc" del 1 /Docs/gone.txt
    while [ "$(date +%s)" -le "$last_mkntfs_second" ]; do sleep 0.2; done
    rm -f "$vol"
    truncate -s $((3584 * 4096)) "$vol"
    mkntfs -F -Q -q -s 4096 -c 4096 -p 256 -H 255 -S 63 -L "4KN$label" "$vol" \
      >"$work/mkntfs.log" 2>&1 || { cat "$work/mkntfs.log" >&2; exit 1; }
    last_mkntfs_second=$(date +%s)
    fill_ntfs "$vol" "$p" "$desc" 1
    dd if="$vol" of="$img" bs=4096 seek=256 conv=notrunc status=none
    finish "$name"
    publish "$name"
  done
}

###########################################################################
# 25. fat16_not_ntfs: an image of one small FAT16 volume (no partition
#     table), whose boot sector passes the NTFS engine's oldest test.
###########################################################################
build_fat16_not_ntfs() {
  local name=fat16_not_ntfs
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  local p=$s/p1
  put text "$p" /README.TXT 1500
  put text "$p" "/Small card/holiday notes.txt" 4000
  put rand "$p" /PHOTO.BIN 12000
  desc_line "$desc" top table '"none"'
  desc_line "$desc" part 1 fat16 "$img" "$p"
  truncate -s 8M "$img"
  mkfs.fat -F 16 -s 1 -S 512 -h 0 --mbr=n -n SMALLCARD -i 5eed1623 "$img" >/dev/null
  fill_fat "$img" "$p" "$desc" 1
  finish "$name"
  publish "$name"
}

###########################################################################
# 26. ntfs_ext2_signature: an image of one NTFS volume that also carries an
#     ext2 superblock (made by mke2fs) at byte 1024, in $Boot's unused
#     sectors: TSK refuses to guess the file system of it.
###########################################################################
build_ntfs_ext2_signature() {
  local name=ntfs_ext2_signature
  local img=$work/$name.img desc=$work/$name.desc s=$work/$name
  rm -rf "$img" "$desc" "$s"
  local p=$s/p1
  put text "$p" /readme.txt 1900
  put text "$p" /Home/letter.txt 6400
  put rand "$p" /Home/archive.bin 21000
  put text "$p" /Home/old.txt 2300
  desc_line "$desc" top table '"none"'
  desc_line "$desc" part 1 ntfs "$img" "$p"
  desc_line "$desc" del 1 /Home/old.txt
  desc_line "$desc" top other_signature '"ext2/3/4"'
  new_ntfs "$img" 16384 0 TWOSIGS -c 4096
  fill_ntfs "$img" "$p" "$desc" 1
  finish "$name"
  rm -f "$s.ext2"
  truncate -s 8M "$s.ext2"
  mke2fs -q -t ext2 -F "$s.ext2"
  py ext2-superblock "$img" "$s.ext2"
  if fls "$img" >/dev/null 2>&1 || ! fls -f ntfs "$img" >/dev/null 2>&1; then
    echo "make_images.sh: fls should refuse $name and read it as NTFS with -f ntfs" >&2
    exit 1
  fi
  echo "$name: fls: $(fls "$img" 2>&1 | head -n 1)"
  py derive "$work/$name.manifest.json" "$work/$name.manifest.json.new" "$img"
  mv "$work/$name.manifest.json.new" "$work/$name.manifest.json"
  publish "$name"
}

###########################################################################
# 27. containers: the committed fat_small_mbr and ntfs_4kn_mbr images in the
#     containers people bring (made by qemu-img and ewfacquire, xz-compressed
#     in containers/), and a mapfile written by GNU ddrescue over
#     fat_small_mbr with simulated bad sectors (its test mode), stopped
#     before the end. Made from the committed .img.xz files, so the other
#     images need not be rebuilt first.
###########################################################################
build_containers() {
  local dir=$out_dir/containers c=$work/containers
  for tool in qemu-img ewfacquire ddrescue; do
    command -v "$tool" >/dev/null || {
      echo "make_images.sh: $tool is missing (WITH_IMAGE_TOOLS=1 bash scripts/install-deps.sh)" >&2
      exit 1
    }
  done
  rm -rf "$c"
  mkdir -p "$c" "$dir"
  xz -dc "$out_dir/fat_small_mbr.img.xz" >"$c/raw.img"
  xz -dc "$out_dir/ntfs_4kn_mbr.img.xz" >"$c/raw4k.img"
  local f=$c/fat_small_mbr
  # VHD: force_size keeps the disk's size (qemu-img otherwise rounds it to a CHS geometry).
  qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on "$c/raw.img" "$f.vhd"
  qemu-img convert -q -f raw -O vhdx "$c/raw.img" "$f.vhdx"
  # A descriptor and one sparse extent file beside it.
  qemu-img convert -q -f raw -O vmdk -o subformat=twoGbMaxExtentSparse "$c/raw.img" "$f.vmdk"
  qemu-img convert -q -f raw -O qcow2 "$c/raw.img" "$f.qcow2"
  # Overlays that change nothing: every read goes through to the file below.
  (cd "$c" && qemu-img create -q -f qcow2 -b fat_small_mbr.qcow2 -F qcow2 fat_small_mbr_overlay.qcow2)
  (cd "$c" && qemu-img create -q -f vmdk -b fat_small_mbr.vmdk -F vmdk fat_small_mbr_snapshot.vmdk)
  ewfacquire -u -q -t "$f" -c best -f encase6 -C case -D fat_small_mbr -e examiner -E 1 -N none \
    "$c/raw.img" </dev/null >/dev/null
  # 4096-byte sectors recorded in the image, in four segment files.
  ewfacquire -u -q -t "$c/ntfs_4kn_mbr" -c empty-block -P 4096 -S 1048576 -f encase6 -C case \
    -D ntfs_4kn_mbr -e examiner -E 2 -N none "$c/raw4k.img" </dev/null >/dev/null
  # ddrescue's test mode: sectors 100-107 and 20000 fail. The run neither trims nor scrapes
  # (the failed clusters stay '*') and stops after 12 MiB (the rest is not in the map).
  printf '%s\n' '0x00000000     +               1' \
    '0x00000000  0x0000C800  +' '0x0000C800  0x00001000  -' '0x0000D800  0x009B6800  +' \
    '0x009C4000  0x00000200  -' '0x009C4200  0x00B3BE00  +' >"$c/bad_sectors.map"
  (cd "$c" && ddrescue -q -n -N -H bad_sectors.map -s 12MiB raw.img rescued.img fat_small_mbr.ddrescue.map) || true
  rm -f "$dir"/*.xz "$dir"/*.map
  for file in "$c"/*.vhd "$c"/*.vhdx "$c"/*.vmdk "$c"/*.qcow2 "$c"/*.E0?; do
    xz -9 -c "$file" >"$dir/$(basename "$file").xz"
  done
  cp "$c/fat_small_mbr.ddrescue.map" "$dir/"
  echo "containers: $(cat "$dir"/*.xz | wc -c) bytes compressed"
}

for build in "${builds[@]}"; do
  "$build"
done

echo
echo "Files in $out_dir:"
(cd "$out_dir" && ls -l ./*.img.xz ./*.manifest.json)
echo "total: $(cat "$out_dir"/*.img.xz | wc -c) bytes of compressed images"
