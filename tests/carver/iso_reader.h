// A disc image's files as a reader of its Joliet names sees them: the kernel's iso9660 driver over a loop device, else xorriso.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace ov::test {

using IsoFiles = std::map<std::string, std::vector<std::uint8_t>>;  // path in the image -> bytes

inline std::string shellQuoted(const std::string& s) { return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'"; }

inline IsoFiles filesIn(const std::filesystem::path& root) {
  IsoFiles out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root))
    if (e.is_regular_file()) out[std::filesystem::relative(e.path(), root).string()] = readFile(e.path());
  return out;
}

// Empty `why` on success; otherwise why nothing could be read.
inline IsoFiles jolietFiles(const std::filesystem::path& iso, std::string& why) {
  const std::filesystem::path dir = scratchDir() / ("read-" + iso.stem().string());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string mount = "mount -t iso9660 -o loop,ro,norock " + shellQuoted(iso) + " " + shellQuoted(dir);
  if (std::system((mount + " 2>/dev/null").c_str()) == 0) {
    IsoFiles files = filesIn(dir);
    if (std::system(("umount " + shellQuoted(dir)).c_str()) != 0) why = "cannot unmount " + dir.string();
    return files;
  }
  if (std::system("command -v xorriso >/dev/null 2>&1") != 0) {
    why = "neither a loop mount of iso9660 nor xorriso is available (WITH_IMAGE_TOOLS=1 scripts/install-deps.sh)";
    return {};
  }
  const std::string cmd = "xorriso -read_fs norock -indev " + shellQuoted(iso) + " -osirrox on -extract / " +
                          shellQuoted(dir) + " >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) why = "xorriso cannot read " + iso.string();
  return filesIn(dir);
}

}  // namespace ov::test
