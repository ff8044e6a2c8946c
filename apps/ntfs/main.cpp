// OV_NTFS: the recovery workbench over the NTFS engine.
#include "ntfs/ntfs_engine.h"
#include "workbench/startup.h"

int main(int argc, char** argv) {
  return ov::workbench::runWorkbench(argc, argv, [](ov::EngineHost& host, ov::RunControl& run) {
    return std::make_unique<ov::ntfs::NtfsEngine>(host, run);
  });
}
