#include "disk/physical_disks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "tests/support/test_support.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

// --- serial numbers ---------------------------------------------------------------------------

TEST(DecodeSerialNumber, SwapsTheBytesOfEachWordAndReadsHexPairs) {
  // "S1ABC3" is 53 31 41 42 43 33; each group of four digits comes with its halves swapped.
  EXPECT_EQ(decodeSerialNumber("315342413343"), " S1ABC3");
}

TEST(DecodeSerialNumber, CharactersAfterTheLastCompleteGroupAreNotSwapped) {
  // "3153" "4241" swap to "5331" "4142"; the trailing "39" stays as it is.
  EXPECT_EQ(decodeSerialNumber("3153424139"), " S1AB9");
}

TEST(DecodeSerialNumber, TrimmingCanEatADigitAndLeaveAnOddLength) {
  // "42413231" swaps to "41423132"; its final "2" is in the trimmed set, leaving "4142313",
  // whose lone "3" pairs with 0 and gives "0".
  EXPECT_EQ(decodeSerialNumber("42413231"), " AB10");
}

TEST(DecodeSerialNumber, TrimsTheSetFromBothEndsAndDropsBytesThatAreNotDigitsOrCapitals) {
  // Swapped: "20..54532033__"; trimmed: "54532033" = 'T' 'S' ' ' '3'; the blank is dropped.
  EXPECT_EQ(decodeSerialNumber("..2053543320__"), " TS3");
}

TEST(DecodeSerialNumber, LettersCountPastFifteenAndOtherCharactersCountAsZero) {
  // Swapped: "5a4z3-6ag1". 5a = 'Z'; 4z = 4*16 + 35%16 = 0x43 'C'; "3-" = 0x30 '0';
  // 6a = 'j' (lower case, dropped); g1 = (16*16 + 1) & 0xFF = 1 (dropped).
  EXPECT_EQ(decodeSerialNumber("4z5a6a3-g1"), " ZC0");
  // 'Z' is 35: (35*16 + 1) & 0xFF = 0x31.
  EXPECT_EQ(decodeSerialNumber("Z1"), " 1");
}

TEST(DecodeSerialNumber, TheResultAlwaysStartsWithOneSpace) {
  EXPECT_EQ(decodeSerialNumber(""), " ");
  EXPECT_EQ(decodeSerialNumber("2020"), " ");
  EXPECT_EQ(decodeSerialNumber("4"), " ");  // 0x40 '@'
  EXPECT_EQ(decodeSerialNumber("5"), " P");
}

// --- size text ---------------------------------------------------------------------------------

TEST(DiskSizeText, OneGibibyteIsTheFirstSizeInGigabytes) {
  EXPECT_EQ(diskSizeText(1073741824ull), "1.00 GB");
  EXPECT_EQ(diskSizeText(1073741823ull), "1024.00 MB");
}

TEST(DiskSizeText, OrdinarySizes) {
  EXPECT_EQ(diskSizeText(0), "0.00 MB");
  EXPECT_EQ(diskSizeText(31457280ull), "30.00 MB");
  EXPECT_EQ(diskSizeText(500107862016ull), "465.76 GB");
}

// --- enumeration ----------------------------------------------------------------------------------

RawDiskProperties rawDisk(const std::string& name, std::uint64_t sizeBytes) {
  RawDiskProperties r;
  r.name = name;
  r.mediaType = "Fixed hard disk media";
  r.interfaceType = "IDE";
  r.bytesPerSector = 512;
  r.size = std::to_string(sizeBytes);
  r.totalSectors = std::to_string(sizeBytes / 512);
  r.totalCylinders = std::to_string(sizeBytes / 512 / 16065);
  r.totalHeads = 255;
  r.model = "ST3500418AS";
  r.serialNumber = "5VM12345";
  r.firmware = "CC38";
  return r;
}

struct Enumeration {
  test::RecordingHost host;
  FakeDiskProvider provider;
  FakeSizeQuery sizes;
  std::vector<DiskInfo> disks;

  bool run() { return enumeratePhysicalDisks(provider, sizes, disks, host); }
};

TEST(EnumeratePhysicalDisks, TakesTheSizeFromTheDevice) {
  Enumeration e;
  e.provider.disks = {rawDisk("sda", 1000)};
  e.sizes.sizes["/dev/sda"] = 500107862016ull;
  ASSERT_TRUE(e.run());
  ASSERT_EQ(e.disks.size(), 1u);
  const DiskInfo& d = e.disks[0];
  EXPECT_EQ(d.deviceName, "sda");
  EXPECT_EQ(d.mediaType, "Fixed hard disk media");
  EXPECT_EQ(d.interfaceType, "IDE");
  EXPECT_EQ(d.totalSectors, "976773168");
  EXPECT_EQ(d.totalCylinders, "0");  // the service's text, unchanged
  EXPECT_EQ(d.totalHeads, "255");
  EXPECT_EQ(d.sizeText, "465.76 GB");
  EXPECT_EQ(d.serialNumber, "5VM12345");
  EXPECT_EQ(d.firmware, "CC38");
  EXPECT_EQ(d.model, "ST3500418AS");
  EXPECT_EQ(d.bytesPerSector, "512");
  EXPECT_EQ(e.sizes.asked, std::vector<std::string>{"/dev/sda"});
  EXPECT_TRUE(e.host.messages.empty());
}

TEST(EnumeratePhysicalDisks, SectorCountUsesTheDisksOwnSectorSize) {
  Enumeration e;
  auto r = rawDisk("sdb", 0);
  r.bytesPerSector = 4096;
  e.provider.disks = {r};
  e.sizes.sizes["/dev/sdb"] = 4096ull * 1000 + 100;
  ASSERT_TRUE(e.run());
  EXPECT_EQ(e.disks[0].totalSectors, "1000");
  EXPECT_EQ(e.disks[0].bytesPerSector, "4096");
}

TEST(EnumeratePhysicalDisks, UsbDiskIsRemovableMediaWhateverTheServiceSays) {
  Enumeration e;
  auto r = rawDisk("sdc", 0);
  r.interfaceType = "usb";
  r.mediaType = "Fixed hard disk media";
  r.model = "SanDisk Cruzer";
  e.provider.disks = {r};
  e.sizes.sizes["/dev/sdc"] = 16008609792ull;
  ASSERT_TRUE(e.run());
  EXPECT_EQ(e.disks[0].mediaType, "Removable media");
  EXPECT_EQ(e.disks[0].model, "USB mobile disk");
  EXPECT_EQ(e.disks[0].interfaceType, "usb");
}

TEST(EnumeratePhysicalDisks, DriveWithoutMediumTakesNoIndex) {
  Enumeration e;
  auto reader = rawDisk("sdb", 0);
  reader.bytesPerSector.reset();
  e.provider.disks = {rawDisk("sda", 0), reader, rawDisk("sdc", 0)};
  e.sizes.sizes["/dev/sda"] = 1ull << 30;
  e.sizes.sizes["/dev/sdc"] = 2ull << 30;
  ASSERT_TRUE(e.run());
  ASSERT_EQ(e.disks.size(), 2u);
  EXPECT_EQ(e.disks[0].deviceName, "sda");
  EXPECT_EQ(e.disks[1].deviceName, "sdc");
  // Its size was not even asked, and nothing was shown.
  EXPECT_EQ(e.sizes.asked, (std::vector<std::string>{"/dev/sda", "/dev/sdc"}));
  EXPECT_TRUE(e.host.messages.empty());
}

TEST(EnumeratePhysicalDisks, TabsInTheMediaTypeBecomeSpaces) {
  Enumeration e;
  auto r = rawDisk("sda", 0);
  r.mediaType = "Fixed\thard disk\t\tmedia";
  e.provider.disks = {r};
  e.sizes.sizes["/dev/sda"] = 1ull << 30;
  ASSERT_TRUE(e.run());
  EXPECT_EQ(e.disks[0].mediaType, "Fixed hard disk  media");
}

TEST(EnumeratePhysicalDisks, FailedSizeQueryFallsBackToTheServiceAndShowsItsMessageOncePerDisk) {
  Enumeration e;
  auto a = rawDisk("sda", 0);
  a.size = "1073741823";
  a.totalSectors = "2097151";
  auto b = rawDisk("sdb", 0);
  b.size = "2147483648";
  b.totalSectors = "4194304";
  e.provider.disks = {a, b, rawDisk("sdc", 0)};
  e.sizes.openErrors["/dev/sda"] = EACCES;
  e.sizes.accessErrors["/dev/sdb"] = ENOTTY;
  e.sizes.sizes["/dev/sdc"] = 1ull << 30;
  ASSERT_TRUE(e.run());
  ASSERT_EQ(e.disks.size(), 3u);
  EXPECT_EQ(e.disks[0].sizeText, "1024.00 MB");
  EXPECT_EQ(e.disks[0].totalSectors, "2097151");
  EXPECT_EQ(e.disks[1].sizeText, "2.00 GB");
  EXPECT_EQ(e.disks[1].totalSectors, "4194304");
  ASSERT_EQ(e.host.messages.size(), 2u);
  EXPECT_EQ(e.host.messages[0].title, "Information");
  EXPECT_EQ(e.host.messages[0].text, "Disk Opening Error #" + std::to_string(EACCES));
  EXPECT_EQ(e.host.messages[0].icon, MessageIcon::Information);
  EXPECT_EQ(e.host.messages[1].title, "Error");
  EXPECT_EQ(e.host.messages[1].text, "Error accessing device " + std::to_string(ENOTTY));
  EXPECT_EQ(e.host.messages[1].icon, MessageIcon::Error);
}

TEST(EnumeratePhysicalDisks, UnreadableServiceSizeGivesZero) {
  Enumeration e;
  auto r = rawDisk("sda", 0);
  r.size = "";
  e.provider.disks = {r};
  e.sizes.openErrors["/dev/sda"] = ENOENT;
  ASSERT_TRUE(e.run());
  EXPECT_EQ(e.disks[0].sizeText, "0.00 MB");
}

TEST(EnumeratePhysicalDisks, DeviceIdWithAmpersandHasNoSerialAndGivesTheFirmware) {
  Enumeration e;
  auto r = rawDisk("sda", 0);
  r.pnpDeviceId = "IDE\\DISKST3500418AS_____________________________CC38____\\5&1A2B3C4D&0&0.0.0";
  e.provider.disks = {r};
  e.sizes.sizes["/dev/sda"] = 1ull << 30;
  ASSERT_TRUE(e.run());
  EXPECT_EQ(e.disks[0].serialNumber, "N/A");
  EXPECT_EQ(e.disks[0].firmware, "CC38");
}

TEST(EnumeratePhysicalDisks, DeviceIdWithDotHasNoSerial) {
  Enumeration e;
  auto r = rawDisk("sda", 0);
  r.pnpDeviceId = "SCSI\\DISK&VEN_&PROD_WDC_WD5000AAKX\\4.0";
  e.provider.disks = {r};
  e.sizes.sizes["/dev/sda"] = 1ull << 30;
  ASSERT_TRUE(e.run());
  EXPECT_EQ(e.disks[0].serialNumber, "N/A");
  EXPECT_EQ(e.disks[0].firmware, "5000AAKX");  // only the last eight characters
}

TEST(EnumeratePhysicalDisks, DeviceIdSerialIsDecoded) {
  Enumeration e;
  auto r = rawDisk("sda", 0);
  r.pnpDeviceId = "SCSI\\DISK&VEN_&PROD_ST3500418AS_____CC38\\315342413343";
  e.provider.disks = {r};
  e.sizes.sizes["/dev/sda"] = 1ull << 30;
  ASSERT_TRUE(e.run());
  EXPECT_EQ(e.disks[0].serialNumber, " S1ABC3");
  EXPECT_EQ(e.disks[0].firmware, "CC38");  // "____CC38" trimmed
}

TEST(EnumeratePhysicalDisks, PlainSerialAndFirmware) {
  Enumeration e;
  auto unknown = rawDisk("sda", 0);
  unknown.serialNumber.clear();
  unknown.firmware = "__1.0_";
  e.provider.disks = {unknown};
  e.sizes.sizes["/dev/sda"] = 1ull << 30;
  ASSERT_TRUE(e.run());
  EXPECT_EQ(e.disks[0].serialNumber, "N/A");
  EXPECT_EQ(e.disks[0].firmware, "1.0");
}

TEST(EnumeratePhysicalDisks, ZeroSectorSizeIsTakenAs512) {
  Enumeration e;
  auto r = rawDisk("sda", 0);
  r.bytesPerSector = 0;
  e.provider.disks = {r};
  e.sizes.sizes["/dev/sda"] = 5120;
  ASSERT_TRUE(e.run());
  EXPECT_EQ(e.disks[0].bytesPerSector, "512");
  EXPECT_EQ(e.disks[0].totalSectors, "10");
}

TEST(EnumeratePhysicalDisks, ProviderFailureIsShownAndLeavesTheListEmpty) {
  Enumeration e;
  e.disks.push_back(DiskInfo{});  // from an earlier listing
  e.provider.failure = "Cannot read /sys/block: Permission denied";
  EXPECT_FALSE(e.run());
  EXPECT_TRUE(e.disks.empty());
  ASSERT_EQ(e.host.messages.size(), 1u);
  EXPECT_EQ(e.host.messages[0].title, "Error");
  EXPECT_EQ(e.host.messages[0].text, "Cannot read /sys/block: Permission denied");
}

TEST(EnumeratePhysicalDisks, RebuildsTheListFromIndexZero) {
  Enumeration e;
  e.disks.resize(3);
  e.provider.disks = {rawDisk("sda", 0)};
  e.sizes.sizes["/dev/sda"] = 1ull << 30;
  ASSERT_TRUE(e.run());
  ASSERT_EQ(e.disks.size(), 1u);
  EXPECT_EQ(e.disks[0].deviceName, "sda");
}

// --- information panel ------------------------------------------------------------------------------

TEST(DiskInformationLines, HeadingThenTheFieldsInOrder) {
  DiskInfo d{"sda", "Fixed hard disk media", "IDE", "976773168", "60801", "255", "465.76 GB",
             "5VM12345", "CC38", "ST3500418AS", "512"};
  EXPECT_EQ(diskInformationLines(d), (std::vector<std::string>{
                                         "HDRInformation: sda",
                                         "Name: ST3500418AS",
                                         "Size: 465.76 GB",
                                         "Serial Number: 5VM12345",
                                         "Interface Type: IDE",
                                         "Media Type: Fixed hard disk media",
                                         "Firmware: CC38",
                                         "Total Cylinders: 60801",
                                         "Total Heads: 255",
                                         "Total Sectors: 976773168",
                                     }));
}

// --- size query -----------------------------------------------------------------------------------

fs::path writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(DeviceSizeQuery, RegularFileGivesItsSize) {
  test::RecordingHost host;
  DeviceSizeQuery query;
  auto path = writeFile(test::scratchDir() / "pd_size" / "disk.img", std::string(3000, 'x'));
  EXPECT_EQ(query.query(path.string(), host), std::optional<std::uint64_t>(3000));
  EXPECT_TRUE(host.messages.empty());
}

TEST(DeviceSizeQuery, MissingDeviceShowsTheOpeningError) {
  test::RecordingHost host;
  DeviceSizeQuery query;
  EXPECT_FALSE(query.query((test::scratchDir() / "no-such-disk").string(), host));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].title, "Information");
  EXPECT_EQ(host.messages[0].text, "Disk Opening Error #" + std::to_string(ENOENT));
}

TEST(DeviceSizeQuery, SomethingWithoutASizeShowsTheAccessError) {
  test::RecordingHost host;
  DeviceSizeQuery query;
  auto dir = test::scratchDir() / "pd_not_a_disk";
  fs::create_directories(dir);
  EXPECT_FALSE(query.query(dir.string(), host));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].title, "Error");
  EXPECT_EQ(host.messages[0].icon, MessageIcon::Error);
  EXPECT_EQ(host.messages[0].text.rfind("Error accessing device ", 0), 0u);
}

// --- opening the chosen disk -------------------------------------------------------------------------

// 64 sectors; sector n is filled with the byte n + 1.
fs::path patternImage(const fs::path& folder, const std::string& name) {
  std::string bytes;
  for (int s = 0; s < 64; ++s) bytes += std::string(512, static_cast<char>(s + 1));
  return writeFile(folder / name, bytes);
}

DiskInfo imageDisk(const std::string& name) {
  return DiskInfo{name, "Fixed hard disk media", "File", "64", "0", "255", "0.03 MB", " S1ABC3", "",
                  "Test Disk", "512"};
}

TEST(OpenSourceDisk, OpensTheDeviceReadOnlyWithTheListsSectorSizeAndCount) {
  test::RecordingHost host;
  RunControl run;
  run.start();
  SectorSource source(host, run);
  auto folder = test::scratchDir() / "pd_open";
  auto path = patternImage(folder, "disk0");
  std::string entry;
  ASSERT_EQ(openSourceDisk(source, imageDisk("disk0"), entry, folder.string()), 0);
  EXPECT_EQ(entry, "disk0,  Test Disk, Serial: S1ABC3");
  ASSERT_TRUE(source.isOpen());
  EXPECT_EQ(source.path(), path.string());
  EXPECT_EQ(source.bytesPerSector(), 512);
  EXPECT_EQ(source.totalSectors(), 64u);
  std::vector<std::uint8_t> sector(512, 0);
  ASSERT_EQ(source.readSectorsRetrying(sector.data(), sector.size(), 3), 0);
  EXPECT_EQ(sector[0], 4);
  EXPECT_TRUE(host.messages.empty());
}

TEST(OpenSourceDisk, BadNumbersGiveTheDefaults) {
  test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  auto folder = test::scratchDir() / "pd_open";
  patternImage(folder, "disk1");
  auto disk = imageDisk("disk1");
  disk.bytesPerSector = "many";
  disk.totalSectors = "unknown";
  std::string entry;
  ASSERT_EQ(openSourceDisk(source, disk, entry, folder.string()), 0);
  EXPECT_EQ(source.bytesPerSector(), 512);
  EXPECT_EQ(source.totalSectors(), 0u);

  disk.bytesPerSector = "70000";  // does not fit 16 bits
  ASSERT_EQ(openSourceDisk(source, disk, entry, folder.string()), 0);
  EXPECT_EQ(source.bytesPerSector(), 512);
}

TEST(OpenSourceDisk, MissingDeviceLeavesTheSourceClosedWithoutAMessage) {
  test::RecordingHost host;
  RunControl run;
  SectorSource source(host, run);
  auto folder = test::scratchDir() / "pd_open";
  patternImage(folder, "disk2");
  std::string entry;
  ASSERT_EQ(openSourceDisk(source, imageDisk("disk2"), entry, folder.string()), 0);
  ASSERT_TRUE(source.isOpen());

  EXPECT_EQ(openSourceDisk(source, imageDisk("gone"), entry, folder.string()), ENOENT);
  EXPECT_EQ(entry, "gone,  Test Disk, Serial: S1ABC3");
  EXPECT_FALSE(source.isOpen());
  EXPECT_EQ(source.bytesPerSector(), 0);
  EXPECT_EQ(source.totalSectors(), 0u);
  EXPECT_TRUE(host.messages.empty());
}

TEST(OpenSourceDisk, DefaultDeviceFolderIsDev) {
  EXPECT_EQ(devicePath("nvme0n1"), "/dev/nvme0n1");
}

// --- image files as disks ----------------------------------------------------------------------------

TEST(ImageDiskProvider, ListsImageFilesAsDisksThatCanBeOpened) {
  test::RecordingHost host;
  auto folder = test::scratchDir() / "pd_images";
  patternImage(folder, "first.img");
  ImageDiskProvider provider(folder, {"first.img", "missing.img"});
  DeviceSizeQuery sizes;
  std::vector<DiskInfo> disks;
  ASSERT_TRUE(enumeratePhysicalDisks(provider, sizes, disks, host, folder.string()));
  ASSERT_EQ(disks.size(), 1u);  // the missing file is a drive without a medium
  EXPECT_EQ(disks[0].deviceName, "first.img");
  EXPECT_EQ(disks[0].totalSectors, "64");
  EXPECT_EQ(disks[0].sizeText, "0.03 MB");
  EXPECT_EQ(disks[0].serialNumber, "N/A");
  EXPECT_TRUE(host.messages.empty());

  RunControl run;
  SectorSource source(host, run);
  std::string entry;
  EXPECT_EQ(openSourceDisk(source, disks[0], entry, folder.string()), 0);
  EXPECT_EQ(source.totalSectors(), 64u);
}

// --- sysfs ------------------------------------------------------------------------------------------

// A small /sys/block with a USB stick, an NVMe disk, a SATA disk, an empty card reader, a virtio
// disk, loop devices with and without a backing file, and entries that are no whole disks.
struct FakeSysfs {
  fs::path root;
  fs::path block;
  fs::path udev;

  FakeSysfs() {
    root = test::scratchDir() / "pd_sysfs";
    fs::remove_all(root);
    block = root / "block";
    udev = root / "udev";
    fs::create_directories(block);
    fs::create_directories(udev);

    const std::string usbHost = "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
    disk("sda", usbHost + "/block/sda", "61440", "1", "512", "8:0");
    attr(usbHost + "/vendor", "Generic \n");
    attr(usbHost + "/model", "Flash Disk      \n");
    attr(usbHost + "/rev", "8.07\n");
    link(usbHost + "/block/sda/device", "../../../6:0:0:0");
    attr(usbHost + "/block/sda/sda1/partition", "1\n");
    link("block/sda1", "../" + usbHost + "/block/sda/sda1");
    writeFile(udev / "b8:0", "S:disk/by-id/usb-Generic_Flash_Disk_0123456789AB-0:0\nE:ID_BUS=usb\n"
                             "E:ID_SERIAL_SHORT=0123456789AB\nE:ID_MODEL=Flash_Disk\n");

    const std::string nvme = "devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";
    disk("nvme0n1", nvme + "/nvme0n1", "976773168", "0", "512", "259:0");
    attr(nvme + "/model", "Samsung SSD 970 EVO 500GB               \n");
    attr(nvme + "/serial", "S466NX0K123456X     \n");
    attr(nvme + "/firmware_rev", "2B2QEXE7\n");
    link(nvme + "/nvme0n1/device", "../../nvme0");
    attr(nvme + "/nvme0n1/nvme0n1p1/partition", "1\n");
    link("block/nvme0n1p1", "../" + nvme + "/nvme0n1/nvme0n1p1");

    const std::string sata = "devices/pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0";
    disk("sdb", sata + "/block/sdb", "1953525168", "0", "4096", "8:16");
    attr(sata + "/vendor", "ATA     \n");
    attr(sata + "/model", "ST1000DM003-1CH1\n");
    attr(sata + "/rev", "CC47\n");
    link(sata + "/block/sdb/device", "../../../2:0:0:0");
    writeFile(udev / "b8:16", "E:ID_SERIAL_SHORT=Z1D5ABCD\n");

    const std::string reader = "devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/host7/target7:0:0/7:0:0:0";
    disk("sdc", reader + "/block/sdc", "0", "1", "512", "8:32");

    disk("vda", "devices/pci0000:00/0000:00:02.0/virtio1/block/vda", "536870912", "0", "512", "254:0");
    attr("devices/pci0000:00/0000:00:02.0/virtio1/vendor", "0x1af4\n");
    link("devices/pci0000:00/0000:00:02.0/virtio1/block/vda/device", "../../../virtio1");

    disk("loop0", "devices/virtual/block/loop0", "2048", "0", "512", "7:0");
    disk("loop1", "devices/virtual/block/loop1", "4096", "0", "512", "7:1");
    attr("devices/virtual/block/loop1/loop/backing_file", "/srv/images/disk1.img\n");
    disk("loop10", "devices/virtual/block/loop10", "4096", "0", "512", "7:10");
    attr("devices/virtual/block/loop10/loop/backing_file", "/srv/images/disk10.img\n");

    disk("sr0", "devices/pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0/block/sr0", "2097152", "1",
         "2048", "11:0");
    disk("zram0", "devices/virtual/block/zram0", "1000", "0", "4096", "253:0");
    disk("ram0", "devices/virtual/block/ram0", "1000", "0", "512", "1:0");
    disk("mmcblk0boot0", "devices/platform/mmc0/mmc0:0001/block/mmcblk0/mmcblk0boot0", "8192", "0", "512",
         "179:8");
  }

  void attr(const std::string& relative, const std::string& text) { writeFile(root / relative, text); }
  void link(const std::string& relative, const std::string& target) {
    fs::create_directories((root / relative).parent_path());
    fs::create_directory_symlink(target, root / relative);
  }
  void disk(const std::string& name, const std::string& dir, const std::string& size,
            const std::string& removable, const std::string& logicalBlockSize, const std::string& dev) {
    attr(dir + "/size", size + "\n");
    attr(dir + "/removable", removable + "\n");
    attr(dir + "/queue/logical_block_size", logicalBlockSize + "\n");
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
  std::vector<std::string> names;
  for (const auto& d : disks) names.push_back(d.name);
  EXPECT_EQ(names, (std::vector<std::string>{"loop1", "loop10", "nvme0n1", "sda", "sdb", "sdc", "vda"}));
  ASSERT_EQ(disks.size(), 7u);

  const auto& loop1 = disks[0];
  EXPECT_EQ(loop1.interfaceType, "Loop");
  EXPECT_EQ(loop1.model, "/srv/images/disk1.img");
  EXPECT_EQ(loop1.size, "2097152");
  EXPECT_EQ(loop1.serialNumber, "");

  const auto& nvme = disks[2];
  EXPECT_EQ(nvme.interfaceType, "NVMe");
  EXPECT_EQ(nvme.mediaType, "Fixed hard disk media");
  EXPECT_EQ(nvme.model, "Samsung SSD 970 EVO 500GB");
  EXPECT_EQ(nvme.serialNumber, "S466NX0K123456X");
  EXPECT_EQ(nvme.firmware, "2B2QEXE7");
  EXPECT_EQ(nvme.bytesPerSector, std::optional<std::uint32_t>(512));
  EXPECT_EQ(nvme.size, "500107862016");
  EXPECT_EQ(nvme.totalSectors, "976773168");
  EXPECT_EQ(nvme.totalCylinders, "60801");
  EXPECT_EQ(nvme.totalHeads, 255u);
  EXPECT_FALSE(nvme.pnpDeviceId);

  const auto& usb = disks[3];
  EXPECT_EQ(usb.interfaceType, "USB");
  EXPECT_EQ(usb.mediaType, "Removable media");
  EXPECT_EQ(usb.model, "Generic Flash Disk");
  EXPECT_EQ(usb.serialNumber, "0123456789AB");
  EXPECT_EQ(usb.firmware, "8.07");
  EXPECT_EQ(usb.size, "31457280");
  EXPECT_EQ(usb.totalCylinders, "3");

  const auto& sata = disks[4];
  EXPECT_EQ(sata.interfaceType, "IDE");
  EXPECT_EQ(sata.model, "ST1000DM003-1CH1");  // libata's "ATA" vendor is no name
  EXPECT_EQ(sata.serialNumber, "Z1D5ABCD");
  EXPECT_EQ(sata.bytesPerSector, std::optional<std::uint32_t>(4096));
  EXPECT_EQ(sata.totalSectors, "244190646");

  const auto& emptyReader = disks[5];
  EXPECT_FALSE(emptyReader.bytesPerSector);
  EXPECT_EQ(emptyReader.interfaceType, "USB");

  const auto& virtio = disks[6];
  EXPECT_EQ(virtio.interfaceType, "VirtIO");
  EXPECT_EQ(virtio.model, "");  // the PCI vendor id is no name
  EXPECT_EQ(virtio.serialNumber, "");
}

TEST(SysfsDiskProvider, EnumerationMakesTheDiskList) {
  FakeSysfs sys;
  SysfsDiskProvider provider(sys.block, sys.udev);
  test::RecordingHost host;
  FakeSizeQuery sizes;
  for (const char* name : {"loop1", "loop10", "nvme0n1", "sda", "sdb", "vda"})
    sizes.accessErrors[devicePath(name)] = EACCES;
  std::vector<DiskInfo> disks;
  ASSERT_TRUE(enumeratePhysicalDisks(provider, sizes, disks, host));
  ASSERT_EQ(disks.size(), 6u);  // the empty reader takes no index
  EXPECT_EQ(disks[3].deviceName, "sda");
  EXPECT_EQ(disks[3].model, "USB mobile disk");
  EXPECT_EQ(disks[3].mediaType, "Removable media");
  EXPECT_EQ(disks[3].sizeText, "30.00 MB");
  EXPECT_EQ(disks[4].deviceName, "sdb");
  EXPECT_EQ(disks[5].deviceName, "vda");
  EXPECT_EQ(disks[5].serialNumber, "N/A");
  EXPECT_EQ(disks[5].sizeText, "256.00 GB");
  EXPECT_EQ(host.messages.size(), 6u);
}

TEST(SysfsDiskProvider, UnreadableFolderFails) {
  SysfsDiskProvider provider(test::scratchDir() / "pd_no_sysfs", test::scratchDir() / "pd_no_udev");
  std::vector<RawDiskProperties> disks;
  std::string error;
  EXPECT_FALSE(provider.query(disks, error));
  EXPECT_NE(error.find("pd_no_sysfs"), std::string::npos);
}

}  // namespace
}  // namespace ov
