// The two-socket server fixture: two CPUs offline, a hardware RAID controller, two SATA
// disks in an md RAID1 under an LVM root, run as root without readable firmware tables,
// German system locale, summer time.
#include <gtest/gtest.h>

#include "WmiFixture.h"

namespace gravelin::testing {
namespace {

class ServerTest : public ::testing::Test {
protected:
    FixtureTree tree{"server2s"};
    FixtureMachine machine{tree};
};

Expected xeon(const std::string& id, const std::string& logical) {
    return {{"AddressWidth", "64"},
            {"Architecture", "9"},
            {"Availability", "3"},
            {"Caption", "Intel64 Family 6 Model 85 Stepping 4"},
            {"CpuStatus", "1"},
            {"CreationClassName", "Win32_Processor"},
            {"CurrentClockSpeed", "1000"},
            {"DataWidth", "64"},
            {"Description", "Intel64 Family 6 Model 85 Stepping 4"},
            {"DeviceID", id},
            {"L2CacheSize", "2048"},
            {"L3CacheSize", "22528"},
            {"Level", "6"},
            {"Manufacturer", "GenuineIntel"},
            {"MaxClockSpeed", "2100"},  // the nominal clock in the model name
            {"Name", "Intel(R) Xeon(R) Gold 6130 CPU @ 2.10GHz"},
            {"NumberOfCores", "2"},
            {"NumberOfEnabledCore", "2"},
            {"NumberOfLogicalProcessors", logical},
            {"PowerManagementSupported", "False"},
            {"ProcessorId", "BFEBFBFF00050654"},
            {"ProcessorType", "3"},
            {"Revision", "21764"},
            {"Role", "CPU"},
            {"SecondLevelAddressTranslationExtensions", "True"},
            {"Status", "OK"},
            {"StatusInfo", "3"},
            {"Stepping", "4"},
            {"SystemCreationClassName", "Win32_ComputerSystem"},
            {"SystemName", "db01"},
            {"ThreadCount", logical},
            {"VirtualizationFirmwareEnabled", "False"},
            {"VMMonitorModeExtensions", "False"}};
}

TEST_F(ServerTest, OneProcessorPerSocketCountingOnlineCpus) {
    const auto objects = machine.query("Win32_Processor");
    ASSERT_EQ(objects.size(), 2U);
    expectObject(objects[0], "Win32_Processor", xeon("CPU0", "4"));
    // cpu6 and cpu7 are offline: package 1 shows two logical processors on two cores, and
    // its L2 counts the two online cores' caches.
    expectObject(objects[1], "Win32_Processor", xeon("CPU1", "2"));
}

TEST_F(ServerTest, RaidVolumesAndDeviceMapperAreNoDiskDrives) {
    const auto objects = machine.query("Win32_DiskDrive");
    ASSERT_EQ(objects.size(), 3U);
    // The RAID controller's virtual drive, addressed by its SCSI host, channel, target, LUN.
    EXPECT_EQ(text(objects[0], "DeviceID"), "/dev/sda");
    EXPECT_EQ(text(objects[0], "Model"), "AVAGO MR9361-8i");
    EXPECT_EQ(text(objects[0], "Manufacturer"), "AVAGO");
    EXPECT_EQ(text(objects[0], "InterfaceType"), "SCSI");
    EXPECT_EQ(text(objects[0], "FirmwareRevision"), "4.68");
    EXPECT_EQ(text(objects[0], "SCSIPort") + text(objects[0], "SCSIBus") +
                  text(objects[0], "SCSITargetId") + text(objects[0], "SCSILogicalUnit"),
              "0200");
    EXPECT_TRUE(isNull(objects[0], "SerialNumber"));
    // SATA disks: the full model and the serial from udev, else the truncated SCSI model and
    // the serial number page.
    EXPECT_EQ(text(objects[1], "DeviceID"), "/dev/sdb");
    EXPECT_EQ(text(objects[1], "Model"), "Samsung SSD 860 EVO 500GB");
    EXPECT_EQ(text(objects[1], "SerialNumber"), "S3Z1NB0K123456X");
    EXPECT_EQ(text(objects[1], "InterfaceType"), "IDE");
    EXPECT_TRUE(isNull(objects[1], "Manufacturer"));  // "ATA" is no manufacturer
    EXPECT_EQ(text(objects[1], "SCSIPort"), "1");
    EXPECT_EQ(text(objects[2], "DeviceID"), "/dev/sdc");
    EXPECT_EQ(text(objects[2], "Model"), "Samsung SSD 860");
    EXPECT_EQ(text(objects[2], "SerialNumber"), "S3Z1NB0K999991X");
    EXPECT_EQ(text(objects[2], "Index"), "2");
    for (const auto& disk : objects) EXPECT_EQ(text(disk, "Partitions"), "1");
}

TEST_F(ServerTest, LvmRootAndBootNoContainerOverlay) {
    const auto objects = machine.query("Win32_LogicalDisk");
    ASSERT_EQ(objects.size(), 2U);
    expectObject(objects[0], "Win32_LogicalDisk",
                 {{"Access", "0"},
                  {"Caption", "/"},
                  {"Compressed", "False"},
                  {"CreationClassName", "Win32_LogicalDisk"},
                  {"Description", "Local Fixed Disk"},
                  {"DeviceID", "/"},
                  {"DriveType", "3"},
                  {"FileSystem", "xfs"},
                  {"FreeSpace", "77004800000"},
                  {"MaximumComponentLength", "255"},
                  {"MediaType", "12"},
                  {"Name", "/"},
                  {"Size", "98304000000"},
                  {"SupportsDiskQuotas", "True"},
                  {"SupportsFileBasedCompression", "False"},
                  {"SystemCreationClassName", "Win32_ComputerSystem"},
                  {"SystemName", "db01"},
                  {"VolumeName", "root fs"},
                  {"VolumeSerialNumber", "9d2e5c1a-77b4-4f3e-8a61-0c5b2f9e3d10"}});
    EXPECT_EQ(text(objects[1], "DeviceID"), "/boot");
    EXPECT_EQ(text(objects[1], "Size"), "1024000000");
    EXPECT_EQ(text(objects[1], "FreeSpace"), "768000000");
    EXPECT_EQ(text(objects[1], "VolumeName"), "");
    EXPECT_TRUE(isNull(objects[1], "VolumeSerialNumber"));
}

TEST_F(ServerTest, OperatingSystemServerVariantGermanLocaleSummerTime) {
    const auto objects = machine.query("Win32_OperatingSystem");
    ASSERT_EQ(objects.size(), 1U);
    const auto& os = objects[0];
    const Expected expected = {{"BootDevice", "/dev/sda1"},
                               {"Caption", "Fedora Linux 40 (Server Edition)"},
                               {"CodeSet", "65001"},
                               {"CountryCode", "49"},
                               {"CurrentTimeZone", "120"},
                               {"LastBootUpTime", "20240703090000.000000+120"},
                               {"LocalDateTime", "20240703114640.250000+120"},
                               {"Locale", "0407"},
                               {"Manufacturer", "Fedora Linux"},
                               {"MaxProcessMemorySize", "67108864"},  // the finite RLIMIT_AS
                               {"MUILanguages", "de-DE"},
                               {"Name", "Fedora Linux 40 (Server Edition)|/|/dev/mapper/vg-root"},
                               {"NumberOfProcesses", "5"},
                               {"OSLanguage", "1031"},
                               {"ProductType", "3"},
                               {"SystemDevice", "/dev/mapper/vg-root"},
                               {"TotalVirtualMemorySize", "73924604"},
                               {"Version", "40"}};
    for (const auto& [name, value] : expected) EXPECT_EQ(text(os, name), value) << name;
    EXPECT_TRUE(isNull(os, "InstallDate"));
}

TEST_F(ServerTest, RootReadsTheSerialsFromDmiIdWithoutTables) {
    const auto board = machine.query("Win32_BaseBoard");
    ASSERT_EQ(board.size(), 1U);
    EXPECT_EQ(text(board[0], "SerialNumber"), "ZM19AS012345");
    EXPECT_EQ(text(board[0], "HostingBoard"), "True");
    EXPECT_TRUE(isNull(board[0], "Removable"));  // only the table's flags tell
    EXPECT_TRUE(isNull(board[0], "ConfigOptions"));
    const auto product = machine.query("Win32_ComputerSystemProduct");
    ASSERT_EQ(product.size(), 1U);
    EXPECT_EQ(text(product[0], "IdentifyingNumber"), "S1234567X8");
    EXPECT_EQ(text(product[0], "UUID"), "00000000-0000-0000-0000-AC1F6B123456");
    EXPECT_TRUE(
        machine.provider.query("ROOT\\wmi", "SELECT * FROM MSSmBios_RawSMBiosTables").empty());
}

TEST_F(ServerTest, ControllersIncludeRaidLegacyPortsAndFloppyButNoNetwork) {
    const auto objects = machine.query("CIM_Controller");
    std::vector<std::string> classes;
    std::vector<std::string> ids;
    for (const auto& o : objects) {
        classes.push_back(o.className);
        ids.push_back(text(o, "DeviceID"));
        const auto names = linuxwmi::classProperties(o.className);
        ASSERT_EQ(o.properties.size(), names.size()) << o.className;
    }
    EXPECT_EQ(classes, (std::vector<std::string>{"Win32_FloppyController", "Win32_IDEController",
                                                 "Win32_ParallelPort", "Win32_SCSIController",
                                                 "Win32_SerialPort", "Win32_SerialPort",
                                                 "Win32_USBController", "Win32_VideoController"}));
    EXPECT_EQ(ids[0], "ACPI\\PNP0700\\00:05");
    EXPECT_EQ(ids[2], "parport0");
    EXPECT_EQ(ids[3], "PCI\\VEN_1000&DEV_005D&SUBSYS_93611000&REV_02\\0000:18:00.0");
    EXPECT_EQ(ids[4], "ttyS0");
    EXPECT_EQ(ids[5], "ttyS1");
    EXPECT_EQ(ids[7], "VideoController1");

    EXPECT_EQ(text(objects[0], "Name"), "Standard floppy disk controller");
    EXPECT_EQ(text(objects[1], "Name"), "PCI device 8086:a1d2");  // not in pci.ids
    EXPECT_EQ(text(objects[1], "Manufacturer"), "Intel Corporation");
    EXPECT_EQ(text(objects[2], "Name"), "Printer Port (parport0)");
    EXPECT_EQ(text(objects[2], "DMASupport"), "False");
    EXPECT_EQ(text(objects[3], "Name"), "MegaRAID SAS-3 3108 [Invader]");
    EXPECT_EQ(text(objects[3], "Manufacturer"), "Broadcom / LSI");
    EXPECT_EQ(text(objects[3], "DriverName"), "megaraid_sas");
    EXPECT_EQ(text(objects[7], "VideoProcessor"), "ASPEED Graphics Family");
    EXPECT_EQ(text(objects[7], "AdapterCompatibility"), "ASPEED Technology, Inc.");
    EXPECT_EQ(text(objects[7], "DriverVersion"), "0.1.0");           // the module's own version
    EXPECT_TRUE(isNull(objects[7], "CurrentHorizontalResolution"));  // no frame buffer
}

}  // namespace
}  // namespace gravelin::testing
