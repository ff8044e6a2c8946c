#!/usr/bin/env bash
# Builds the carving samples beside this script and rewrites samples.json.
#
# Needs: imagemagick, libimage-exiftool-perl, libjpeg-turbo-progs, libheif-examples, qpdf, sox,
# lame, flac, vorbis-tools, ffmpeg, sqlite3, p7zip-full, python3, libspreadsheet-writeexcel-perl
# and libole-storage-lite-perl (all Debian packages).
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

# --- samples for the later routines -----------------------------------------------------------
# A baseline JPEG of random pixels at quality 100 with restart markers: its end-of-image marker
# lies past the search window that its dimensions give. A progressive one with restart markers.
im -size 160x160 -seed 8 xc: +noise Random "${strip[@]}" ppm:noise.ppm
cjpeg -quality 100 -sample 1x1 -restart 1 -outfile jpeg_dense.jpg noise.ppm
im -size 160x120 -seed 9 plasma:fractal "${strip[@]}" ppm:plasma.ppm
cjpeg -progressive -quality 85 -restart 2 -outfile jpeg_progressive_rst.jpg plasma.ppm
im -size 48x32 -seed 10 plasma:fractal "${strip[@]}" -define webp:lossless=false -quality 60 webp_lossy.webp
im -size 32x24 -seed 11 plasma:fractal "${strip[@]}" -define webp:lossless=true webp_lossless.webp
im -size 64x48 -seed 12 plasma:fractal "${strip[@]}" png24:heif_src.png
heif-enc -q 40 heif_src.png -o iso_heic.heic >/dev/null
qpdf --static-id --force-version=2.0 hand.pdf pdf_v2.pdf

ffmpeg -v error -y "${vid[@]}" "${bx[@]}" -c:v mpeg4 -q:v 12 -c:a mp2 -b:a 64k riff_avi.avi
# An MPEG-1 system stream: packs of 4,096 and 2,048 bytes, no program end code.
ffmpeg -v error -y -f lavfi -i "testsrc=size=64x48:rate=25:duration=1" -f lavfi -i "sine=frequency=500:duration=1" \
  "${bx[@]}" -c:v mpeg1video -q:v 12 -c:a mp2 -b:a 64k -f mpeg mpeg1_system.mpg
ffmpeg -v error -y "${vid[@]}" "${bx[@]}" -c:v mpeg4 -q:v 12 -c:a mp2 -b:a 64k matroska.mkv
ffmpeg -v error -y "${vid[@]}" "${bx[@]}" -c:v libvpx -b:v 50k -c:a libvorbis -q:a 0 matroska_webm.webm
ffmpeg -v error -y "${vid[@]}" "${bx[@]}" -c:v h263 -s 128x96 -c:a aac -b:a 24k -ar 16000 -ac 1 iso_3gp.3gp
ffmpeg -v error -y -f lavfi -i "sine=frequency=500:duration=1" "${bx[@]}" -c:a aac -b:a 24k iso_m4a.m4a
flac --silent --no-seektable -f -o flac.flac tone.wav
oggenc -Q --serial=1 -q 0 -o ogg_vorbis.ogg tone.wav
sqlite3 sqlite.db "PRAGMA page_size=1024; CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);
  WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c WHERE x<200)
  INSERT INTO t SELECT x, printf('row %d of the carving sample', x) FROM c;"
printf 'carving sample\n%.0s' $(seq 1 100) >note.txt
touch -d '2026-01-01 00:00:00' note.txt
7z a -bso0 -bsp0 -mtm=off -mtc=off -mta=off seven_zip.7z note.txt

# ZIP-based documents and packages (python's zipfile writes the OOXML, OpenDocument, EPUB, jar and
# apk layouts), a RAR 5 archive and TIFF-based camera raw files. No free tool writes RAR 5 or a
# camera's raw files, so these are built by hand after the published RAR 5 archive format and the
# TIFF, TIFF/EP and DNG layouts (checked with 7z t and exiftool).
python3 - <<'PYEOF'
# Zip-based documents (python's zipfile), a RAR 5 archive and TIFF-based camera raw files built by hand.
import io, random, struct, zipfile, zlib

rnd = random.Random(20261207)
T = (2026, 1, 1, 0, 0, 0)

def zwrite(path, entries, comment=b"", stream=False):
    class Pipe(io.RawIOBase):  # a stream without seek: zipfile writes data descriptors
        def __init__(self): self.buf = bytearray()
        def writable(self): return True
        def write(self, b): self.buf += b; return len(b)
    out = Pipe() if stream else io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name, data, how in entries:
            info = zipfile.ZipInfo(name, date_time=T)
            info.compress_type = how
            info.external_attr = 0o644 << 16
            z.writestr(info, data)
        z.comment = comment
    open(path, "wb").write(bytes(out.buf) if stream else out.getvalue())

D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED
def ooxml(path, main, part, body):
    ct = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
          '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
          '<Default Extension="xml" ContentType="application/xml"/>'
          f'<Override PartName="/{part}" ContentType="application/vnd.openxmlformats-officedocument.{main}+xml"/></Types>')
    rels = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            f'<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="{part}"/></Relationships>')
    zwrite(path, [("[Content_Types].xml", ct, D), ("_rels/.rels", rels, D), (part, body, D)])

ooxml("ooxml_docx.docx", "wordprocessingml.document.main", "word/document.xml",
      '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body><w:p><w:r><w:t>Carving sample</w:t></w:r></w:p></w:body></w:document>')
ooxml("ooxml_xlsx.xlsx", "spreadsheetml.sheet.main", "xl/workbook.xml",
      '<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheets><sheet name="Sheet1" sheetId="1"/></sheets></workbook>')
ooxml("ooxml_pptx.pptx", "presentationml.presentation.main", "ppt/presentation.xml",
      '<p:presentation xmlns:p="http://schemas.openxmlformats.org/presentationml/2006/main"/>')

def odf(path, mime, body):
    manifest = ('<?xml version="1.0" encoding="UTF-8"?>\n<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0">'
                f'<manifest:file-entry manifest:full-path="/" manifest:media-type="{mime}"/>'
                '<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/></manifest:manifest>')
    zwrite(path, [("mimetype", mime, S), ("content.xml", body, D), ("META-INF/manifest.xml", manifest, D)])

odf("odf_odt.odt", "application/vnd.oasis.opendocument.text",
    '<office:document-content xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"><office:body><office:text>Carving sample</office:text></office:body></office:document-content>')
zwrite("epub.epub", [("mimetype", "application/epub+zip", S),
                     ("META-INF/container.xml", '<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:names:tc:opendocument:xmlns:container"><rootfiles><rootfile full-path="book.opf" media-type="application/oebps-package+xml"/></rootfiles></container>', D),
                     ("book.opf", '<package xmlns="http://www.idpf.org/2007/opf" version="3.0"/>', D)])
zwrite("jar.jar", [("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nCreated-By: carving sample\r\n\r\n", D),
                   ("sample/Main.class", bytes(rnd.getrandbits(8) for _ in range(300)), D)])
zwrite("apk.apk", [("AndroidManifest.xml", bytes(rnd.getrandbits(8) for _ in range(200)), D),
                   ("classes.dex", b"dex\n035\0" + bytes(rnd.getrandbits(8) for _ in range(300)), D),
                   ("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\n\r\n", D)])
# Written as a stream (sizes in data descriptors after each entry) with an archive comment.
zwrite("zip_stream_comment.zip", [("note.txt", "carving sample\n" * 60, D), ("noise.bin", bytes(rnd.getrandbits(8) for _ in range(700)), S)],
       comment=b"written as a stream, with a comment", stream=True)

# --- RAR 5: signature, main archive header, one stored file, end of archive -----------------
def vint(n):
    out = bytearray()
    while True:
        b = n & 0x7F; n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n: return bytes(out)
def block(fields, data=b""):
    size = vint(len(fields))
    return struct.pack("<I", zlib.crc32(size + fields)) + size + fields + data
payload = ("carving sample in a RAR 5 archive\n" * 30).encode()
name = b"note.txt"
main = vint(1) + vint(0) + vint(0)                                  # type 1, no flags, archive flags 0
fileh = (vint(2) + vint(0x02) + vint(len(payload))                  # type 2, data area present
         + vint(0x04) + vint(len(payload)) + vint(0x20)             # file flags: CRC32 present; size; attributes
         + struct.pack("<I", zlib.crc32(payload))
         + vint(0) + vint(0) + vint(len(name)) + name)              # stored, version 0; host Windows
end = vint(5) + vint(0) + vint(0)
open("rar5.rar", "wb").write(b"Rar!\x1a\x07\x01\x00" + block(main) + block(fileh, payload) + block(end))

# --- TIFF-based camera raw files ------------------------------------------------------------
class Tiff:
    """Builds a TIFF: blobs are placed where asked, IFDs are written with their out-of-line values."""
    def __init__(self, be):
        self.e = ">" if be else "<"; self.buf = bytearray(); self.fix = []
    def at(self): return len(self.buf)
    def put(self, data, align=2):
        while len(self.buf) % align: self.buf.append(0)
        off = len(self.buf); self.buf += data; return off
    def ifd(self, entries, nxt=0):
        # entries: (tag, type, values) with values a list of ints or bytes
        size = {1: 1, 2: 1, 3: 2, 4: 4, 7: 1, 13: 4}
        while len(self.buf) % 2: self.buf.append(0)
        start = len(self.buf); n = len(entries)
        self.buf += bytes(2 + 12 * n + 4)
        struct.pack_into(self.e + "H", self.buf, start, n)
        for i, (tag, typ, vals) in enumerate(sorted(entries)):
            raw = vals if isinstance(vals, bytes) else b"".join(
                struct.pack(self.e + {1: "B", 3: "H", 4: "I", 13: "I"}[typ], v) for v in vals)
            count = len(vals) if not isinstance(vals, bytes) else len(vals) // size[typ]
            at = start + 2 + 12 * i
            struct.pack_into(self.e + "HHI", self.buf, at, tag, typ, count)
            if len(raw) <= 4: self.buf[at + 8:at + 8 + len(raw)] = raw
            else: struct.pack_into(self.e + "I", self.buf, at + 8, self.put(raw))
        struct.pack_into(self.e + "I", self.buf, start + 2 + 12 * n, nxt)
        return start
    def link(self, ifd, nxt):
        n = struct.unpack_from(self.e + "H", self.buf, ifd)[0]
        struct.pack_into(self.e + "I", self.buf, ifd + 2 + 12 * n, nxt)

def noise(n): return bytes(rnd.getrandbits(8) for _ in range(n))
def jpegish(n): return b"\xff\xd8\xff\xdb" + noise(n - 6) + b"\xff\xd9"
def asc(s): return s.encode() + b"\0"

# Canon CR2: IFD0 at 16, "CR", version 2 at 8 and the raw IFD's offset at 12; IFD0 (preview)
# -> IFD1 (thumbnail) -> IFD2 (small RGB strip) -> IFD3 (the raw strip, at the file's end).
def entry(t, ifd, tag):
    n = struct.unpack_from(t.e + "H", t.buf, ifd)[0]
    for i in range(n):
        at = ifd + 2 + 12 * i
        if struct.unpack_from(t.e + "H", t.buf, at)[0] == tag: return at
def setv(t, ifd, tag, v): struct.pack_into(t.e + "I", t.buf, entry(t, ifd, tag) + 8, v)

t = Tiff(False)
t.buf += b"II*\0" + struct.pack("<I", 16) + b"CR\x02\x00" + bytes(4)
ifd0 = t.ifd([(271, 2, asc("Canon")), (272, 2, asc("Canon EOS Sample")), (273, 4, [0]), (279, 4, [900]),
              (34665, 4, [0])])
ifd1 = t.ifd([(513, 4, [0]), (514, 4, [300])])
ifd2 = t.ifd([(256, 3, [16]), (257, 3, [10]), (273, 4, [0]), (279, 4, [480])])
ifd3 = t.ifd([(259, 3, [6]), (273, 4, [0]), (279, 4, [1600]), (0xC640, 3, [1, 800, 800])])
exif = t.ifd([(0x927C, 7, noise(40))])
t.link(ifd0, ifd1); t.link(ifd1, ifd2); t.link(ifd2, ifd3)
setv(t, ifd0, 273, t.put(jpegish(900))); setv(t, ifd0, 34665, exif)
setv(t, ifd1, 513, t.put(jpegish(300))); setv(t, ifd2, 273, t.put(noise(480)))
setv(t, ifd3, 273, t.put(noise(1600)))
struct.pack_into("<I", t.buf, 12, ifd3)
assert ifd0 == 16
open("raw_cr2.cr2", "wb").write(t.buf)

# Nikon NEF (big-endian): IFD0 at 8 with two SubIFDs: the raw data in three strips, and a preview
# that lies after the raw data.
t = Tiff(True)
t.buf += b"MM\0*" + struct.pack(">I", 8)
ifd0 = t.ifd([(271, 2, asc("NIKON CORPORATION")), (272, 2, asc("NIKON SAMPLE")), (330, 4, [0, 0]),
              (254, 4, [1]), (273, 4, [0]), (279, 4, [0])])
strips = [t.put(noise(700)) for _ in range(3)]
rawifd = t.ifd([(254, 4, [0]), (273, 4, strips), (279, 4, [700, 700, 700]), (278, 3, [4])])
prev = t.put(jpegish(1100))
previfd = t.ifd([(254, 4, [1]), (513, 4, [prev]), (514, 4, [1100])])
thumbdata = t.put(noise(96))
# patch IFD0's SubIFDs (out of line, two values) and its own strip
def entry(ifd, tag, e):
    n = struct.unpack_from(e + "H", t.buf, ifd)[0]
    for i in range(n):
        at = ifd + 2 + 12 * i
        if struct.unpack_from(e + "H", t.buf, at)[0] == tag: return at
sub = entry(ifd0, 330, ">"); subs_at = struct.unpack_from(">I", t.buf, sub + 8)[0]
struct.pack_into(">II", t.buf, subs_at, rawifd, previfd)
struct.pack_into(">I", t.buf, entry(ifd0, 273, ">") + 8, thumbdata)
struct.pack_into(">I", t.buf, entry(ifd0, 279, ">") + 8, 96)
open("raw_nef.nef", "wb").write(t.buf)

# Sony ARW: IFD0 at 8 (a JPEG preview strip) with one SubIFD holding the raw strip.
t = Tiff(False)
t.buf += b"II*\0" + struct.pack("<I", 8)
ifd0 = t.ifd([(271, 2, asc("SONY")), (272, 2, asc("ILCE-SAMPLE")), (330, 4, [0]), (273, 4, [0]), (279, 4, [800])])
prev = t.put(jpegish(800)); rawdata = t.put(noise(2000))
rawifd = t.ifd([(254, 4, [0]), (259, 3, [32767]), (273, 4, [rawdata]), (279, 4, [2000])])
struct.pack_into("<I", t.buf, entry(ifd0, 330, "<") + 8, rawifd)
struct.pack_into("<I", t.buf, entry(ifd0, 273, "<") + 8, prev)
open("raw_arw.arw", "wb").write(t.buf)

# DNG: DNGVersion in IFD0 (a thumbnail strip), one SubIFD with the raw image in four tiles, stored
# out of order so that the last tile listed is not the one that ends the file.
t = Tiff(False)
t.buf += b"II*\0" + struct.pack("<I", 8)
ifd0 = t.ifd([(50706, 1, [1, 4, 0, 0]), (271, 2, asc("Ovelin")), (272, 2, asc("Sample")), (330, 4, [0]),
              (254, 4, [1]), (273, 4, [0]), (279, 4, [192])])
thumbdata = t.put(noise(192))
tiles = [t.put(noise(512)) for _ in range(4)]
order = [tiles[3], tiles[0], tiles[1], tiles[2]]
rawifd = t.ifd([(254, 4, [0]), (256, 3, [32]), (257, 3, [32]), (322, 3, [16]), (323, 3, [16]),
                (324, 4, order), (325, 4, [512] * 4)])
struct.pack_into("<I", t.buf, entry(ifd0, 330, "<") + 8, rawifd)
struct.pack_into("<I", t.buf, entry(ifd0, 273, "<") + 8, thumbdata)
open("raw_dng.dng", "wb").write(t.buf)
PYEOF

# --- manifest -------------------------------------------------------------------------------
files=(jpeg_exif_thumb.jpg jpeg_progressive.jpg png.png gif_tiny.gif gif_blocks.gif bmp.bmp tiff_le.tif
       tiff_be.tif mrw.mrw pdf_plain.pdf pdf_linearized.pdf ole2_xls.xls ole2_doc.doc mp3_plain.mp3
       mp3_id3v2.mp3 mp3_id3v1v2.mp3 wave_pcm.wav wave_mp3.wav midi.mid quicktime_mp4.mp4
       quicktime_mov.mov mpeg_ps_vob.mpg length_field.bin
       jpeg_dense.jpg jpeg_progressive_rst.jpg pdf_v2.pdf riff_avi.avi mpeg1_system.mpg webp_lossy.webp
       webp_lossless.webp ooxml_docx.docx ooxml_xlsx.xlsx ooxml_pptx.pptx odf_odt.odt epub.epub jar.jar apk.apk
       zip_stream_comment.zip iso_heic.heic iso_3gp.3gp iso_m4a.m4a matroska.mkv matroska_webm.webm flac.flac
       ogg_vorbis.ogg sqlite.db seven_zip.7z rar5.rar raw_cr2.cr2 raw_nef.nef raw_arw.arw raw_dng.dng)
cp "${files[@]}" "$here/"
cd "$here"
python3 - "${files[@]}" <<'EOF'
import hashlib, json, os, sys
# handler: the routine's code; expected: what the routine gives for the file on a disk of its own
# ("end found": the file's exact size; "rejected"; "max size": accepted without a size); jump:
# whether the scan may jump over the file; a fifth field: the extension the routine gives.
samples = {
    "jpeg_exif_thumb.jpg": ("jpeg", 167, "end found", True),
    "jpeg_progressive.jpg": ("jpeg-scans", 238, "end found", True),
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
    "mpeg_ps_vob.mpg": ("mpeg-ps", 18, "end found", True),
    "length_field.bin": ("length field", 4, "end found", False),
    "jpeg_dense.jpg": ("jpeg", 167, "end found", True),
    "jpeg_progressive_rst.jpg": ("jpeg-scans", 238, "end found", True),
    "pdf_v2.pdf": ("pdf", 110, "end found", False),
    "riff_avi.avi": ("riff", 236, "end found", True),
    "mpeg1_system.mpg": ("mpeg-ps", 18, "end found", True),
    "webp_lossy.webp": ("webp", 237, "end found", True),
    "webp_lossless.webp": ("webp", 237, "end found", True),
    "ooxml_docx.docx": ("zip", 239, "end found", True, "docx"),
    "ooxml_xlsx.xlsx": ("zip", 239, "end found", True, "xlsx"),
    "ooxml_pptx.pptx": ("zip", 239, "end found", True, "pptx"),
    "odf_odt.odt": ("zip", 239, "end found", True, "odt"),
    "epub.epub": ("zip", 239, "end found", True, "epub"),
    "jar.jar": ("zip", 239, "end found", True, "jar"),
    "apk.apk": ("zip", 239, "end found", True, "apk"),
    "zip_stream_comment.zip": ("zip", 239, "end found", True, "zip"),
    "iso_heic.heic": ("iso-media", 240, "end found", True),
    "iso_3gp.3gp": ("iso-media", 240, "end found", True),
    "iso_m4a.m4a": ("iso-media", 240, "end found", True),
    "matroska.mkv": ("matroska", 241, "end found", True, "mkv"),
    "matroska_webm.webm": ("matroska", 241, "end found", True, "webm"),
    "flac.flac": ("flac", 242, "end found", True),
    "ogg_vorbis.ogg": ("ogg", 243, "end found", True),
    "sqlite.db": ("sqlite", 244, "end found", True),
    "seven_zip.7z": ("7z", 245, "end found", True),
    "rar5.rar": ("rar", 246, "end found", True),
    "raw_cr2.cr2": ("tiff-raw", 247, "end found", True, "cr2"),
    "raw_nef.nef": ("tiff-raw", 247, "end found", True, "nef"),
    "raw_arw.arw": ("tiff-raw", 247, "end found", True, "arw"),
    "raw_dng.dng": ("tiff-raw", 247, "end found", True, "dng"),
}
# Perl's OLE::Storage_Lite writes one more sector after its allocation table that nothing in the
# file refers to; the routine ends the file at its last used sector.
carved = {"ole2_doc.doc": 13312}
out = []
for name in sys.argv[1:]:
    data = open(name, "rb").read()
    fmt, code, expected, jump, *named = samples[name]
    out.append({"file": name, "format": fmt, "handler": code, "size": len(data),
                "sha256": hashlib.sha256(data).hexdigest(), "expected": expected, "jump": jump})
    if named:
        out[-1]["extension"] = named[0]  # the routine names the file
    if name in carved:
        out[-1]["carved_size"] = carved[name]
json.dump({"samples": out}, open("samples.json", "w"), indent=2)
open("samples.json", "a").write("\n")
EOF
echo "wrote ${#files[@]} samples to $here"
