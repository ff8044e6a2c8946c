#include "workbench/models/volume_search_dialog.h"

namespace ov {

SearchDialogWords searchDialogWords(const std::string& driveWord, bool thorough, bool basicName) {
  std::string mode = thorough ? "Thorough" : (basicName ? "Basic" : "Quick");
  std::string lower = thorough ? "Thorough" : mode;
  return SearchDialogWords{mode + " Scan", mode, lower + " scan in progress", driveWord, !thorough};
}

bool VolumeSearchDialogModel::onProgress(std::uint64_t position, std::uint64_t end) {
  std::uint64_t pct = 100;
  if (end != 0 && position < end) pct = position <= UINT64_MAX / 100 ? position * 100 / end : position / (end / 100);
  percent_ = static_cast<std::uint32_t>(pct);
  scanning_ = "Scanning sector " + std::to_string(position) + " of " + std::to_string(end);
  bool changed = !lastPercent_ || *lastPercent_ != percent_;
  lastPercent_ = percent_;
  return changed;
}

void VolumeSearchDialogModel::onVolumeFound(std::uint64_t startSector, const std::string& driveWord) {
  ++counter_;
  rows_.push_back({(driveWord.empty() ? words_.driveWord : driveWord) + " logical drive #" + std::to_string(static_cast<int>(counter_)),
                   std::to_string(startSector)});
}

std::string VolumeSearchDialogModel::percentText() const { return std::to_string(percent_) + " %"; }

SearchFinishMessage VolumeSearchDialogModel::onFinished(bool completed) const {
  SearchFinishMessage m;
  m.title = "Information";
  if (completed) {
    m.text = words_.modeWord + " scan of drives completed.";
    if (words_.hintWhenNothingFound && rows_.empty()) m.text += "\nNo logical drive(s) found.\nPlease use thorough scan.";
    m.icon = MessageIcon::Information;
    m.logEntry = LogEntry{"Completed Searching partitions", "-----------------", LogKind::Completed, {}};
  } else {
    m.text = words_.modeWord + " scan of drives aborted.";
    m.icon = MessageIcon::Error;
    m.logEntry = LogEntry{"Aborted searching partitions", "-----------------", LogKind::Aborted, {}};
  }
  return m;
}

}  // namespace ov
