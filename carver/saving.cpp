#include "carver/saving.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <minizip/zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "carver/exif_date.h"
#include "workbench/models/file_saving.h"

namespace ov {
namespace {

std::atomic<std::uint32_t> gArchiveCounter{0};

constexpr int kMaxOutputFolders = 1000000;
constexpr int kMaxArchiveNameTries = 100000;

int writeAll(int fd, Bytes bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

char16_t foldLatin(char16_t c) {
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<char16_t>(c + 0x20);
  return c;
}

bool sameIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (foldLatin(a[i]) != foldLatin(b[i])) return false;
  return true;
}

bool badPath(int error) { return error == ENOENT || error == ENAMETOOLONG; }

// Removes the empty folders below `fd`, deepest first; reports whether `fd` is empty afterwards.
// Links are never followed, so only what lies inside the folder can be touched.
bool pruneEmptyFolders(int fd) {
  int listFd = ::dup(fd);
  if (listFd < 0) return false;
  DIR* dir = ::fdopendir(listFd);
  if (!dir) {
    ::close(listFd);
    return false;
  }
  std::vector<std::string> names;
  bool empty = true;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
      empty = false;
      continue;
    }
    bool subEmpty = pruneEmptyFolders(sub);
    ::close(sub);
    if (!subEmpty || ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) empty = false;
  }
  return empty;
}

// minizip creates the archive through this, relative to the destination's handle: a new file
// only, and never through a link planted under the archive's name.
struct ArchiveOpener {
  int folderFd = -1;
  int error = 0;
};

voidpf ZCALLBACK openArchiveFile(voidpf opaque, const void* filename, int mode) {
  auto* opener = static_cast<ArchiveOpener*>(opaque);
  if ((mode & ZLIB_FILEFUNC_MODE_CREATE) == 0) {
    opener->error = EINVAL;
    return nullptr;
  }
  int fd = ::openat(opener->folderFd, static_cast<const char*>(filename),
                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    opener->error = errno;
    return nullptr;
  }
  FILE* file = ::fdopen(fd, "w+b");
  if (!file) {
    opener->error = errno;
    ::close(fd);
    return nullptr;
  }
  opener->error = 0;
  return file;
}

// Closes the archive's stream; a failure to put its last bytes on disk is a failure to close.
int ZCALLBACK closeArchiveFile(voidpf opaque, voidpf stream) {
  auto* opener = static_cast<ArchiveOpener*>(opaque);
  FILE* file = static_cast<FILE*>(stream);
  int error = std::fflush(file) != 0 ? errno : 0;
  if (error == 0 && ::fsync(::fileno(file)) != 0 && errno != EINVAL) error = errno;
  if (std::fclose(file) != 0 && error == 0) error = errno;
  if (error != 0) opener->error = error;
  return error != 0 ? -1 : 0;
}

zip_fileinfo entryInfoNow() {
  zip_fileinfo info{};
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local)) {
    info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
    info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
    info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
    info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
    info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
    info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);
  }
  return info;
}

class Saver {
 public:
  Saver(ResultNode& root, CarvedDataSource& source, SaveSettings& settings, EngineHost& host, RunControl& run)
      : root_(root), source_(source), settings_(settings), host_(host), run_(run) {}

  SaveReport run();

 private:
  bool openDestination();
  bool createOutputFolder();
  void writeLevel(const ResultNode& parent, const OutputFolder& here, const std::string& entryPrefix);
  bool writeFile(const ResultNode& item, const OutputFolder& here, const std::string& entryPrefix);
  const OutputFolder* orphanFolder(int& error);
  void countItem();
  void errorNumber(int error);

  bool openArchive();
  // Closes the archive; when it cannot be closed properly it is removed and the files in it
  // are failed. True when it was closed properly (or none was open).
  bool closeArchive();
  void track(int folderFd, const std::string& name, bool open) {
    if (settings_.trackOutput) settings_.trackOutput(folderFd, name, open);
  }
  std::string shown(const std::string& entry) const { return outputName_ + "/" + entry; }
  const std::u16string& nameOf(const ResultNode& node) const {
    auto renamed = settings_.names.find(&node);
    return renamed == settings_.names.end() ? node.name : renamed->second;
  }
  void archiveFile(const OutputFolder& folder, const std::string& usedName, const std::string& entry,
                   std::uint64_t size);
  bool addToArchive(const OutputFolder& folder, const std::string& usedName, const std::string& entry,
                    std::uint64_t size);
  void keepUncompressedFromNowOn(const std::string& why);
  void moveToDestination(const OutputFolder& folder, const std::string& usedName);
  void show(const std::string& text) {
    if (settings_.showDestination) settings_.showDestination("Saving recovered data to " + text + ":");
  }

  ResultNode& root_;
  CarvedDataSource& source_;
  SaveSettings& settings_;
  EngineHost& host_;
  RunControl& run_;

  SaveReport report_;
  std::string destination_;
  OutputFolder destinationFolder_;
  OutputFolder outputFolder_;
  std::string outputName_;
  OutputFolder orphans_;
  bool usedOrphans_ = false;
  std::uint64_t markedFiles_ = 0;
  bool stopped_ = false;

  ArchiveOpener opener_;
  zipFile archive_ = nullptr;
  std::string archiveName_;
  bool archiving_ = false;  // false once an archive could not be made: files stay uncompressed
  std::uint64_t archiveTotal_ = 0;
  // The files in the open archive: saved once it is closed properly.
  std::vector<std::pair<std::string, std::uint64_t>> inArchive_;
  bool writeFailed_ = false;
};

bool Saver::openDestination() {
  destination_ = settings_.destination;
  while (destination_.size() > 1 && destination_.back() == '/') destination_.pop_back();
  int error = 0;
  destinationFolder_ = OutputFolder::open(destination_, error);
  if (destinationFolder_.isOpen()) return true;
  // Trying DataXEB0, DataXEB1, ... in a folder that is not there would never end.
  if (error == ENOTDIR)
    host_.showMessage("Error",
                      "\"" + destination_ + "\" is not a folder.\nPlease choose a folder to save the recovered data.",
                      MessageIcon::Error);
  else if (error == ENOENT)
    host_.showMessage("Error",
                      "The folder \"" + destination_ + "\" does not exist.\nPlease choose an existing folder to save "
                      "the recovered data.",
                      MessageIcon::Error);
  else
    host_.showMessage("Error", "Cannot open the folder \"" + destination_ + "\": " + std::strerror(error),
                      MessageIcon::Error);
  return false;
}

bool Saver::createOutputFolder() {
  for (int n = 0; n < kMaxOutputFolders; ++n) {
    std::string name = "DataXEB" + std::to_string(n);
    if (::mkdirat(destinationFolder_.fd(), name.c_str(), 0755) != 0) {
      if (errno == EEXIST) continue;
      int error = errno;
      host_.showMessage("Error", "Cannot create a folder in \"" + destination_ + "\": " + std::strerror(error),
                        MessageIcon::Error);
      return false;
    }
    int error = 0;
    outputFolder_ = destinationFolder_.subfolder(std::u16string(name.begin(), name.end()), error);
    if (!outputFolder_.isOpen()) {
      host_.showMessage("Error", "Cannot open the folder \"" + name + "\": " + std::strerror(error),
                        MessageIcon::Error);
      return false;
    }
    outputName_ = name;
    report_.outputFolder = (destination_ == "/" ? destination_ : destination_ + "/") + name;
    return true;
  }
  host_.showMessage("Error", "Cannot create a folder in \"" + destination_ + "\": " + std::strerror(EEXIST),
                    MessageIcon::Error);
  return false;
}

const OutputFolder* Saver::orphanFolder(int& error) {
  if (!orphans_.isOpen()) {
    // Kept inside the destination: the save never writes anywhere the user did not choose.
    orphans_ = destinationFolder_.subfolder(u"Orphan Files", error);
    if (!orphans_.isOpen()) return nullptr;
    usedOrphans_ = true;
  }
  return &orphans_;
}

void Saver::countItem() {
  ++report_.itemsWritten;
  host_.progress(markedFiles_, report_.itemsWritten);
}

void Saver::errorNumber(int error) {
  host_.showMessage("Error", "Error Num :" + std::to_string(error), MessageIcon::Error);
}

void Saver::writeLevel(const ResultNode& parent, const OutputFolder& here, const std::string& entryPrefix) {
  for (const ResultNode* child = parent.firstChild; child; child = child->nextSibling) {
    if (!run_.proceed()) {
      stopped_ = true;
      return;
    }
    if (!child->checked) continue;
    if (!child->hasChildren()) {
      // A file that cannot be created ends this level, as a folder does.
      if (!writeFile(*child, here, entryPrefix)) return;
      continue;
    }
    int error = 0;
    std::string prefix = entryPrefix + safeOutputName(nameOf(*child)) + "/";
    OutputFolder sub = here.subfolder(nameOf(*child), error);
    if (!sub.isOpen() && badPath(error)) {
      if (const OutputFolder* orphans = orphanFolder(error)) {
        sub = orphans->subfolder(nameOf(*child), error);
        prefix = std::string(kOrphanFolderName) + "/" + safeOutputName(nameOf(*child)) + "/";
      }
    }
    if (!sub.isOpen()) {
      errorNumber(error);
      return;
    }
    countItem();
    writeLevel(*child, sub, prefix);
    if (stopped_) return;
  }
}

bool Saver::writeFile(const ResultNode& item, const OutputFolder& here, const std::string& entryPrefix) {
  int error = 0;
  std::string usedName;
  const OutputFolder* where = &here;
  std::string prefix = entryPrefix;
  int fd = here.createFile(nameOf(item), usedName, error);
  if (fd < 0 && badPath(error)) {
    if (const OutputFolder* orphans = orphanFolder(error)) {
      fd = orphans->createFile(nameOf(item), usedName, error);
      where = orphans;
      prefix = std::string(kOrphanFolderName) + "/";
    }
  }
  if (fd < 0) {
    report_.account.failed(shown(prefix + safeOutputName(nameOf(item))), "cannot create it: " + std::string(std::strerror(error)));
    errorNumber(error);
    return false;
  }
  countItem();
  track(where->fd(), usedName, true);

  // What is left of a file that could not be written whole: kept as "name.partial" in a plain
  // save; a compressed save keeps nothing outside its archives.
  auto setAside = [&](std::uint64_t written) {
    std::string kept = setAsideIncomplete(where->fd(), usedName, written > 0 && !archiving_);
    track(where->fd(), usedName, false);
    return kept.empty() ? std::string() : shown(prefix + kept);
  };
  int writeError = 0;
  std::uint64_t written = 0;
  std::vector<std::uint8_t> head;  // the file's start, where a picture keeps its Exif date
  try {
    copyCarvedItem(source_, item, [&](Bytes piece) {
      writeError = writeAll(fd, piece);
      if (writeError == 0) written += piece.size();
      if (head.size() < kExifSearchBytes)
        head.insert(head.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                     piece.size(), kExifSearchBytes - head.size())));
      return writeError == 0;
    });
  } catch (...) {
    ::close(fd);
    report_.account.failed(shown(prefix + usedName), "the disk could not be read", setAside(written));
    throw;
  }
  if (::close(fd) != 0 && writeError == 0) writeError = errno;
  if (writeError != 0) {
    report_.account.failed(shown(prefix + usedName), std::strerror(writeError), setAside(written));
    host_.showMessage("Error", shown(prefix + usedName) + ": " + std::strerror(writeError), MessageIcon::Error);
    writeFailed_ = true;
    // A full or failing destination ends the save; a file it cannot take (too large) does not.
    if (writeErrorEndsSave(writeError)) throw AlreadyReported{};
    return true;
  }
  track(where->fd(), usedName, false);
  ++report_.filesWritten;
  if (settings_.compress && archiving_) {
    archiveFile(*where, usedName, prefix + usedName, item.size);
  } else {
    // A picture's copy gets the date its camera recorded as its modification and access time.
    if (auto taken = exifDate(Bytes(head.data(), head.size()))) {
      FileTimes times;
      times.modified = *taken;
      times.accessed = *taken;
      applyFileTimes(where->fd(), usedName, times);
    }
    report_.account.saved(item.size);
    if (settings_.fileSaved) settings_.fileSaved(item, where->fd(), usedName, shown(prefix + usedName));
  }
  return true;
}

bool Saver::openArchive() {
  closeArchive();
  opener_.folderFd = destinationFolder_.fd();
  zlib_filefunc64_def functions;
  fill_fopen64_filefunc(&functions);
  functions.zopen64_file = openArchiveFile;
  functions.zclose_file = closeArchiveFile;
  functions.opaque = &opener_;
  for (int tries = 0; tries < kMaxArchiveNameTries; ++tries) {
    const std::uint32_t number = ++gArchiveCounter;
    const std::string name = outputName_ + std::to_string(number) + ".zip";
    archive_ = zipOpen2_64(name.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
    if (archive_) {
      const std::string path = (destination_ == "/" ? destination_ : destination_ + "/") + name;
      report_.archives.push_back(path);
      archiveName_ = name;
      archiveTotal_ = 0;
      track(destinationFolder_.fd(), name, true);
      show(path);
      return true;
    }
    // An archive of an earlier run of the program keeps its name; the next number is taken.
    if (opener_.error != EEXIST) break;
  }
  keepUncompressedFromNowOn(kArchiveCreateFailedText);
  return false;
}

bool Saver::closeArchive() {
  if (!archive_) return true;
  opener_.error = 0;
  const bool closed = zipClose(archive_, nullptr) == ZIP_OK && opener_.error == 0;
  archive_ = nullptr;
  track(destinationFolder_.fd(), archiveName_, false);
  if (closed) {
    for (const auto& [entry, size] : inArchive_) report_.account.saved(size);
  } else {
    // Without its central directory no tool can read the archive: it is removed, and the files
    // that went into it are failed.
    const int error = opener_.error != 0 ? opener_.error : EIO;
    ::unlinkat(destinationFolder_.fd(), archiveName_.c_str(), 0);
    const std::string path = (destination_ == "/" ? destination_ : destination_ + "/") + archiveName_;
    report_.archives.erase(std::remove(report_.archives.begin(), report_.archives.end(), path), report_.archives.end());
    for (const auto& [entry, size] : inArchive_)
      report_.account.failed(shown(entry), "the archive " + archiveName_ + " could not be completed (" +
                                               std::strerror(error) + ") and was removed");
    host_.showMessage("Error", "The archive \"" + path + "\" could not be completed: " + std::strerror(error),
                      MessageIcon::Error);
    writeFailed_ = true;
  }
  inArchive_.clear();
  return closed;
}

void Saver::keepUncompressedFromNowOn(const std::string& why) {
  closeArchive();
  archiving_ = false;
  report_.keptUncompressed = true;
  host_.showMessage("Error", why + "\nThe recovered files are kept uncompressed in \"" + report_.outputFolder + "\".",
                    MessageIcon::Error);
}

void Saver::archiveFile(const OutputFolder& folder, const std::string& usedName, const std::string& entry,
                        std::uint64_t size) {
  if (size > settings_.archiveSplitBytes) {
    const std::string question = usedName + kTooLargeForArchiveText;
    const bool keep = settings_.askSaveUncompressed ? settings_.askSaveUncompressed(question) : true;
    if (keep) {
      moveToDestination(folder, usedName);
      report_.account.saved(size);
    } else {
      ::unlinkat(folder.fd(), usedName.c_str(), 0);
      report_.account.leftOutByUser();
    }
    return;
  }
  if (archiveTotal_ + size > settings_.archiveSplitBytes) {
    if (!openArchive()) {
      report_.account.saved(size);  // kept uncompressed where it was written
      return;
    }
  }
  archiveTotal_ += size;
  if (!addToArchive(folder, usedName, entry, size)) {
    // The file stays uncompressed where it was written.
    report_.account.saved(size);
    keepUncompressedFromNowOn("Could not write \"" + entry + "\" into the zip file.");
    return;
  }
  inArchive_.emplace_back(entry, size);
  ::unlinkat(folder.fd(), usedName.c_str(), 0);
}

bool Saver::addToArchive(const OutputFolder& folder, const std::string& usedName, const std::string& entry,
                         std::uint64_t size) {
  int in = ::openat(folder.fd(), usedName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return false;
  const bool stored = storedInArchive(usedName);
  const zip_fileinfo info = entryInfoNow();
  constexpr uLong kUtf8Names = 1u << 11;
  int ok = zipOpenNewFileInZip4_64(archive_, entry.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                   stored ? 0 : Z_DEFLATED, stored ? 0 : 8, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                   Z_DEFAULT_STRATEGY, nullptr, 0, 0, kUtf8Names, size >= 0xFFFFFFFFULL ? 1 : 0);
  bool good = ok == ZIP_OK;
  std::vector<std::uint8_t> buffer(kCopyPieceBytes);
  while (good) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) good = false;
    if (n <= 0) break;
    good = zipWriteInFileInZip(archive_, buffer.data(), static_cast<unsigned>(n)) == ZIP_OK;
  }
  if (ok == ZIP_OK && zipCloseFileInZip(archive_) != ZIP_OK) good = false;
  ::close(in);
  return good;
}

void Saver::moveToDestination(const OutputFolder& folder, const std::string& usedName) {
  // Into the destination folder under its own name; an existing file there is never replaced.
  for (int n = -1; n < kMaxArchiveNameTries; ++n) {
    std::string candidate = n < 0 ? usedName : "#" + std::to_string(n) + usedName;
    if (::renameat2(folder.fd(), usedName.c_str(), destinationFolder_.fd(), candidate.c_str(), RENAME_NOREPLACE) == 0)
      return;
    if (errno != EEXIST) break;
  }
  // Not moved: it stays in the output folder, which is then kept.
  report_.keptUncompressed = true;
}

SaveReport Saver::run() {
  applyExclusions(root_, settings_.excludedExtensions);
  markedFiles_ = selectionTotals(root_).files;
  report_.account.plan(markedFiles_);
  if (settings_.source) {
    // Refused before the output folder is made: saving onto the carved disk overwrites what it finds.
    if (std::string why = destinationConflict(*settings_.source, settings_.destination); !why.empty()) {
      host_.showMessage("Error", why, MessageIcon::Error);
      report_.outcome = SaveOutcome::Failed;
      return report_;
    }
  }
  if (!openDestination() || !createOutputFolder()) {
    report_.outcome = SaveOutcome::Failed;
    return report_;
  }
  archiving_ = settings_.compress;
  if (archiving_)
    openArchive();
  else
    show(report_.outputFolder);

  bool failed = false;
  try {
    writeLevel(root_, outputFolder_, "");
  } catch (const AlreadyReported&) {
    // A disconnected source or a failed write: already shown; the save did not complete.
    failed = true;
  }

  if (settings_.compress) {
    closeArchive();
    // What was archived is gone from the output folder; whatever is left must stay with it.
    if (pruneEmptyFolders(outputFolder_.fd())) ::unlinkat(destinationFolder_.fd(), outputName_.c_str(), AT_REMOVEDIR);
    if (usedOrphans_ && pruneEmptyFolders(orphans_.fd()))
      ::unlinkat(destinationFolder_.fd(), kOrphanFolderName, AT_REMOVEDIR);
    report_.resultFolder = destination_;
  } else {
    report_.resultFolder = report_.outputFolder;
  }

  if (failed || writeFailed_ || !report_.account.failures().empty()) {
    report_.outcome = SaveOutcome::Failed;
    if (!settings_.quietEnd) host_.showMessage("Error", kSaveFailedText, MessageIcon::Error);
  } else if (stopped_) {
    report_.account.stoppedByUser();
    report_.outcome = SaveOutcome::Stopped;
    if (!settings_.quietEnd) host_.showMessage("Error", kSaveAbortedText, MessageIcon::Error);
  } else if (settings_.quietEnd) {
    report_.outcome = SaveOutcome::Completed;
  } else {
    report_.outcome = SaveOutcome::Completed;
    host_.statusText(kSaveCompletedStatus);
    host_.progress(markedFiles_, markedFiles_);
    const bool archived = settings_.compress && !report_.archives.empty() && archiving_;
    host_.showMessage("Information", archived ? kCompressedSaveCompletedText : kSaveCompletedText,
                      MessageIcon::Information);
  }
  return report_;
}

}  // namespace

bool copyCarvedItem(CarvedDataSource& source, const ResultNode& item, const ByteSink& sink) {
  const std::uint32_t bytesPerSector = source.sectorSize();
  if (bytesPerSector == 0) return item.size == 0;
  // Room for a piece that starts inside a sector when the sector size does not divide the piece.
  std::vector<std::uint8_t> buffer(kCopyPieceBytes + 2 * std::size_t{bytesPerSector});
  const std::uint64_t startSector = item.startSector();
  std::uint64_t done = 0;
  while (done < item.size) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyPieceBytes, item.size - done));
    const std::uint64_t sector = startSector + done / bytesPerSector;
    const std::size_t skip = static_cast<std::size_t>(done % bytesPerSector);
    const std::size_t sectors = (skip + piece + bytesPerSector - 1) / bytesPerSector;
    std::fill_n(buffer.begin(), sectors * bytesPerSector, std::uint8_t{0});
    source.read(sector, sectors, buffer.data());
    if (!sink(Bytes(buffer.data() + skip, piece))) return false;
    done += piece;
  }
  return true;
}

std::vector<std::uint8_t> readCarvedItem(CarvedDataSource& source, const ResultNode& item) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(item.size, kMaxTextPreviewBytes)));
  copyCarvedItem(source, item, [&bytes](Bytes piece) {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    return true;
  });
  return bytes;
}

int writeCarvedItemFile(CarvedDataSource& source, const ResultNode& item, const OutputFolder& folder,
                        std::string& usedName) {
  int error = 0;
  int fd = folder.createFile(item.name, usedName, error);
  if (fd < 0) return error;
  int writeError = 0;
  try {
    copyCarvedItem(source, item, [&](Bytes piece) {
      writeError = writeAll(fd, piece);
      return writeError == 0;
    });
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::close(fd) != 0 && writeError == 0) writeError = errno;
  return writeError;
}

void applyExclusions(ResultNode& root, std::vector<std::u16string>& excluded) {
  if (excluded.empty()) return;
  std::vector<std::u16string> wanted;
  for (const std::u16string& e : excluded) wanted.push_back(!e.empty() && e.front() == u'.' ? e.substr(1) : e);
  std::vector<ResultNode*> pending{&root};
  while (!pending.empty()) {
    ResultNode* n = pending.back();
    pending.pop_back();
    for (ResultNode* c = n->firstChild; c; c = c->nextSibling) pending.push_back(c);
    if (n->hasChildren() || !n->checked) continue;
    const std::size_t dot = n->name.find(u'.');
    if (dot == std::u16string::npos) continue;
    const std::u16string extension = n->name.substr(dot + 1);
    for (const std::u16string& w : wanted)
      if (sameIgnoringCase(extension, w)) n->checked = false;
  }
  // Folders left with nothing marked are not created as empty folders.
  recomputeFolderChecks(root);
  excluded.clear();
}

bool storedInArchive(std::string_view name) {
  static constexpr std::string_view kPacked[] = {".Z", ".zip", ".zoo", ".arc", ".lzh", ".arj", ".gz", ".tgz"};
  for (std::string_view ending : kPacked) {
    if (name.size() < ending.size()) continue;
    std::string_view tail = name.substr(name.size() - ending.size());
    bool same = std::equal(tail.begin(), tail.end(), ending.begin(), [](char a, char b) {
      auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
      return fold(a) == fold(b);
    });
    if (same) return true;
  }
  return false;
}

std::uint32_t archiveCounter() { return gArchiveCounter.load(); }

SaveReport saveMarkedItems(ResultNode& root, CarvedDataSource& source, SaveSettings& settings, EngineHost& host,
                           RunControl& run) {
  Saver saver(root, source, settings, host, run);
  return saver.run();
}

}  // namespace ov
