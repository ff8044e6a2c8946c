// Copies of the committed images patched with damaged metadata (sizes past the volume, parent loops,
// names of metadata files, ".", "/" against "_", a control character): every file of the manifest
// still comes out whole, and nothing larger than the volume is written.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "disk/byte_io.h"
#include "tests/e2e/cli_run.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ov::test::shq;
using ov::test::Outcome;

using Bytes = std::vector<std::uint8_t>;

Bytes utf16(const std::u16string& text) {
  Bytes out;
  for (char16_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

Bytes le(std::uint64_t value, std::size_t bytes) {
  Bytes out;
  for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return out;
}

// Writes `with` at `offset` from every place that holds `needle`; how many there were.
std::size_t patchNear(Bytes& bytes, const Bytes& needle, std::ptrdiff_t offset, const Bytes& with) {
  std::size_t n = 0;
  for (auto it = bytes.begin(); (it = std::search(it, bytes.end(), needle.begin(), needle.end())) != bytes.end();
       ++it, ++n)
    std::copy(with.begin(), with.end(), it + offset);
  return n;
}

// Writes into an NTFS image where the update-sequence fixups leave it alone: never the last two
// bytes of a sector, which the fixups replace.
void patch(Bytes& image, std::size_t at, const Bytes& with) {
  for (std::size_t i = 0; i < with.size(); ++i) {
    ASSERT_LT((at + i) % 512, 510u) << "a patch would touch a sector's fixup bytes; choose another entry";
    image[at + i] = with[i];
  }
}

// The NTFS file-name values (in MFT records and in index entries alike) that hold `name`: the
// offsets of the values, whose name length is at 0x40, namespace at 0x41 and name at 0x42.
std::vector<std::size_t> fileNameValues(const Bytes& image, const std::u16string& name) {
  std::vector<std::size_t> out;
  const Bytes needle = utf16(name);
  for (auto it = image.begin(); (it = std::search(it, image.end(), needle.begin(), needle.end())) != image.end(); ++it) {
    const auto at = static_cast<std::size_t>(it - image.begin());
    if (at >= 0x42 && image[at - 2] == name.size() && image[at - 1] != 2) out.push_back(at - 0x42);
  }
  return out;
}

void rename(Bytes& image, const std::u16string& from, const std::u16string& to) {
  auto values = fileNameValues(image, from);
  ASSERT_FALSE(values.empty());
  ASSERT_LE(to.size(), from.size());
  for (std::size_t v : values) {
    patch(image, v + 0x40, {static_cast<std::uint8_t>(to.size())});
    patch(image, v + 0x42, utf16(to));
  }
}

void setParent(Bytes& image, const std::u16string& name, std::uint32_t parent) {
  auto values = fileNameValues(image, name);
  ASSERT_FALSE(values.empty());
  for (std::size_t v : values) patch(image, v, le(parent, 6));
}

// The real and initialized size of the unnamed data attribute in the MFT record named `name`.
void setDataSize(Bytes& image, const std::u16string& name, std::uint64_t size) {
  bool done = false;
  for (std::size_t v : fileNameValues(image, name)) {
    std::size_t record = v / 1024 * 1024;
    if (image[record] != 'F' || image[record + 1] != 'I' || image[record + 2] != 'L' || image[record + 3] != 'E') continue;
    for (std::size_t a = record + ov::le16(image, record + 0x14); a + 0x40 < record + 1024;) {
      std::uint32_t type = ov::le32(image, a), length = ov::le32(image, a + 4);
      if (type == 0xFFFFFFFF || length == 0) break;
      if (type == 0x80 && image[a + 8] == 1 && image[a + 9] == 0) {
        patch(image, a + 0x30, le(size, 8));
        patch(image, a + 0x38, le(size, 8));
        done = true;
      }
      a += length;
    }
  }
  ASSERT_TRUE(done);
}

struct ManifestFile {
  std::vector<std::string> path;  // below the root
  std::uint64_t size;
  std::string sha256;
};

std::vector<ManifestFile> manifestFiles(const std::string& image) {
  std::vector<ManifestFile> out;
  for (const auto& [path, f] : ov::test::manifestFiles(image)) {
    out.push_back({{}, f["size"], f["sha256"]});
    for (const auto& part : fs::path(path).relative_path()) out.back().path.push_back(part.string());
  }
  return out;
}

bool endsWith(const json& path, const std::vector<std::string>& tail) {
  if (path.size() < tail.size()) return false;
  return std::equal(tail.begin(), tail.end(), path.end() - static_cast<std::ptrdiff_t>(tail.size()),
                    [](const std::string& a, const json& b) { return a == b.get<std::string>(); });
}

// Saved files by name, with their paths below the destination.
std::multimap<std::string, fs::path> savedByName(const fs::path& out) {
  std::multimap<std::string, fs::path> found;
  for (const auto& e : fs::recursive_directory_iterator(out))
    if (e.is_regular_file()) found.emplace(e.path().filename().string(), e.path());
  return found;
}

// `ls -r --json` of `patched` (with `options`) lists every file of `files` at a path ending in its
// own, with its size (`listedAs` sees each such entry), and `recover` saves each whole under its name
// ("." as "_."). What was saved, by name.
std::multimap<std::string, fs::path> expectListedAndSaved(
    const fs::path& patched, const std::string& options, const std::vector<ManifestFile>& files,
    const std::function<void(const ManifestFile&, const json&)>& listedAs = {}) {
  Outcome ls = ov::test::ovrecover("ls -r --json " + options + shq(patched));
  EXPECT_EQ(ls.status, 0) << ls.err;
  const json listed = json::parse(ls.out);
  for (const ManifestFile& f : files) {
    bool seen = false;
    for (const auto& e : listed) {
      if (e["folder"] || !endsWith(e["path"], f.path) || e["size"] != f.size) continue;
      seen = true;
      if (listedAs) listedAs(f, e);
    }
    EXPECT_TRUE(seen) << f.path.back();
  }
  const fs::path out = ov::test::freshDir("patched-out");
  Outcome saved = ov::test::ovrecover("recover " + options + shq(patched) + " --out " + shq(out));
  EXPECT_EQ(saved.status, 0) << saved.err;
  auto byName = savedByName(out);
  for (const ManifestFile& f : files) {
    const std::string name = f.path.back() == "." ? "_." : f.path.back();
    auto [from, to] = byName.equal_range(name);
    EXPECT_TRUE(std::any_of(from, to, [&](const auto& s) { return ov::test::fileSha(s.second) == f.sha256; })) << name;
  }
  return byName;
}

TEST(DamagedMetadata, FoldersWhoseParentsGoRoundInALoopComeOutUnderANumberedFolder) {
  const fs::path original = ov::test::image("sample");
  std::map<std::string, std::uint32_t> records;
  for (const auto& e : json::parse(ov::test::ovrecover("ls -r --json " + shq(original)).out))
    records[e["name"]] = e["record"];
  Bytes image = ov::test::readFile(original);
  setParent(image, u"Documents", records["Documents"]);  // its own parent
  setParent(image, u"Photos", records["Trips"]);         // Photos and Trips: each other's parent
  const fs::path patched = ov::test::writeFile(ov::test::scratchDir() / "loops.img", image);
  for (const char* turbo : {"", "--turbo "}) {
    SCOPED_TRACE(*turbo ? "Turbo Scan" : "MFT walk");
    expectListedAndSaved(patched, turbo, manifestFiles("sample"), [](const ManifestFile& f, const json& e) {
      // Folders in a loop cannot reach the root: they hang under a numbered folder of "#".
      if (f.path[0] != "Compressed") {
        EXPECT_EQ(e["path"][0].get<std::string>()[0], '#') << e.dump();
      }
    });
  }
}

TEST(DamagedMetadata, NamesOfMetadataFilesDotAndSlashAreOrdinaryNamesThatNeverMerge) {
  const std::map<std::u16string, std::u16string> renames = {
      {u"Compressed", u"a/b"},   {u"Documents", u"a_b"},       {u"budget.csv", u"$MFT"},
      {u"letter.txt", u"$Boot"}, {u"readme.txt", u"$Secure"},  {u"report.pdf", u"$UpCase"},
      {u"draft.txt", u"$Bitmap"}, {u"old-report.pdf", u"$LogFile"}, {u"beach.jpg", u"."},
      {u"forest.jpg", u"fore\x1bt.jpg"}};
  Bytes image = ov::test::readFile(ov::test::image("sample"));
  for (const auto& [from, to] : renames) rename(image, from, to);
  const fs::path patched = ov::test::writeFile(ov::test::scratchDir() / "names.img", image);
  auto renamed = [&](std::string part) {
    for (const auto& [from, to] : renames)
      if (ov::utf16ToUtf8(from) == part) return ov::utf16ToUtf8(to);
    return part;
  };
  auto files = manifestFiles("sample");
  for (auto& f : files) {
    for (auto& part : f.path) part = renamed(part);
    f.path.insert(f.path.begin(), " Root");  // where each is listed: right below the root
  }
  const auto byName = expectListedAndSaved(patched, "", files);
  // The text listing shows the control character as an escape, never raw.
  Outcome text = ov::test::ovrecover("ls -r " + shq(patched));
  EXPECT_NE(text.out.find("fore\\x1Bt.jpg"), std::string::npos);
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
  // "a/b" and "a_b" are two folders, saved as two.
  ASSERT_EQ(byName.count("server.log"), 1u);
  ASSERT_EQ(byName.count("$MFT"), 1u);
  const fs::path logFolder = byName.find("server.log")->second.parent_path();
  const fs::path mftFolder = byName.find("$MFT")->second.parent_path();
  EXPECT_NE(logFolder, mftFolder);
  for (const fs::path& folder : {logFolder, mftFolder})
    EXPECT_TRUE(folder.filename() == "a_b" || folder.filename() == "#0a_b") << folder;
}

TEST(DamagedMetadata, SizesBeyondWhatTheVolumeHoldsAreCutAndFlagged) {
  struct Row {
    const char* what;
    std::string image;      // committed image
    std::string options;    // volume choice
    const char* manifest;   // of the committed image
    const char* path;       // of the damaged file, in the manifest
  };

  // FAT: the directory entry says 0xFFFFFFFF bytes.
  Bytes fatImage = ov::test::readFile(ov::test::image("fat_mbr"));
  const std::string shortName = "README  TXT";
  ASSERT_GE(patchNear(fatImage, Bytes(shortName.begin(), shortName.end()), 28, le(0xFFFFFFFF, 4)), 1u);
  const fs::path fatPatched = ov::test::writeFile(ov::test::scratchDir() / "fat-size.img", fatImage);

  // NTFS: the data attribute says 1 TiB.
  Bytes ntfsImage = ov::test::readFile(ov::test::image("sample"));
  setDataSize(ntfsImage, u"mountain.jpg", std::uint64_t{1} << 40);
  const fs::path ntfsPatched = ov::test::writeFile(ov::test::scratchDir() / "ntfs-size.img", ntfsImage);

  // FAT scan information whose stored size says 92 GiB.
  const fs::path scan = ov::test::scratchDir() / "fat-tree.ovt";
  ASSERT_EQ(ov::test::ovrecover("ls --fs fat --volume 1 --save-scan " + shq(scan) + " " +
                                shq(ov::test::image("fat_mbr"))).status, 0);
  Bytes stored = ov::test::readFile(scan);
  ASSERT_EQ(patchNear(stored, utf16(u"README.TXT"), -40, le(std::uint64_t{92} << 30, 8)), 1u);  // the record's size
  ov::test::writeFile(scan, stored);

  const std::vector<Row> rows = {
      {"FAT entry", shq(fatPatched), "--fs fat --volume 1", "fat_mbr", "/README.TXT"},
      {"FAT scan information", "", "--fs fat --scan " + shq(scan), "fat_mbr", "/README.TXT"},
      {"NTFS data attribute", shq(ntfsPatched), "", "sample", "/Photos/Trips/mountain.jpg"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string name = fs::path(row.path).filename().string();
    const std::uint64_t volumeBytes =
        ov::test::manifest(row.manifest)["partitions"][0]["sectors"].get<std::uint64_t>() * 512;
    Outcome ls = ov::test::ovrecover("ls -r --json " + row.options + " " + row.image);
    ASSERT_EQ(ls.status, 0) << ls.err;
    bool seen = false;
    for (const auto& e : json::parse(ls.out)) {
      if (e["name"] != name) continue;
      seen = true;
      EXPECT_LE(e["size"].get<std::uint64_t>(), volumeBytes);
      EXPECT_EQ(e.value("size_cut", false), true) << e.dump();
    }
    EXPECT_TRUE(seen);
    const fs::path out = ov::test::freshDir("cut-out");
    // A file-size limit far above the volume's size stops a regression from filling the disk.
    Outcome saved = ov::test::shell("ulimit -f 400000; OVRECOVER recover " + row.options + " " + row.image + " --out " +
                                shq(out) + " " + name);
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_NE(saved.err.find("note: "), std::string::npos) << saved.err;
    auto byName = savedByName(out);
    ASSERT_EQ(byName.count(name), 1u);
    const fs::path file = byName.find(name)->second;
    EXPECT_LE(fs::file_size(file), volumeBytes);
    // What the file really holds comes first.
    Bytes bytes = ov::test::readFile(file);
    const json f = ov::test::manifestFiles(row.manifest).at(row.path);
    ASSERT_GE(bytes.size(), f["size"].get<std::uint64_t>());
    bytes.resize(f["size"].get<std::uint64_t>());
    EXPECT_EQ(ov::test::sha256Hex(bytes), f["sha256"]);
  }
}

}  // namespace
