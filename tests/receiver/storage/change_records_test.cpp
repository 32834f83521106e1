// The records intake writes for two scans of one machine, through the path intake takes: the
// report summarised, stored as JSON, read back and compared. Every real table scanned twice
// with only the values that move by themselves changed records nothing; a module moved is one
// "moved"; modules whose serials identify nothing, swapped, are not a removal and an addition.
#include <gtest/gtest.h>

#include <algorithm>

#include "reading/SummaryJson.h"
#include "reading/SummaryTesting.h"
#include "receiver/storage/HardwareChanges.h"

namespace gravelin::testing {
namespace {

using storage::ChangeKind;
using storage::HardwareChange;

// The WMI answers of a Windows machine with the values of the moment set per scan: free
// space and memory, load, clocks, the boot time and the clock of the scan.
WmiClasses momentWmi(const char* free, const char* load, const char* clock, const char* boot) {
    WmiClasses wmi;
    wmi["SELECT * FROM Win32_LogicalDisk"] = {
        wmiObject("Win32_LogicalDisk", {{"DeviceID", "C:"},
                                        {"DriveType", "3"},
                                        {"FileSystem", "NTFS"},
                                        {"FreeSpace", free},
                                        {"Size", "499570700288"},
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

// The summary as intake stores it: JSON text.
std::string storedSummary(const std::string& xml) {
    return report::toJsonText(summaryOfXml(xml));
}
std::string storedSummary(const pugi::xml_document& report) {
    return report::toJsonText(report::summarise(report));
}

std::string describe(const std::vector<HardwareChange>& records) {
    std::string text;
    for (const auto& r : records)
        text += r.component + " " + storage::changeKindName(r.kind) + " " + r.key + ": " +
                r.before + " | " + r.after + "\n";
    return text;
}

// The second scan's values of the moment from the table itself change too: the processor's
// current speed and the modules' configured clock.
void moveTheTablesClocks(pugi::xml_document& report) {
    for (auto cpu : report.document_element().child("SMBIOS_Type_4_Processor").children())
        if (auto speed = cpu.attribute("CurrentSpeed")) speed.set_value("1234 MHz");
    for (auto dimm : report.document_element().child("SMBIOS_Type_17_MemoryDevice").children())
        if (auto clock = dimm.attribute("ConfiguredMemoryClockSpeed")) clock.set_value("1866 MHz");
}

TEST(ChangeRecords, EveryRealTableScannedTwiceWithOnlyValuesOfTheMomentRecordsNothing) {
    GRAVELIN_NEED_REAL_TABLES();
    const auto names = realTableNames();
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const auto first =
            scanRealTable(name, momentWmi("1000", "1", "2300", "20261201080000.500000+060"));
        const auto second =
            scanRealTable(name, momentWmi("987654321", "97", "800", "20261209173000.250000+060"));
        auto edited = parsedReport(second.xml);
        moveTheTablesClocks(edited);
        ASSERT_NE(first.xml, xmlText(edited)) << "the second scan differs in its values of the moment";
        const auto records = storage::changeRecords(storedSummary(first.xml), storedSummary(edited));
        EXPECT_TRUE(records.empty()) << describe(records);
    }
}

// Moves the module of one memory device to another (empty) one: every attribute but the
// locators changes place.
void moveModule(pugi::xml_document& report, std::string_view from, std::string_view to) {
    auto source = objectWith(report, "SMBIOS_Type_17_", "DeviceLocator", from);
    auto target = objectWith(report, "SMBIOS_Type_17_", "DeviceLocator", to);
    ASSERT_TRUE(source && target);
    for (auto attribute : source.attributes()) {
        const std::string_view attributeName = attribute.name();
        if (attributeName == "DeviceLocator" || attributeName == "BankLocator") continue;
        const std::string moved = attribute.value();
        attribute.set_value(target.attribute(attribute.name()).value());
        target.attribute(attribute.name()).set_value(moved.c_str());
    }
}

TEST(ChangeRecords, AModuleMovedToAnotherSlotIsOneMove) {
    GRAVELIN_NEED_REAL_TABLES();
    // Dell Precision 3620: DIMM1 and DIMM2 in use, DIMM3 and DIMM4 empty.
    const auto table = "jcreekmore-Dell-Precision-3620";
    const auto first = scanRealTable(table, momentWmi("1000", "1", "2300", "20261201080000.5+060"));
    const auto second = scanRealTable(table, momentWmi("2000", "9", "900", "20261202080000.5+060"));
    auto moved = parsedReport(second.xml);
    moveModule(moved, "DIMM2", "DIMM4");
    const auto records = storage::changeRecords(storedSummary(first.xml), storedSummary(moved));
    ASSERT_EQ(records.size(), 1u) << describe(records);
    EXPECT_EQ(records[0].component, "memory");
    EXPECT_EQ(records[0].kind, ChangeKind::Moved);
    EXPECT_EQ(records[0].note, "") << "the kind says it";
    ASSERT_EQ(records[0].fields.size(), 1u);
    EXPECT_EQ(records[0].fields[0].before, "DIMM2");
    EXPECT_EQ(records[0].fields[0].after, "DIMM4");
}

// Serials firmware fills with a placeholder identify no module: two such modules swapped
// are each a change in its slot, never a removal and an addition.
TEST(ChangeRecords, ModulesWithPlaceholderSerialsSwappedAreChangesInTheirSlots) {
    const auto module = [](const char* locator, std::uint64_t gib) {
        report::MemorySlotSummary m;
        m.locator = locator;
        m.sizeBytes = gib << 30;
        m.type = "DDR4";
        m.serialNumber = "00000000";
        m.partNumber = gib == 8 ? "8G-PART" : "16G-PART";
        m.empty = false;
        return m;
    };
    report::Summary before, after;
    before.memory = {module("DIMM_A", 8), module("DIMM_B", 16)};
    after.memory = {module("DIMM_A", 16), module("DIMM_B", 8)};
    const auto records =
        storage::changeRecords(report::toJsonText(before), report::toJsonText(after));
    EXPECT_EQ(records.size(), 2u) << describe(records);
    for (const auto& r : records) {
        EXPECT_EQ(r.component, "memory");
        EXPECT_EQ(r.kind, ChangeKind::Changed) << describe(records);
    }
    // The same modules in the same slots: nothing.
    EXPECT_TRUE(storage::changeRecords(report::toJsonText(before), report::toJsonText(before)).empty());
}

// What the stored form keeps: fields round-trip; anything else reads as none.
TEST(ChangeRecords, FieldsRoundTripAndGarbageReadsAsNone) {
    const std::vector<storage::ChangeField> fields = {{"Slot", "DIMM_A", "DIMM_B"},
                                                      {"Size", "", "16 GiB \"x\" <b>"}};
    const auto back = storage::fieldsFromJson(storage::fieldsJson(fields));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].after, "16 GiB \"x\" <b>");
    EXPECT_EQ(back[1].before, "");
    for (const char* garbage : {"", "{}", "[1,2]", "not json", "[{\"name\": 3}]"}) {
        SCOPED_TRACE(garbage);
        const auto read = storage::fieldsFromJson(garbage);
        EXPECT_TRUE(read.empty() || read[0].name.empty());
    }
    for (const auto kind : storage::kChangeKinds)
        EXPECT_EQ(storage::changeKindNamed(storage::changeKindName(kind)), kind);
    EXPECT_FALSE(storage::changeKindNamed("Moved"));
}

}  // namespace
}  // namespace gravelin::testing
