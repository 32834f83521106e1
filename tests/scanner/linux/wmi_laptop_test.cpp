// The laptop fixture: every class, checked property by property, run by an ordinary user
// (uid 1000) and by root (0400 files and the SMBIOS table readable).
#include <gtest/gtest.h>

#include "WmiFixture.h"
#include "scanner/core/Core.h"

namespace gravelin::testing {
namespace {

class LaptopTest : public ::testing::Test {
protected:
    FixtureTree tree{"laptop"};
};

TEST_F(LaptopTest, BaseBoardFromDmiIdWithoutRootHasNoSerialOrFlags) {
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_BaseBoard");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_BaseBoard",
                 {{"Caption", "Base Board"},
                  {"CreationClassName", "Win32_BaseBoard"},
                  {"Description", "Base Board"},
                  {"HostingBoard", "True"},
                  {"Manufacturer", "ASUSTeK COMPUTER INC."},
                  {"Name", "Base Board"},
                  {"PoweredOn", "True"},
                  {"Product", "PRIME Z370-A"},
                  {"Status", "OK"},
                  {"Tag", "Base Board"},
                  {"Version", "Rev X.0x"}});
}

TEST_F(LaptopTest, BaseBoardAsRootTakesSerialFlagsAndJumpersFromTheTable) {
    makeLaptopRoot(tree);
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_BaseBoard");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_BaseBoard",
                 {{"Caption", "Base Board"},
                  {"ConfigOptions", "JP2: 1-2 Clear CMOS"},
                  {"CreationClassName", "Win32_BaseBoard"},
                  {"Description", "Base Board"},
                  {"HostingBoard", "True"},
                  {"HotSwappable", "False"},
                  {"Manufacturer", "ASUSTeK COMPUTER INC."},
                  {"Name", "Base Board"},
                  {"PoweredOn", "True"},
                  {"Product", "PRIME Z370-A"},
                  {"Removable", "False"},
                  {"Replaceable", "True"},
                  {"RequiresDaughterBoard", "False"},
                  {"SerialNumber", "SN-BOARD-0001"},
                  {"Status", "OK"},
                  {"Tag", "Base Board"},
                  {"Version", "Rev X.0x"}});
}

TEST_F(LaptopTest, ComputerSystemProductIdentityNeedsRoot) {
    {
        FixtureMachine machine(tree);
        const auto objects = machine.query("Win32_ComputerSystemProduct");
        ASSERT_EQ(objects.size(), 1U);
        expectObject(objects[0], "Win32_ComputerSystemProduct",
                     {{"Caption", "Computer System Product"},
                      {"Description", "Computer System Product"},
                      {"Name", "System Product Name"},
                      {"Vendor", "System manufacturer"},
                      {"Version", "System Version"}});
    }
    makeLaptopRoot(tree);
    FixtureMachine root(tree);
    const auto objects = root.query("Win32_ComputerSystemProduct");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_ComputerSystemProduct",
                 {{"Caption", "Computer System Product"},
                  {"Description", "Computer System Product"},
                  {"IdentifyingNumber", "SN-SYS-0001"},
                  {"Name", "System Product Name"},
                  {"UUID", "4C4C4544-0052-3310-8058-B3C04F4D3232"},
                  {"Vendor", "System manufacturer"},
                  {"Version", "System Version"}});
}

TEST_F(LaptopTest, ProductUuidFromTheTableMatchesTheKernelsFile) {
    // Root, but without the kernel's product_uuid: the type 1 bytes (first three fields
    // little-endian) give the same UUID.
    makeLaptopRoot(tree);
    tree.remove("/sys/class/dmi/id/product_uuid");
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_ComputerSystemProduct");
    ASSERT_EQ(objects.size(), 1U);
    EXPECT_EQ(text(objects[0], "UUID"), "4C4C4544-0052-3310-8058-B3C04F4D3232");
}

const Expected kLaptopProcessor = {{"AddressWidth", "64"},
                                   {"Architecture", "9"},
                                   {"Availability", "3"},
                                   {"Caption", "Intel64 Family 6 Model 158 Stepping 10"},
                                   {"CpuStatus", "1"},
                                   {"CreationClassName", "Win32_Processor"},
                                   {"CurrentClockSpeed", "3696"},
                                   {"DataWidth", "64"},
                                   {"Description", "Intel64 Family 6 Model 158 Stepping 10"},
                                   {"DeviceID", "CPU0"},
                                   {"L2CacheSize", "512"},
                                   {"L3CacheSize", "12288"},
                                   {"Level", "6"},
                                   {"LoadPercentage", "25"},
                                   {"Manufacturer", "GenuineIntel"},
                                   {"MaxClockSpeed", "3700"},
                                   {"Name", "Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz"},
                                   {"NumberOfCores", "2"},
                                   {"NumberOfEnabledCore", "2"},
                                   {"NumberOfLogicalProcessors", "4"},
                                   {"PowerManagementSupported", "False"},
                                   {"ProcessorId", "BFEBFBFF000906EA"},
                                   {"ProcessorType", "3"},
                                   {"Revision", "40458"},
                                   {"Role", "CPU"},
                                   {"SecondLevelAddressTranslationExtensions", "True"},
                                   {"Status", "OK"},
                                   {"StatusInfo", "3"},
                                   {"Stepping", "10"},
                                   {"SystemCreationClassName", "Win32_ComputerSystem"},
                                   {"SystemName", "testhost"},
                                   {"ThreadCount", "4"},
                                   {"VirtualizationFirmwareEnabled", "True"},
                                   {"VMMonitorModeExtensions", "True"}};

TEST_F(LaptopTest, ProcessorFromCpuinfoSysfsAndCpuid) {
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_Processor");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_Processor", kLaptopProcessor);
}

TEST_F(LaptopTest, ProcessorIdRebuiltFromCpuinfoEqualsCpuid) {
    tree.setEnv("cpuid.1", "");
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_Processor");
    ASSERT_EQ(objects.size(), 1U);
    EXPECT_EQ(text(objects[0], "ProcessorId"), "BFEBFBFF000906EA");
}

TEST_F(LaptopTest, ProcessorAsRootAddsTheSmbiosProcessorAndCacheFields) {
    makeLaptopRoot(tree);
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_Processor");
    ASSERT_EQ(objects.size(), 1U);
    Expected expected = kLaptopProcessor;
    expected.insert({{"AssetTag", "To Be Filled By O.E.M."},
                     {"Characteristics", "252"},
                     {"CurrentVoltage", "12"},
                     {"ExtClock", "100"},
                     {"Family", "198"},
                     {"PartNumber", "To Be Filled By O.E.M."},
                     {"SerialNumber", "To Be Filled By O.E.M."},
                     {"SocketDesignation", "U3E1"},
                     {"UpgradeMethod", "65"}});
    expected["CpuStatus"] = "1";
    expectObject(objects[0], "Win32_Processor", expected);
}

TEST_F(LaptopTest, ProcessorCacheSizesAsRootAreTheTablesEvenWhenTheKernelDiffers) {
    // Windows takes L2 from the cache structure; the kernel's topology sums to 512 here.
    makeLaptopRoot(tree, laptopSmbiosTable(4096));
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_Processor");
    ASSERT_EQ(objects.size(), 1U);
    EXPECT_EQ(text(objects[0], "L2CacheSize"), "4096");
    EXPECT_EQ(text(objects[0], "L3CacheSize"), "12288");
}

TEST_F(LaptopTest, OperatingSystem) {
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_OperatingSystem");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_OperatingSystem",
                 {{"BootDevice", "/dev/nvme0n1p1"},
                  {"BuildNumber", "6.8.0-45-generic"},
                  {"BuildType", "#45-Ubuntu SMP PREEMPT_DYNAMIC Fri Aug 30 12:02:04 UTC 2024"},
                  {"Caption", "Ubuntu 24.04.1 LTS"},
                  {"CodeSet", "65001"},
                  {"CountryCode", "1"},
                  {"CreationClassName", "Win32_OperatingSystem"},
                  {"CSCreationClassName", "Win32_ComputerSystem"},
                  {"CSName", "testhost"},
                  {"CurrentTimeZone", "-360"},
                  {"DataExecutionPrevention_32BitApplications", "True"},
                  {"DataExecutionPrevention_Available", "True"},
                  {"DataExecutionPrevention_Drivers", "True"},
                  {"Debug", "False"},
                  {"Description", "Dev Laptop"},
                  {"Distributed", "False"},
                  {"FreePhysicalMemory", "12345678"},
                  {"FreeSpaceInPagingFiles", "2000000"},
                  {"FreeVirtualMemory", "14345678"},
                  {"InstallDate", "20230721232640.000000-300"},  // summer time: CDT
                  {"LastBootUpTime", "20231114161320.000000-360"},
                  {"LocalDateTime", "20231114171320.546000-360"},
                  {"Locale", "0409"},
                  {"Manufacturer", "Ubuntu"},
                  {"MaxNumberOfProcesses", "4194304"},
                  {"MaxProcessMemorySize", "137438953468"},
                  {"MUILanguages", "en-US"},
                  {"Name", "Ubuntu 24.04.1 LTS|/|/dev/nvme0n1p2"},
                  {"NumberOfProcesses", "3"},
                  {"OSArchitecture", "64-bit"},
                  {"OSLanguage", "1033"},
                  {"OSType", "36"},
                  {"PortableOperatingSystem", "False"},
                  {"Primary", "True"},
                  {"SizeStoredInPagingFiles", "2097148"},
                  {"Status", "OK"},
                  {"SystemDevice", "/dev/nvme0n1p2"},
                  {"SystemDrive", "/"},
                  {"TotalVirtualMemorySize", "18400828"},
                  {"TotalVisibleMemorySize", "16303680"},
                  {"Version", "24.04"}});
}

TEST_F(LaptopTest, MemoryCountersAndRatesOverTheSampleInterval) {
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_PerfFormattedData_PerfOS_Memory");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_PerfFormattedData_PerfOS_Memory",
                 {{"AvailableBytes", "12641974272"},
                  {"AvailableKBytes", "12345678"},
                  {"AvailableMBytes", "12056"},
                  {"CommitLimit", "18842447872"},
                  {"CommittedBytes", "10113580032"},
                  {"FreeAndZeroPageListBytes", "8318418944"},
                  {"ModifiedPageListBytes", "1280000"},
                  {"PageFaultsPersec", "7204"},
                  {"PageReadsPersec", "3"},
                  {"PagesInputPersec", "0"},
                  {"PagesOutputPersec", "4"},
                  {"PagesPersec", "4"},
                  {"PageWritesPersec", "4"},
                  {"PercentCommittedBytesInUse", "53"},
                  {"PoolNonpagedBytes", "126418944"}});
}

TEST_F(LaptopTest, ProcessorAndMemoryShareOneSampleWindow) {
    FixtureMachine machine(tree);
    (void)machine.query("Win32_Processor");
    (void)machine.query("Win32_PerfFormattedData_PerfOS_Memory");
    EXPECT_EQ(machine.system.intervalsWaited, 1);
}

TEST_F(LaptopTest, RatesScaleWithTheMeasuredInterval) {
    tree.setEnv("sample.interval", "0.5");
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_PerfFormattedData_PerfOS_Memory");
    ASSERT_EQ(objects.size(), 1U);
    EXPECT_EQ(text(objects[0], "PageFaultsPersec"), "14408");
    EXPECT_EQ(text(objects[0], "PagesOutputPersec"), "8");
}

const Expected kDiskCommon = {{"BytesPerSector", "512"},
                              {"ConfigManagerErrorCode", "0"},
                              {"ConfigManagerUserConfig", "False"},
                              {"CreationClassName", "Win32_DiskDrive"},
                              {"Description", "Disk drive"},
                              {"MediaLoaded", "True"},
                              {"SCSIBus", "0"},
                              {"SCSILogicalUnit", "0"},
                              {"SCSIPort", "0"},
                              {"SCSITargetId", "0"},
                              {"SectorsPerTrack", "63"},
                              {"Status", "OK"},
                              {"SystemCreationClassName", "Win32_ComputerSystem"},
                              {"SystemName", "testhost"},
                              {"TotalHeads", "255"},
                              {"TracksPerCylinder", "255"}};

Expected with(Expected base, const Expected& more) {
    for (const auto& [k, v] : more) base[k] = v;
    return base;
}

TEST_F(LaptopTest, DiskDrivesNvmeThenUsbStickNoVirtualDevices) {
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_DiskDrive");
    ASSERT_EQ(objects.size(), 2U);
    expectObject(objects[0], "Win32_DiskDrive",
                 with(kDiskCommon, {{"Capabilities", "3, 4"},
                                    {"CapabilityDescriptions", "Random Access, Supports Writing"},
                                    {"Caption", "Samsung SSD 990 PRO 2TB"},
                                    {"DeviceID", "/dev/nvme0n1"},
                                    {"FirmwareRevision", "3B2QJXD7"},
                                    {"Index", "0"},
                                    {"InterfaceType", "SCSI"},
                                    {"MediaType", "Fixed hard disk media"},
                                    {"Model", "Samsung SSD 990 PRO 2TB"},
                                    {"Name", "/dev/nvme0n1"},
                                    {"Partitions", "3"},
                                    {"SerialNumber", "S6Z2NF0W123456A"},
                                    {"Size", "2000396321280"},
                                    {"TotalCylinders", "243201"},
                                    {"TotalSectors", "3907024065"},
                                    {"TotalTracks", "62016255"}}));
    expectObject(objects[1], "Win32_DiskDrive",
                 with(kDiskCommon, {{"Capabilities", "3, 4, 7"},
                                    {"CapabilityDescriptions",
                                     "Random Access, Supports Writing, Supports Removable Media"},
                                    {"Caption", "SanDisk Cruzer Blade"},
                                    {"DeviceID", "/dev/sda"},
                                    {"FirmwareRevision", "1.00"},
                                    {"Index", "1"},
                                    {"InterfaceType", "USB"},
                                    {"Manufacturer", "SanDisk"},
                                    {"MediaType", "Removable Media"},
                                    {"Model", "SanDisk Cruzer Blade"},
                                    {"Name", "/dev/sda"},
                                    {"Partitions", "1"},
                                    {"SerialNumber", "4C530001230817117293"},
                                    {"Size", "15373048320"},
                                    {"TotalCylinders", "1869"},
                                    {"TotalSectors", "30025485"},
                                    {"TotalTracks", "476595"}}));
}

const Expected kVolumeCommon = {{"Access", "0"},
                                {"Compressed", "False"},
                                {"CreationClassName", "Win32_LogicalDisk"},
                                {"SupportsDiskQuotas", "False"},
                                {"SupportsFileBasedCompression", "False"},
                                {"SystemCreationClassName", "Win32_ComputerSystem"},
                                {"SystemName", "testhost"}};

TEST_F(LaptopTest, LogicalDisksOnePerVolumeNetworkShareWithoutAnswerKeepsItsObject) {
    FixtureMachine machine(tree);
    const auto objects = machine.query("Win32_LogicalDisk");
    ASSERT_EQ(objects.size(), 4U);
    expectObject(
        objects[0], "Win32_LogicalDisk",
        with(kVolumeCommon, {{"Caption", "/"},
                             {"Description", "Local Fixed Disk"},
                             {"DeviceID", "/"},
                             {"DriveType", "3"},
                             {"FileSystem", "ext4"},
                             {"FreeSpace", "221184000000"},
                             {"MaximumComponentLength", "255"},
                             {"MediaType", "12"},
                             {"Name", "/"},
                             {"Size", "491520000000"},
                             {"VolumeName", ""},
                             {"VolumeSerialNumber", "3e6b1c52-8f0d-4c7e-9a3b-5d2f1e0c9b7a"}}));
    expectObject(objects[1], "Win32_LogicalDisk",
                 with(kVolumeCommon, {{"Caption", "/boot/efi"},
                                      {"Description", "Local Fixed Disk"},
                                      {"DeviceID", "/boot/efi"},
                                      {"DriveType", "3"},
                                      {"FileSystem", "FAT32"},
                                      {"FreeSpace", "409600000"},
                                      {"MaximumComponentLength", "255"},
                                      {"MediaType", "12"},
                                      {"Name", "/boot/efi"},
                                      {"Size", "532480000"},
                                      {"VolumeName", "EFI"},
                                      {"VolumeSerialNumber", "ABCD1234"}}));
    expectObject(objects[2], "Win32_LogicalDisk",
                 with(kVolumeCommon, {{"Caption", "/media/user/STICK"},
                                      {"Description", "Removable Disk"},
                                      {"DeviceID", "/media/user/STICK"},
                                      {"DriveType", "2"},
                                      {"FileSystem", "FAT32"},
                                      {"FreeSpace", "13107200000"},
                                      {"MaximumComponentLength", "1530"},
                                      {"MediaType", "11"},
                                      {"Name", "/media/user/STICK"},
                                      {"Size", "15728640000"},
                                      {"VolumeName", "MY STICK"},
                                      {"VolumeSerialNumber", "1A2B3C4D"}}));
    expectObject(objects[3], "Win32_LogicalDisk",
                 with(kVolumeCommon, {{"Caption", "/mnt/nas"},
                                      {"Description", "Network Connection"},
                                      {"DeviceID", "/mnt/nas"},
                                      {"DriveType", "4"},
                                      {"FileSystem", "nfs4"},
                                      {"Name", "/mnt/nas"},
                                      {"ProviderName", "nas:/export"}}));
    // Only the reported volumes were asked for their sizes (no /home bind, /snap, tmpfs).
    EXPECT_EQ(machine.system.statvfsAsked,
              (std::vector<std::string>{"/", "/boot/efi", "/media/user/STICK", "/mnt/nas"}));
}

const Expected kControllerCommon = {{"ConfigManagerErrorCode", "0"},
                                    {"ConfigManagerUserConfig", "False"},
                                    {"Status", "OK"},
                                    {"SystemCreationClassName", "Win32_ComputerSystem"},
                                    {"SystemName", "testhost"}};

TEST_F(LaptopTest, ControllersByClassNeverSoundOrBridges) {
    FixtureMachine machine(tree);
    const auto objects = machine.query("CIM_Controller");
    ASSERT_EQ(objects.size(), 6U);
    const std::string ahci = "PCI\\VEN_8086&DEV_A352&SUBSYS_B0051458&REV_10\\0000:00:17.0";
    expectObject(objects[0], "Win32_IDEController",
                 with(kControllerCommon, {{"Caption", "Cannon Lake PCH SATA AHCI Controller"},
                                          {"CreationClassName", "Win32_IDEController"},
                                          {"Description", "Cannon Lake PCH SATA AHCI Controller"},
                                          {"DeviceID", ahci},
                                          {"Manufacturer", "Intel Corporation"},
                                          {"Name", "Cannon Lake PCH SATA AHCI Controller"},
                                          {"PNPDeviceID", ahci},
                                          {"ProtocolSupported", "37"}}));
    const std::string nvme = "PCI\\VEN_144D&DEV_A80C&SUBSYS_A801144D&REV_00\\0000:03:00.0";
    expectObject(objects[1], "Win32_SCSIController",
                 with(kControllerCommon, {{"Caption", "NVMe SSD Controller S4LV008[Pascal]"},
                                          {"CreationClassName", "Win32_SCSIController"},
                                          {"Description", "NVMe SSD Controller S4LV008[Pascal]"},
                                          {"DeviceID", nvme},
                                          {"DriverName", "nvme"},
                                          {"Index", "0"},
                                          {"Manufacturer", "Samsung Electronics Co Ltd"},
                                          {"Name", "NVMe SSD Controller S4LV008[Pascal]"},
                                          {"PNPDeviceID", nvme}}));
    expectObject(objects[2], "Win32_SerialPort",
                 with(kControllerCommon, {{"Caption", "Communications Port (ttyS0)"},
                                          {"CreationClassName", "Win32_SerialPort"},
                                          {"Description", "Communications Port (ttyS0)"},
                                          {"DeviceID", "ttyS0"},
                                          {"MaxBaudRate", "115200"},
                                          {"Name", "Communications Port (ttyS0)"},
                                          {"OSAutoDiscovered", "True"},
                                          {"ProviderType", "RS232 Serial Port"}}));
    const std::string xhci = "PCI\\VEN_8086&DEV_A36D&SUBSYS_50071458&REV_10\\0000:00:14.0";
    const std::string xhciName = "Cannon Lake PCH USB 3.1 xHCI Host Controller";
    expectObject(objects[3], "Win32_USBController",
                 with(kControllerCommon, {{"Caption", xhciName},
                                          {"CreationClassName", "Win32_USBController"},
                                          {"Description", xhciName},
                                          {"DeviceID", xhci},
                                          {"Manufacturer", "Intel Corporation"},
                                          {"Name", xhciName},
                                          {"PNPDeviceID", xhci},
                                          {"ProtocolSupported", "16"}}));
    const std::string igpu = "CoffeeLake-S GT2 [UHD Graphics 630]";
    expectObject(
        objects[4], "Win32_VideoController",
        with(kControllerCommon,
             {{"AdapterCompatibility", "Intel Corporation"},
              {"Availability", "3"},
              {"Caption", igpu},
              {"CreationClassName", "Win32_VideoController"},
              {"CurrentBitsPerPixel", "32"},
              {"CurrentHorizontalResolution", "1920"},
              {"CurrentNumberOfColors", "4294967296"},
              {"CurrentNumberOfColumns", "0"},
              {"CurrentNumberOfRows", "0"},
              {"CurrentScanMode", "4"},
              {"CurrentVerticalResolution", "1080"},
              {"Description", igpu},
              {"DeviceID", "VideoController1"},
              {"DitherType", "0"},
              {"DriverVersion", "6.8.0-45-generic"},
              {"InstalledDisplayDrivers", "i915"},
              {"Monochrome", "False"},
              {"Name", igpu},
              {"PNPDeviceID", "PCI\\VEN_8086&DEV_3E92&SUBSYS_D0001458&REV_00\\0000:00:02.0"},
              {"VideoArchitecture", "5"},
              {"VideoMemoryType", "2"},
              {"VideoModeDescription", "1920 x 1080 x 4294967296 colors"},
              {"VideoProcessor", igpu}}));
    expectObject(objects[5], "Win32_VideoController",
                 {{"AdapterCompatibility", "NVIDIA Corporation"},
                  {"Caption", "PCI device 10de:1f91"},
                  {"ConfigManagerErrorCode", "28"},
                  {"ConfigManagerUserConfig", "False"},
                  {"CreationClassName", "Win32_VideoController"},
                  {"Description", "PCI device 10de:1f91"},
                  {"DeviceID", "VideoController2"},
                  {"DitherType", "0"},
                  {"Monochrome", "False"},
                  {"Name", "PCI device 10de:1f91"},
                  {"PNPDeviceID", "PCI\\VEN_10DE&DEV_1F91&SUBSYS_3FC11458&REV_A1\\0000:01:00.0"},
                  {"Status", "Error"},
                  {"SystemCreationClassName", "Win32_ComputerSystem"},
                  {"SystemName", "testhost"},
                  {"VideoArchitecture", "2"},
                  {"VideoMemoryType", "2"}});
}

TEST_F(LaptopTest, RawSmbiosTablesOnlyForRoot) {
    const std::string table = laptopSmbiosTable();
    // The table's files exist but only root may read them.
    tree.write("/sys/firmware/dmi/tables/smbios_entry_point", smbios3EntryPoint(3, 2, 0));
    tree.write("/sys/firmware/dmi/tables/DMI", table);
    {
        FixtureMachine machine(tree);
        EXPECT_TRUE(
            machine.provider.query("ROOT\\wmi", "Select * from MSSmBios_RawSMBiosTables").empty());
    }
    tree.setEnv("uid", "0");
    FixtureMachine machine(tree);
    const auto objects =
        machine.provider.query("ROOT\\wmi", "Select * from MSSmBios_RawSMBiosTables");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "MSSmBios_RawSMBiosTables",
                 {{"Active", "True"},
                  {"DmiRevision", "0"},
                  {"InstanceName", "SMBiosData"},
                  {"Size", std::to_string(table.size())},
                  {"SMBiosData", wmiValueText(WmiValue(WmiBytes(table.begin(), table.end())))},
                  {"SmbiosMajorVersion", "3"},
                  {"SmbiosMinorVersion", "2"},
                  {"Used20CallingMethod", "False"}});
    const auto* bytes = std::get_if<WmiBytes>(&property(objects[0], "SMBiosData")->data);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), table);
    // The class lives in ROOT\wmi only.
    EXPECT_TRUE(machine.query("MSSmBios_RawSMBiosTables").empty());
}

// The scan driver over the Linux platform on the fixture: every WMI line of the query list
// is answered, and the core's table reader gets the bytes through the single-property query.
TEST_F(LaptopTest, ScanDriverFilesEveryClassAndReadsTheTableThroughWmi) {
    makeLaptopRoot(tree);
    LinuxPlatform platform(tree.root(), std::make_unique<FixtureSystem>(tree.root()));
    CCore core(platform);
    core.buildQueryList();
    core.runQueries();
    const std::string xml = core.report().xmlText();
    for (const char* node :
         {"<Win32_BaseBoard>", "<Win32_Processor>", "<Win32_OperatingSystem>",
          "<Win32_PerfFormattedData_PerfOS_Memory>", "<Win32_DiskDrive>", "<Win32_LogicalDisk>",
          "<Win32_ComputerSystemProduct>", "<Win32_IDEController>"})
        EXPECT_NE(xml.find(node), std::string::npos) << node;
    for (const char* wmiClass :
         {"Win32_BaseBoard\"", "Win32_Processor\"", "Win32_OperatingSystem\"", "Memory\"",
          "Win32_DiskDrive\"", "Win32_LogicalDisk\"", "Win32_ComputerSystemProduct\"",
          "CIM_Controller\""})
        EXPECT_EQ(core.errorText().find(wmiClass), std::string::npos) << core.errorText();
    EXPECT_NE(xml.find("UUID=\"4C4C4544-0052-3310-8058-B3C04F4D3232 \""), std::string::npos);

    const auto answer =
        platform.wmiQueryProperty("ROOT\\wmi", "Select * from MSSmBios_RawSMBiosTables", "Size");
    EXPECT_EQ(answer.error, "");
    EXPECT_EQ(wmiScalarText(answer.value), std::to_string(laptopSmbiosTable().size()));
}

}  // namespace
}  // namespace gravelin::testing
