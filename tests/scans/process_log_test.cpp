#include "scans/process_log.h"

#include "tests/support/test_support.h"

namespace ov {
namespace {

// The saved text itself is checked end to end (ovrecover --log).
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
  EXPECT_FALSE(log.saveText((test::scratchDir() / "no-such-folder" / "log.txt").string()));
}

}  // namespace
}  // namespace ov
