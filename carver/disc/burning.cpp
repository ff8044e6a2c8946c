#include "carver/disc/burning.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

namespace ov {
namespace {

constexpr int kMaxStagingNameTries = 1000;

// Removes `name` in the folder `parentFd` with everything in it. Links are removed, never
// followed, so nothing outside the staging folder can be touched.
bool removeTree(int parentFd, const std::string& name) {
  int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return ::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(dir)) {
    const std::string entry = e->d_name;
    if (entry != "." && entry != "..") names.push_back(entry);
  }
  bool removed = true;
  for (const std::string& entry : names)
    if (!removeTree(::dirfd(dir), entry)) removed = false;
  ::closedir(dir);
  return ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0 && removed;
}

std::string joinPath(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string randomName() {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::string name = "burn-";
  for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
  return name;
}

class Burner {
 public:
  Burner(ResultNode& root, CarvedDataSource& source, SaveSettings& save, BurnSettings& burn, EngineHost& host,
         RunControl& run)
      : root_(root), source_(source), save_(save), burn_(burn), host_(host), run_(run) {}
  ~Burner() {
    closeImage(false);
    removeStaging();
  }

  BurnReport run();

 private:
  BurnReport failed(const std::string& text);
  bool openImage();
  // Keeps the image (complete) or removes it; false when a kept image could not be put on disk.
  bool closeImage(bool keep);
  bool makeStaging();
  void removeStaging();
  void askForShorterNames();
  void track(const std::string& path, bool exists) {
    if (burn_.trackTemporary) burn_.trackTemporary(path, exists);
  }
  std::string cleanedUpText() const {
    std::string text = report_.stagingLeft.empty()
                           ? std::string(kCacheDeletedText)
                           : "The temporary cache " + report_.stagingLeft + " could not be deleted.";
    if (!burn_.writer.empty()) return text;
    return text + "\nThe incomplete disc image was removed.";
  }

  ResultNode& root_;
  CarvedDataSource& source_;
  SaveSettings& save_;
  BurnSettings& burn_;
  EngineHost& host_;
  RunControl& run_;
  BurnReport report_;

  OutputFolder imageFolder_;
  std::string imageName_;
  int imageFd_ = -1;
  int closeError_ = 0;

  OutputFolder cache_;
  OutputFolder cacheRoot_;  // "OVTmp"
  std::string stagingName_, stagingPath_;
};

BurnReport Burner::failed(const std::string& text) {
  closeImage(false);
  removeStaging();
  host_.showMessage("Error", text, MessageIcon::Error);
  report_.outcome = BurnOutcome::Failed;
  return report_;
}

bool Burner::openImage() {
  int error = 0;
  imageFolder_ = OutputFolder::open(parentOf(burn_.imagePath), error);
  imageName_ = burn_.imagePath.substr(burn_.imagePath.rfind('/') + 1);
  if (!imageFolder_.isOpen() || imageName_.empty()) {
    host_.showMessage("Error", "Cannot open the folder of \"" + burn_.imagePath + "\": " + std::strerror(error ? error : EINVAL),
                      MessageIcon::Error);
    return false;
  }
  if (burn_.replaceImage) {
    struct stat st {};
    if (::fstatat(imageFolder_.fd(), imageName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      // Only a file is replaced: never a folder, a device or what a link points to.
      if (!S_ISREG(st.st_mode) || ::unlinkat(imageFolder_.fd(), imageName_.c_str(), 0) != 0) {
        host_.showMessage("Error", "\"" + burn_.imagePath + "\" cannot be replaced.", MessageIcon::Error);
        return false;
      }
    }
  }
  imageFd_ = ::openat(imageFolder_.fd(), imageName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (imageFd_ < 0) {
    const int why = errno;
    host_.showMessage("Error",
                      why == EEXIST ? "The file \"" + burn_.imagePath + "\" already exists."
                                    : "Cannot create \"" + burn_.imagePath + "\": " + std::strerror(why),
                      MessageIcon::Error);
    return false;
  }
  track(burn_.imagePath, true);
  return true;
}

bool Burner::closeImage(bool keep) {
  if (imageFd_ < 0) return true;
  bool good = true;
  if (keep && ::fsync(imageFd_) != 0 && errno != EINVAL) {
    good = false;
    closeError_ = errno;
  }
  if (::close(imageFd_) != 0 && good) {
    good = false;
    closeError_ = errno;
  }
  imageFd_ = -1;
  if (!keep || !good) ::unlinkat(imageFolder_.fd(), imageName_.c_str(), 0);
  track(burn_.imagePath, false);
  return keep && good;
}

bool Burner::makeStaging() {
  int error = 0;
  cache_ = OutputFolder::open(burn_.cacheFolder, error);
  if (cache_.isOpen()) cacheRoot_ = cache_.subfolderNamed(kCacheFolderName, error);
  if (!cacheRoot_.isOpen()) {
    host_.showMessage("Error",
                      "Cannot use \"" + joinPath(burn_.cacheFolder, kCacheFolderName) +
                          "\" as the temporary cache: " + std::strerror(error ? error : EINVAL),
                      MessageIcon::Error);
    return false;
  }
  for (int tries = 0; tries < kMaxStagingNameTries; ++tries) {
    const std::string name = randomName();
    if (::mkdirat(cacheRoot_.fd(), name.c_str(), 0700) == 0) {
      stagingName_ = name;
      stagingPath_ = joinPath(joinPath(burn_.cacheFolder, kCacheFolderName), name);
      track(stagingPath_, true);
      return true;
    }
    if (errno != EEXIST) {
      error = errno;
      break;
    }
  }
  host_.showMessage("Error", "Cannot create the temporary cache in \"" + joinPath(burn_.cacheFolder, kCacheFolderName) +
                                 "\": " + std::strerror(error ? error : EEXIST),
                    MessageIcon::Error);
  ::unlinkat(cache_.fd(), kCacheFolderName, AT_REMOVEDIR);  // only when empty
  return false;
}

void Burner::removeStaging() {
  if (stagingName_.empty()) return;
  if (removeTree(cacheRoot_.fd(), stagingName_)) {
    track(stagingPath_, false);
  } else {
    report_.stagingLeft = stagingPath_;
  }
  stagingName_.clear();
  // "OVTmp" goes too when nothing else is in it; what others keep there stays.
  ::unlinkat(cache_.fd(), kCacheFolderName, AT_REMOVEDIR);
}

void Burner::askForShorterNames() {
  if (!save_.compress || !burn_.askShorterName) return;
  std::vector<const ResultNode*> pending{&root_};
  while (!pending.empty()) {
    const ResultNode* node = pending.back();
    pending.pop_back();
    for (const ResultNode* c = node->firstChild; c; c = c->nextSibling)
      if (c->checked) pending.push_back(c);
    if (node == &root_ || node->name.size() <= kBurnLongNameLimit) continue;
    if (std::optional<std::u16string> shorter = burn_.askShorterName(node->name); shorter && !shorter->empty())
      save_.names[node] = *shorter;
  }
}

BurnReport Burner::run() {
  const bool toImage = burn_.writer.empty();
  report_.target = burnTargetName(burn_);
  // The image is built from paths, so the cache is named from the top.
  if (!burn_.cacheFolder.empty() && burn_.cacheFolder.front() != '/') {
    std::error_code ec;
    burn_.cacheFolder = std::filesystem::absolute(burn_.cacheFolder, ec).string();
  }
  if (save_.source) {
    // Refused before anything is made: the cache and the image would overwrite what is carved.
    if (std::string why = destinationConflict(*save_.source, burn_.cacheFolder); !why.empty())
      return failed(std::string(kCacheOnSourceText) + "\n\n" + why);
    if (std::string why = destinationConflict(*save_.source, toImage ? burn_.imagePath : burn_.writer); !why.empty())
      return failed(why);
  }
  applyExclusions(root_, save_.excludedExtensions);
  const SelectionTotals marked = selectionTotals(root_);
  if (marked.files == 0) return failed("No marked file is left to burn.");

  std::string address = burn_.writer;
  if (toImage) {
    if (!openImage()) {
      report_.outcome = BurnOutcome::Failed;
      return report_;
    }
    address = disc::fileDriveAddress(imageFd_);
  }
  // The medium first: nobody should wait for the cache to learn that the tray is empty.
  const disc::Medium medium = disc::checkMedium(address);
  if (!medium.problem.empty()) return failed(medium.problem);
  const std::uint64_t room = toImage ? burn_.mediumBytes : medium.capacity;
  if (!save_.compress && room > 0 && marked.bytes > room) return failed(disc::kHigherCapacityText);

  host_.statusText(kWritingCacheStatus);
  if (!makeStaging()) {
    report_.outcome = BurnOutcome::Failed;
    closeImage(false);
    return report_;
  }
  askForShorterNames();
  save_.destination = stagingPath_;
  save_.quietEnd = true;
  report_.staged = saveMarkedItems(root_, source_, save_, host_, run_);
  if (report_.staged.outcome == SaveOutcome::Stopped || !run_.running()) {
    closeImage(false);
    removeStaging();
    report_.outcome = BurnOutcome::Stopped;
    host_.showMessage("Error", std::string(kBurnAbortedText) + "\n" + cleanedUpText(), MessageIcon::Error);
    return report_;
  }
  if (report_.staged.outcome != SaveOutcome::Completed)
    return failed("Burning process failed: not all marked files could be written to the temporary cache.\nNothing "
                  "was burned.");

  disc::WriteJob job;
  job.address = address;
  job.mediumBytes = toImage ? burn_.mediumBytes : 0;
  if (save_.compress) {
    job.contents.push_back({stagingPath_, ""});
  } else {
    job.contents.push_back({report_.staged.outputFolder, ""});
    struct stat st {};
    const std::string orphans = joinPath(stagingPath_, kOrphanFolderName);
    if (::lstat(orphans.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) job.contents.push_back({orphans, kOrphanFolderName});
  }
  job.writing = [this](std::uint64_t bytes) {
    report_.imageBytes = bytes;
    host_.statusText(save_.compress ? kBurningCompressedStatus : kBurningStatus);
    host_.progress(bytes, 0);
  };
  job.progress = [this](std::uint64_t total, std::uint64_t done) { host_.progress(total, done); };
  job.finalizing = [this] { host_.statusText(kBurnFinalizingStatus); };
  const disc::WriteResult written = disc::writeDisc(job, run_);
  report_.imageBytes = written.imageBytes;

  if (written.outcome == disc::WriteOutcome::Completed) {
    if (toImage && !closeImage(true))
      return failed("The disc image \"" + burn_.imagePath + "\" could not be completed: " + std::strerror(closeError_));
    removeStaging();
    report_.outcome = BurnOutcome::Completed;
    if (toImage) report_.resultFolder = parentOf(burn_.imagePath);
    std::string text = kBurnCompletedText;
    if (toImage) text += "\n\nDisc image: " + burn_.imagePath;
    if (!report_.stagingLeft.empty())
      text += "\n\nThe temporary cache " + report_.stagingLeft + " could not be deleted.";
    host_.showMessage("Information", text, MessageIcon::Information);
    return report_;
  }
  closeImage(false);
  removeStaging();
  if (written.outcome == disc::WriteOutcome::Stopped) {
    report_.outcome = BurnOutcome::Stopped;
    std::string text = std::string(kBurnAbortedText) + "\n" + cleanedUpText();
    if (!toImage && written.mediumTouched) text += "\nThe disc in the writer may not be usable.";
    host_.showMessage("Error", text, MessageIcon::Error);
    return report_;
  }
  report_.outcome = BurnOutcome::Failed;
  host_.showMessage("Error", written.message + "\n\n" + cleanedUpText(), MessageIcon::Error);
  return report_;
}

}  // namespace

std::string burnTargetName(const BurnSettings& burn) {
  if (burn.writer.empty()) return burn.imagePath;
  return burn.writerName.empty() ? burn.writer : burn.writerName;
}

BurnReport burnMarkedItems(ResultNode& root, CarvedDataSource& source, SaveSettings& save, BurnSettings& burn,
                           EngineHost& host, RunControl& run) {
  Burner burner(root, source, save, burn, host, run);
  return burner.run();
}

}  // namespace ov
