// OV_FAT: the recovery workbench over the FAT engine.
#include "fat/fat_engine.h"
#include "workbench/startup.h"

int main(int argc, char** argv) {
  return ov::workbench::runWorkbench(argc, argv, [](ov::EngineHost& host, ov::RunControl& run) {
    return std::make_unique<ov::fat::FatEngine>(host, run);
  });
}
