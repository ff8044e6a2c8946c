// Times, saved files' times, the recovery report and the recoverability verdict on the committed
// images: The Sleuth Kit (fls -m, in UTC) is the oracle for times, the manifests for contents.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/e2e/cli_run.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ov::test::hasFlag;
using ov::test::shell;
using ov::test::shq;

struct BodyLine {
  long long atime = 0, mtime = 0, ctime = 0, crtime = 0;
  int count = 0;
};

// Body-format lines by name (MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime).
std::map<std::string, BodyLine> parseBody(const std::string& text) {
  std::map<std::string, BodyLine> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string x; std::getline(fields, x, '|');) f.push_back(x);
    if (f.size() != 11) continue;
    BodyLine& b = out[f[1]];
    b.atime = std::stoll(f[7]);
    b.mtime = std::stoll(f[8]);
    b.ctime = std::stoll(f[9]);
    b.crtime = std::stoll(f[10]);
    ++b.count;
  }
  return out;
}

std::vector<json> jsonLines(const fs::path& file) {
  std::vector<json> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) out.push_back(json::parse(line));
  return out;
}

// Whether a reported path names a manifest file. A deleted FAT short name has lost its first letter.
bool names(const std::string& reported, const std::string& path, bool deleted) {
  if (!deleted || reported.size() != path.size()) return reported == path;
  const std::size_t first = path.rfind('/') + 1;
  return reported.compare(0, first, path, 0, first) == 0 &&
         reported.compare(first + 1, std::string::npos, path, first + 1, std::string::npos) == 0;
}

// The bytes of the image that the report's runs name, holes as zeros.
std::vector<std::uint8_t> readRuns(const fs::path& image, const json& runs) {
  std::vector<std::uint8_t> out;
  std::ifstream in(image, std::ios::binary);
  for (const auto& r : runs) {
    std::vector<std::uint8_t> piece(r["length"].get<std::size_t>(), 0);
    if (!r.contains("sparse")) {
      in.seekg(r["disk_offset"].get<std::streamoff>());
      in.read(reinterpret_cast<char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
    }
    out.insert(out.end(), piece.begin(), piece.end());
  }
  return out;
}

// The first partition of each image's manifest.
struct Volume {
  std::string image;
  std::string select;  // ovrecover's options naming the volume
  bool ntfs;
  // fls leaves out exFAT's 10 ms field (up to 1.99 s past the 2-second time): ours may be 1 s later.
  long long tskSlack;
};

const std::vector<Volume> kVolumes = {
    {"sample", "", true, 0},
    {"fat_mbr", "--fs fat --volume 1", false, 0},
    {"exfat_card", "--fs fat", false, 1},
};

// The times of every live file and folder match The Sleuth Kit's; the bodyfile, in the layout of
// fls -m, names each entry once; saved files keep their modification times; the report's
// hashes are those of the manifest and of the saved files, and its extents hold those bytes;
// the DFXML report says the same as the JSON lines; the verdicts follow the manifest.
TEST(TimestampsAndReport, MatchTheSleuthKitAndTheManifests) {
  if (shell("command -v fls >/dev/null").status != 0) GTEST_SKIP() << "The Sleuth Kit's fls is not installed";
  for (const Volume& v : kVolumes) {
    SCOPED_TRACE(v.image);
    const fs::path image = ov::test::image(v.image);
    const json m = ov::test::manifest(v.image);
    const std::uint64_t start = m["partitions"][0]["start"];
    const std::string args = v.select + " " + shq(image);

    auto ours = shell("TZ=UTC OVRECOVER ls -r --bodyfile " + args);
    ASSERT_EQ(ours.status, 0) << ours.err;
    auto tsk = shell("TZ=UTC fls -z UTC -m / -r -o " + std::to_string(start) + " " + shq(image));
    ASSERT_EQ(tsk.status, 0) << tsk.err;
    const auto body = parseBody(ours.out), oracle = parseBody(tsk.out);

    // Every live file and folder of the manifest, once, with The Sleuth Kit's four times.
    std::map<std::string, long long> mtimeOf;
    int compared = 0;
    for (const auto& f : m["files"]) {
      if (f["partition"] != 1 || f["state"] != "live") continue;
      const std::string path = f["path"];
      auto expected = oracle.find(path);
      if (expected == oracle.end()) continue;  // fls lists it otherwise (a stream, a short name)
      const auto line = body.find(v.ntfs ? "/ Root" + path : path);
      ASSERT_NE(line, body.end()) << path;
      const BodyLine* found = &line->second;
      EXPECT_EQ(found->count, 1) << path;
      auto near = [&v](long long mine, long long theirs) { return mine >= theirs && mine <= theirs + v.tskSlack; };
      EXPECT_PRED2(near, found->mtime, expected->second.mtime) << path;
      EXPECT_EQ(found->atime, expected->second.atime) << path;
      EXPECT_PRED2(near, found->crtime, expected->second.crtime) << path;
      if (v.ntfs) {
        EXPECT_EQ(found->ctime, expected->second.ctime) << path;
      }
      EXPECT_NE(found->mtime, 0) << path;
      mtimeOf[path] = found->mtime;
      ++compared;
    }
    EXPECT_GT(compared, 3);

    // ls --json: the full times beside the dates, with a zone for NTFS only.
    auto listed = shell("OVRECOVER ls -r --json " + args);
    ASSERT_EQ(listed.status, 0) << listed.err;
    int timed = 0;
    for (const auto& e : json::parse(listed.out)) {
      if (!e["modified_time"].is_string()) continue;
      const std::string t = e["modified_time"];
      EXPECT_EQ(t.ends_with("Z"), v.ntfs) << t;
      EXPECT_EQ(t.substr(0, 10), e["modified"].get<std::string>());
      ++timed;
    }
    EXPECT_GT(timed, 3);

    // The save with its report, as JSON lines and as DFXML.
    const fs::path out = ov::test::freshDir(v.image + "-saved"), outXml = ov::test::freshDir(v.image + "-saved-xml");
    const fs::path lines = ov::test::scratchDir() / (v.image + "-report.jsonl");
    const fs::path xml = ov::test::scratchDir() / (v.image + "-report.xml");
    auto saved = shell("TZ=UTC OVRECOVER recover " + args + " --out " + shq(out) + " --report " + shq(lines) +
                       " --hash-source");
    EXPECT_NE(saved.status, 2) << saved.err;
    auto savedXml = shell("TZ=UTC OVRECOVER recover " + args + " --out " + shq(outXml) + " --report " +
                          shq(xml));
    EXPECT_NE(savedXml.status, 2) << savedXml.err;

    const auto report = jsonLines(lines);
    ASSERT_GE(report.size(), 2u);
    EXPECT_EQ(report.front()["source"]["sha256"], ov::test::sha256Hex(ov::test::readFile(image)));
    const auto files = ov::test::manifestFiles(v.image);
    std::map<std::string, std::string> hashOf;  // by original path, for the DFXML
    int checked = 0, verdicts = 0;
    for (const auto& r : report) {
      if (r["type"] != "file" || !r["sha256"].is_string()) continue;
      const std::string original = r["original_path"];
      hashOf[original] = r["sha256"];
      // The hash is the saved file's.
      const fs::path copy = out / r["saved_path"].get<std::string>();
      EXPECT_EQ(r["sha256"], ov::test::sha256Hex(ov::test::readFile(copy))) << original;
      for (const auto& [path, f] : files) {
        if (!names(original, v.ntfs ? "/Root" + path : path, f["state"] == "deleted")) continue;
        if (f["state"] == "live") {
          EXPECT_EQ(r["sha256"], f["sha256"]) << path;
          EXPECT_EQ(r["state"], "whole") << path;
          // Extents: the bytes they name are the file (compressed data is not the file's bytes).
          if (!hasFlag(f, "compressed") && !r.contains("resident")) {
            EXPECT_EQ(ov::test::sha256Hex(readRuns(image, r["byte_runs"])), f["sha256"]) << path;
          }
          struct stat st {};
          ASSERT_EQ(::stat(copy.c_str(), &st), 0);
          if (mtimeOf.count(path)) {
            EXPECT_EQ(st.st_mtim.tv_sec, mtimeOf[path]) << path;
          }
          ++checked;
        } else {
          EXPECT_EQ(r["recoverable"], hasFlag(f, "overwritten") ? "overwritten" : "good") << path;
          ++verdicts;
        }
      }
    }
    EXPECT_GT(checked, 3);
    EXPECT_GT(verdicts, 0);

    // The DFXML parsed back by an XML parser: its file objects name the same files and hashes.
    if (shell("command -v python3 >/dev/null").status != 0) {
      std::printf("python3 is not installed: the DFXML report is not parsed back\n");
      continue;
    }
    auto parsed = shell(
        "python3 -c \"import sys, xml.etree.ElementTree as E; n='{http://www.forensicswiki.org/wiki/"
        "Category:Digital_Forensics_XML}'; [print(o.find(n+'filename').text + '|' + o.find(n+'hashdigest').text) "
        "for o in E.parse(sys.argv[1]).getroot().iter(n+'fileobject') if o.find(n+'hashdigest') is not None]\" " +
        shq(xml));
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    std::map<std::string, std::string> xmlHashOf;
    std::istringstream in(parsed.out);
    for (std::string line; std::getline(in, line);)
      xmlHashOf[line.substr(0, line.rfind('|'))] = line.substr(line.rfind('|') + 1);
    EXPECT_EQ(xmlHashOf, hashOf);
  }
}

// --intact-only keeps the deleted files that no live file overwrote, and only those.
TEST(TimestampsAndReport, IntactOnlyLeavesOverwrittenFilesOut) {
  const fs::path out = ov::test::freshDir("intact-only");
  const fs::path lines = ov::test::scratchDir() / "intact-only.jsonl";
  auto r = ov::test::ovrecover("recover --fs fat --volume 1 --deleted --intact-only " + shq(ov::test::image("fat_mbr")) +
                               " --out " + shq(out) + " --report " + shq(lines));
  EXPECT_NE(r.status, 2) << r.err;
  std::vector<std::string> kept;
  for (const auto& line : jsonLines(lines)) {
    if (line["type"] != "file") continue;
    EXPECT_EQ(line["recoverable"], "good");
    kept.push_back(line["original_path"].get<std::string>());
  }
  for (const auto& [path, f] : ov::test::manifestFiles("fat_mbr", 1)) {
    if (f["state"] != "deleted") continue;
    const bool isKept = std::any_of(kept.begin(), kept.end(), [&](const std::string& k) { return names(k, path, true); });
    EXPECT_EQ(isKept, !hasFlag(f, "overwritten")) << path;
  }
}

// carve --report: every file saved is reported once with the hash of the saved copy and the
// extent of the disk it was carved from, which the manifest places.
TEST(TimestampsAndReport, CarveReportNamesEachSavedFileAndItsExtent) {
  const fs::path image = ov::test::carvingImage();
  const fs::path out = ov::test::freshDir("carved-report");
  const fs::path lines = ov::test::scratchDir() / "carved-report.jsonl";
  auto r = ov::test::ovrecover("carve " + shq(image) + " --out " + shq(out) + " --report " + shq(lines));
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::uint64_t, std::uint64_t> endFound;  // start byte -> size, for the files whose end is found
  const json m = ov::test::manifest("carving/carving");
  for (const auto& f : m["files"])
    if (f["expected"] == "end found") endFound[f["start_sector"].get<std::uint64_t>() * 512] = f["carved_size"];
  std::size_t files = 0, placed = 0;
  for (const auto& line : jsonLines(lines)) {
    if (line["type"] != "file") continue;
    ++files;
    const fs::path copy = out / line["saved_path"].get<std::string>();
    const std::string hash = ov::test::sha256Hex(ov::test::readFile(copy));
    EXPECT_EQ(line["sha256"], hash) << copy;
    EXPECT_EQ(ov::test::sha256Hex(readRuns(image, line["byte_runs"])), hash) << copy;
    auto known = endFound.find(line["byte_runs"][0]["disk_offset"]);
    if (known != endFound.end()) {
      EXPECT_EQ(known->second, line["size"]) << copy;
      ++placed;
    }
  }
  EXPECT_EQ(files, ov::test::filesUnder(out).size());
  // The shipped catalogue finds all but the test-only types.
  EXPECT_GT(placed, endFound.size() / 2);
}

// An APP1 Exif segment: a little-endian TIFF whose Exif IFD holds DateTimeOriginal, or a
// big-endian one whose IFD0 holds DateTime only.
std::vector<std::uint8_t> exifSegment(const std::string& date, bool bigEndian) {
  std::vector<std::uint8_t> segment = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) segment.push_back(std::uint8_t(value >> 8 * (bigEndian ? bytes - 1 - i : i)));
  };
  // An IFD of one entry (tag, type, count, value or offset from the TIFF header), no next IFD.
  auto ifd = [&](unsigned tag, unsigned type, std::uint32_t count, std::uint32_t value) {
    put(1, 2);
    put(tag, 2);
    put(type, 2);
    put(count, 4);
    put(value, 4);
    put(0, 4);
  };
  segment.insert(segment.end(), 2, std::uint8_t(bigEndian ? 'M' : 'I'));
  put(42, 2);
  put(8, 4);  // IFD0
  if (bigEndian) {
    ifd(0x0132, 2, 20, 26);  // DateTime, ASCII, 20 bytes at 26
  } else {
    ifd(0x8769, 4, 1, 26);   // the Exif IFD at 26
    ifd(0x9003, 2, 20, 44);  // DateTimeOriginal at 44
  }
  segment.insert(segment.end(), date.begin(), date.end());
  segment.push_back(0);
  segment[2] = std::uint8_t((segment.size() - 2) >> 8);
  segment[3] = std::uint8_t(segment.size() - 2);
  return segment;
}

// A carved picture's copy takes the date its Exif block records (a local time, read in TZ).
TEST(TimestampsAndReport, CarvedPicturesGetTheirExifDate) {
  const auto jpeg = ov::test::readFile(ov::test::dataDir() / "carving" / "jpeg_dense.jpg");
  struct Row {
    std::uint64_t sector;
    const char* date;
    bool bigEndian;
    long long expected;  // seconds since 1970, read in UTC
  };
  const std::vector<Row> rows = {{16, "2019:07:14 09:30:05", false, 1563096605},
                                 {512, "2001:02:03 04:05:06", true, 981173106}};
  std::vector<std::uint8_t> disk(1 << 20, 0);
  for (const Row& row : rows) {
    auto picture = exifSegment(row.date, row.bigEndian);
    picture.insert(picture.begin(), jpeg.begin(), jpeg.begin() + 2);     // SOI
    picture.insert(picture.end(), jpeg.begin() + 2, jpeg.end());         // the rest of the picture
    std::copy(picture.begin(), picture.end(), disk.begin() + static_cast<std::ptrdiff_t>(row.sector * 512));
  }
  const fs::path raw = ov::test::scratchDir() / "exif.img";
  ov::test::writeFile(raw, disk);
  const fs::path out = ov::test::freshDir("exif-carved");
  auto r = shell("TZ=UTC OVRECOVER carve " + shq(raw) + " --types jpg --out " + shq(out));
  ASSERT_EQ(r.status, 0) << r.err;
  int seen = 0;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    if (!e.is_regular_file()) continue;
    for (const Row& row : rows)
      if (e.path().stem() == std::to_string(row.sector)) {
        struct stat st {};
        ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, row.expected) << e.path();
        ++seen;
      }
  }
  EXPECT_EQ(seen, 2);
}

}  // namespace
