#include "disk/sector_source.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "tests/support/test_support.h"

namespace ov {
namespace {

constexpr std::uint16_t kBps = 512;

// A 64-sector disk whose sector n is filled with the byte n + 1.
std::vector<std::uint8_t> patternDisk(std::size_t sectors = 64) {
  std::vector<std::uint8_t> bytes(sectors * kBps);
  for (std::size_t s = 0; s < sectors; ++s)
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(s * kBps), kBps, static_cast<std::uint8_t>(s + 1));
  return bytes;
}

struct Fixture {
  test::RecordingHost host;
  RunControl run;
  SectorSource source{host, run};
  FaultBackend* faults = nullptr;
  std::vector<std::chrono::milliseconds> waits;

  Fixture() {
    auto backend = std::make_unique<FaultBackend>(std::make_unique<MemoryBackend>(patternDisk()), kBps);
    faults = backend.get();
    source.openBackend(std::move(backend), kBps, 64);
    source.setSleeper([this](std::chrono::milliseconds ms) { waits.push_back(ms); });
    run.start();
  }
  std::size_t accessErrors() const {
    std::size_t n = 0;
    for (const auto& e : host.log) n += e.name.rfind("Drive access error @ sector =", 0) == 0;
    return n;
  }
};

TEST(SectorSourceRetry, UnreadableSectorIsSkippedAndLoggedAndTheRestIsRead) {
  Fixture f;
  f.faults->failSector(4, EIO);  // the 5th sector of a read at 0
  std::vector<std::uint8_t> buffer(16 * kBps, 0);
  EXPECT_EQ(f.source.readSectorsRetrying(buffer.data(), buffer.size(), 0), 0);
  for (std::size_t s = 0; s < 16; ++s)
    EXPECT_EQ(buffer[s * kBps + 7], s == 4 ? 0 : s + 1) << "sector " << s;
  ASSERT_EQ(f.accessErrors(), 2u);
  EXPECT_EQ(f.host.log[0].name, "Drive access error @ sector =0 (Code =" + std::to_string(EIO) + ")");
  EXPECT_EQ(f.host.log[1].name, "Drive access error @ sector =4 (Code =" + std::to_string(EIO) + ")");
  EXPECT_EQ(f.host.log[1].kind, LogKind::Aborted);
  EXPECT_EQ(f.host.log[1].description, systemErrorText(EIO));
  EXPECT_TRUE(f.host.messages.empty());
}

TEST(SectorSourceRetry, ReturnsTheCodeOfTheLastSingleSectorRead) {
  Fixture f;
  f.faults->failSector(15, ENODATA);
  std::vector<std::uint8_t> buffer(16 * kBps, 0);
  EXPECT_EQ(f.source.readSectorsRetrying(buffer.data(), buffer.size(), 0), ENODATA);
}

TEST(SectorSourceRetry, ZeroByteReadThatFailsReturnsItsCodeWithoutRetry) {
  Fixture f;
  f.faults->disappearAfterReads(0);
  std::uint8_t dummy = 0;
  EXPECT_EQ(f.source.readSectorsRetrying(&dummy, 0, 3), ENODEV);
  EXPECT_EQ(f.faults->readCount(), 1u);
  EXPECT_TRUE(f.host.messages.empty());
}

TEST(SectorSourceRetry, AccessDeniedFailsAtOnceWithAMessage) {
  Fixture f;
  f.faults->failSector(2, EACCES);
  std::vector<std::uint8_t> buffer(8 * kBps, 0);
  EXPECT_THROW(f.source.readSectorsRetrying(buffer.data(), buffer.size(), 0), AlreadyReported);
  EXPECT_EQ(f.faults->readCount(), 1u);  // no single-sector reads
  ASSERT_EQ(f.host.messages.size(), 1u);
  EXPECT_EQ(f.host.messages[0].title, "Error");
  EXPECT_EQ(f.host.messages[0].text, systemErrorText(EACCES));
}

TEST(SectorSourceRetry, BusyDeviceIsWaitedOutOncePerSector) {
  Fixture f;
  for (std::uint64_t s = 8; s < 12; ++s) f.faults->failSector(s, EBUSY);
  std::vector<std::uint8_t> buffer(4 * kBps, 0);
  EXPECT_EQ(f.source.readSectorsRetrying(buffer.data(), buffer.size(), 8), EBUSY);
  EXPECT_EQ(f.waits.size(), 4u);
  for (auto w : f.waits) EXPECT_EQ(w.count(), 1000);
}

TEST(SectorSourceRetry, DeviceThatDisappearsMidRetryEndsTheOperation) {
  Fixture f;
  f.faults->failSector(1, EIO);
  f.faults->disappearAfterReads(2);  // the range read, sector 0, then ENODEV
  std::vector<std::uint8_t> buffer(4 * kBps, 0);
  EXPECT_THROW(f.source.readSectorsRetrying(buffer.data(), buffer.size(), 0), AlreadyReported);
  ASSERT_EQ(f.host.messages.size(), 1u);
  EXPECT_EQ(f.host.messages[0].text, systemErrorText(ENODEV));
}

TEST(SectorSourceRetry, AbortDuringRetryReturnsSuccessBeforeTheNextSector) {
  Fixture f;
  f.faults->failSector(0, EIO);
  f.run.stop();
  std::vector<std::uint8_t> buffer(4 * kBps, 0);
  EXPECT_EQ(f.source.readSectorsRetrying(buffer.data(), buffer.size(), 0), 0);
  EXPECT_EQ(f.faults->readCount(), 1u);
}

TEST(SectorSourceRead, ShortReadAtTheEndIsZeroFilledAndNotAnError) {
  Fixture f;
  std::vector<std::uint8_t> buffer(4 * kBps, 0xCC);
  EXPECT_EQ(f.source.readSectorsRetrying(buffer.data(), buffer.size(), 62), 0);
  EXPECT_EQ(buffer[0], 63);
  EXPECT_EQ(buffer[kBps], 64);
  EXPECT_EQ(buffer[2 * kBps], 0);
  EXPECT_EQ(buffer[4 * kBps - 1], 0);
  EXPECT_TRUE(f.host.log.empty());
}

TEST(SectorSourceRead, ReadWithNothingOpenFailsWithACode) {
  test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  std::uint8_t b[512];
  EXPECT_EQ(source.readRaw(b, sizeof b, 0), EBADF);
}

class ImageSectorSize : public ::testing::TestWithParam<std::pair<std::uint16_t, std::uint16_t>> {};

TEST_P(ImageSectorSize, ComesFromOffset444OfTheFirstSector) {
  auto [stored, expected] = GetParam();
  std::vector<std::uint8_t> bytes(8192, 0);
  bytes[444] = static_cast<std::uint8_t>(stored & 0xFF);
  bytes[445] = static_cast<std::uint8_t>(stored >> 8);
  auto path = test::scratchDir() / ("sector-size-" + std::to_string(stored) + ".img");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 8192);
  test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  ASSERT_EQ(source.openImage(path.string()), 0);
  EXPECT_EQ(source.bytesPerSector(), expected);
  EXPECT_EQ(source.totalSectors(), 8192u / expected);
}

INSTANTIATE_TEST_SUITE_P(Rule, ImageSectorSize,
                         ::testing::Values(std::pair<std::uint16_t, std::uint16_t>{0x0000, 512},
                                           std::pair<std::uint16_t, std::uint16_t>{0x0200, 512},
                                           std::pair<std::uint16_t, std::uint16_t>{0x0400, 1024},
                                           std::pair<std::uint16_t, std::uint16_t>{0x0600, 512},
                                           std::pair<std::uint16_t, std::uint16_t>{0x1000, 4096},
                                           std::pair<std::uint16_t, std::uint16_t>{0x0123, 512}));

TEST(SectorSourceOpen, MissingImageGivesItsErrnoAndLeavesTheSourceClosed) {
  test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  EXPECT_EQ(source.openImage((test::scratchDir() / "does-not-exist.img").string()), ENOENT);
  EXPECT_FALSE(source.isOpen());
  EXPECT_EQ(source.bytesPerSector(), 0);
}

TEST(SectorSourceOpen, ADirectoryIsRefused) {
  test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  EXPECT_NE(source.openImage(test::scratchDir().string()), 0);
  EXPECT_FALSE(source.isOpen());
}

TEST(SectorSourceWrite, FailedWriteIsReportedAndEndsTheOperation) {
  Fixture f;
  int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::vector<std::uint8_t> data(4096, 1);
  EXPECT_THROW(f.source.writeOut(fd, data.data(), data.size()), AlreadyReported);
  ::close(fd);
  ASSERT_EQ(f.host.messages.size(), 1u);
  EXPECT_EQ(f.host.messages[0].text, "No space left on device");
}

TEST(SectorSourceWrite, WritesEverything) {
  Fixture f;
  auto path = test::scratchDir() / "written.bin";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  std::vector<std::uint8_t> data(100000, 7);
  f.source.writeOut(fd, data.data(), data.size());
  ::close(fd);
  EXPECT_EQ(test::readFile(path), data);
}

TEST(ReadErrorPolicy, MapsErrnoValues) {
  EXPECT_EQ(classifyReadError(EIO), ReadErrorAction::Skip);
  EXPECT_EQ(classifyReadError(EILSEQ), ReadErrorAction::Skip);
  EXPECT_EQ(classifyReadError(ENODATA), ReadErrorAction::Skip);
  EXPECT_EQ(classifyReadError(EAGAIN), ReadErrorAction::Wait);
  EXPECT_EQ(classifyReadError(ETIMEDOUT), ReadErrorAction::Wait);
  EXPECT_EQ(classifyReadError(EACCES), ReadErrorAction::Fail);
  EXPECT_EQ(classifyReadError(ENODEV), ReadErrorAction::Fail);
}

}  // namespace
}  // namespace ov
