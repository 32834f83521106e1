// The summariser over reports the scanner builds from real firmware tables (expected values
// as dmidecode reads the same tables), over WMI answers, and over garbled and hostile reports.
#include <gtest/gtest.h>

#include <sstream>

#include "SummaryTesting.h"

namespace gravelin::testing {
namespace {

using report::summarise;
using report::Summary;

constexpr std::uint64_t GiB = 1ULL << 30;

Summary scannedSummary(const std::string& table, const WmiClasses& wmi = {}) {
    return summaryOfXml(scanRealTable(table, wmi).xml);
}

// A Windows desktop's answers for the WMI classes of the query list.
WmiClasses desktopWmi() {
    WmiClasses wmi;
    wmi["SELECT * FROM Win32_ComputerSystemProduct"] = {
        wmiObject("Win32_ComputerSystemProduct", {{"IdentifyingNumber", "7KNZBH2"},
                                                  {"Name", "Precision Tower 3620"},
                                                  {"UUID", "4C4C4544-004B-4E10-805A-B7C04F424832"},
                                                  {"Vendor", "Dell Inc."}})};
    wmi["SELECT * FROM Win32_Processor"] = {
        wmiObject("Win32_Processor", {{"CurrentClockSpeed", "3301"},
                                      {"LoadPercentage", "7"},
                                      {"Manufacturer", "GenuineIntel"},
                                      {"MaxClockSpeed", "3301"},
                                      {"Name", "Intel(R) Xeon(R) CPU E3-1225 v5 @ 3.30GHz   "},
                                      {"NumberOfCores", "4"},
                                      {"NumberOfLogicalProcessors", "4"},
                                      {"SocketDesignation", "U3E1"}})};
    wmi["SELECT * FROM Win32_OperatingSystem"] = {
        wmiObject("Win32_OperatingSystem", {{"BuildNumber", "19045"},
                                            {"Caption", "Microsoft Windows 10 Pro"},
                                            {"FreePhysicalMemory", "9000000"},
                                            {"OSArchitecture", "64-bit"},
                                            {"TotalVisibleMemorySize", "16655176"},
                                            {"Version", "10.0.19045"}})};
    wmi["SELECT * FROM Win32_DiskDrive"] = {
        wmiObject("Win32_DiskDrive", {{"DeviceID", "\\\\.\\PHYSICALDRIVE0"},
                                      {"FirmwareRevision", "RVT04B6Q"},
                                      {"InterfaceType", "SCSI"},
                                      {"Model", "Samsung SSD 860 EVO 500GB"},
                                      {"PNPDeviceID",
                                       "SCSI\\DISK&VEN_&PROD_SAMSUNG_SSD_860\\4&2A3C&0&000"},
                                      {"SerialNumber", "  S3Z9NB0K123456A"},
                                      {"Size", "500105249280"}}),
        wmiObject("Win32_DiskDrive", {{"DeviceID", "\\\\.\\PHYSICALDRIVE1"},
                                      {"FirmwareRevision", "CC43"},
                                      {"InterfaceType", "IDE"},
                                      {"Model", "ST2000DM008-2FR102"},
                                      {"SerialNumber", "ZFL1ABCD"},
                                      {"Size", "2000396321280"}})};
    wmi["SELECT * FROM Win32_LogicalDisk"] = {
        wmiObject("Win32_LogicalDisk", {{"DeviceID", "C:"},
                                        {"DriveType", "3"},
                                        {"FileSystem", "NTFS"},
                                        {"FreeSpace", "128849018880"},
                                        {"Size", "499570700288"},
                                        {"VolumeName", "System"},
                                        {"VolumeSerialNumber", "A2B4C6D8"}}),
        wmiObject("Win32_LogicalDisk", {{"DeviceID", "E:"},
                                        {"DriveType", "5"},
                                        {"FileSystem", ""},
                                        {"FreeSpace", ""},
                                        {"Size", ""},
                                        {"VolumeName", ""},
                                        {"VolumeSerialNumber", ""}})};
    // One query, several classes: all under the node of the first object's class.
    wmi["SELECT * FROM CIM_Controller"] = {
        wmiObject(
            "Win32_USBController",
            {{"CreationClassName", "Win32_USBController"},
             {"DeviceID", "PCI\\VEN_8086&DEV_A12F&SUBSYS_07A41028&REV_31\\3&11583659&0&A0"},
             {"Manufacturer", "Intel"},
             {"Name", "Intel(R) USB 3.0 eXtensible Host Controller - 1.0 (Microsoft)"},
             {"PNPDeviceID", "PCI\\VEN_8086&DEV_A12F&SUBSYS_07A41028&REV_31\\3&11583659&0&A0"}}),
        wmiObject(
            "Win32_VideoController",
            {{"CreationClassName", "Win32_VideoController"},
             {"DeviceID", "VideoController1"},
             {"Name", "Intel(R) HD Graphics P530"},
             {"PNPDeviceID", "PCI\\VEN_8086&DEV_191D&SUBSYS_07A41028&REV_06\\3&11583659&0&10"}})};
    return wmi;
}

TEST(SummaryOfRealTables, DesktopWithDdr4AndWmiAnswers) {
    GRAVELIN_NEED_REAL_TABLES();
    const Summary s = scannedSummary("jcreekmore-Dell-Precision-3620", desktopWmi());

    EXPECT_EQ(s.maker, "Dell Inc.");
    EXPECT_EQ(s.model, "Precision Tower 3620");
    EXPECT_EQ(s.serialNumber, "7KNZBH2");
    EXPECT_EQ(s.uuid, "4C4C4544-004B-4E10-805A-B7C04F424832");
    // No Win32_BaseBoard answer: the board comes from the table.
    EXPECT_EQ(s.boardMaker, "Dell Inc.");
    EXPECT_EQ(s.boardProduct, "09WH54");
    EXPECT_EQ(s.boardVersion, "A01");
    EXPECT_EQ(s.boardSerial, "/7KNZBH2/CN722006CF01LX/");
    EXPECT_EQ(s.enclosureMaker, "Dell Inc.");
    EXPECT_EQ(s.enclosureType, "Desktop");
    EXPECT_EQ(s.enclosureSerial, "7KNZBH2");

    ASSERT_EQ(s.processors.size(), 1u);
    const auto& cpu = s.processors[0];
    EXPECT_EQ(cpu.model, "Intel(R) Xeon(R) CPU E3-1225 v5 @ 3.30GHz");  // WMI first, trimmed
    EXPECT_EQ(cpu.maker, "GenuineIntel");
    EXPECT_EQ(cpu.socket, "U3E1");
    EXPECT_EQ(cpu.cores, 4u);
    EXPECT_EQ(cpu.threads, 4u);
    EXPECT_EQ(cpu.maxClockMHz, 3301u);
    EXPECT_EQ(s.cores, 4u);
    EXPECT_EQ(s.threads, 4u);

    // dmidecode: DIMM1 and DIMM2 8 GB DDR4 2133 MT/s, SK Hynix (bank 1, 0xAD), DIMM3 and DIMM4
    // "No Module Installed".
    ASSERT_EQ(s.memory.size(), 4u);
    const auto& dimm2 = s.memory[1];
    EXPECT_EQ(dimm2.locator, "DIMM2");
    EXPECT_FALSE(dimm2.empty);
    EXPECT_EQ(dimm2.sizeBytes, 8 * GiB);
    EXPECT_EQ(dimm2.type, "DDR4");
    EXPECT_EQ(dimm2.formFactor, "DIMM");
    EXPECT_EQ(dimm2.speedMTs, 2133u);
    EXPECT_EQ(dimm2.maker, "SK Hynix");
    EXPECT_EQ(dimm2.partNumber, "HMA41GU6AFR8N-TF");
    EXPECT_EQ(dimm2.serialNumber, "28221928");
    for (const std::size_t empty : {2u, 3u}) {
        EXPECT_TRUE(s.memory[empty].empty) << empty;
        EXPECT_EQ(s.memory[empty].locator, "DIMM" + std::to_string(empty + 1));
        EXPECT_FALSE(s.memory[empty].sizeBytes);
        EXPECT_EQ(s.memory[empty].type, "");  // not the table's "Unknown"
    }
    EXPECT_EQ(s.memoryBytes, 16 * GiB);
    EXPECT_EQ(s.memoryModules, 2u);
    EXPECT_EQ(s.memoryVisibleBytes, 16655176ULL * 1024);

    ASSERT_EQ(s.disks.size(), 2u);
    EXPECT_EQ(s.disks[0].model, "Samsung SSD 860 EVO 500GB");
    EXPECT_EQ(s.disks[0].serialNumber, "S3Z9NB0K123456A");
    EXPECT_EQ(s.disks[0].deviceId, "\\\\.\\PHYSICALDRIVE0");
    EXPECT_EQ(s.disks[0].interfaceType, "SCSI");
    EXPECT_EQ(s.disks[0].firmware, "RVT04B6Q");
    EXPECT_EQ(s.disks[0].sizeBytes, 500105249280u);
    EXPECT_EQ(s.disks[0].pnpDeviceId, "SCSI\\DISK&VEN_&PROD_SAMSUNG_SSD_860\\4&2A3C&0&000");
    EXPECT_EQ(s.disks[1].pnpDeviceId, "");
    EXPECT_EQ(s.disks[1].serialNumber, "ZFL1ABCD");
    EXPECT_EQ(s.diskBytes, 500105249280u + 2000396321280u);

    ASSERT_EQ(s.volumes.size(), 2u);
    EXPECT_EQ(s.volumes[0].deviceId, "C:");
    EXPECT_EQ(s.volumes[0].fileSystem, "NTFS");
    EXPECT_EQ(s.volumes[0].volumeName, "System");
    EXPECT_EQ(s.volumes[0].volumeSerial, "A2B4C6D8");
    EXPECT_EQ(s.volumes[0].sizeBytes, 499570700288u);
    EXPECT_EQ(s.volumes[0].freeBytes, 128849018880u);
    EXPECT_EQ(s.volumes[0].driveType, "Local disk");
    EXPECT_EQ(s.volumes[1].driveType, "CD/DVD");
    EXPECT_FALSE(s.volumes[1].sizeBytes);  // no disc: null, not 0

    // dmidecode: SLOT1 "x16 PCI Express 3 x16" in use ... SLOT5 M.2 Socket 3.
    ASSERT_EQ(s.slots.size(), 5u);
    EXPECT_EQ(s.slots[0].designation, "SLOT1");
    EXPECT_EQ(s.slots[0].type, "PCI Express Gen 3");
    EXPECT_EQ(s.slots[0].usage, "In use");
    EXPECT_EQ(s.slots[1].usage, "Available");
    EXPECT_EQ(s.slots[4].type, "M.2 Socket 3 (Mechanical Key M)");

    ASSERT_EQ(s.controllers.size(), 2u);
    EXPECT_EQ(s.controllers[0].kind, "USB");
    EXPECT_EQ(s.controllers[0].maker, "Intel");
    EXPECT_EQ(s.controllers[0].pnpDeviceId, "");  // the same as the device ID
    EXPECT_EQ(s.controllers[1].kind, "Video");
    EXPECT_EQ(s.controllers[1].name, "Intel(R) HD Graphics P530");
    EXPECT_EQ(s.controllers[1].deviceId, "VideoController1");
    EXPECT_EQ(s.controllers[1].pnpDeviceId,
              "PCI\\VEN_8086&DEV_191D&SUBSYS_07A41028&REV_06\\3&11583659&0&10");

    EXPECT_EQ(s.os, "Microsoft Windows 10 Pro");
    EXPECT_EQ(s.osVersion, "10.0.19045");
    EXPECT_EQ(s.osBuild, "19045");
    EXPECT_EQ(s.osArchitecture, "64-bit");
    EXPECT_EQ(s.osDescription, "Test OS 64Bit (kernel: 1.0)");
    EXPECT_EQ(s.programName, "gravelin-scanner");
    EXPECT_EQ(s.programVersion, "1.2.3.4");
}

TEST(SummaryOfRealTables, DesktopWithDdr5Sodimm) {
    GRAVELIN_NEED_REAL_TABLES();
    const Summary s = scannedSummary("siderolabs-Beelink-EQ12");
    // dmidecode: 16 GB DDR5 SODIMM 5600 MT/s, Crucial Technology, E8FBFFE2; one empty slot.
    ASSERT_EQ(s.memory.size(), 2u);
    const auto& module = s.memory[0];
    EXPECT_EQ(module.locator, "Controller0-ChannelA-DIMM0");
    EXPECT_EQ(module.bankLocator, "BANK 0");
    EXPECT_EQ(module.sizeBytes, 16 * GiB);
    EXPECT_EQ(module.type, "DDR5");
    EXPECT_EQ(module.formFactor, "SODIMM");
    EXPECT_EQ(module.speedMTs, 5600u);
    EXPECT_EQ(module.maker, "Crucial Technology");
    EXPECT_EQ(module.partNumber, "CT16G56C46S5.M8G1");
    EXPECT_EQ(module.serialNumber, "E8FBFFE2");
    EXPECT_TRUE(s.memory[1].empty);
    EXPECT_EQ(s.memory[1].locator, "Controller1-ChannelA-DIMM0");
    EXPECT_EQ(s.memoryBytes, 16 * GiB);

    // No Win32_Processor: the table's processor.
    ASSERT_EQ(s.processors.size(), 1u);
    EXPECT_EQ(s.processors[0].model, "Intel(R) N100");
    EXPECT_EQ(s.processors[0].maker, "Intel(R) Corporation");
    EXPECT_EQ(s.processors[0].cores, 4u);
    EXPECT_EQ(s.processors[0].threads, 4u);
    EXPECT_EQ(s.processors[0].maxClockMHz, 3400u);
    EXPECT_EQ(s.boardMaker, "AZW");
    EXPECT_EQ(s.boardProduct, "EQ");
    // Placeholders are reported as the firmware wrote them; the differ ignores them as keys.
    EXPECT_EQ(s.enclosureSerial, "Default string");
}

TEST(SummaryOfRealTables, ServerWithManyDimms) {
    GRAVELIN_NEED_REAL_TABLES();
    const Summary s = scannedSummary("infrasim-dell_r630");
    // dmidecode: 24 slots, A1-A8 and B1-B8 32 GB DDR4 2133 (sizes only in the extended size
    // field), Samsung (bank 1, 0xCE) M393A4K40BB0-CPB; A9-A12, B9-B12 empty.
    ASSERT_EQ(s.memory.size(), 24u);
    EXPECT_EQ(s.memoryModules, 16u);
    EXPECT_EQ(s.memoryBytes, 512 * GiB);
    for (const auto& slot : s.memory) {
        const bool installed = std::stoi(slot.locator.substr(1)) <= 8;
        EXPECT_EQ(slot.empty, !installed) << slot.locator;
        if (!installed) continue;
        EXPECT_EQ(slot.sizeBytes, 32 * GiB) << slot.locator;
        EXPECT_EQ(slot.maker, "Samsung") << slot.locator;
        EXPECT_EQ(slot.partNumber, "M393A4K40BB0-CPB") << slot.locator;
        EXPECT_EQ(slot.type, "DDR4") << slot.locator;
    }
    EXPECT_EQ(s.memory[0].locator, "A1");
    EXPECT_EQ(s.memory[0].serialNumber, "40F688FD");
    EXPECT_EQ(s.memory[12].locator, "B1");
    ASSERT_EQ(s.processors.size(), 2u);
    EXPECT_EQ(s.processors[1].socket, "CPU2");
    EXPECT_EQ(s.processors[1].model, "Intel(R) Xeon(R) CPU E5-2699 v3 @ 2.30GHz");
    EXPECT_EQ(s.processors[1].cores, 18u);
    EXPECT_EQ(s.processors[1].threads, 36u);
    EXPECT_EQ(s.cores, 36u);
    EXPECT_EQ(s.threads, 72u);
    EXPECT_EQ(s.enclosureType, "Rack Mount Chassis (chassis lock present)");
    EXPECT_EQ(s.enclosureSerial, "95SF082");
}

TEST(SummaryOfRealTables, VirtualMachines) {
    GRAVELIN_NEED_REAL_TABLES();
    // QEMU, two sockets of two cores: dmidecode "CPU 0", "CPU 1", 2 cores, 2 threads each;
    // one 3 GB device of type RAM.
    const Summary qemu = scannedSummary("qemu-pc-seabios-2s");
    ASSERT_EQ(qemu.processors.size(), 2u);
    EXPECT_EQ(qemu.processors[0].socket, "CPU 0");
    EXPECT_EQ(qemu.processors[1].socket, "CPU 1");
    EXPECT_EQ(qemu.cores, 4u);
    EXPECT_EQ(qemu.threads, 4u);
    ASSERT_EQ(qemu.memory.size(), 1u);
    EXPECT_EQ(qemu.memory[0].locator, "DIMM 0");
    EXPECT_EQ(qemu.memory[0].sizeBytes, 3 * GiB);
    EXPECT_EQ(qemu.memory[0].type, "RAM");
    EXPECT_EQ(qemu.memory[0].maker, "QEMU");
    EXPECT_FALSE(qemu.memory[0].speedMTs);  // "0 MHz": unknown

    // VMware lists 128 sockets, 126 of them "Populated, Disabled By BIOS", and 128 memory
    // slots with one 1 GB module; its thread count 0 means none given.
    const Summary vmware = scannedSummary("uroot-VMWare");
    ASSERT_EQ(vmware.processors.size(), 2u);
    EXPECT_EQ(vmware.processors[0].socket, "CPU #000");
    EXPECT_EQ(vmware.processors[0].model, "Intel(R) Core(TM) i7-5500U CPU @ 2.40GHz");
    EXPECT_EQ(vmware.processors[0].cores, 1u);
    EXPECT_FALSE(vmware.processors[0].threads);
    EXPECT_EQ(vmware.memory.size(), 128u);
    EXPECT_EQ(vmware.memoryModules, 1u);
    EXPECT_EQ(vmware.memoryBytes, 1 * GiB);
    EXPECT_EQ(vmware.memory[0].locator, "RAM slot #0");
    EXPECT_EQ(vmware.memory[0].bankLocator, "RAM slot #0");
    EXPECT_EQ(vmware.slots.size(), 7u);

    // Hyper-V's broken table: the walk stops after five structures, board and enclosure.
    const Summary hyperv = scannedSummary("siderolabs-HyperV");
    EXPECT_EQ(hyperv.boardProduct, "Virtual Machine");
    EXPECT_EQ(hyperv.enclosureSerial, "1519-7810-4472-8775-7272-8851-12");
    EXPECT_TRUE(hyperv.memory.empty());
    EXPECT_TRUE(hyperv.processors.empty());
}

// Every real table: one memory slot per type 17 structure of MANIFEST.tsv, never more
// processors than type 4 structures, and the sum of the module sizes is the total.
TEST(SummaryOfRealTables, EveryTableAgreesWithItsStructureCounts) {
    GRAVELIN_NEED_REAL_TABLES();
    std::istringstream manifest(fileBytes(realTablesDir() / "MANIFEST.tsv"));
    std::string line;
    std::getline(manifest, line);
    int tables = 0;
    while (std::getline(manifest, line)) {
        std::vector<std::string> columns;
        std::istringstream fields(line);
        for (std::string column; std::getline(fields, column, '\t');) columns.push_back(column);
        ASSERT_GE(columns.size(), 10u) << line;
        std::map<unsigned, unsigned> counts;
        std::istringstream types(columns[9]);
        for (std::string item; types >> item;) {
            const auto colon = item.find(':');
            counts[static_cast<unsigned>(std::stoul(item.substr(0, colon)))] =
                colon == std::string::npos
                    ? 1
                    : static_cast<unsigned>(std::stoul(item.substr(colon + 1)));
        }
        const Summary s = scannedSummary(columns[0]);
        ++tables;
        if (columns[0] == "siderolabs-HyperV") continue;  // the walk stops early (above)
        EXPECT_EQ(s.memory.size(), counts[17]) << columns[0];
        EXPECT_LE(s.processors.size(), counts[4]) << columns[0];
        EXPECT_EQ(s.slots.size(), counts[9]) << columns[0];
        std::uint64_t total = 0;
        std::uint32_t installed = 0;
        for (const auto& slot : s.memory) {
            if (slot.empty) continue;
            ++installed;
            total += slot.sizeBytes.value_or(0);
        }
        EXPECT_EQ(s.memoryModules, installed) << columns[0];
        EXPECT_EQ(s.memoryBytes, total) << columns[0];
    }
    EXPECT_GE(tables, 49);
}

TEST(SummaryOfWmi, ProcessorsPairWithTheTableBySocketNotPlace) {
    GRAVELIN_NEED_REAL_TABLES();
    // WMI lists the second socket first and gives no counts for it: the table's CPU2 fills.
    WmiClasses wmi;
    wmi["SELECT * FROM Win32_Processor"] = {
        wmiObject("Win32_Processor", {{"Name", "Upgraded CPU"},
                                      {"SocketDesignation", "CPU2"},
                                      {"NumberOfCores", ""},
                                      {"NumberOfLogicalProcessors", "garbage"}}),
        wmiObject("Win32_Processor", {{"Name", "First CPU"},
                                      {"SocketDesignation", "CPU1"},
                                      {"NumberOfCores", "20"},
                                      {"NumberOfLogicalProcessors", "40"}})};
    const Summary s = scannedSummary("infrasim-dell_r630", wmi);
    ASSERT_EQ(s.processors.size(), 2u);
    EXPECT_EQ(s.processors[0].model, "Upgraded CPU");
    EXPECT_EQ(s.processors[0].socket, "CPU2");
    EXPECT_EQ(s.processors[0].cores, 18u);  // from the table's CPU2
    EXPECT_EQ(s.processors[0].threads, 36u);
    EXPECT_EQ(s.processors[0].maxClockMHz, 4000u);
    EXPECT_EQ(s.processors[1].cores, 20u);
    EXPECT_EQ(s.cores, 38u);
    EXPECT_EQ(s.threads, 76u);
}

// Objects are read by their index, not by their place in the document (the report writes
// new children in front of their siblings).
TEST(SummaryOfReports, ObjectsInIndexOrderWhateverTheDocumentOrder) {
    const char* xml = R"(<HWInfo>
      <Win32_DiskDrive><i10 DeviceID="d10 " /><i2 DeviceID="d2 " /><i0 DeviceID="d0 " /></Win32_DiskDrive>
      <SMBIOS_Type_17_MemoryDevice><i1 DeviceLocator="B " Size="0 (No module installed) " />
        <i0 DeviceLocator="A " Size="1024MB " /></SMBIOS_Type_17_MemoryDevice>
    </HWInfo>)";
    const Summary s = summaryOfXml(xml);
    ASSERT_EQ(s.disks.size(), 3u);
    EXPECT_EQ(s.disks[0].deviceId, "d0");
    EXPECT_EQ(s.disks[1].deviceId, "d2");
    EXPECT_EQ(s.disks[2].deviceId, "d10");
    ASSERT_EQ(s.memory.size(), 2u);
    EXPECT_EQ(s.memory[0].locator, "A");
    EXPECT_EQ(s.memoryBytes, 1ULL << 30);
}

// Garbled numbers give empty values, never a wrong number or an exception.
TEST(SummaryOfReports, GarbledNumbersGiveEmptyValues) {
    const char* xml = R"(<HWInfo>
      <Win32_DiskDrive><i0 Size="-1 " /><i1 Size="18446744073709551616 " /><i2 Size="12abc " />
        <i3 Size="1e9 " /><i4 Size=" " /></Win32_DiskDrive>
      <Win32_Processor><i0 NumberOfCores="4294967296 " NumberOfLogicalProcessors="0 " MaxClockSpeed="x " /></Win32_Processor>
      <SMBIOS_Type_17_MemoryDevice>
        <i0 DeviceLocator="A " Size="Unknown memory size " Speed="fast MHz" />
        <i1 DeviceLocator="B " Size="See extended size " ExtendedSize="99999999999999999999 MB" />
        <i2 DeviceLocator="C " Size="17592186044416MB " />
        <i3 DeviceLocator="D " Size="8GB " />
      </SMBIOS_Type_17_MemoryDevice>
      <Win32_OperatingSystem><i0 TotalVisibleMemorySize="18446744073709551615 " /></Win32_OperatingSystem>
    </HWInfo>)";
    const Summary s = summaryOfXml(xml);
    ASSERT_EQ(s.disks.size(), 5u);
    for (const auto& disk : s.disks) EXPECT_FALSE(disk.sizeBytes);
    EXPECT_EQ(s.diskBytes, 0u);
    ASSERT_EQ(s.processors.size(), 1u);
    EXPECT_FALSE(s.processors[0].cores);
    EXPECT_FALSE(s.processors[0].threads);
    EXPECT_FALSE(s.processors[0].maxClockMHz);
    ASSERT_EQ(s.memory.size(), 4u);
    for (const auto& slot : s.memory) {
        EXPECT_FALSE(slot.empty) << slot.locator;  // something is there, of unknown size
        EXPECT_FALSE(slot.sizeBytes) << slot.locator;
        EXPECT_FALSE(slot.speedMTs) << slot.locator;
    }
    EXPECT_EQ(s.memoryBytes, 0u);  // the OS figure overflows too
}

TEST(SummaryOfReports, HostileAndEmptyDocumentsGiveEmptySummaries) {
    for (const char* xml :
         {"", "<other/>", "<HWInfo/>", "<HWInfo><Application/></HWInfo>",
          "<HWInfo><Win32_DiskDrive><notAnObject/>text</Win32_DiskDrive></HWInfo>",
          // type 170 is not type 17, nor "Type_1" type 1 (one document on two lines)
          // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
          "<HWInfo><SMBIOS_Type_170_Oem><i0 DeviceLocator=\"A \"/></SMBIOS_Type_170_Oem>"
          "<SMBIOS_Type_1><i0 Manufacturer=\"M \"/></SMBIOS_Type_1></HWInfo>"}) {
        pugi::xml_document document;
        document.load_string(xml);
        const Summary s = summarise(document);
        EXPECT_TRUE(s.memory.empty() && s.processors.empty() && s.maker.empty() &&
                    s.errorsExplained.empty())
            << xml;
    }
    // A firmware string with markup and control characters is kept as text, and the
    // plain-text rendering shows no control character.
    pugi::xml_document document;
    document.load_string(
        "<HWInfo><Win32_ComputerSystemProduct><i0 Vendor=\"&lt;script&gt;\x1b[2J&#7;x \" />"
        "</Win32_ComputerSystemProduct></HWInfo>");
    const Summary s = summarise(document);
    EXPECT_EQ(s.maker, "<script>\x1b[2J\ax");
    const std::string text = report::summaryText(s);
    EXPECT_NE(text.find("<script>?[2J?x"), std::string::npos) << text;
}

// The scan's error text said plainly, one line per problem.
TEST(ErrorsExplained, EachKindOfEntry) {
    struct Case {
        const char* errors;
        std::vector<std::string> expectedStarts;
    };
    const std::vector<Case> cases = {
        {" ", {}},
        {"Unable to query SMBIOS device data! "
         "No data found for \"SELECT * FROM SMBIOS_Type002_Baseboard_Module\", "
         "No data found for \"SELECT * FROM SMBIOS_Type017_MemoryDevice\", "
         "No data found for \"SELECT * FROM Win32_PerfFormattedData_PerfOS_Memory\", ",
         {"no SMBIOS table: run with administrator rights",
          "the machine did not answer for Win32_PerfFormattedData_PerfOS_Memory: the report has "
          "no memory counters; on Windows the performance counters are disabled or damaged"}},
        // A table without the old structures: said per type, and not as a fault.
        {"No data found for \"SELECT * FROM SMBIOS_Type005_MemoryController\", "
         "No data found for \"SELECT * FROM SMBIOS_Type009_SystemSlot\", ",
         {"the firmware table has no memory controller structure (type 5): an old structure",
          "the firmware table has no system slot structure (type 9): the expansion slots are "
          "unknown"}},
        {"No data found for \"SELECT * FROM Win32_ComputerSystemProduct\", ",
         {"the machine did not answer for Win32_ComputerSystemProduct: the report has no "
          "machine maker, model, serial number or UUID"}},
        {"No data found for \"select * from Win32_Fan\", ",
         {"the machine did not answer for Win32_Fan: the report has nothing from it"}},
        {"Skipped invalid XML name \"1bad name\", ",
         {"a class or property named \"1bad name\" is not a usable XML name and was left out"}},
        // Text from elsewhere is passed on; an entry cut short still reads.
        {"disk on fire No data found for \"SELECT * FROM Win32_DiskDrive",
         {"other error text: disk on fire",
          "the machine did not answer for Win32_DiskDrive: the report has no disks"}},
        // Repeated entries (a report put together by hand) are said once.
        {"Unable to query SMBIOS device data! Unable to query SMBIOS device data! "
         "No data found for \"SELECT * FROM Win32_DiskDrive\", "
         "No data found for \"SELECT * FROM Win32_DiskDrive\", ",
         {"no SMBIOS table", "the machine did not answer for Win32_DiskDrive"}},
    };
    for (const auto& c : cases) {
        const auto explained = report::explainErrors(c.errors);
        ASSERT_EQ(explained.size(), c.expectedStarts.size()) << c.errors;
        for (std::size_t i = 0; i < explained.size(); ++i) {
            EXPECT_TRUE(explained[i].starts_with(c.expectedStarts[i]))
                << c.errors << "\n  got:      " << explained[i]
                << "\n  expected: " << c.expectedStarts[i];
        }
    }
}

TEST(ErrorsExplained, NoWmiAtAllIsSaidOnceFirst) {
    std::string errors;
    for (const char* line :
         {"Win32_BaseBoard", "Win32_Processor", "Win32_OperatingSystem",
          "Win32_PerfFormattedData_PerfOS_Memory", "Win32_DiskDrive", "Win32_LogicalDisk",
          "Win32_ComputerSystemProduct", "CIM_Controller"}) {
        errors += std::string("No data found for \"SELECT * FROM ") + line + "\", ";
    }
    const auto explained = report::explainErrors(errors);
    ASSERT_EQ(explained.size(), 9u);
    EXPECT_TRUE(explained[0].starts_with("WMI answered nothing at all")) << explained[0];
}

// What a real scan without a table writes, through the whole scanner.
TEST(ErrorsExplained, ScanWithoutTable) {
    FakePlatform platform;  // no registry value, WMI answers nothing
    const Summary s = summaryOfXml(scanWith(platform).xml);
    EXPECT_TRUE(s.errors.starts_with("Unable to query SMBIOS device data! ")) << s.errors;
    ASSERT_FALSE(s.errorsExplained.empty());
    EXPECT_EQ(s.errorsExplained[0].rfind("WMI answered nothing at all", 0), 0u)
        << s.errorsExplained[0];
    EXPECT_EQ(s.errorsExplained[1].rfind("no SMBIOS table: run with administrator rights", 0), 0u);
    // The seven SMBIOS lines are said by the one sentence, the eight WMI classes each.
    EXPECT_EQ(s.errorsExplained.size(), 2u + 8u);
}

TEST(SummaryValues, HumanSizes) {
    struct Case {
        std::uint64_t bytes;
        report::SizeUnits units;
        const char* text;
    };
    using report::SizeUnits;
    for (const auto& c :
         std::vector<Case>{{0, SizeUnits::Binary, "0 B"},
                           {1023, SizeUnits::Binary, "1023 B"},
                           {1024, SizeUnits::Binary, "1 KiB"},
                           {8ULL << 30, SizeUnits::Binary, "8 GiB"},
                           {(23ULL << 30) + (1ULL << 29), SizeUnits::Binary, "23.5 GiB"},
                           {499570700288, SizeUnits::Binary, "465 GiB"},
                           {500105249280, SizeUnits::Decimal, "500 GB"},
                           {2000396321280, SizeUnits::Decimal, "2 TB"},
                           {1500000000, SizeUnits::Decimal, "1.5 GB"},
                           {~0ULL, SizeUnits::Binary, "16 EiB"}}) {
        EXPECT_EQ(report::humanSize(c.bytes, c.units), c.text) << c.bytes;
    }
}

TEST(SummaryValues, SerialNumbersForSearchSkipPlaceholdersAndRepeats) {
    Summary s;
    s.serialNumber = "7KNZBH2";
    s.enclosureSerial = "7KNZBH2";
    s.boardSerial = "Default string";
    s.memory.push_back({});
    s.memory.back().serialNumber = "28221928";
    s.disks.push_back({});
    s.disks.back().serialNumber = "ZFL1ABCD";
    EXPECT_EQ(report::serialNumbers(s),
              (std::vector<std::string>{"7KNZBH2", "28221928", "ZFL1ABCD"}));
}

TEST(SummaryValues, TheProductVersionIsAProductNameOnlyWhenItNamesOne) {
    const struct {
        const char* version;
        const char* model;
        const char* name;
    } cases[] = {
        {"ThinkPad T430", "2347A49", "ThinkPad T430"},
        {"  ThinkPad X1 Carbon 6th\t", "20KHCTO1WW", "ThinkPad X1 Carbon 6th"},
        {"IdeaPad 5 14ALC05", "82LM", "IdeaPad 5 14ALC05"},
        {"Lenovo", "20L8S07A14", "Lenovo"},
        // placeholders
        {"", "2347A49", ""},
        {"None", "X", ""},
        {"Not Applicable", "X", ""},
        {"System Version", "X", ""},
        {"To Be Filled By O.E.M.", "X", ""},
        {"Not Specified", "X", ""},
        // version numbers
        {"1.0", "X", ""},
        {"V1.00", "X", ""},
        {"Rev A01", "X", ""},
        {"REV:1.0", "X", ""},
        {"Version 2.3", "X", ""},
        {"0B", "X", ""},
        {"X1", "X", ""},
        // the model again
        {"Precision Tower 3620", "Precision Tower 3620", ""},
        {"precision tower 3620 ", "Precision Tower 3620", ""},
    };
    for (const auto& c : cases) {
        Summary s;
        s.productVersion = c.version;
        s.model = c.model;
        EXPECT_EQ(report::productName(s), c.name) << '"' << c.version << '"';
    }
}

TEST(SummaryText, ReadsAsATechnicianExpects) {
    GRAVELIN_NEED_REAL_TABLES();
    const std::string text =
        report::summaryText(scannedSummary("jcreekmore-Dell-Precision-3620", desktopWmi()));
    for (const char* expected :
         {"Machine     Dell Inc. Precision Tower 3620, serial 7KNZBH2",
          "Memory      16 GiB in 2 of 4 slots\n",
          "  DIMM2  8 GiB  DDR4  DIMM  2133 MT/s  SK Hynix  HMA41GU6AFR8N-TF  serial 28221928\n",
          "  DIMM3  empty\n", "Disks       2 disks, 2.5 TB\n",
          "Samsung SSD 860 EVO 500GB  SCSI  500 GB  serial S3Z9NB0K123456A  firmware RVT04B6Q",
          "  C:  NTFS  \"System\"  465 GiB  120 GiB free  74 % used  Local disk",
          "Slots       5 expansion slots, 3 in use\n",
          "OS          Microsoft Windows 10 Pro, version 10.0.19045, build 19045, 64-bit\n"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << "missing: " << expected << "\nin:\n"
                                                          << text;
    }
}

}  // namespace
}  // namespace gravelin::testing
