// The destination of recovered files: safe names, clash handling and folder creation that can
// never write outside the chosen folder (names are opened relative to folder handles, with no
// "/" in them and without following links).
#pragma once

#include <cstdint>
#include <string>

namespace ov {

// A name usable in the destination: no "/" or NUL, never "", "." or "..", at most
// kMaxOutputNameBytes bytes of UTF-8 (shortened before the extension, on a character boundary).
inline constexpr std::size_t kMaxOutputNameBytes = 240;
std::string safeOutputName(const std::u16string& name);

// An open folder of the destination. Move-only; closes its handle.
class OutputFolder {
 public:
  // Opens an existing folder; `error` receives errno on failure (then !isOpen()).
  static OutputFolder open(const std::string& path, int& error);
  OutputFolder() = default;
  OutputFolder(OutputFolder&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  OutputFolder& operator=(OutputFolder&& other) noexcept;
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;
  ~OutputFolder();

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Opens (creating it when needed) the subfolder `name`; an existing non-folder or link of that
  // name makes it "#0" + name, "#1" + name, ... Returns a closed folder and sets errno on failure.
  OutputFolder subfolder(const std::u16string& name, int& error) const;
  // Creates a new file; an existing entry of that name makes it "#0" + name, "#1" + name, ...
  // Returns the open file descriptor (or -1 with `error` set) and the name used.
  int createFile(const std::u16string& name, std::string& usedName, int& error) const;

 private:
  explicit OutputFolder(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace ov
