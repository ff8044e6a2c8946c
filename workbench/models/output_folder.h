// The destination of recovered files: safe names, clash handling and folder creation that can
// never write outside the chosen folder (names are opened relative to folder handles, with no
// "/" in them and without following links).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ov {

// A name usable in the destination: no "/" or NUL, never "", "." or "..", at most
// kMaxOutputNameBytes bytes of UTF-8 (shortened before the extension, on a character boundary).
// Different names can have the same safe form ("a/b" and "a_b"); a save keeps them apart with
// the clash rule ("#0" + name), see OutputTree.
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
  // Opens (creating it when needed) the subfolder of exactly this (already safe) name; ENOTDIR or
  // ELOOP in `error` when something else of that name is in the way.
  OutputFolder subfolderNamed(const std::string& safeName, int& error) const;
  // Creates a new file; an existing entry of that name makes it "#0" + name, "#1" + name, ...
  // Returns the open file descriptor (or -1 with `error` set) and the name used.
  int createFile(const std::u16string& name, std::string& usedName, int& error) const;

 private:
  explicit OutputFolder(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The folders of one save below its destination. Every distinct folder of the source gets an
// output folder of its own: two different names never share one, also when their safe forms
// are the same ("a/b" and "a_b" both become "a_b", so the one met second is saved as "#0a_b").
// Files are created with O_EXCL and so never share a name either. Folders that exist from an
// earlier save into the same destination are used again.
class OutputTree {
 public:
  explicit OutputTree(const OutputFolder& destination) : destination_(destination) { nodes_.emplace_back(); }

  // The open folder for the path `folders` (names as found in the source, from the top of the
  // save), made when needed, and in `shownPath` its path below the destination as saved. Null
  // with `error` set on failure. Valid until the next call.
  const OutputFolder* folder(const std::vector<std::u16string>& folders, int& error, std::string& shownPath);

 private:
  struct Node {
    std::map<std::u16string, std::size_t> children;  // source name -> node
    std::map<std::string, std::u16string> claimed;   // output name -> the source name that has it
    std::string outputName;
  };

  const OutputFolder& destination_;
  std::vector<Node> nodes_;
  // The chain of open folders of the last path asked for.
  std::vector<std::size_t> openNodes_;
  std::vector<OutputFolder> open_;
};

}  // namespace ov
