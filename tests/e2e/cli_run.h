// Running ovrecover (or a shell line around it) from the end-to-end tests, with its output, its
// messages and its exit status; and mounts that the tests make and undo as root.
#pragma once

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace ov::test {

struct Outcome {
  int status = -1;
  std::string out, err;
};

inline std::string shq(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// Runs `line` with /bin/sh; "OVRECOVER" in it stands for the program. stdout and stderr are kept.
inline Outcome shell(std::string line) {
  for (std::size_t at; (at = line.find("OVRECOVER")) != std::string::npos;)
    line.replace(at, 9, std::string("'") + OVRECOVER_PATH + "'");
  static int counter = 0;
  auto errFile = scratchDir() / ("stderr-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
  Outcome r;
  FILE* pipe = ::popen(("{ " + line + "; } 2>" + shq(errFile)).c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.out.append(buffer, n);
  int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const auto err = readFile(errFile);
  r.err.assign(err.begin(), err.end());
  std::filesystem::remove(errFile);
  return r;
}

inline Outcome ovrecover(const std::string& arguments) { return shell("OVRECOVER " + arguments); }

inline bool isRoot() { return ::geteuid() == 0; }

// A small tmpfs of `bytes` at a new folder; empty path when it cannot be mounted (not root).
inline std::filesystem::path smallTmpfs(const std::string& name, std::uint64_t bytes) {
  auto dir = scratchDir() / name;
  std::filesystem::create_directories(dir);
  ::umount2(dir.c_str(), MNT_DETACH);
  std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) return {};
  return dir;
}

// Unmounts at the end of a scope.
class Unmount {
 public:
  explicit Unmount(std::filesystem::path dir) : dir_(std::move(dir)) {}
  ~Unmount() {
    if (!dir_.empty()) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  Unmount(const Unmount&) = delete;
  Unmount& operator=(const Unmount&) = delete;

 private:
  std::filesystem::path dir_;
};

// A private copy of a committed image that a test may patch or mount.
inline std::filesystem::path imageCopy(const std::string& name, const std::string& as) {
  auto path = scratchDir() / (as + ".img");
  std::filesystem::copy_file(image(name), path, std::filesystem::copy_options::overwrite_existing);
  return path;
}

inline std::string fileSha(const std::filesystem::path& path) { return sha256Hex(readFile(path)); }

}  // namespace ov::test
