// What the lost-volume search dialog shows and logs, without widgets: the Qt dialog and the
// command line both drive this model from the engine's search messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/host.h"

namespace ov {

struct SearchDialogWords {
  std::string modeTitle;     // "Quick Scan", "Thorough Scan", "Basic Scan"
  std::string modeWord;      // "Quick", "Thorough", "Basic"
  std::string statusText;    // "Quick scan in progress" ...
  std::string driveWord;     // "NTFS" or "FAT"
  bool hintWhenNothingFound; // the quick (basic) search suggests the thorough one
};
SearchDialogWords searchDialogWords(const std::string& driveWord, bool thorough, bool basicName = false);

struct SearchDialogRow {
  std::string name;           // "NTFS logical drive #%d" ("exFAT logical drive #%d" in OV_FAT)
  std::string startLocation;  // the start sector
};

struct SearchFinishMessage {
  std::string title;  // "Information"
  std::string text;
  MessageIcon icon;
  LogEntry logEntry;
};

class VolumeSearchDialogModel {
 public:
  explicit VolumeSearchDialogModel(SearchDialogWords words) : words_(std::move(words)) {}

  // Returns true when the percentage changed (the bar moves).
  bool onProgress(std::uint64_t position, std::uint64_t end);
  // `driveWord` names a kind of volume apart from the words' own ("exFAT"); empty: the words'.
  void onVolumeFound(std::uint64_t startSector, const std::string& driveWord = {});
  SearchFinishMessage onFinished(bool completed) const;

  const SearchDialogWords& words() const { return words_; }
  std::uint32_t percent() const { return percent_; }
  std::string percentText() const;     // "%u %"
  const std::string& scanningText() const { return scanning_; }  // "Scanning sector %u of %u"
  const std::vector<SearchDialogRow>& rows() const { return rows_; }
  static const char* caption() { return "Locating Partitions..."; }
  static const char* abortQuestion() { return "Do you want to abort scanning?"; }

 private:
  SearchDialogWords words_;
  std::optional<std::uint32_t> lastPercent_;
  std::uint32_t percent_ = 0;
  std::string scanning_;
  std::uint8_t counter_ = 0;
  std::vector<SearchDialogRow> rows_;
};

}  // namespace ov
