// The list of physical disks from a /sys/block tree written here, the list's rules, and opening
// the chosen disk read-only.
#include "disk/physical_disks.h"

#include "tests/support/test_support.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

fs::path writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

RawDiskProperties rawDisk(const std::string& name) {
  return {name, "Fixed hard disk media", "IDE", 512, "0", "0", "0", 255, "ST3500418AS", std::nullopt, "5VM12345", "CC38"};
}

TEST(EnumeratePhysicalDisks, AppliesTheListsRules) {
  using Fields = std::vector<std::pair<std::string DiskInfo::*, std::string>>;
  struct Row {
    const char* what;
    std::function<void(RawDiskProperties&, FakeSizeQuery&)> setup;
    Fields expected;
  };
  const std::vector<Row> rows = {
      {"the size comes from the device", [](auto&, FakeSizeQuery& q) { q.sizes["/dev/sda"] = 500107862016ull; },
       {{&DiskInfo::totalSectors, "976773168"}, {&DiskInfo::sizeText, "465.76 GB"}, {&DiskInfo::serialNumber, "5VM12345"}}},
      {"a sector size of 0 is 512", [](RawDiskProperties& r, FakeSizeQuery& q) { r.bytesPerSector = 0; q.sizes["/dev/sda"] = 5120; },
       {{&DiskInfo::bytesPerSector, "512"}, {&DiskInfo::totalSectors, "10"}}},
      {"a USB disk is removable media whatever the system says",
       [](RawDiskProperties& r, FakeSizeQuery& q) { r.interfaceType = "usb"; q.sizes["/dev/sda"] = 1ull << 30; },
       {{&DiskInfo::mediaType, "Removable media"}, {&DiskInfo::model, "USB mobile disk"}}},
      {"a device id with an ampersand has no serial",
       [](RawDiskProperties& r, auto&) { r.pnpDeviceId = "IDE\\DISKST3500418AS_____________________________CC38____\\5&1A2B3C4D&0&0.0.0"; },
       {{&DiskInfo::serialNumber, "N/A"}, {&DiskInfo::firmware, "CC38"}}},
      {"a device id with a dot has no serial; the firmware is its last eight characters",
       [](RawDiskProperties& r, auto&) { r.pnpDeviceId = "SCSI\\DISK&VEN_&PROD_WDC_WD5000AAKX\\4.0"; },
       {{&DiskInfo::serialNumber, "N/A"}, {&DiskInfo::firmware, "5000AAKX"}}},
      {"a device id's serial is decoded",
       [](RawDiskProperties& r, auto&) { r.pnpDeviceId = "SCSI\\DISK&VEN_&PROD_ST3500418AS_____CC38\\315342413343"; },
       {{&DiskInfo::serialNumber, " S1ABC3"}}},
      {"plain serial and firmware", [](RawDiskProperties& r, auto&) { r.serialNumber.clear(); r.firmware = "__1.0_"; },
       {{&DiskInfo::serialNumber, "N/A"}, {&DiskInfo::firmware, "1.0"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    test::RecordingHost host;
    FakeDiskProvider provider;
    FakeSizeQuery sizes;
    provider.disks = {rawDisk("sda")};
    row.setup(provider.disks[0], sizes);
    std::vector<DiskInfo> disks(3);  // an earlier list is rebuilt from index 0
    ASSERT_TRUE(enumeratePhysicalDisks(provider, sizes, disks, host));
    ASSERT_EQ(disks.size(), 1u);
    for (const auto& [field, value] : row.expected) EXPECT_EQ(disks[0].*field, value);
  }
}

TEST(EnumeratePhysicalDisks, FailuresAreShownOnceEachAndDrivesWithoutAMediumTakeNoIndex) {
  test::RecordingHost host;
  FakeDiskProvider provider;
  FakeSizeQuery sizes;
  auto a = rawDisk("sda");
  a.size = "1073741823";
  a.totalSectors = "2097151";
  auto reader = rawDisk("sdb");
  reader.bytesPerSector.reset();
  auto c = rawDisk("sdc");
  c.size = "2147483648";
  provider.disks = {a, reader, c, rawDisk("sdd")};
  sizes.openErrors["/dev/sda"] = EACCES;
  sizes.accessErrors["/dev/sdc"] = ENOTTY;
  sizes.sizes["/dev/sdd"] = 1ull << 30;
  std::vector<DiskInfo> disks;
  ASSERT_TRUE(enumeratePhysicalDisks(provider, sizes, disks, host));
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(disks[0].sizeText, "1024.00 MB");  // the system's size when the device's is not known
  EXPECT_EQ(disks[0].totalSectors, "2097151");
  EXPECT_EQ(disks[1].deviceName, "sdc");
  EXPECT_EQ(disks[1].sizeText, "2.00 GB");
  EXPECT_EQ(sizes.asked, (std::vector<std::string>{"/dev/sda", "/dev/sdc", "/dev/sdd"}));
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(host.messages[0].title, "Information");
  EXPECT_EQ(host.messages[0].text, "Disk Opening Error #" + std::to_string(EACCES));
  EXPECT_EQ(host.messages[1].title, "Error");
  EXPECT_EQ(host.messages[1].text, "Error accessing device " + std::to_string(ENOTTY));
  // A provider that fails leaves the list empty and says why.
  provider.failure = "Cannot read /sys/block: Permission denied";
  EXPECT_FALSE(enumeratePhysicalDisks(provider, sizes, disks, host));
  EXPECT_TRUE(disks.empty());
  EXPECT_EQ(host.messages.back().text, "Cannot read /sys/block: Permission denied");
}

TEST(PhysicalDisks, TheChosenDiskOpensReadOnlyWithTheListsSectorSizeAndCount) {
  const auto folder = test::scratchDir() / "pd_open";
  std::string bytes;  // sector n holds the byte n + 1
  for (int s = 0; s < 64; ++s) bytes += std::string(512, static_cast<char>(s + 1));
  const auto path = writeFile(folder / "first.img", bytes);
  test::RecordingHost host;
  ImageDiskProvider provider(folder, {"first.img", "missing.img"});
  DeviceSizeQuery sizes;
  std::vector<DiskInfo> disks;
  ASSERT_TRUE(enumeratePhysicalDisks(provider, sizes, disks, host, folder.string()));
  ASSERT_EQ(disks.size(), 1u);  // the missing file is a drive without a medium
  EXPECT_EQ(disks[0].totalSectors, "64");
  EXPECT_EQ(disks[0].sizeText, "0.03 MB");
  EXPECT_TRUE(host.messages.empty());
  RunControl run;
  run.start();
  SectorSource source(host, run);
  std::string entry;
  DiskInfo disk = disks[0];
  disk.model = "Test Disk";
  disk.serialNumber = " S1ABC3";
  ASSERT_EQ(openSourceDisk(source, disk, entry, folder.string()), 0);
  EXPECT_EQ(entry, "first.img,  Test Disk, Serial: S1ABC3");
  EXPECT_EQ(source.path(), path.string());
  EXPECT_EQ(source.totalSectors(), 64u);
  std::vector<std::uint8_t> sector(512, 0);
  ASSERT_EQ(source.readSectorsRetrying(sector.data(), sector.size(), 3), 0);
  EXPECT_EQ(sector[0], 4);
  // Numbers that are no numbers give the defaults.
  disk.bytesPerSector = "70000";
  disk.totalSectors = "unknown";
  ASSERT_EQ(openSourceDisk(source, disk, entry, folder.string()), 0);
  EXPECT_EQ(source.bytesPerSector(), 512);
  EXPECT_EQ(source.totalSectors(), 0u);
  // A disk that is gone leaves the source closed, without a message.
  disk.deviceName = "gone";
  EXPECT_EQ(openSourceDisk(source, disk, entry, folder.string()), ENOENT);
  EXPECT_FALSE(source.isOpen());
  EXPECT_TRUE(host.messages.empty());
  // Sizes of what is no disk: a missing device, a folder.
  EXPECT_EQ(sizes.query(path.string(), host), std::optional<std::uint64_t>(64 * 512));
  EXPECT_FALSE(sizes.query((folder / "no-such-disk").string(), host));
  EXPECT_EQ(host.messages.back().text, "Disk Opening Error #" + std::to_string(ENOENT));
  EXPECT_FALSE(sizes.query(folder.string(), host));
  EXPECT_EQ(host.messages.back().text.rfind("Error accessing device ", 0), 0u);
}

// A small /sys/block with a USB stick, an NVMe disk, a SATA disk, an empty card reader, a virtio
// disk, loop devices with and without a backing file, and entries that are no whole disks.
struct FakeSysfs {
  fs::path root = test::scratchDir() / "pd_sysfs";
  fs::path block = root / "block";
  fs::path udev = root / "udev";

  FakeSysfs() {
    fs::remove_all(root);
    fs::create_directories(block);
    fs::create_directories(udev);
    const std::string usb = "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
    disk("sda", usb + "/block/sda", "61440", "1", "512", "8:0");
    attr(usb + "/vendor", "Generic \n");
    attr(usb + "/model", "Flash Disk      \n");
    attr(usb + "/rev", "8.07\n");
    link(usb + "/block/sda/device", "../../../6:0:0:0");
    attr(usb + "/block/sda/sda1/partition", "1\n");
    link("block/sda1", "../" + usb + "/block/sda/sda1");
    writeFile(udev / "b8:0", "E:ID_BUS=usb\nE:ID_SERIAL_SHORT=0123456789AB\n");
    const std::string nvme = "devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";
    disk("nvme0n1", nvme + "/nvme0n1", "976773168", "0", "512", "259:0");
    attr(nvme + "/model", "Samsung SSD 970 EVO 500GB               \n");
    attr(nvme + "/serial", "S466NX0K123456X     \n");
    attr(nvme + "/firmware_rev", "2B2QEXE7\n");
    link(nvme + "/nvme0n1/device", "../../nvme0");
    const std::string sata = "devices/pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0";
    disk("sdb", sata + "/block/sdb", "1953525168", "0", "4096", "8:16");
    attr(sata + "/vendor", "ATA     \n");
    attr(sata + "/model", "ST1000DM003-1CH1\n");
    link(sata + "/block/sdb/device", "../../../2:0:0:0");
    writeFile(udev / "b8:16", "E:ID_SERIAL_SHORT=Z1D5ABCD\n");
    disk("sdc", "devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/host7/target7:0:0/7:0:0:0/block/sdc", "0", "1",
         "512", "8:32");
    disk("vda", "devices/pci0000:00/0000:00:02.0/virtio1/block/vda", "536870912", "0", "512", "254:0");
    attr("devices/pci0000:00/0000:00:02.0/virtio1/vendor", "0x1af4\n");
    link("devices/pci0000:00/0000:00:02.0/virtio1/block/vda/device", "../../../virtio1");
    disk("loop0", "devices/virtual/block/loop0", "2048", "0", "512", "7:0");
    disk("loop1", "devices/virtual/block/loop1", "4096", "0", "512", "7:1");
    attr("devices/virtual/block/loop1/loop/backing_file", "/srv/images/disk1.img\n");
    disk("sr0", "devices/pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0/block/sr0", "2097152", "1", "2048", "11:0");
    disk("zram0", "devices/virtual/block/zram0", "1000", "0", "4096", "253:0");
    disk("ram0", "devices/virtual/block/ram0", "1000", "0", "512", "1:0");
    disk("mmcblk0boot0", "devices/platform/mmc0/mmc0:0001/block/mmcblk0/mmcblk0boot0", "8192", "0", "512", "179:8");
  }
  void attr(const std::string& relative, const std::string& text) { writeFile(root / relative, text); }
  void link(const std::string& relative, const std::string& target) {
    fs::create_directories((root / relative).parent_path());
    fs::create_directory_symlink(target, root / relative);
  }
  void disk(const std::string& name, const std::string& dir, const std::string& size, const std::string& removable,
            const std::string& blockSize, const std::string& dev) {
    attr(dir + "/size", size + "\n");
    attr(dir + "/removable", removable + "\n");
    attr(dir + "/queue/logical_block_size", blockSize + "\n");
    attr(dir + "/dev", dev + "\n");
    link("block/" + name, "../" + dir);
  }
};

TEST(SysfsDiskProvider, ListsWholeDisksWithTheirProperties) {
  FakeSysfs sys;
  SysfsDiskProvider provider(sys.block, sys.udev);
  std::vector<RawDiskProperties> disks;
  std::string error;
  ASSERT_TRUE(provider.query(disks, error));
  struct Row {
    const char* name;
    const char* interfaceType;
    const char* model;
    const char* serial;
    std::optional<std::uint32_t> bytesPerSector;
    const char* size;
  };
  const std::vector<Row> rows = {
      {"loop1", "Loop", "/srv/images/disk1.img", "", 512, "2097152"},
      {"nvme0n1", "NVMe", "Samsung SSD 970 EVO 500GB", "S466NX0K123456X", 512, "500107862016"},
      {"sda", "USB", "Generic Flash Disk", "0123456789AB", 512, "31457280"},
      {"sdb", "IDE", "ST1000DM003-1CH1", "Z1D5ABCD", 4096, "1000204886016"},  // libata's "ATA" is no name
      {"sdc", "USB", "", "", std::nullopt, "0"},                               // an empty card reader
      {"vda", "VirtIO", "", "", 512, "274877906944"},                          // a PCI vendor id is no name
  };
  ASSERT_EQ(disks.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(disks[i].name, rows[i].name);
    EXPECT_EQ(disks[i].interfaceType, rows[i].interfaceType);
    if (rows[i].bytesPerSector) {
      EXPECT_EQ(disks[i].model, rows[i].model);
      EXPECT_EQ(disks[i].serialNumber, rows[i].serial);
      EXPECT_EQ(disks[i].size, rows[i].size);
    }
    EXPECT_EQ(disks[i].bytesPerSector, rows[i].bytesPerSector);
  }
  EXPECT_EQ(disks[1].firmware, "2B2QEXE7");
  EXPECT_EQ(disks[1].totalCylinders, "60801");
  EXPECT_EQ(disks[2].mediaType, "Removable media");
  EXPECT_EQ(disks[3].totalSectors, "244190646");
  SysfsDiskProvider missing(test::scratchDir() / "pd_no_sysfs", test::scratchDir() / "pd_no_udev");
  EXPECT_FALSE(missing.query(disks, error));
  EXPECT_NE(error.find("pd_no_sysfs"), std::string::npos);
}

}  // namespace
}  // namespace ov
