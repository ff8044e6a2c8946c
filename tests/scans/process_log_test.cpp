#include "scans/process_log.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace ov {
namespace {

std::tm at(int year, int month, int day, int wday, int h, int m, int s) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_wday = wday;
  t.tm_hour = h;
  t.tm_min = m;
  t.tm_sec = s;
  return t;
}

const std::string kHeader =
    "------------------------Ovelin Dodedoz Avov Ovavized (NTFS) v2\t.0.1  Process Log------------------------\n\n";

TEST(ProcessLogText, RowsAreNameDescriptionAndTimeBetweenDashes) {
  ProcessLog log;
  const auto path = test::scratchDir() / "empty-log.txt";
  ASSERT_TRUE(log.saveText(path.string()));
  const auto bytes = test::readFile(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), kHeader + "\n" + std::string(68, '-'));
  EXPECT_FALSE(log.saveText((test::scratchDir() / "no-such-folder" / "log.txt").string()));
  log.add(LogEntry{"Completed processing Internal File System Structure", std::string(35, '-'), LogKind::Completed, {}},
          at(2026, 12, 6, 0, 1, 8, 55));
  EXPECT_EQ(log.text(), kHeader + "\n" + std::string(68, '-') + "\nCompleted processing Internal File System Structure\n\t\t" +
                            std::string(35, '-') + "\n\t\tSun Dec  6 2026 01:08:55\n" + std::string(68, '-'));
}

TEST(ProcessLogState, PauseResumeAndEndOfARun) {
  ProcessLog log;
  LogEntry run{"Selected NTFS logical drive 1", "Starting Sector 2048, Size  12.000 MB", LogKind::Started, {}};
  log.setRunEntry(run);
  log.add(run);
  log.processState(LoggedProcess::InternalFileProcessing, ProcessState::Paused);
  log.processState(LoggedProcess::InternalFileProcessing, ProcessState::Resumed);
  log.processState(LoggedProcess::InternalFileProcessing, ProcessState::Completed);
  const auto& e = log.entries();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[1].name, "Internal File processing");
  EXPECT_EQ(e[1].description, "Process Paused");
  EXPECT_EQ(e[1].kind, LogKind::Started);
  EXPECT_EQ(e[2].description, "Process Resumed");
  EXPECT_EQ(e[3].name, "Completed Selected NTFS logical drive 1");
  EXPECT_EQ(e[3].description, run.description);
  EXPECT_EQ(e[3].kind, LogKind::Completed);
  EXPECT_EQ(log.highlightedRow(), 3);
}

}  // namespace
}  // namespace ov
