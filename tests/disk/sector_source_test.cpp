// Reading a failing disk (the FaultBackend): unreadable sectors skipped and logged, busy devices
// waited out, access denied and vanished devices ending the operation, stops; opening images.
// A destination that fills up is checked end to end (tests/e2e/failed_save_test.cpp).
#include "disk/sector_source.h"

#include "disk/byte_io.h"
#include "tests/support/builders.h"

namespace ov {
namespace {

constexpr std::uint16_t kBps = 512;

// A 64-sector disk whose sector n is filled with the byte n + 1; waits are noted, not slept.
struct Fixture : test::MemoryDisk {
  std::vector<std::chrono::milliseconds> waits;
  Fixture() : MemoryDisk(64) {
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i / kBps + 1);
    open();
    source.setSleeper([this](std::chrono::milliseconds ms) { waits.push_back(ms); });
  }
};

TEST(SectorSource, ReadsAFailingDiskSectorBySector) {
  struct Row {
    const char* what;
    std::vector<std::pair<std::uint64_t, int>> failures;
    int disappearAfter = -1;
    bool stopped = false;
    std::uint64_t at = 0;
    std::size_t sectors = 16;
    int result = 0;        // the call's return; -1: throws AlreadyReported
    std::vector<std::size_t> zeros = {};  // sectors of the buffer left at zero
    std::vector<std::string> logged = {};
    std::size_t reads = 0;  // 0: not counted
    std::size_t waits = 0;
  };
  const std::string eio = std::to_string(EIO);
  const std::vector<Row> rows = {
      {"an unreadable sector is skipped and logged, the rest read", {{4, EIO}}, -1, false, 0, 16, 0, {4},
       {"Drive access error @ sector =0 (Code =" + eio + ")", "Drive access error @ sector =4 (Code =" + eio + ")"}},
      {"the code of the last single-sector read", {{15, ENODATA}}, -1, false, 0, 16, ENODATA, {15}, {}, 0},
      {"a failed read of nothing returns its code at once", {}, 0, false, 3, 0, ENODEV, {}, {}, 1},
      {"access denied fails at once with a message", {{2, EACCES}}, -1, false, 0, 8, -1, {}, {}, 1},
      {"a busy device is waited out once a sector", {{8, EBUSY}, {9, EBUSY}, {10, EBUSY}, {11, EBUSY}}, -1, false, 8, 4,
       EBUSY, {0, 1, 2, 3}, {}, 0, 4},
      {"a device that vanishes during the retry ends it", {{1, EIO}}, 2, false, 0, 4, -1, {}, {}, 0},
      {"a stop during the retry returns before the next sector", {{0, EIO}}, -1, true, 0, 4, 0, {}, {}, 1},
      {"a short read at the end is zero-filled and no error", {}, -1, false, 62, 4, 0, {2, 3}, {}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Fixture f;
    for (auto [sector, error] : row.failures) f.faults->failSector(sector, error);
    if (row.disappearAfter >= 0) f.faults->disappearAfterReads(static_cast<std::size_t>(row.disappearAfter));
    if (row.stopped) f.run.stop();
    std::vector<std::uint8_t> buffer(row.sectors * kBps, 0);
    if (row.result < 0) {
      EXPECT_THROW(f.source.readSectorsRetrying(buffer.data(), buffer.size(), row.at), AlreadyReported);
      ASSERT_EQ(f.host.messages.size(), 1u);
      EXPECT_EQ(f.host.messages[0].title, "Error");
    } else {
      EXPECT_EQ(f.source.readSectorsRetrying(buffer.data(), buffer.size(), row.at), row.result);
      EXPECT_TRUE(f.host.messages.empty());
      if (!row.stopped)
        for (std::size_t s = 0; s < row.sectors; ++s) {
          const bool zero = std::count(row.zeros.begin(), row.zeros.end(), s) > 0;
          EXPECT_EQ(buffer[s * kBps + 7], zero ? 0 : row.at + s + 1) << "sector " << s;
        }
    }
    std::vector<std::string> logged;
    for (const auto& e : f.host.log) logged.push_back(e.name);
    if (!row.logged.empty()) {
      EXPECT_EQ(logged, row.logged);
      EXPECT_EQ(f.host.log.back().kind, LogKind::Aborted);
      EXPECT_EQ(f.host.log.back().description, systemErrorText(EIO));
    }
    if (row.reads) {
      EXPECT_EQ(f.faults->readCount(), row.reads);
    }
    EXPECT_EQ(f.waits.size(), row.waits);
    for (auto w : f.waits) EXPECT_EQ(w.count(), 1000);
  }
  EXPECT_EQ(classifyReadError(ETIMEDOUT), ReadErrorAction::Wait);  // a skipped EILSEQ: RescueMap tests
}

TEST(SectorSource, OpensImagesWithTheirSectorSizeAndRefusesWhatIsNone) {
  // The sector size of an image with no partition table or boot sector: offset 444 of sector 0.
  const std::pair<std::uint16_t, std::uint16_t> sizes[] = {{0x0000, 512}, {0x0400, 1024}, {0x0600, 512},
                                                           {0x1000, 4096}, {0x0123, 512}};
  for (auto [stored, expected] : sizes) {
    std::vector<std::uint8_t> bytes(8192, 0);
    writeLe<std::uint16_t>(bytes, 444, stored);
    const auto path = test::writeFile(test::scratchDir() / ("sector-size-" + std::to_string(stored) + ".img"), bytes);
    test::Source s;
    ASSERT_EQ(s.source.openImage(path.string()), 0);
    EXPECT_EQ(s.source.bytesPerSector(), expected) << stored;
    EXPECT_EQ(s.source.totalSectors(), 8192u / expected);
  }
  test::Source none;
  SectorSource& source = none.source;
  std::uint8_t b[512];
  EXPECT_EQ(source.readRaw(b, sizeof b, 0), EBADF);  // nothing open
  EXPECT_EQ(source.openImage((test::scratchDir() / "does-not-exist.img").string()), ENOENT);
  EXPECT_FALSE(source.isOpen());
  EXPECT_EQ(source.bytesPerSector(), 0);
  EXPECT_NE(source.openImage(test::scratchDir().string()), 0);  // a folder
  EXPECT_FALSE(source.isOpen());
}

}  // namespace
}  // namespace ov
