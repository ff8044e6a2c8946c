// Reads a zip archive back with minizip's unzip side: every entry's bytes, method and flags.
// Closing each entry checks its CRC.
#pragma once

#include <gtest/gtest.h>
#include <minizip/unzip.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace ov::test {

struct ZipEntry {
  std::vector<std::uint8_t> bytes;
  unsigned long method = 0;
  unsigned long flag = 0;
};

inline std::map<std::string, ZipEntry> unzipAll(const std::filesystem::path& path) {
  std::map<std::string, ZipEntry> out;
  unzFile zf = unzOpen64(path.c_str());
  if (!zf) {
    ADD_FAILURE() << "cannot open " << path;
    return out;
  }
  for (int rc = unzGoToFirstFile(zf); rc == UNZ_OK; rc = unzGoToNextFile(zf)) {
    unz_file_info64 info{};
    char name[512] = {};
    EXPECT_EQ(unzGetCurrentFileInfo64(zf, &info, name, sizeof name, nullptr, 0, nullptr, 0), UNZ_OK);
    ZipEntry& entry = out[name];
    entry.method = info.compression_method;
    entry.flag = info.flag;
    entry.bytes.resize(static_cast<std::size_t>(info.uncompressed_size));
    EXPECT_EQ(unzOpenCurrentFile(zf), UNZ_OK);
    if (!entry.bytes.empty()) {
      EXPECT_EQ(unzReadCurrentFile(zf, entry.bytes.data(), static_cast<unsigned>(entry.bytes.size())),
                static_cast<int>(entry.bytes.size()));
    }
    EXPECT_EQ(unzCloseCurrentFile(zf), UNZ_OK) << name;
  }
  unzClose(zf);
  return out;
}

}  // namespace ov::test
