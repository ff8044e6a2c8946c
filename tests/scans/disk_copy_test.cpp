#include "scans/disk_copy.h"

#include <signal.h>
#include <sys/resource.h>


#include "disk/byte_io.h"
#include "tests/support/builders.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

// Every sector different from its neighbours, and no byte pattern that a copy could fake.
std::vector<std::uint8_t> patternDisk(std::size_t sectors, std::size_t bps = 512) {
  std::vector<std::uint8_t> bytes(sectors * bps);
  for (std::size_t s = 0; s < sectors; ++s)
    for (std::size_t i = 0; i < bps; ++i) bytes[s * bps + i] = static_cast<std::uint8_t>((s + 1) ^ (i * 7) ^ (s >> 8));
  return bytes;
}

fs::path scratchFile(const std::string& name) {
  fs::path p = test::scratchDir() / name;
  std::error_code ignored;
  fs::remove(p, ignored);
  return p;
}

bool isGeometryByte(std::size_t offset) {
  return (offset >= kCopyTotalSectorsOffset && offset < kCopyTotalSectorsOffset + 8) ||
         (offset >= kCopyBytesPerSectorOffset && offset < kCopyBytesPerSectorOffset + 2);
}

// Bytes that differ between a copy and its source, leaving out the geometry fields of sector 0.
std::size_t differences(const std::vector<std::uint8_t>& copy, const std::vector<std::uint8_t>& source) {
  std::size_t n = copy.size() > source.size() ? copy.size() - source.size() : source.size() - copy.size();
  for (std::size_t i = 0; i < std::min(copy.size(), source.size()); ++i)
    n += !isGeometryByte(i) && copy[i] != source[i];
  return n;
}

// Records the copy's progress; hooks act on progress and log lines.
class CopyHost : public test::ProgressHost {
 public:
  void addLogEntry(const LogEntry& e) override {
    RecordingHost::addLogEntry(e);
    if (onLog) onLog(e);
  }
  void progress(std::uint64_t total, std::uint64_t done) override {
    copyProgress.emplace_back(done, total);
    ProgressHost::progress(total, done);
  }
  std::size_t accessErrorLines(std::uint64_t sector, int code) const {
    const std::string line = "Drive access error @ sector =" + std::to_string(sector) + " (Code =" + std::to_string(code) + ")";
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const LogEntry& e) { return e.name == line; }));
  }

  std::vector<std::pair<std::uint64_t, std::uint64_t>> copyProgress;  // (position, total)
  std::function<void(const LogEntry&)> onLog;
};

// A source with chosen faults in memory, or a file for the identity checks.
struct MemoryDisk {
  CopyHost host;
  RunControl run;
  SectorSource source{host, run};
  FaultBackend* faults = nullptr;
  std::vector<std::uint8_t> bytes;
  fs::path path;

  explicit MemoryDisk(std::size_t sectors, std::uint16_t bps = 512) : bytes(patternDisk(sectors, bps)) {
    auto backend = std::make_unique<FaultBackend>(std::make_unique<MemoryBackend>(bytes, "memory-disk"), bps);
    faults = backend.get();
    source.openBackend(std::move(backend), bps, sectors);
  }
  MemoryDisk(const std::string& name, std::size_t sectors)
      : bytes(patternDisk(sectors)), path(test::writeFile(scratchFile(name), bytes)) {
    int error = 0;
    auto backend = FileBackend::open(path.string(), error);
    EXPECT_TRUE(backend) << error;
    if (backend) source.openBackend(std::move(backend), 512, sectors);
  }
  CopyResult copyTo(const fs::path& dest, CopyOptions options = {}) {
    return copyDisk(host, run, source, dest.string(), options);
  }
};

CopyOptions copyOptions(CopyKind kind, bool overwrite = false) {
  CopyOptions o;
  o.kind = kind;
  o.overwrite = overwrite;
  return o;
}

TEST(DiskImaging, UnreadableSectorsAreLoggedSkippedAsZerosAndListed) {
  MemoryDisk disk(1000);
  for (std::uint64_t s : {0u, 5u, 300u, 900u}) disk.faults->failSector(s, EIO);
  disk.faults->failSector(901, ENODATA);
  fs::path dest = scratchFile("unreadable.ov2");

  CopyResult r = disk.copyTo(dest);

  EXPECT_EQ(r.outcome, CopyOutcome::Completed);
  EXPECT_EQ(r.unreadableSectors, (std::vector<std::uint64_t>{0, 5, 300, 900, 901}));
  EXPECT_EQ(r.sectorsCopied, 1000u);
  EXPECT_EQ(disk.host.log[0].name, "Drive access error @ sector =0 (Code =" + std::to_string(EIO) + ")");
  for (std::uint64_t s : {0u, 5u, 300u, 900u}) EXPECT_GE(disk.host.accessErrorLines(s, EIO), 1u) << s;
  EXPECT_GE(disk.host.accessErrorLines(901, ENODATA), 1u);
  for (const auto& e : disk.host.log) EXPECT_EQ(e.kind, LogKind::Aborted);
  EXPECT_TRUE(disk.host.messages.empty());

  auto copy = test::readFile(dest);
  auto expected = disk.bytes;
  for (std::size_t s : {0u, 5u, 300u, 900u, 901u}) std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(s * 512), 512, 0);
  EXPECT_EQ(differences(copy, expected), 0u);
  EXPECT_EQ(le64(copy, 432), 1000u);  // sector 0 unreadable: zeros apart from the geometry
}

TEST(DiskImaging, DeviceLostAtTheLastSectorOfAChunkEndsTheCopy) {
  MemoryDisk disk(1000);
  disk.faults->failSector(260, EIO);
  disk.faults->failSector(511, ENODEV);
  CopyResult r = disk.copyTo(scratchFile("lost.ov2"));
  EXPECT_EQ(r.outcome, CopyOutcome::Aborted);
  EXPECT_EQ(r.sectorsCopied, 256u);
  ASSERT_EQ(disk.host.messages.size(), 1u);
  EXPECT_EQ(disk.host.messages[0].text, systemErrorText(ENODEV));
  EXPECT_EQ(r.error, systemErrorText(ENODEV));
  EXPECT_FALSE(disk.run.running());
}

TEST(DiskImaging, StopEndsTheCopyBeforeTheNextChunk) {
  MemoryDisk disk(4096);
  std::uint64_t readsAtStop = 0;
  std::size_t progressAtStop = 0;
  disk.host.onProgress = [&](std::uint64_t, std::uint64_t done) {
    if (done == 1024 && readsAtStop == 0) {
      readsAtStop = disk.faults->readCount();
      progressAtStop = disk.host.copyProgress.size();
      disk.run.stop();
    }
  };
  fs::path dest = scratchFile("stopped.ov2");

  CopyResult r = disk.copyTo(dest);

  EXPECT_EQ(r.outcome, CopyOutcome::Aborted);
  EXPECT_TRUE(r.error.empty());
  EXPECT_EQ(r.sectorsCopied, 1024u);
  EXPECT_EQ(disk.faults->readCount(), readsAtStop);  // nothing read after the stop
  EXPECT_EQ(disk.host.copyProgress.size(), progressAtStop + 1);
  EXPECT_EQ(disk.host.copyProgress.back(), std::make_pair(std::uint64_t{1024}, std::uint64_t{4096}));
  auto copy = test::readFile(dest);
  EXPECT_EQ(differences(copy, std::vector<std::uint8_t>(disk.bytes.begin(), disk.bytes.begin() + 1024 * 512)), 0u);
}

TEST(DiskImaging, StopDuringTheSectorBySectorRetryLeavesThatChunkUnwritten) {
  MemoryDisk disk(2048);
  disk.faults->failSector(600, EIO);
  disk.host.onLog = [&](const LogEntry& e) {
    if (e.name.rfind("Drive access error @ sector =512 ", 0) == 0) disk.run.stop();
  };
  fs::path dest = scratchFile("stopped-in-retry.ov2");
  CopyResult r = disk.copyTo(dest);
  EXPECT_EQ(r.outcome, CopyOutcome::Aborted);
  EXPECT_EQ(r.sectorsCopied, 512u);
  EXPECT_TRUE(r.unreadableSectors.empty());
  EXPECT_EQ(fs::file_size(dest), 512u * 512);
}

// The image's sector size at offset 444, where SectorSource::openImage reads it.
TEST(DiskImaging, ImageOfA4096ByteSectorDiskNamesItsSectorSize) {
  MemoryDisk disk(300, 4096);
  fs::path dest = scratchFile("big-sectors.ov2");
  ASSERT_EQ(disk.copyTo(dest).outcome, CopyOutcome::Completed);
  auto copy = test::readFile(dest);
  EXPECT_EQ(le64(copy, 432), 300u);
  EXPECT_EQ(le16(copy, 444), 4096u);
  EXPECT_EQ(differences(copy, disk.bytes), 0u);
}

TEST(DiskCopy, RefusalsTouchNothing) {
  MemoryDisk file("self-source.img", 600);
  const fs::path symlink = scratchFile("self-symlink.img"), hardlink = scratchFile("self-hardlink.img");
  fs::create_symlink(file.path, symlink);
  fs::create_hard_link(file.path, hardlink);
  for (CopyKind kind : {CopyKind::Imaging, CopyKind::Cloning}) {
    const CopyOptions options = copyOptions(kind, true);
    for (const fs::path& dest : {file.path, symlink, hardlink, file.path.parent_path() / "." / file.path.filename()}) {
      CopyResult r = file.copyTo(dest, options);
      EXPECT_EQ(r.outcome, CopyOutcome::Refused) << dest;
      EXPECT_NE(r.error.find("is the source"), std::string::npos) << r.error;
      EXPECT_EQ(test::readFile(file.path), file.bytes) << dest;
    }
  }
  EXPECT_TRUE(fs::is_symlink(symlink));
  // An image of an image file into another file is allowed.
  EXPECT_EQ(file.copyTo(scratchFile("plain-copy.ov2")).outcome, CopyOutcome::Completed);

  struct Row {
    const char* what;
    fs::path dest;
    std::vector<std::uint8_t> before;  // what the destination held; empty: nothing
    CopyOptions options;
    const char* error;
  };
  const std::vector<Row> rows = {
      {"an existing image", scratchFile("existing.ov2"), std::vector<std::uint8_t>(2 << 20, 0xEE), {}, "already exists"},
      {"a missing folder", test::scratchDir() / "no-such-folder" / "x.ov2", {}, {}, "cannot create"},
      {"a folder", test::scratchDir(), {}, {}, "is a folder"},
      {"a clone onto a smaller target", scratchFile("small-target.img"), std::vector<std::uint8_t>(599 * 512, 0x11), copyOptions(CopyKind::Cloning),
       "smaller than the source"},
      {"a clone onto a missing target", scratchFile("missing-target.img"), {}, copyOptions(CopyKind::Cloning), ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    MemoryDisk disk(600);
    if (!row.before.empty()) test::writeFile(row.dest, row.before);
    CopyResult r = disk.copyTo(row.dest, row.options);
    EXPECT_EQ(r.outcome, CopyOutcome::Refused);
    EXPECT_NE(r.error.find(row.error), std::string::npos) << r.error;
    EXPECT_EQ(disk.faults->readCount(), 0u);
    if (!row.before.empty()) {
      EXPECT_EQ(test::readFile(row.dest), row.before);
    } else if (row.dest != test::scratchDir()) {
      EXPECT_FALSE(fs::exists(row.dest));
    }
  }
  // Asked to overwrite, the old image is replaced, and a longer one cut.
  MemoryDisk disk(300);
  ASSERT_EQ(disk.copyTo(test::scratchDir() / "existing.ov2", copyOptions(CopyKind::Imaging, true)).outcome, CopyOutcome::Completed);
  EXPECT_EQ(differences(test::readFile(test::scratchDir() / "existing.ov2"), disk.bytes), 0u);
  // No source at all.
  test::Source none;
  EXPECT_EQ(copyDisk(none.host, none.run, none.source, scratchFile("nothing.ov2").string()).outcome, CopyOutcome::Refused);
  EXPECT_FALSE(fs::exists(test::scratchDir() / "nothing.ov2"));
}

TEST(DiskCloning, TheTargetGetsTheSourceAndKeepsItsTailButIsNeverWrittenPastItsEnd) {
  for (std::size_t targetSectors : {std::size_t{1200}, std::size_t{1000}}) {
    MemoryDisk disk(1000);
    const fs::path dest = test::writeFile(scratchFile("target.img"), std::vector<std::uint8_t>(targetSectors * 512, 0x11));
    ASSERT_EQ(disk.copyTo(dest, copyOptions(CopyKind::Cloning)).outcome, CopyOutcome::Completed);
    auto copy = test::readFile(dest);
    ASSERT_EQ(copy.size(), targetSectors * 512);
    EXPECT_EQ(differences(std::vector<std::uint8_t>(copy.begin(), copy.begin() + 1000 * 512), disk.bytes), 0u);
    EXPECT_EQ(le64(copy, 432), 1000u);
    EXPECT_TRUE(std::all_of(copy.begin() + 1000 * 512, copy.end(), [](std::uint8_t b) { return b == 0x11; }));
  }
}

TEST(DiskImaging, FailedWriteEndsTheCopyAsAbortedWithTheSystemsText) {
  MemoryDisk disk(2048);
  fs::path dest = scratchFile("limited.ov2");
  // A file-size limit makes the destination fail part way, like a full disk.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 300 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  CopyResult r = disk.copyTo(dest);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(r.outcome, CopyOutcome::Aborted);
  EXPECT_EQ(r.error, systemErrorText(EFBIG));
  ASSERT_EQ(disk.host.messages.size(), 1u);
  EXPECT_EQ(disk.host.messages[0].title, "Error");
  EXPECT_EQ(disk.host.messages[0].text, systemErrorText(EFBIG));
  EXPECT_EQ(fs::file_size(dest), 300u * 1024);  // what was written stays
  EXPECT_FALSE(disk.run.running());
}

TEST(ImageFreeSpace, ComparesTheSourceSizeWithTheFolder) {
  const std::string image = (test::scratchDir() / "space.ov2").string();
  EXPECT_EQ(checkImageFreeSpace(image, 512, 100).verdict, FreeSpaceVerdict::Enough);
  EXPECT_EQ(checkImageFreeSpace(image, 4096, std::uint64_t{1} << 50).verdict, FreeSpaceVerdict::NotEnough);
  FreeSpaceCheck overflowing = checkImageFreeSpace(image, 4096, UINT64_MAX / 2);  // must not wrap round to "enough"
  EXPECT_EQ(overflowing.verdict, FreeSpaceVerdict::NotEnough);
  EXPECT_EQ(overflowing.required, UINT64_MAX);
  EXPECT_EQ(checkImageFreeSpace((test::scratchDir() / "missing" / "x.ov2").string(), 512, 100).verdict,
            FreeSpaceVerdict::Unknown);
}

// A small sysfs: sda with partitions sda1 and sda2, and dm-0 built on sda2.
TEST(BlockDeviceStack, FollowsPartitionsAndStackedDevices) {
  fs::path sys = test::scratchDir() / "fake-sys";
  fs::path devices = sys / "devices" / "virtual" / "block";
  auto put = [](const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  };
  put(devices / "sda" / "dev", "8:0");
  put(devices / "sda" / "sda1" / "dev", "8:1");
  put(devices / "sda" / "sda1" / "partition", "1");
  put(devices / "sda" / "sda2" / "dev", "8:2");
  put(devices / "sda" / "sda2" / "partition", "2");
  put(devices / "dm-0" / "dev", "253:0");
  fs::create_directories(devices / "dm-0" / "slaves");
  fs::create_directory_symlink("../../sda/sda2", devices / "dm-0" / "slaves" / "sda2");
  fs::create_directories(sys / "dev" / "block");
  for (auto [key, target] : {std::pair<const char*, const char*>{"8:0", "sda"}, {"8:1", "sda/sda1"},
                             {"8:2", "sda/sda2"}, {"253:0", "dm-0"}})
    fs::create_directory_symlink(fs::path("../../devices/virtual/block") / target, sys / "dev" / "block" / key);

  using Keys = std::set<std::string>;
  EXPECT_EQ(blockDeviceStack(8, 0, sys.string()), (Keys{"8:0"}));
  EXPECT_EQ(blockDeviceStack(8, 1, sys.string()), (Keys{"8:1", "8:0"}));
  EXPECT_EQ(blockDeviceStack(253, 0, sys.string()), (Keys{"253:0", "8:2", "8:0"}));
  EXPECT_TRUE(blockDeviceStack(9, 9, sys.string()).empty());
}

}  // namespace
}  // namespace ov
