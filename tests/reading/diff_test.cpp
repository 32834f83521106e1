// The differ: the proof on two scans of one real table (a module moved, a disk swapped:
// exactly those two changes), values that move by themselves, and how each kind of
// component is keyed.
#include <gtest/gtest.h>

#include "SummaryTesting.h"

namespace gravelin::testing {
namespace {

using report::Change;
using report::MemorySlotSummary;
using report::Summary;

WmiObject disk(const char* deviceId, const char* model, const char* serial, const char* size,
               const char* firmware) {
    return wmiObject("Win32_DiskDrive", {{"DeviceID", deviceId},
                                         {"FirmwareRevision", firmware},
                                         {"InterfaceType", "SCSI"},
                                         {"Model", model},
                                         {"SerialNumber", serial},
                                         {"Size", size}});
}

// What a Windows machine answers, with the values that move by themselves set per scan.
WmiClasses machineWmi(std::vector<WmiObject> disks, const char* free, const char* load,
                      const char* clock, const char* boot) {
    WmiClasses wmi;
    wmi["SELECT * FROM Win32_DiskDrive"] = std::move(disks);
    wmi["SELECT * FROM Win32_LogicalDisk"] = {
        wmiObject("Win32_LogicalDisk", {{"DeviceID", "C:"},
                                        {"DriveType", "3"},
                                        {"FileSystem", "NTFS"},
                                        {"FreeSpace", free},
                                        {"Size", "499570700288"},
                                        {"VolumeName", "System"},
                                        {"VolumeSerialNumber", "A2B4C6D8"}})};
    wmi["SELECT * FROM Win32_Processor"] = {
        wmiObject("Win32_Processor", {{"CurrentClockSpeed", clock},
                                      {"LoadPercentage", load},
                                      {"MaxClockSpeed", clock},
                                      {"Name", "Intel(R) Xeon(R) CPU E3-1225 v5"},
                                      {"NumberOfCores", "4"},
                                      {"NumberOfLogicalProcessors", "4"},
                                      {"SocketDesignation", "U3E1"}})};
    wmi["SELECT * FROM Win32_OperatingSystem"] = {
        wmiObject("Win32_OperatingSystem", {{"Caption", "Microsoft Windows 10 Pro"},
                                            {"Version", "10.0.19045"},
                                            {"BuildNumber", "19045"},
                                            {"FreePhysicalMemory", free},
                                            {"LastBootUpTime", boot},
                                            {"LocalDateTime", boot},
                                            {"TotalVisibleMemorySize", "16655176"}})};
    wmi["SELECT * FROM Win32_PerfFormattedData_PerfOS_Memory"] = {
        wmiObject("Win32_PerfFormattedData_PerfOS_Memory",
                  {{"AvailableBytes", free}, {"PageFaultsPersec", load}})};
    return wmi;
}

// Moves the module of one memory device to another (empty) one in a parsed report: every
// attribute but the locators changes place.
void moveModule(pugi::xml_document& report, std::string_view from, std::string_view to) {
    auto source = objectWith(report, "SMBIOS_Type_17_", "DeviceLocator", from);
    auto target = objectWith(report, "SMBIOS_Type_17_", "DeviceLocator", to);
    ASSERT_TRUE(source && target);
    for (auto attribute : source.attributes()) {
        const std::string_view name = attribute.name();
        if (name == "DeviceLocator" || name == "BankLocator") continue;
        const std::string moved = attribute.value();
        attribute.set_value(target.attribute(attribute.name()).value());
        target.attribute(attribute.name()).set_value(moved.c_str());
    }
}

// The proof: two scans of one real table (Dell Precision 3620: DIMM1 and DIMM2 in use, DIMM3
// and DIMM4 empty) and two disks; in the second the module of DIMM2 sits in DIMM4 and the
// second disk is another one. Free space, free memory, load, clocks and the boot time differ
// too. Exactly two changes.
TEST(DiffProof, ModuleMovedAndDiskSwappedAreExactlyTwoChanges) {
    GRAVELIN_NEED_REAL_TABLES();
    const auto before =
        scanRealTable("jcreekmore-Dell-Precision-3620",
                      machineWmi({disk("\\\\.\\PHYSICALDRIVE0", "Samsung SSD 860 EVO 500GB",
                                       "S3Z9NB0K123456A", "500105249280", "RVT04B6Q"),
                                  disk("\\\\.\\PHYSICALDRIVE1", "ST2000DM008-2FR102", "ZFL1ABCD",
                                       "2000396321280", "CC43")},
                                 "128849018880", "7", "3301", "20261201080000.500000+060"));
    const auto afterScan =
        scanRealTable("jcreekmore-Dell-Precision-3620",
                      machineWmi({disk("\\\\.\\PHYSICALDRIVE0", "Samsung SSD 860 EVO 500GB",
                                       "S3Z9NB0K123456A", "500105249280", "RVT04B6Q"),
                                  disk("\\\\.\\PHYSICALDRIVE1", "WDC WD40EZRZ-00GXCB0",
                                       "WD-WCC7K0123456", "4000787030016", "80.00A80")},
                                 "99849018880", "63", "800", "20261209073015.250000+060"));
    auto after = parsedReport(afterScan.xml);
    moveModule(after, "DIMM2", "DIMM4");

    const Summary a = summaryOfXml(before.xml);
    const Summary b = report::summarise(after);
    // The move really is in the second scan, and the volatile values really differ.
    ASSERT_TRUE(b.memory[1].empty);
    ASSERT_EQ(b.memory[3].serialNumber, "28221928");
    ASSERT_NE(a.volumes[0].freeBytes, b.volumes[0].freeBytes);
    ASSERT_NE(a.processors[0].maxClockMHz, b.processors[0].maxClockMHz);

    const auto changes = report::diff(a, b);
    ASSERT_EQ(changes.size(), 2u) << report::diffText(changes);

    const Change& moved = changes[0];
    EXPECT_EQ(moved.kind, Change::Kind::Changed);
    EXPECT_EQ(moved.component, "Memory");
    EXPECT_EQ(moved.key, "28221928");
    EXPECT_EQ(moved.note, "moved");
    ASSERT_EQ(moved.fields.size(), 1u);
    EXPECT_EQ(moved.fields[0].name, "Slot");
    EXPECT_EQ(moved.fields[0].before, "DIMM2");
    EXPECT_EQ(moved.fields[0].after, "DIMM4");

    const Change& swapped = changes[1];
    EXPECT_EQ(swapped.kind, Change::Kind::Changed);
    EXPECT_EQ(swapped.component, "Disk");
    EXPECT_EQ(swapped.key, "\\\\.\\PHYSICALDRIVE1");
    EXPECT_EQ(swapped.note, "replaced");
    std::vector<std::string> names;
    for (const auto& field : swapped.fields) names.push_back(field.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Model", "Serial number", "Firmware", "Size"}));
    EXPECT_EQ(swapped.fields[1].before, "ZFL1ABCD");
    EXPECT_EQ(swapped.fields[1].after, "WD-WCC7K0123456");
    EXPECT_EQ(swapped.fields[3].before, "2 TB");
    EXPECT_EQ(swapped.fields[3].after, "4 TB");

    EXPECT_EQ(report::diffText(changes),
              "2 changes:\n"
              "Changed  Memory 28221928 (moved)\n"
              "    Slot: DIMM2 -> DIMM4\n"
              "Changed  Disk \\\\.\\PHYSICALDRIVE1 (replaced)\n"
              "    Model: ST2000DM008-2FR102 -> WDC WD40EZRZ-00GXCB0\n"
              "    Serial number: ZFL1ABCD -> WD-WCC7K0123456\n"
              "    Firmware: CC43 -> 80.00A80\n"
              "    Size: 2 TB -> 4 TB\n");
    // Back again: the same two changes the other way round.
    const auto back = report::diff(b, a);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].fields[0].before, "DIMM4");
}

// The same machine scanned twice with only the values that move by themselves changed, and
// with its objects in another order: nothing to report.
TEST(DiffVolatile, ValuesThatMoveByThemselvesAndObjectOrderAreNoChange) {
    GRAVELIN_NEED_REAL_TABLES();
    const auto disks = [] {
        return std::vector<WmiObject>{
            disk("\\\\.\\PHYSICALDRIVE0", "SSD", "S1", "500105249280", "1"),
            disk("\\\\.\\PHYSICALDRIVE1", "HDD", "S2", "2000396321280", "2")};
    };
    auto reversed = disks();
    std::reverse(reversed.begin(), reversed.end());
    const auto first = scanRealTable("infrasim-dell_r630", machineWmi(disks(), "1000", "1", "2300",
                                                                      "20261201080000.500000+060"));
    const auto second =
        scanRealTable("infrasim-dell_r630",
                      machineWmi(reversed, "999999", "100", "1200", "20261209080000.500000+060"));
    // The table's values of the moment change too: the processor's current speed, the
    // module's configured clock.
    auto edited = parsedReport(second.xml);
    for (auto cpu : edited.document_element().child("SMBIOS_Type_4_Processor").children())
        cpu.attribute("CurrentSpeed").set_value("1234 MHz");
    for (auto dimm : edited.document_element().child("SMBIOS_Type_17_MemoryDevice").children())
        dimm.attribute("ConfiguredMemoryClockSpeed").set_value("1866 MHz");

    const Summary a = summaryOfXml(first.xml);
    const Summary b = report::summarise(edited);
    ASSERT_EQ(b.disks[0].serialNumber, "S2");  // really in the other order
    const auto changes = report::diff(a, b);
    EXPECT_TRUE(changes.empty()) << report::diffText(changes);
    EXPECT_EQ(report::diffText(changes), "No changes.\n");
}

Summary baseMachine() {
    Summary s;
    s.maker = "Dell Inc.";
    s.model = "Precision Tower 3620";
    s.serialNumber = "7KNZBH2";
    s.boardMaker = "Dell Inc.";
    s.boardProduct = "09WH54";
    s.boardSerial = "/7KNZBH2/CN722006CF01LX/";
    s.processors = {{"Intel(R) Xeon(R) CPU E3-1225 v5", "Intel", "U3E1", 4, 4, 3300}};
    const auto module = [](const char* locator, const char* serial) {
        MemorySlotSummary m;
        m.locator = locator;
        m.sizeBytes = 8ULL << 30;
        m.type = "DDR4";
        m.speedMTs = 2133;
        m.partNumber = "HMA41GU6AFR8N-TF";
        m.serialNumber = serial;
        m.empty = false;
        return m;
    };
    MemorySlotSummary empty;
    empty.locator = "DIMM3";
    s.memory = {module("DIMM1", "2822193C"), module("DIMM2", "28221928"), empty};
    s.disks = {{"SSD", "S1", "\\\\.\\PHYSICALDRIVE0", "SCSI", "1", 500105249280},
               {"HDD", "S2", "\\\\.\\PHYSICALDRIVE1", "IDE", "2", 2000396321280}};
    s.volumes = {{"C:", "NTFS", "System", "A2B4C6D8", 499570700288, 1000, "Local disk"}};
    s.slots = {{"SLOT1", "PCI Express", "Available"}};
    s.controllers = {{"xHCI", "USB", "PCI\\VEN_8086&DEV_A12F\\3&1", "Intel", ""}};
    s.os = "Microsoft Windows 10 Pro";
    s.osVersion = "10.0.19045";
    s.osBuild = "19045";
    s.programName = "gravelin-scanner.exe";
    s.programVersion = "1.0.0.0";
    return s;
}

// One change each, keyed by what identifies the part.
TEST(DiffKeys, EachKindOfChange) {
    struct Case {
        const char* what;
        void (*edit)(Summary&);
        Change::Kind kind;
        const char* component;
        const char* key;
        const char* note;
        std::vector<std::string> fields;  // for Changed
    };
    const std::vector<Case> cases = {
        {"module replaced in its slot",
         [](Summary& s) {
             s.memory[0].serialNumber = "99999999", s.memory[0].partNumber = "KVR21N15D8/16";
         },
         Change::Kind::Changed,
         "Memory",
         "DIMM1",
         "replaced",
         {"Part number", "Serial number"}},
        {"module added to the empty slot",
         [](Summary& s) {
             s.memory[2] = s.memory[0];
             s.memory[2].locator = "DIMM3";
             s.memory[2].serialNumber = "12345678";
         },
         Change::Kind::Added,
         "Memory",
         "DIMM3",
         "",
         {}},
        {"module taken out",
         [](Summary& s) {
             s.memory[1] = MemorySlotSummary{"DIMM2", "", {}, "", "", {}, "", "", "", true};
         },
         Change::Kind::Removed,
         "Memory",
         "DIMM2",
         "",
         {}},
        {"module grew (same serial, same slot)",
         [](Summary& s) { s.memory[0].sizeBytes = 16ULL << 30; },
         Change::Kind::Changed,
         "Memory",
         "DIMM1",
         "",
         {"Size"}},
        {"disk moved to another port",
         [](Summary& s) { s.disks[1].deviceId = "\\\\.\\PHYSICALDRIVE2"; },
         Change::Kind::Changed,
         "Disk",
         "S2",
         "moved",
         {"Device ID"}},
        {"disk firmware updated",
         [](Summary& s) { s.disks[0].firmware = "2"; },
         Change::Kind::Changed,
         "Disk",
         "\\\\.\\PHYSICALDRIVE0",
         "",
         {"Firmware"}},
        {"disk added",
         [](Summary& s) {
             s.disks.push_back({"NVMe", "S3", "\\\\.\\PHYSICALDRIVE2", "SCSI", "", 1});
         },
         Change::Kind::Added,
         "Disk",
         "\\\\.\\PHYSICALDRIVE2",
         "",
         {}},
        {"volume resized",
         [](Summary& s) { s.volumes[0].sizeBytes = 399570700288; },
         Change::Kind::Changed,
         "Volume",
         "C:",
         "",
         {"Size"}},
        {"volume reformatted: another volume serial in the same place",
         [](Summary& s) { s.volumes[0].volumeSerial = "11112222"; },
         Change::Kind::Changed,
         "Volume",
         "C:",
         "replaced",
         {"Volume serial"}},
        {"processor upgraded",
         [](Summary& s) {
             s.processors[0].model = "Intel(R) Xeon(R) CPU E3-1280 v5", s.processors[0].cores = 8;
         },
         Change::Kind::Changed,
         "Processor",
         "U3E1",
         "",
         {"Model", "Cores"}},
        {"card put in a slot",
         [](Summary& s) { s.slots[0].usage = "In use"; },
         Change::Kind::Changed,
         "Slot",
         "SLOT1",
         "",
         {"Usage"}},
        {"controller added",
         [](Summary& s) {
             s.controllers.push_back({"NVMe", "Storage", "PCI\\VEN_144D&DEV_A808\\4&2", "", ""});
         },
         Change::Kind::Added,
         "Controller",
         "PCI\\VEN_144D&DEV_A808\\4&2",
         "",
         {}},
        {"OS updated",
         [](Summary& s) { s.osVersion = "10.0.19045.4894", s.osBuild = "19045.4894"; },
         Change::Kind::Changed,
         "Operating system",
         "",
         "updated",
         {"Version", "Build"}},
        {"board replaced",
         [](Summary& s) { s.boardSerial = "/NEW/"; },
         Change::Kind::Changed,
         "Board",
         "",
         "replaced",
         {"Serial number"}},
    };
    const Summary before = baseMachine();
    for (const auto& c : cases) {
        Summary after = baseMachine();
        c.edit(after);
        const auto changes = report::diff(before, after);
        ASSERT_EQ(changes.size(), 1u) << c.what << "\n" << report::diffText(changes);
        const auto& change = changes[0];
        EXPECT_EQ(change.kind, c.kind) << c.what;
        EXPECT_EQ(change.component, c.component) << c.what;
        EXPECT_EQ(change.key, c.key) << c.what;
        EXPECT_EQ(change.note, c.note) << c.what;
        std::vector<std::string> names;
        for (const auto& field : change.fields) names.push_back(field.name);
        EXPECT_EQ(names, c.fields) << c.what;
        if (c.kind == Change::Kind::Added) {
            EXPECT_FALSE(change.after.empty()) << c.what;
        }
        if (c.kind == Change::Kind::Removed) {
            EXPECT_FALSE(change.before.empty()) << c.what;
        }
    }
}

// Serials that identify nothing (placeholders, or one value on several modules, as some
// virtual machines and cheap modules have) leave the locator as the only key: a move is
// then the module gone from one slot and one come in another.
TEST(DiffKeys, ModulesWithoutUsableSerialsAreKeyedByLocator) {
    for (const char* serial : {"", "Not Specified", "SerNum"}) {
        Summary before = baseMachine();
        before.memory[0].serialNumber = serial;
        before.memory[1].serialNumber = serial;
        Summary after = before;
        after.memory[2] = after.memory[1];
        after.memory[2].locator = "DIMM3";
        after.memory[1] = MemorySlotSummary{"DIMM2", "", {}, "", "", {}, "", "", "", true};
        const auto changes = report::diff(before, after);
        ASSERT_EQ(changes.size(), 2u) << serial << "\n" << report::diffText(changes);
        EXPECT_EQ(changes[0].kind, Change::Kind::Removed);
        EXPECT_EQ(changes[0].key, "DIMM2");
        EXPECT_EQ(changes[1].kind, Change::Kind::Added);
        EXPECT_EQ(changes[1].key, "DIMM3");
    }
}

// Two slots of one name (some firmware repeats designations) are told apart by their
// occurrence, so the second slot's change is not blamed on the first.
TEST(DiffKeys, RepeatedPlacesKeepTheirOccurrence) {
    Summary before = baseMachine();
    before.slots = {{"PCIE", "PCI Express", "Available"}, {"PCIE", "PCI Express", "Available"}};
    Summary after = before;
    after.slots[1].usage = "In use";
    const auto changes = report::diff(before, after);
    ASSERT_EQ(changes.size(), 1u) << report::diffText(changes);
    EXPECT_EQ(changes[0].key, "PCIE #2");
}

TEST(DiffKeys, WholeComponentsAppearingAndDisappearing) {
    // A second scan run as root has the table's parts; the first, without, had none.
    Summary without = baseMachine();
    without.memory.clear();
    without.slots.clear();
    const Summary with = baseMachine();
    const auto changes = report::diff(without, with);
    ASSERT_EQ(changes.size(), 3u) << report::diffText(changes);
    for (const auto& change : changes) EXPECT_EQ(change.kind, Change::Kind::Added);
    EXPECT_TRUE(report::diff(with, with).empty());
    EXPECT_TRUE(report::diff(Summary{}, Summary{}).empty());
}

}  // namespace
}  // namespace gravelin::testing

namespace gravelin::testing {
namespace {

// As many parts as the intake lets a report hold, in another order in the second scan, one
// of them replaced: the pairing finds each by look-up, not by trying every pair.
TEST(DiffKeys, AsManyPartsAsAReportCanHold) {
    constexpr std::size_t kDisks = 100000;
    Summary before, after;
    for (std::size_t i = 0; i < kDisks; ++i) {
        const std::string n = std::to_string(i);
        before.disks.push_back({"HDD", "S" + n, "disk" + n, "SATA", "1", 1000});
    }
    after.disks.assign(before.disks.rbegin(), before.disks.rend());
    after.disks[10].serialNumber = "NEW";
    const auto changes = report::diff(before, after);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].key, "disk" + std::to_string(kDisks - 11));
    EXPECT_EQ(changes[0].note, "replaced");
}

}  // namespace
}  // namespace gravelin::testing
