// Copies of the committed images patched with damaged metadata (sizes past the volume, parent loops,
// names of metadata files, ".", "/" against "_", a control character): every file of the manifest
// still comes out whole, and nothing larger than the volume is written.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
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
  for (std::size_t v : values) patch(image, v, {std::uint8_t(parent), std::uint8_t(parent >> 8), std::uint8_t(parent >> 16),
                                                std::uint8_t(parent >> 24), 0, 0});
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
        Bytes le(8);
        for (std::size_t i = 0; i < 8; ++i) le[i] = static_cast<std::uint8_t>(size >> (8 * i));
        patch(image, a + 0x30, le);
        patch(image, a + 0x38, le);
        done = true;
      }
      a += length;
    }
  }
  ASSERT_TRUE(done);
}

std::map<std::string, std::uint32_t> recordsByName(const fs::path& image) {
  std::map<std::string, std::uint32_t> out;
  for (const auto& e : json::parse(ov::test::ovrecover("ls -r --json " + shq(image)).out)) out[e["name"]] = e["record"];
  return out;
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

bool savedWhole(const std::multimap<std::string, fs::path>& saved, const std::string& name, const std::string& sha) {
  auto [from, to] = saved.equal_range(name);
  for (auto it = from; it != to; ++it)
    if (ov::test::fileSha(it->second) == sha) return true;
  return false;
}

TEST(DamagedMetadata, FoldersWhoseParentsGoRoundInALoopComeOutUnderANumberedFolder) {
  const fs::path original = ov::test::image("sample");
  auto records = recordsByName(original);
  Bytes image = ov::test::readFile(original);
  setParent(image, u"Documents", records["Documents"]);  // its own parent
  setParent(image, u"Photos", records["Trips"]);         // Photos and Trips: each other's parent
  const fs::path patched = ov::test::scratchDir() / "loops.img";
  ov::test::writeFile(patched, image);
  const auto files = manifestFiles("sample");
  for (const char* turbo : {"", "--turbo "}) {
    SCOPED_TRACE(*turbo ? "Turbo Scan" : "MFT walk");
    Outcome ls = ov::test::ovrecover("ls -r --json " + std::string(turbo) + shq(patched));
    ASSERT_EQ(ls.status, 0) << ls.err;
    const json listed = json::parse(ls.out);
    for (const ManifestFile& f : files) {
      bool seen = false;
      for (const auto& e : listed) {
        if (e["folder"] || !endsWith(e["path"], f.path) || e["size"] != f.size) continue;
        seen = true;
        // Folders in a loop cannot reach the root: they hang under a numbered folder of "#".
        if (f.path[0] != "Compressed") {
          EXPECT_EQ(e["path"][0].get<std::string>()[0], '#') << e.dump();
        }
      }
      EXPECT_TRUE(seen) << f.path.back();
    }
    const fs::path out = ov::test::freshDir(std::string("loops-out") + turbo);
    Outcome saved = ov::test::ovrecover("recover " + std::string(turbo) + shq(patched) + " --out " + shq(out));
    EXPECT_EQ(saved.status, 0) << saved.err;
    auto byName = savedByName(out);
    for (const ManifestFile& f : files) EXPECT_TRUE(savedWhole(byName, f.path.back(), f.sha256)) << f.path.back();
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
  const fs::path patched = ov::test::scratchDir() / "names.img";
  ov::test::writeFile(patched, image);
  auto renamed = [&](std::string part) {
    for (const auto& [from, to] : renames)
      if (ov::utf16ToUtf8(from) == part) return ov::utf16ToUtf8(to);
    return part;
  };
  auto files = manifestFiles("sample");
  for (auto& f : files)
    for (auto& part : f.path) part = renamed(part);

  Outcome ls = ov::test::ovrecover("ls -r --json " + shq(patched));
  ASSERT_EQ(ls.status, 0) << ls.err;
  const json listed = json::parse(ls.out);
  for (const ManifestFile& f : files) {
    std::vector<std::string> full = {" Root"};
    full.insert(full.end(), f.path.begin(), f.path.end());
    bool seen = false;
    for (const auto& e : listed) seen = seen || (!e["folder"] && endsWith(e["path"], full) && e["size"] == f.size);
    EXPECT_TRUE(seen) << f.path.back();
  }
  // The text listing shows the control character as an escape, never raw.
  Outcome text = ov::test::ovrecover("ls -r " + shq(patched));
  EXPECT_NE(text.out.find("fore\\x1Bt.jpg"), std::string::npos);
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);

  const fs::path out = ov::test::freshDir("names-out");
  Outcome saved = ov::test::ovrecover("recover " + shq(patched) + " --out " + shq(out));
  EXPECT_EQ(saved.status, 0) << saved.err;
  auto byName = savedByName(out);
  for (const ManifestFile& f : files) {
    std::string name = f.path.back() == "." ? "_." : f.path.back();
    EXPECT_TRUE(savedWhole(byName, name, f.sha256)) << name;
  }
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
    std::string name;       // the damaged file
    std::uint64_t volumeBytes;
  };
  const auto fat = ov::test::manifest("fat_mbr")["partitions"][0];
  const std::uint64_t fatBytes = fat["sectors"].get<std::uint64_t>() * 512;
  const std::uint64_t ntfsBytes = ov::test::manifest("sample")["partitions"][0]["sectors"].get<std::uint64_t>() * 512;

  // FAT: the directory entry says 0xFFFFFFFF bytes.
  Bytes fatImage = ov::test::readFile(ov::test::image("fat_mbr"));
  const std::string shortName = "README  TXT";
  std::size_t entries = 0;
  for (std::size_t at = 0; at + 32 <= fatImage.size(); at += 32) {
    if (!std::equal(shortName.begin(), shortName.end(), fatImage.begin() + static_cast<std::ptrdiff_t>(at))) continue;
    std::fill_n(fatImage.begin() + static_cast<std::ptrdiff_t>(at + 28), 4, 0xFF);
    ++entries;
  }
  ASSERT_GE(entries, 1u);
  const fs::path fatPatched = ov::test::scratchDir() / "fat-size.img";
  ov::test::writeFile(fatPatched, fatImage);

  // NTFS: the data attribute says 1 TiB.
  Bytes ntfsImage = ov::test::readFile(ov::test::image("sample"));
  setDataSize(ntfsImage, u"mountain.jpg", std::uint64_t{1} << 40);
  const fs::path ntfsPatched = ov::test::scratchDir() / "ntfs-size.img";
  ov::test::writeFile(ntfsPatched, ntfsImage);

  // FAT scan information whose stored size says 92 GiB.
  const fs::path scan = ov::test::scratchDir() / "fat-tree.ovt";
  ASSERT_EQ(ov::test::ovrecover("ls --fs fat --volume 1 --save-scan " + shq(scan) + " " +
                                shq(ov::test::image("fat_mbr"))).status, 0);
  Bytes stored = ov::test::readFile(scan);
  const Bytes storedName = utf16(u"README.TXT");
  auto it = std::search(stored.begin(), stored.end(), storedName.begin(), storedName.end());
  ASSERT_NE(it, stored.end());
  const auto record = static_cast<std::size_t>(it - stored.begin()) - 40;
  for (std::size_t i = 0; i < 8; ++i) stored[record + i] = static_cast<std::uint8_t>((std::uint64_t{92} << 30) >> (8 * i));
  ov::test::writeFile(scan, stored);

  const std::vector<Row> rows = {
      {"FAT entry", shq(fatPatched), "--fs fat --volume 1", "README.TXT", fatBytes},
      {"FAT scan information", "", "--fs fat --scan " + shq(scan), "README.TXT", fatBytes},
      {"NTFS data attribute", shq(ntfsPatched), "", "mountain.jpg", ntfsBytes},
  };
  std::map<std::string, ManifestFile> originals;
  for (const auto& f : manifestFiles("fat_mbr")) originals[f.path.back()] = f;
  for (const auto& f : manifestFiles("sample")) originals[f.path.back()] = f;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Outcome ls = ov::test::ovrecover("ls -r --json " + row.options + " " + row.image);
    ASSERT_EQ(ls.status, 0) << ls.err;
    bool seen = false;
    for (const auto& e : json::parse(ls.out)) {
      if (e["name"] != row.name) continue;
      seen = true;
      EXPECT_LE(e["size"].get<std::uint64_t>(), row.volumeBytes);
      EXPECT_EQ(e.value("size_cut", false), true) << e.dump();
    }
    EXPECT_TRUE(seen);
    const fs::path out = ov::test::freshDir("cut-out");
    // A file-size limit far above the volume's size stops a regression from filling the disk.
    Outcome saved = ov::test::shell("ulimit -f 400000; OVRECOVER recover " + row.options + " " + row.image + " --out " +
                                shq(out) + " " + row.name);
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_NE(saved.err.find("note: "), std::string::npos) << saved.err;
    auto byName = savedByName(out);
    ASSERT_EQ(byName.count(row.name), 1u);
    const fs::path file = byName.find(row.name)->second;
    EXPECT_LE(fs::file_size(file), row.volumeBytes);
    // What the file really holds comes first.
    Bytes bytes = ov::test::readFile(file);
    ASSERT_TRUE(originals.count(row.name)) << originals.size();
    const ManifestFile& f = originals[row.name];
    ASSERT_GE(bytes.size(), f.size);
    bytes.resize(f.size);
    EXPECT_EQ(ov::test::sha256Hex(bytes), f.sha256);
  }
}

}  // namespace
