// The JSON form of summaries and change lists: what the receiver stores and the console
// reads back.
#include <gtest/gtest.h>

#include "SummaryTesting.h"
#include "reading/SummaryJson.h"
#include "reading/SurveyFacets.h"

namespace gravelin::testing {
namespace {

using nlohmann::json;
using report::Summary;

TEST(SummaryJson, RealScanRoundTrips) {
    GRAVELIN_NEED_REAL_TABLES();
    WmiClasses wmi;
    wmi["SELECT * FROM Win32_LogicalDisk"] = {
        wmiObject("Win32_LogicalDisk", {{"DeviceID", "C:"},
                                        {"DriveType", "3"},
                                        {"FreeSpace", "1000"},
                                        {"Size", ""},
                                        {"VolumeName", "Système \"quoted\""}})};
    const Summary original = summaryOfXml(scanRealTable("infrasim-dell_r630", wmi).xml);
    const json stored = report::toJson(original);

    // What the console reads.
    EXPECT_EQ(stored["memory"].size(), 24u);
    EXPECT_EQ(stored["memory"][0]["locator"], "A1");
    EXPECT_EQ(stored["memory"][0]["sizeBytes"], 32ULL << 30);
    EXPECT_TRUE(stored["memory"][8]["sizeBytes"].is_null());  // empty slot
    EXPECT_EQ(stored["memory"][8]["empty"], true);
    EXPECT_EQ(stored["memoryBytes"], 512ULL << 30);
    EXPECT_EQ(stored["processors"][1]["socket"], "CPU2");
    EXPECT_TRUE(stored["volumes"][0]["sizeBytes"].is_null());
    EXPECT_EQ(stored["volumes"][0]["freeBytes"], 1000u);
    EXPECT_EQ(stored["volumes"][0]["volumeName"], "Système \"quoted\"");
    EXPECT_EQ(stored["errorsExplained"].size(), original.errorsExplained.size());

    // Through text and back: the same summary, hence the same rendering and no change.
    const Summary read = report::summaryFromJsonText(stored.dump());
    EXPECT_EQ(report::toJson(read), stored);
    EXPECT_EQ(report::summaryText(read), report::summaryText(original));
    EXPECT_TRUE(report::diff(original, read).empty());
}

// Intake counts a stored scan in the survey by the values of the summary it made, a recount
// by those of the JSON stored: for every real table both must give the same values.
TEST(SummaryJson, SurveyValuesSurviveTheStoredForm) {
    GRAVELIN_NEED_REAL_TABLES();
    WmiClasses wmi;
    wmi["SELECT * FROM Win32_LogicalDisk"] = {wmiObject(
        "Win32_LogicalDisk", {{"DeviceID", "C:"}, {"DriveType", "3"}, {"Size", "256060514304"}})};
    wmi["SELECT * FROM Win32_DiskDrive"] = {
        wmiObject("Win32_DiskDrive", {{"Model", "Samsung SSD 980 PRO 1TB"},
                                      {"InterfaceType", "SCSI"},
                                      {"Size", "1000202273280"}})};
    wmi["SELECT * FROM Win32_OperatingSystem"] = {
        wmiObject("Win32_OperatingSystem", {{"Caption", "Microsoft Windows 11 Pro"}})};
    for (const std::string& name : realTableNames()) {
        const Summary original = summaryOfXml(scanRealTable(name, wmi).xml);
        const Summary stored = report::summaryFromJsonText(report::toJsonText(original));
        EXPECT_EQ(report::survey::facetsOf(stored), report::survey::facetsOf(original)) << name;
    }
}

TEST(SummaryJson, WrongOrMissingMembersKeepDefaults) {
    const Summary fromGarbage = report::summaryFromJsonText("{not json");
    EXPECT_TRUE(fromGarbage.maker.empty() && fromGarbage.memory.empty());
    EXPECT_TRUE(report::summaryFromJsonText("[1,2,3]").processors.empty());

    const json odd = {
        {"maker", 42},
        {"model", "M"},
        {"cores", -4},
        {"threads", 5000000000ULL},  // over 32 bits
        {"memoryBytes", "lots"},
        {"memory", {{{"locator", "A1"}, {"sizeBytes", -1}, {"empty", "no"}}, 7, nullptr}},
        {"processors", "CPU"},
        {"errorsExplained", {"one", 2, "three"}}};
    const Summary s = report::summaryFromJson(odd);
    EXPECT_EQ(s.maker, "");
    EXPECT_EQ(s.model, "M");
    EXPECT_EQ(s.cores, 0u);
    EXPECT_EQ(s.threads, 0u);
    EXPECT_EQ(s.memoryBytes, 0u);
    ASSERT_EQ(s.memory.size(), 1u);  // the elements that are no object are skipped
    EXPECT_EQ(s.memory[0].locator, "A1");
    EXPECT_FALSE(s.memory[0].sizeBytes);
    EXPECT_TRUE(s.memory[0].empty);
    EXPECT_TRUE(s.processors.empty());
    EXPECT_EQ(s.errorsExplained, (std::vector<std::string>{"one", "three"}));
}

// A report can carry bytes that are not UTF-8 in a value (a character reference to a lone
// surrogate, a code-page byte): the text form replaces them, it does not throw.
TEST(SummaryJson, TextOfInvalidUtf8) {
    Summary s;
    s.maker = "Soci\xE9t\xE9";
    s.disks = {{"\xED\xA0\x80", "S1", "disk0", "", "", {}}};
    EXPECT_THROW((void)report::toJson(s).dump(), nlohmann::json::type_error);
    const std::string text = report::toJsonText(s);
    const Summary read = report::summaryFromJsonText(text);
    EXPECT_EQ(read.maker, "Soci\uFFFDt\uFFFD");
    ASSERT_EQ(read.disks.size(), 1u);
    EXPECT_EQ(read.disks[0].serialNumber, "S1");
    Summary other = s;
    other.maker = "x";
    EXPECT_NE(report::toJsonText(report::diff(s, other)).find("\"x\""), std::string::npos);
}

TEST(SummaryJson, ChangeList) {
    Summary before, after;
    before.disks = {{"HDD", "S1", "disk0", "SATA", "1", 1000}};
    after.disks = {{"HDD", "S2", "disk0", "SATA", "1", 1000}};
    after.osVersion = "12";
    const json changes = report::toJson(report::diff(before, after));
    ASSERT_EQ(changes.size(), 2u) << changes.dump(2);
    EXPECT_EQ(changes[0]["kind"], "changed");
    EXPECT_EQ(changes[0]["component"], "Disk");
    EXPECT_EQ(changes[0]["key"], "disk0");
    EXPECT_EQ(changes[0]["note"], "replaced");
    EXPECT_EQ(changes[0]["fields"],
              json::parse(R"([{"name":"Serial number","before":"S1","after":"S2"}])"));
    EXPECT_EQ(changes[1]["kind"], "added");
    EXPECT_EQ(changes[1]["component"], "Operating system");
    EXPECT_EQ(changes[1]["after"], "Version 12");
    EXPECT_EQ(report::toJson(std::vector<report::Change>{}), json::array());
}

}  // namespace
}  // namespace gravelin::testing
