// A host that swallows everything the engine reports, for the fuzz targets.
#pragma once

#include "disk/host.h"

namespace ov::fuzz {

class SilentHost final : public EngineHost {
 public:
  void addLogEntry(const LogEntry&) override {}
  void showMessage(const std::string&, const std::string&, MessageIcon) override {}
};

}  // namespace ov::fuzz
