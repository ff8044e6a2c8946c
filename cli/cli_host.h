// The command line's engine host: log lines and messages on stderr, a progress bar when stderr
// is a terminal, and the process log kept for --log.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "disk/host.h"
#include "scans/process_log.h"
#include "workbench/models/volume_search_dialog.h"

namespace ov::cli {

class CliHost final : public EngineHost {
 public:
  CliHost();
  void addLogEntry(const LogEntry& entry) override;
  void showMessage(const std::string& title, const std::string& text, MessageIcon icon) override;
  void progress(std::uint64_t total, std::uint64_t done) override;
  void statusText(const std::string& text) override;
  void searchProgress(std::uint64_t position, std::uint64_t end) override;
  void volumeFound(std::uint64_t startSector) override { volumeFoundAs(startSector, {}); }
  void volumeFoundAs(std::uint64_t startSector, const std::string& driveWord) override;
  void searchFinished(bool completed) override;

  // Starts showing a search through the dialog model.
  void beginSearch(SearchDialogWords words);
  ProcessLog& log() { return log_; }
  const ProcessLog& log() const { return log_; }
  void setQuiet(bool quiet) { quiet_ = quiet; }

 private:
  void drawBar(std::uint32_t percent, const std::string& detail);
  void clearBar();

  ProcessLog log_;
  std::unique_ptr<VolumeSearchDialogModel> search_;
  bool terminal_ = false;
  bool barShown_ = false;
  bool quiet_ = false;
  std::uint32_t lastPercent_ = 101;
};

}  // namespace ov::cli
