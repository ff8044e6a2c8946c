// Writing a set of folders to an optical disc, or to a file, as one ISO 9660 image with Joliet
// and Rock Ridge names (libisofs builds it, libburn sends it to the writer with MMC commands
// through the kernel's SG_IO pass-through).
//
// A writer is named by its libburn address ("/dev/sr0"). libburn's file pseudo-drive
// ("stdio:" + a path) writes the same image into a file: past the choice of the drive it is the
// same code as a disc, which is how a disc image is saved and how the writing is tested.
// No Qt here: the command line writes disc images too.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disk/host.h"

namespace ov::disc {

inline constexpr const char* kVolumeLabel = "Ovelin";

// What the user is told about the medium in the writer.
inline constexpr const char* kInsertMediaText = "Please insert media.";
inline constexpr const char* kInsertWritableMediaText = "Please insert writable media.";
inline constexpr const char* kInsertBlankMediaText = "Please insert blank media";
inline constexpr const char* kHigherCapacityText = "Please insert higher capacity CD/DVD.";
inline constexpr const char* kNoBurningDeviceText = "No burning device found";

struct Writer {
  std::string address;  // libburn's address, the device file on Linux: "/dev/sr0"
  std::string name;     // "HL-DT-ST DVDRAM GH24NSD1 (/dev/sr0)"
};

// The optical writers of the machine (those the user may open). Empty when there are none.
std::vector<Writer> listWriters();

// The file pseudo-drive over an open file: the image is written through `fd`, which the caller
// opened (and closes).
std::string fileDriveAddress(int fd);

struct Medium {
  std::string problem;         // empty when a blank, writable medium is in the drive; else the text to show
  std::uint64_t capacity = 0;  // bytes that fit on it (for a file: the free space of its file system)
  bool fileDrive = false;      // the drive is a file
};
// Opens the drive at `address` and looks at its medium: none ("Please insert media."), one that
// cannot be written ("Please insert writable media."), one that holds data ("Please insert blank
// media"). Rewritable discs are never blanked here: what is on them may be someone's only copy.
Medium checkMedium(const std::string& address);

// A folder whose contents go into the image at `discPath` ("" for the top; else one folder name).
struct Graft {
  std::string folder;  // an absolute path
  std::string discPath;
};

struct WriteJob {
  std::string address;          // a writer, or fileDriveAddress(fd)
  std::vector<Graft> contents;  // in this order
  std::string label = kVolumeLabel;
  // The image must fit into this many bytes (a disc image meant for a chosen medium); 0: only
  // the medium in the drive counts.
  std::uint64_t mediumBytes = 0;
  // Bytes of the image written so far, from 0 to the image's size.
  std::function<void(std::uint64_t total, std::uint64_t done)> progress;
  // All data are on the medium; the writer closes the track and the session.
  std::function<void()> finalizing;
  // The image is built and fits; the writing begins (status texts).
  std::function<void(std::uint64_t imageBytes)> writing;
};

enum class WriteOutcome { Completed, Stopped, Failed };

struct WriteResult {
  WriteOutcome outcome = WriteOutcome::Failed;
  std::string message;           // Failed: the text to show
  std::uint64_t imageBytes = 0;  // the image's size, once it was built
  bool mediumTouched = false;    // something was sent to the medium (a stopped disc may be spoiled)
};

// Builds the image and writes it, after the medium and the size check. Stop (through `run`)
// ends the writing at once: the image stream refuses further data and the drive is cancelled.
// A disc write cannot wait, so `run`'s pause gate is not passed while writing.
WriteResult writeDisc(const WriteJob& job, RunControl& run);

}  // namespace ov::disc
