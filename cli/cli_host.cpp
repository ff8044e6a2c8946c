#include "cli/cli_host.h"

#include <unistd.h>

#include <cstdio>

namespace ov::cli {

CliHost::CliHost() : terminal_(::isatty(STDERR_FILENO) == 1) {}

void CliHost::addLogEntry(const LogEntry& entry) {
  log_.add(entry);
  if (quiet_) return;
  clearBar();
  std::fprintf(stderr, "%s  %s\n", entry.name.c_str(), entry.description.c_str());
}

void CliHost::showMessage(const std::string& title, const std::string& text, MessageIcon icon) {
  clearBar();
  std::string oneLine = text;
  for (auto& c : oneLine)
    if (c == '\n') c = ' ';
  (void)title;
  std::fprintf(stderr, "ovrecover: %s%s\n", icon == MessageIcon::Error ? "error: " : "", oneLine.c_str());
}

void CliHost::progress(std::uint64_t total, std::uint64_t done) {
  if (total == 0) return;
  std::uint64_t pct = done >= total ? 100 : done / (total / 100 + 1);
  drawBar(static_cast<std::uint32_t>(pct > 100 ? 100 : pct), {});
}

void CliHost::statusText(const std::string& text) {
  if (quiet_) return;
  if (!terminal_) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return;
  }
  // On a terminal the text goes beside a bar that is shown.
  if (barShown_) {
    barShown_ = false;
    drawBar(lastPercent_, text);
  }
}

void CliHost::beginSearch(SearchDialogWords words) {
  search_ = std::make_unique<VolumeSearchDialogModel>(std::move(words));
  statusText(search_->words().statusText);
}

void CliHost::searchProgress(std::uint64_t position, std::uint64_t end) {
  if (!search_) return;
  search_->onProgress(position, end);
  drawBar(search_->percent(), search_->scanningText());
}

void CliHost::volumeFoundAs(std::uint64_t startSector, const std::string& driveWord) {
  if (!search_) return;
  search_->onVolumeFound(startSector, driveWord);
  if (quiet_) return;
  clearBar();
  const auto& row = search_->rows().back();
  std::fprintf(stderr, "found %s at sector %s\n", row.name.c_str(), row.startLocation.c_str());
}

void CliHost::searchFinished(bool completed) {
  if (!search_) return;
  clearBar();
  SearchFinishMessage m = search_->onFinished(completed);
  addLogEntry(m.logEntry);
  showMessage(m.title, m.text, m.icon);
}

void CliHost::drawBar(std::uint32_t percent, const std::string& detail) {
  if (!terminal_ || quiet_) return;
  if (percent == lastPercent_ && barShown_) return;
  lastPercent_ = percent;
  constexpr int kWidth = 40;
  int filled = static_cast<int>(percent) * kWidth / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  std::fprintf(stderr, "\r[%s] %3u %%  %s\033[K", bar.c_str(), percent, detail.c_str());
  std::fflush(stderr);
  barShown_ = true;
}

void CliHost::clearBar() {
  if (!barShown_) return;
  std::fprintf(stderr, "\r\033[K");
  barShown_ = false;
  lastPercent_ = 101;
}

}  // namespace ov::cli
