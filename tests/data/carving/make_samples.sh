#!/usr/bin/env bash
# Builds the carving samples beside this script and rewrites samples.json.
#
# Needs: imagemagick, libimage-exiftool-perl, qpdf, sox, lame, ffmpeg, python3,
# libspreadsheet-writeexcel-perl and libole-storage-lite-perl (all Debian packages).
# Every tool is asked for output without time stamps or random ids, so a rebuild
# with the same tool versions writes the same bytes.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

im() { convert "$@"; }
strip=(-strip +set date:create +set date:modify)

# --- pictures -------------------------------------------------------------------------------
im -size 160x120 -seed 1 plasma:fractal "${strip[@]}" -quality 85 big.jpg
im big.jpg -resize 40x30 "${strip[@]}" -quality 70 thumb.jpg
# The thumbnail carries its own end-of-image marker inside the outer file's EXIF segment.
exiftool -q -overwrite_original -Make=Ov -Model=Sample "-ThumbnailImage<=thumb.jpg" big.jpg
cp big.jpg jpeg_exif_thumb.jpg
im -size 64x48 -seed 2 plasma:fractal "${strip[@]}" -interlace Plane -quality 80 jpeg_progressive.jpg

im -size 48x32 -seed 3 plasma:fractal "${strip[@]}" -define png:exclude-chunks=date,time,tEXt,zTXt png.png
im -size 8x8 xc:red -fill blue -draw 'point 3,3' "${strip[@]}" gif_tiny.gif
im -size 64x48 -seed 4 plasma:fractal "${strip[@]}" -colors 64 gif_blocks.gif
im -size 24x16 -seed 5 plasma:fractal "${strip[@]}" -type truecolor bmp3:bmp.bmp
im -size 40x30 -seed 6 plasma:fractal "${strip[@]}" -compress none -endian LSB tiff_le.tif
im -size 40x30 -seed 7 plasma:fractal "${strip[@]}" -compress none -endian MSB tiff_be.tif

# --- documents ------------------------------------------------------------------------------
python3 - <<'EOF'
# A one-page PDF, written by hand so that no producer string or date enters it.
objs = [
    b"<< /Type /Catalog /Pages 2 0 R >>",
    b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
    b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 100] /Contents 4 0 R"
    b" /Resources << /Font << /F1 5 0 R >> >> >>",
    None,
    b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
]
text = b"BT /F1 18 Tf 20 40 Td (Carving sample) Tj ET"
objs[3] = b"<< /Length %d >>\nstream\n" % len(text) + text + b"\nendstream"
out = bytearray(b"%PDF-1.4\n")
offsets = []
for i, o in enumerate(objs, 1):
    offsets.append(len(out))
    out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
xref = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
for off in offsets:
    out += b"%010d 00000 n \n" % off
out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
open("hand.pdf", "wb").write(out)
EOF
qpdf --static-id hand.pdf pdf_plain.pdf
qpdf --static-id --linearize hand.pdf pdf_linearized.pdf

# Excel workbook ("Workbook" stream) and a word-processor-like compound file ("WordDocument").
perl -MSpreadsheet::WriteExcel -e '
  my $wb = Spreadsheet::WriteExcel->new("ole2_xls.xls");
  my $ws = $wb->add_worksheet("Sheet1");
  $ws->write($_, 0, "row $_") for 0 .. 40;
  $wb->close();'
perl -MOLE::Storage_Lite -e '
  my @t = (0, 0, 0, 1, 0, 100);
  my $data = join("", map { chr($_ % 251) } 0 .. 9999);
  my $doc = OLE::Storage_Lite::PPS::File->new(OLE::Storage_Lite::Asc2Ucs("WordDocument"), $data);
  my $tbl = OLE::Storage_Lite::PPS::File->new(OLE::Storage_Lite::Asc2Ucs("1Table"), "x" x 700);
  my $root = OLE::Storage_Lite::PPS::Root->new(\@t, \@t, [$doc, $tbl]);
  $root->save("ole2_doc.doc") or die;'

# --- sound ----------------------------------------------------------------------------------
sox -D -n -r 22050 -c 1 -b 16 tone.wav synth 1.3 sine 440 vol 0.5
lame --quiet -b 32 --noreplaygain tone.wav mp3_plain.mp3
lame --quiet -b 32 --noreplaygain --tt Sample --ta Ov --id3v2-only tone.wav mp3_id3v2.mp3
lame --quiet -b 32 --noreplaygain --tt Sample --ta Ov --add-id3v2 tone.wav mp3_id3v1v2.mp3
sox -D -n -r 8000 -c 1 -b 8 wave_pcm.wav synth 0.4 sine 300
ffmpeg -v error -y -fflags +bitexact -i tone.wav -map_metadata -1 -c:a libmp3lame -b:a 32k \
  -flags +bitexact -f wav wave_mp3.wav
python3 - <<'EOF'
# A format-0 standard MIDI file: header chunk and one track playing three notes.
import struct
ev = bytearray(b"\x00\xff\x51\x03\x07\xa1\x20")          # tempo
for n in (60, 64, 67):
    ev += bytes([0x00, 0x90, n, 0x50, 0x60, 0x80, n, 0x00])
ev += b"\x00\xff\x2f\x00"                                # end of track
data = b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk" + struct.pack(">I", len(ev)) + ev
open("midi.mid", "wb").write(data)
EOF

# --- video ----------------------------------------------------------------------------------
vid=(-f lavfi -i "testsrc=size=64x48:rate=10:duration=1" -f lavfi -i "sine=frequency=500:duration=1")
bx=(-fflags +bitexact -flags +bitexact -map_metadata -1)
ffmpeg -v error -y "${vid[@]}" "${bx[@]}" -c:v mpeg4 -q:v 12 -c:a aac -b:a 24k quicktime_mp4.mp4
ffmpeg -v error -y "${vid[@]}" "${bx[@]}" -c:v mpeg4 -q:v 12 -c:a aac -b:a 24k quicktime_mov.mov
ffmpeg -v error -y "${vid[@]}" "${bx[@]}" -c:v mpeg2video -q:v 12 -c:a mp2 -b:a 64k -f vob mpeg_ps_vob.mpg

# --- headers of formats that no packaged tool writes ----------------------------------------
python3 - <<'EOF'
import random, struct
rnd = random.Random(20240601)
# Minolta raw: MRM block holding a PRD block, then 12-bit packed sensor data of 40 x 30.
h, w, bits = 30, 40, 12
prd = b"\x00PRD" + struct.pack(">I", 24) + b"21810002" + struct.pack(">HHHHBBBB", h, w, h, w, bits, 12, 0x59, 0) \
      + struct.pack(">HH", 0, 1)
ttw = b"\x00TTW" + struct.pack(">I", 16) + bytes(16)
body = prd + ttw
hdr = b"\x00MRM" + struct.pack(">I", len(body)) + body
raw = bytes(rnd.getrandbits(8) for _ in range((h * w * bits + 7) // 8))
open("mrw.mrw", "wb").write(hdr + raw)
# Length-field record: a little-endian length at 4 counts what follows a 2 KiB header.
payload = bytes(rnd.getrandbits(8) for _ in range(3000))
head = bytearray(2048)
head[0:4] = b"OVLF"
head[4:8] = struct.pack("<I", len(payload))
open("length_field.bin", "wb").write(bytes(head) + payload)
EOF

# --- manifest -------------------------------------------------------------------------------
files=(jpeg_exif_thumb.jpg jpeg_progressive.jpg png.png gif_tiny.gif gif_blocks.gif bmp.bmp tiff_le.tif
       tiff_be.tif mrw.mrw pdf_plain.pdf pdf_linearized.pdf ole2_xls.xls ole2_doc.doc mp3_plain.mp3
       mp3_id3v2.mp3 mp3_id3v1v2.mp3 wave_pcm.wav wave_mp3.wav midi.mid quicktime_mp4.mp4
       quicktime_mov.mov mpeg_ps_vob.mpg length_field.bin)
cp "${files[@]}" "$here/"
cd "$here"
python3 - "${files[@]}" <<'EOF'
import hashlib, json, os, sys
# handler: the routine's code; expected: what the routine gives for the file on a disk of its own
# ("end found": the file's exact size; "rejected"; "max size": accepted without a size); jump:
# whether the scan may jump over the file.
samples = {
    "jpeg_exif_thumb.jpg": ("jpeg", 167, "end found", True),
    "jpeg_progressive.jpg": ("jpeg", 167, "rejected", False),
    "png.png": ("png", 185, "end found", True),
    "gif_tiny.gif": ("gif", 161, "end found", False),
    "gif_blocks.gif": ("gif", 161, "end found", False),
    "bmp.bmp": ("bmp", 142, "end found", False),
    "tiff_le.tif": ("tiff", 208, "end found", True),
    "tiff_be.tif": ("tiff", 203, "end found", True),
    "mrw.mrw": ("mrw", 207, "end found", False),
    "pdf_plain.pdf": ("pdf", 110, "end found", False),
    "pdf_linearized.pdf": ("pdf", 110, "end found", False),
    "ole2_xls.xls": ("ole2", 235, "end found", True),
    "ole2_doc.doc": ("ole2", 235, "end found", True),
    "mp3_plain.mp3": ("mp3", 62, "end found", True),
    "mp3_id3v2.mp3": ("mp3", 62, "end found", True),
    "mp3_id3v1v2.mp3": ("mp3", 62, "end found", True),
    "wave_pcm.wav": ("wave", 68, "end found", False),
    "wave_mp3.wav": ("wave", 68, "end found", True),
    "midi.mid": ("midi", 61, "end found", True),
    "quicktime_mp4.mp4": ("quicktime", 15, "end found", False),
    "quicktime_mov.mov": ("quicktime", 63, "end found", False),
    "mpeg_ps_vob.mpg": ("mpeg-ps", 18, "end found", False),
    "length_field.bin": ("length field", 4, "end found", False),
}
# Perl's OLE::Storage_Lite writes one more sector after its allocation table that nothing in the
# file refers to; the routine ends the file at its last used sector.
carved = {"ole2_doc.doc": 13312}
out = []
for name in sys.argv[1:]:
    data = open(name, "rb").read()
    fmt, code, expected, jump = samples[name]
    out.append({"file": name, "format": fmt, "handler": code, "size": len(data),
                "sha256": hashlib.sha256(data).hexdigest(), "expected": expected, "jump": jump})
    if name in carved:
        out[-1]["carved_size"] = carved[name]
json.dump({"samples": out}, open("samples.json", "w"), indent=2)
open("samples.json", "a").write("\n")
EOF
echo "wrote ${#files[@]} samples to $here"
