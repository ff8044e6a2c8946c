// Burning the marked carved items: they are first saved into a private staging folder under
// "OVTmp" in the cache folder the user chose (uncompressed, or packed into zip archives), then
// that folder becomes one ISO 9660 image, labelled "Ovelin", written to a disc in an optical
// writer or into a disc image file; the staging folder is deleted afterwards, whatever the end.
//
// The cache folder and the image file are destinations like any other: the destination guard
// passes them before anything is created there, and a cache on the disk being carved is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "carver/disc/disc_writer.h"
#include "carver/saving.h"

namespace ov {

inline constexpr const char* kCacheFolderName = "OVTmp";
// A compressed burn asks for a new name for every marked item whose name is longer than this.
inline constexpr std::size_t kBurnLongNameLimit = 105;

inline constexpr const char* kWritingCacheStatus = "Writing cache";
inline constexpr const char* kBurningStatus = "Burning data";
inline constexpr const char* kBurningCompressedStatus = "Burning compressed data";
inline constexpr const char* kBurnFinalizingStatus = "Burning operation completed. Finalizing optical media";
inline constexpr const char* kBurnCompletedText = "Burning operation completed successfully";
inline constexpr const char* kBurnAbortedText = "Burning process aborted.";
inline constexpr const char* kCacheDeletedText = "The temporary cache was deleted.";
inline constexpr const char* kCacheOnSourceText =
    "Please ensure that you are not using the same\nlocation as cache from where you are recovering. \nUsing the "
    "same location as cache would result in\npermanent data loss.";

struct BurnSettings {
  std::string writer;      // a writer's address (disc::listWriters); empty: a disc image file
  std::string writerName;  // the writer as listed
  std::string imagePath;   // with no writer: the image to write, a file that does not exist yet...
  bool replaceImage = false;  // ...unless the user agreed to replace it
  // The image must fit into this many bytes (a disc image meant for a chosen medium); 0: only
  // the medium in the writer (or the image's file system) counts.
  std::uint64_t mediumBytes = 0;
  std::string cacheFolder;  // an existing folder, where "OVTmp" holds the staged files
  // Compressed: asked about every marked item whose name is longer than kBurnLongNameLimit; the
  // answer is the name it is burned under, nullopt keeps its own.
  std::function<std::optional<std::u16string>(const std::u16string& name)> askShorterName;
  // Told of each path the burn creates and removes again (the staging folder, the image file
  // until it is complete), so that a program ended at once can take them away.
  std::function<void(const std::string& path, bool exists)> trackTemporary;
};

enum class BurnOutcome { Completed, Stopped, Failed };

struct BurnReport {
  BurnOutcome outcome = BurnOutcome::Failed;
  SaveReport staged;          // the marked files as written to the cache, file by file
  std::string target;         // the writer as listed, or the image's path
  std::uint64_t imageBytes = 0;
  std::string resultFolder;   // the folder that holds the disc image; empty for a disc
  std::string stagingLeft;    // a staging folder that could not be deleted; empty when none is left
};

// The target as the texts name it: the writer, or the image file.
std::string burnTargetName(const BurnSettings& burn);

// The worker of the processing dialog in burning mode (and of `ovrecover carve --iso`). The
// caller has started `run`; Stop acts through it (Pause only while the files are staged: a disc
// write cannot wait). Status texts, progress (the staged files, then the image's bytes) and the
// end message go to `host`. `save` carries the compression, the exclusions and the source.
BurnReport burnMarkedItems(ResultNode& root, CarvedDataSource& source, SaveSettings& save, BurnSettings& burn,
                           EngineHost& host, RunControl& run);

}  // namespace ov
