// A failed save (a full tmpfs, a file-size limit, no room for working files, a closed pipe, SIGINT) is
// never reported as saved: files kept under their own names are whole, an incomplete one is only
// "name.partial", archives left behind are readable, and no working files remain.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "tests/e2e/cli_run.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ov::test::shq;
using ov::test::Outcome;

bool isPartial(const std::string& path) { return path.ends_with(".partial"); }

// Every file of the committed image `name` kept under its own name below out/Root is whole; returns
// how many were.
std::size_t expectWholeOrPartial(const fs::path& out, const std::string& name) {
  const auto files = ov::test::manifestFiles(name);
  std::size_t whole = 0;
  for (const std::string& path : ov::test::filesUnder(out)) {
    if (isPartial(path) || !path.starts_with("Root/")) continue;
    auto it = files.find(path.substr(4));
    if (it == files.end()) continue;  // metadata files of $Extend and the like
    EXPECT_EQ(ov::test::fileSha(out / path), it->second["sha256"])
        << path << " is kept under its name but is not whole";
    ++whole;
  }
  return whole;
}

TEST(FailedSave, ASaveWithoutRoomNamesTheFailureKeepsNoTruncatedFileAndGoesOn) {
  std::size_t small = 0;  // the files that a limit of 80 blocks of 512 bytes (the shell's unit) lets through
  for (const auto& f : ov::test::manifest("sample")["files"])
    if (f["type"] == "file" && f["size"].get<std::uint64_t>() <= 80 * 512) ++small;
  struct Row {
    const char* what;
    std::uint64_t tmpfsBytes;  // 0: no tmpfs, a file-size limit instead
    std::vector<std::string> messages;
    std::size_t whole;  // at least
  };
  for (const Row& row :
       {// server.log (100 KB) alone cannot be written.
        Row{"a file too large", 0,
            {"failed: Root/Compressed/server.log: cannot write it: File too large", ", 0 not tried."}, small},
        Row{"a destination that fills up", 200 * 1024, {"failed: Root/", "No space left on device", " not tried."}, 1}}) {
    SCOPED_TRACE(row.what);
    auto out = row.tmpfsBytes ? ov::test::smallTmpfs("full-recover", row.tmpfsBytes) : ov::test::freshDir("size-limit");
    if (out.empty()) GTEST_SKIP() << "cannot mount a tmpfs here";
    ov::test::Unmount unmount(row.tmpfsBytes ? out : fs::path());
    Outcome r = ov::test::shell(std::string(row.tmpfsBytes ? "" : "ulimit -f 80; ") + "OVRECOVER recover " +
                                shq(ov::test::image("sample")) + " --out " + shq(out / "saved"));
    EXPECT_EQ(r.status, 1);
    for (const std::string& message : row.messages) EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Saving data completed"), std::string::npos) << r.err;
    EXPECT_GE(expectWholeOrPartial(out / "saved", "sample"), row.whole);
  }
}

TEST(FailedSave, CarvingIntoADestinationThatFillsUpLeavesOnlyWholeFilesAndReadableArchives) {
  const auto listed = json::parse(ov::test::ovrecover("carve --list-only --json " + shq(ov::test::carvingImage())).out);
  std::map<std::string, std::uint64_t> sizes;
  for (const auto& item : listed) sizes[item["name"]] = item["size"];
  for (const char* mode : {"", " --zip"}) {
    for (std::uint64_t kib : {std::uint64_t{40}, std::uint64_t{100}}) {
      SCOPED_TRACE(std::string(mode) + " into " + std::to_string(kib) + " KiB");
      auto out = ov::test::smallTmpfs("full-carve", kib * 1024);
      if (out.empty()) GTEST_SKIP() << "cannot mount a tmpfs here";
      ov::test::Unmount unmount(out);
      Outcome r = ov::test::ovrecover("carve " + shq(ov::test::carvingImage()) + " --out " + shq(out) + mode);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err.find("Saving data completed"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("completed successfully"), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("  failed: DataXEB0/"), std::string::npos) << r.err;
      for (const std::string& path : ov::test::filesUnder(out)) {
        if (path.ends_with(".zip") && path.find('/') == std::string::npos) {
          EXPECT_EQ(ov::test::shell("unzip -tq " + shq(out / path)).status, 0) << path;
          continue;
        }
        if (isPartial(path)) continue;
        std::string name = fs::path(path).filename().string();
        ASSERT_TRUE(sizes.count(name)) << path;
        EXPECT_EQ(fs::file_size(out / path), sizes[name]) << path << " is kept under its name but is not whole";
      }
    }
  }
}

TEST(FailedSave, WorkingFilesWithoutRoomEndTheRunAsFailedAndLeaveNothingBehind) {
  const std::string image = shq(ov::test::image("ntfs_features"));
  std::map<std::string, std::size_t> all;  // entries listed by each command with room enough
  for (const char* command : {"ls -r --json ", "ls -r --json --turbo "})
    all[command] = json::parse(ov::test::ovrecover(command + image).out).size();
  struct Row {
    const char* what;
    std::uint64_t tmpfsBytes;  // 0: no tmpfs, a file-size limit instead
    const char* limit;
  };
  for (const Row& row : {Row{"a 4 KiB tmpfs", 4096, ""}, Row{"an 8 KiB tmpfs", 8192, ""},
                         Row{"a 1 KiB file size limit", 0, "ulimit -f 2; "},
                         Row{"a 2 KiB file size limit", 0, "ulimit -f 4; "}}) {
    SCOPED_TRACE(row.what);
    fs::path tmp = row.tmpfsBytes ? ov::test::smallTmpfs("small-tmp", row.tmpfsBytes) : ov::test::scratchDir() / "tmp";
    if (tmp.empty()) GTEST_SKIP() << "cannot mount a tmpfs here";
    ov::test::Unmount unmount(row.tmpfsBytes ? tmp : fs::path());
    fs::create_directories(tmp);
    for (const char* command : {"ls -r --json ", "ls -r --json --turbo "}) {
      Outcome r = ov::test::shell(std::string(row.limit) + "TMPDIR=" + shq(tmp) + " OVRECOVER " + command + image);
      if (r.status == 0) {
        EXPECT_EQ(json::parse(r.out).size(), all[command]);  // a run that succeeds lists everything
      } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("working files"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty() || json::parse(r.out).empty()) << r.out;
      }
      EXPECT_TRUE(fs::is_empty(tmp)) << "working files left in " << tmp;
    }
  }
}

TEST(FailedSave, AClosedOutputPipeLeavesNoWorkingFiles) {
  fs::path tmp = ov::test::scratchDir() / "pipe-tmp";
  fs::create_directories(tmp);
  const std::string image = shq(ov::test::image("ntfs_features"));
  for (const char* reader : {"true", "head -c 1 >/dev/null"}) {
    SCOPED_TRACE(reader);
    ov::test::shell("TMPDIR=" + shq(tmp) + " OVRECOVER ls -r " + image + " | " + reader);
    EXPECT_TRUE(fs::is_empty(tmp));
  }
}

// Starts ovrecover with `arguments` and TMPDIR, its output thrown away; its pid.
pid_t start(const std::vector<std::string>& arguments, const fs::path& tmp) {
  std::vector<char*> argv{const_cast<char*>(OVRECOVER_PATH)};
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::execv(OVRECOVER_PATH, argv.data());
    ::_exit(127);
  }
  return pid;
}

TEST(FailedSave, AFileStoppedByCtrlCIsKeptOnlyAsPartial) {
  // ballast.bin (37 MB) takes long enough to write that the signal lands while it is written;
  // a try in which it does not is repeated. One signal stops the save cleanly, a second ends
  // the program at once: either way the file is not left whole-looking under its own name.
  const fs::path image = ov::test::image("ntfs_features");
  const std::uint64_t full = 37367808;
  for (int signals : {1, 2}) {
    SCOPED_TRACE(std::to_string(signals) + " signal(s)");
    bool caught = false;
    for (int attempt = 0; attempt < 20 && !caught; ++attempt) {
      fs::path out = ov::test::scratchDir() / "interrupted";
      fs::path tmp = ov::test::scratchDir() / "interrupted-tmp";
      fs::remove_all(out);
      fs::create_directories(tmp);
      pid_t pid = start({"recover", image.string(), "--out", out.string(), "ballast.bin"}, tmp);
      ASSERT_GT(pid, 0);
      const fs::path file = out / "Root/Fill/ballast.bin";
      for (int i = 0; i < 5000; ++i) {
        std::error_code ec;
        auto size = fs::file_size(file, ec);
        if (!ec && size > 0 && size < full) {
          for (int s = 0; s < signals; ++s) ::kill(pid, SIGINT);
          caught = true;
          break;
        }
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
          pid = -1;
          break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      int status = 0;
      if (pid > 0) ::waitpid(pid, &status, 0);
      EXPECT_TRUE(fs::is_empty(tmp));
      if (!caught) continue;
      EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      std::error_code ec;
      if (fs::exists(file)) EXPECT_EQ(fs::file_size(file, ec), full) << "an interrupted file under its own name";
      else EXPECT_TRUE(fs::exists(out / "Root/Fill/ballast.bin.partial"));
    }
    if (!caught) GTEST_SKIP() << "the save always ended before a signal could reach it";
  }
}

}  // namespace
