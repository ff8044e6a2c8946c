// ovrecover carve: signature carving of a whole disk or image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli_host.h"
#include "disk/host.h"

namespace ov::cli {

struct CarveOptions {
  std::string source;
  std::string outDir;                // where the found files are saved (not with listOnly)
  std::string iso;                   // or the disc image they are written into (ISO 9660, Joliet)
  std::vector<std::string> types;    // extensions to search for; empty: every type
  std::string category;              // only the types of this category; empty: every category
  std::string maxSize;               // "512K", "4M", "1G", plain bytes; empty: the catalogue's sizes
  bool zip = false;                  // save into zip archives
  std::vector<std::string> exclude;  // extensions found but not saved
  bool listOnly = false;
  bool json = false;
  std::string catalogue;             // the Signature file; empty: the one shipped beside the program
  std::uint16_t sectorSize = 0;      // the source's sector size; 0: the device's or the detected one
  std::string reportFile;            // the report of the files saved (DFXML for ".xml", else JSON lines)
  std::string commandLine;           // as given, for the report
};

int runCarve(CliHost& host, RunControl& run, const CarveOptions& o);

}  // namespace ov::cli
