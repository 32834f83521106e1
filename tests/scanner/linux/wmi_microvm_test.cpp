// The small virtual machine fixture: no firmware tables, no cpufreq, no CPU topology in
// sysfs, only virtio devices, a whole-disk root file system, loop and zram devices.
#include <gtest/gtest.h>

#include "WmiFixture.h"
#include "scanner/core/Core.h"

namespace gravelin::testing {
namespace {

class MicroVmTest : public ::testing::Test {
protected:
    FixtureTree tree{"microvm"};
    FixtureMachine machine{tree};
};

TEST_F(MicroVmTest, NoFirmwareTablesMeansNoBoardNoProductNoRawTable) {
    EXPECT_TRUE(machine.query("Win32_BaseBoard").empty());
    EXPECT_TRUE(machine.query("Win32_ComputerSystemProduct").empty());
    EXPECT_TRUE(
        machine.provider.query("ROOT\\wmi", "SELECT * FROM MSSmBios_RawSMBiosTables").empty());
}

TEST_F(MicroVmTest, ProcessorFromCpuinfoAloneWithRebuiltProcessorId) {
    const auto objects = machine.query("Win32_Processor");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_Processor",
                 {{"AddressWidth", "64"},
                  {"Architecture", "9"},
                  {"Availability", "3"},
                  {"Caption", "AMD64 Family 25 Model 1 Stepping 1"},
                  {"CpuStatus", "1"},
                  {"CreationClassName", "Win32_Processor"},
                  {"CurrentClockSpeed", "2445"},
                  {"DataWidth", "64"},
                  {"Description", "AMD64 Family 25 Model 1 Stepping 1"},
                  {"DeviceID", "CPU0"},
                  {"Level", "25"},
                  {"Manufacturer", "AuthenticAMD"},
                  {"MaxClockSpeed", "2445"},
                  {"Name", "AMD EPYC"},
                  {"NumberOfCores", "2"},
                  {"NumberOfEnabledCore", "2"},
                  {"NumberOfLogicalProcessors", "2"},
                  {"PowerManagementSupported", "False"},
                  {"ProcessorId", "178BFBFF00A00F11"},
                  {"ProcessorType", "3"},
                  {"Revision", "257"},
                  {"Role", "CPU"},
                  {"SecondLevelAddressTranslationExtensions", "False"},
                  {"Status", "OK"},
                  {"StatusInfo", "3"},
                  {"Stepping", "1"},
                  {"SystemCreationClassName", "Win32_ComputerSystem"},
                  {"SystemName", "vm"},
                  {"ThreadCount", "2"},
                  // svm is there, but so is the hypervisor flag: the firmware of a guest has
                  // not enabled anything for it.
                  {"VirtualizationFirmwareEnabled", "False"},
                  {"VMMonitorModeExtensions", "True"}});
}

TEST_F(MicroVmTest, OneVirtioDiskNoLoopOrZram) {
    const auto objects = machine.query("Win32_DiskDrive");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_DiskDrive",
                 {{"BytesPerSector", "512"},
                  {"Capabilities", "3, 4"},
                  {"CapabilityDescriptions", "Random Access, Supports Writing"},
                  {"ConfigManagerErrorCode", "0"},
                  {"ConfigManagerUserConfig", "False"},
                  {"CreationClassName", "Win32_DiskDrive"},
                  {"Description", "Disk drive"},
                  {"DeviceID", "/dev/vda"},
                  {"Index", "0"},
                  {"InterfaceType", "SCSI"},
                  {"MediaLoaded", "True"},
                  {"MediaType", "Fixed hard disk media"},
                  {"Name", "/dev/vda"},
                  {"Partitions", "0"},
                  {"SCSIBus", "0"},
                  {"SCSILogicalUnit", "0"},
                  {"SCSIPort", "0"},
                  {"SCSITargetId", "0"},
                  {"SectorsPerTrack", "63"},
                  {"Size", "274872407040"},
                  {"Status", "OK"},
                  {"SystemCreationClassName", "Win32_ComputerSystem"},
                  {"SystemName", "vm"},
                  {"TotalCylinders", "33418"},
                  {"TotalHeads", "255"},
                  {"TotalSectors", "536860170"},
                  {"TotalTracks", "8521590"},
                  {"TracksPerCylinder", "255"}});
}

TEST_F(MicroVmTest, RootIsTheOnlyLogicalDiskAmongPseudoFileSystems) {
    const auto objects = machine.query("Win32_LogicalDisk");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_LogicalDisk",
                 {{"Access", "0"},
                  {"Caption", "/"},
                  {"Compressed", "False"},
                  {"CreationClassName", "Win32_LogicalDisk"},
                  {"Description", "Local Fixed Disk"},
                  {"DeviceID", "/"},
                  {"DriveType", "3"},
                  {"FileSystem", "ext4"},
                  {"FreeSpace", "237568000000"},
                  {"MaximumComponentLength", "255"},
                  {"MediaType", "12"},
                  {"Name", "/"},
                  {"Size", "270582939648"},
                  {"SupportsDiskQuotas", "False"},
                  {"SupportsFileBasedCompression", "False"},
                  {"SystemCreationClassName", "Win32_ComputerSystem"},
                  {"SystemName", "vm"},
                  {"VolumeName", ""}});
}

TEST_F(MicroVmTest, VirtioBlockIsTheOneControllerWithoutNameDatabases) {
    const auto objects = machine.query("CIM_Controller");
    ASSERT_EQ(objects.size(), 1U);
    const std::string id = "PCI\\VEN_1AF4&DEV_1042&SUBSYS_11001AF4&REV_01\\0000:00:02.0";
    expectObject(objects[0], "Win32_SCSIController",
                 {{"Caption", "PCI device 1af4:1042"},
                  {"ConfigManagerErrorCode", "0"},
                  {"ConfigManagerUserConfig", "False"},
                  {"CreationClassName", "Win32_SCSIController"},
                  {"Description", "PCI device 1af4:1042"},
                  {"DeviceID", id},
                  {"DriverName", "virtio-pci"},
                  {"Index", "0"},
                  {"Name", "PCI device 1af4:1042"},
                  {"PNPDeviceID", id},
                  {"Status", "OK"},
                  {"SystemCreationClassName", "Win32_ComputerSystem"},
                  {"SystemName", "vm"}});
}

TEST_F(MicroVmTest, OperatingSystemWithoutLocaleOrBirthTime) {
    const auto objects = machine.query("Win32_OperatingSystem");
    ASSERT_EQ(objects.size(), 1U);
    expectObject(objects[0], "Win32_OperatingSystem",
                 {{"BootDevice", "/dev/vda"},
                  {"BuildNumber", "6.1.0-18-amd64"},
                  {"BuildType", "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01)"},
                  {"Caption", "Debian GNU/Linux 12 (bookworm)"},
                  {"CreationClassName", "Win32_OperatingSystem"},
                  {"CSCreationClassName", "Win32_ComputerSystem"},
                  {"CSName", "vm"},
                  {"CurrentTimeZone", "0"},
                  {"DataExecutionPrevention_32BitApplications", "True"},
                  {"DataExecutionPrevention_Available", "True"},
                  {"DataExecutionPrevention_Drivers", "True"},
                  {"Debug", "False"},
                  {"Description", ""},
                  {"Distributed", "False"},
                  {"FreePhysicalMemory", "1700000"},
                  {"FreeSpaceInPagingFiles", "0"},
                  {"FreeVirtualMemory", "1700000"},
                  {"LastBootUpTime", "20231114215640.000000+000"},
                  {"LocalDateTime", "20231114231320.000000+000"},
                  {"Manufacturer", "Debian GNU/Linux"},
                  {"MaxNumberOfProcesses", "32768"},
                  {"MaxProcessMemorySize", "137438953468"},
                  {"Name", "Debian GNU/Linux 12 (bookworm)|/|/dev/vda"},
                  {"NumberOfProcesses", "1"},
                  {"OSArchitecture", "64-bit"},
                  {"OSType", "36"},
                  {"PortableOperatingSystem", "False"},
                  {"Primary", "True"},
                  {"SizeStoredInPagingFiles", "0"},
                  {"Status", "OK"},
                  {"SystemDevice", "/dev/vda"},
                  {"SystemDrive", "/"},
                  {"TotalVirtualMemorySize", "2030580"},
                  {"TotalVisibleMemorySize", "2030580"},
                  {"Version", "12"}});
}

TEST_F(MicroVmTest, WithoutASecondSampleRatesAreZeroAndLoadIsUnknown) {
    const auto memory = machine.query("Win32_PerfFormattedData_PerfOS_Memory");
    ASSERT_EQ(memory.size(), 1U);
    for (const char* rate : {"PageFaultsPersec", "PageReadsPersec", "PagesInputPersec",
                             "PagesOutputPersec", "PagesPersec", "PageWritesPersec"})
        EXPECT_EQ(text(memory[0], rate), "0") << rate;
    // 300000 of 2030580 KiB committed.
    EXPECT_EQ(text(memory[0], "PercentCommittedBytesInUse"), "14");
    const auto cpu = machine.query("Win32_Processor");
    ASSERT_EQ(cpu.size(), 1U);
    EXPECT_TRUE(isNull(cpu[0], "LoadPercentage"));
}

TEST_F(MicroVmTest, ScanReportsNoDataForTheClassesWithNothingToObserve) {
    LinuxPlatform platform(tree.root(), std::make_unique<FixtureSystem>(tree.root()));
    CCore core(platform);
    core.buildQueryList();
    core.runQueries();
    EXPECT_NE(core.errorText().find("No data found for \"SELECT * FROM Win32_BaseBoard\""),
              std::string::npos);
    EXPECT_NE(
        core.errorText().find("No data found for \"SELECT * FROM Win32_ComputerSystemProduct\""),
        std::string::npos);
    EXPECT_EQ(core.errorText().find("Win32_Processor"), std::string::npos);
    EXPECT_EQ(core.errorText().find("CIM_Controller"), std::string::npos);
    // The single-property query finds no raw table object.
    EXPECT_EQ(
        platform.wmiQueryProperty("ROOT\\wmi", "Select * from MSSmBios_RawSMBiosTables", "Size")
            .error,
        "Error at pEnumerator->Next");
}

}  // namespace
}  // namespace gravelin::testing
