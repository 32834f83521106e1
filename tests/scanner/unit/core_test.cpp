// The scan driver over a fake platform: query order, sources, error text, Application block,
// the program run from waiting page to submit page.
#include "scanner/core/Core.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "FakePlatform.h"
#include "scanner/delivery/Htmlgen.h"

namespace gravelin::testing {
namespace {

std::vector<std::uint8_t> memoryDevice(std::uint8_t speedLow) {
    // A 0x17-byte type 17 structure (up to Manufacturer) with no strings.
    std::vector<std::uint8_t> s = {17, 0x17, 0x11, 0x00};
    s.resize(0x17, 0);
    s[0x15] = speedLow;
    s[0x0C] = 0x00, s[0x0D] = 0x10;  // 4096 MB
    s.push_back(0);
    s.push_back(0);
    return s;
}

std::vector<std::uint8_t> tableWithMemoryDevices(int count) {
    std::vector<std::uint8_t> table;
    for (int i = 0; i < count; ++i) {
        auto s = memoryDevice(static_cast<std::uint8_t>(100 + i));
        table.insert(table.end(), s.begin(), s.end());
        // another type between them
        table.insert(table.end(), {16, 4, 0x20, 0x00, 0, 0});
    }
    table.insert(table.end(), {127, 4, 0xFF, 0xFF, 0, 0});
    return table;
}

WmiObject object(std::string cls, std::vector<std::pair<std::string, WmiValue>> properties) {
    return {std::move(cls), std::move(properties)};
}

pugi::xml_document parse(const std::string& text) {
    pugi::xml_document doc;
    const auto result = doc.load_string(text.c_str());
    EXPECT_TRUE(result) << result.description();
    return doc;
}

std::vector<std::string> childNames(pugi::xml_node node) {
    std::vector<std::string> names;
    for (auto child : node.children()) names.emplace_back(child.name());
    return names;
}

TEST(QueryList, IsTheFixedTwentyTwoLines) {
    FakePlatform platform;
    CCore core(platform);
    core.buildQueryList();
    const auto& lines = core.queryList();
    ASSERT_EQ(lines.size(), 22U);
    EXPECT_EQ(lines[0], "// System and baseboard");
    EXPECT_EQ(lines[2], "SELECT * FROM SMBIOS_Type002_Baseboard_Module");
    EXPECT_EQ(lines[9], "");
    EXPECT_EQ(lines[14], "SELECT * FROM Win32_PerfFormattedData_PerfOS_Memory");
    EXPECT_EQ(lines[21], "SELECT * FROM CIM_Controller");
    core.buildQueryList();
    EXPECT_EQ(core.queryList().size(), 22U) << "building again empties the list first";
}

TEST(ScanDriver, ClassNodesRunInReverseQueryOrderAfterTheApplicationNode) {
    FakePlatform platform;
    platform.registryValue = registryValueFor(tableWithMemoryDevices(1));
    platform.wmiClasses["SELECT * FROM Win32_BaseBoard"] = {
        object("Win32_BaseBoard", {{"Product", "X"}})};
    platform.wmiClasses["SELECT * FROM CIM_Controller"] = {
        object("Win32_USBController", {{"Name", "usb"}}),
        object("Win32_IDEController", {{"Name", "ide"}})};
    platform.wmiClasses["SELECT * FROM Win32_DiskDrive"] = {
        object("Win32_DiskDrive", {{"Size", WmiUnsigned{4294967295U}}})};

    CCore core(platform);
    core.scan();
    core.runQueries();
    core.addApplicationInfo(platform.exePath);
    const auto doc = parse(core.report().xmlText());
    const auto root = doc.child("HWInfo");
    EXPECT_EQ(childNames(root),
              (std::vector<std::string>{"Application", "Win32_USBController", "Win32_DiskDrive",
                                        "SMBIOS_Type_17_MemoryDevice", "Win32_BaseBoard"}));
    // One class node, named after the first object, holds every object of a base-class query.
    EXPECT_EQ(childNames(root.child("Win32_USBController")),
              (std::vector<std::string>{"i1", "i0"}));
    EXPECT_STREQ(root.child("Win32_USBController").child("i1").attribute("Name").value(), "ide ");
    EXPECT_STREQ(root.child("Win32_DiskDrive").child("i0").attribute("Size").value(),
                 "4294967295 ");
    EXPECT_STREQ(root.child("SMBIOS_Type_17_MemoryDevice").child("i0").attribute("Speed").value(),
                 "100 MHz");
}

TEST(ScanDriver, ErrorTextNamesEveryLineThatFoundNothingInListOrder) {
    FakePlatform platform;  // no registry value, WMI property queries fail
    platform.wmiClasses["SELECT * FROM Win32_Processor"] = {object("Win32_Processor", {})};
    CCore core(platform);
    core.scan();
    core.runQueries();
    std::string expected = "Unable to query SMBIOS device data! ";
    for (const auto& line : core.queryList()) {
        if (line.starts_with("SELECT") && line != "SELECT * FROM Win32_Processor")
            expected += "No data found for \"" + line + "\", ";
    }
    EXPECT_EQ(core.errorText(), expected);
    // The registry first, then the WMI table source, whose "Size" read already fails.
    EXPECT_EQ(platform.registryReads, 1);
    EXPECT_EQ(platform.wmiPropertyQueries,
              (std::vector<std::string>{"ROOT\\wmi|Select * from MSSmBios_RawSMBiosTables|Size"}));
}

TEST(ScanDriver, EveryQueryLineGoesToWmiFirst) {
    FakePlatform platform;
    platform.registryValue = registryValueFor(tableWithMemoryDevices(1));
    CCore core(platform);
    core.scan();
    core.runQueries();
    std::vector<std::string> queries;
    for (const auto& line : core.queryList()) {
        if (line.starts_with("SELECT")) queries.push_back(line);
    }
    EXPECT_EQ(platform.wmiClassQueries, queries);
}

TEST(ScanDriver, LineClassification) {
    struct Case {
        const char* line;
        bool walked;      // SMBIOS type 17 reached
        bool errorEntry;  // "No data found" added
    };
    for (const Case c : {
             Case{"SELECT * FROM SMBIOS_Type017_MemoryDevice", true, false},
             Case{"select * from smbios_type017_memorydevice", true, false},
             Case{" SELECT * FROM SMBIOS_Type017_MemoryDevice", false, false},  // not a query
             Case{"// SELECT * FROM SMBIOS_Type017_MemoryDevice", false, false},
             Case{"SELECT * FROM SMBIOS_Type17_MemoryDevice", false, true},  // "17_" is no number
             Case{"SELECT * FROM SMBIOS_Type016_PhysicalMemoryArray", false, true},  // no decoder
             Case{"SELECT * FROM SMBIOS_Type300_Nothing", false, true},
             Case{"SELECT * FROM Nothing", false, true},
         }) {
        FakePlatform platform;
        platform.registryValue = registryValueFor(tableWithMemoryDevices(2));
        CCore core(platform);
        core.loadSmbios();
        core.runQuery(c.line);
        const auto doc = parse(core.report().xmlText());
        EXPECT_EQ(bool(doc.child("HWInfo").child("SMBIOS_Type_17_MemoryDevice")), c.walked)
            << c.line;
        EXPECT_EQ(core.errorText(),
                  c.errorEntry ? "No data found for \"" + std::string(c.line) + "\", " : "")
            << c.line;
    }
}

TEST(ScanDriver, InstanceIndexesCountPerTypeAndFieldsPassTheSelectList) {
    FakePlatform platform;
    platform.registryValue = registryValueFor(tableWithMemoryDevices(3));
    CCore core(platform);
    core.loadSmbios();
    core.runQuery("SELECT Speed, Size FROM SMBIOS_Type017_MemoryDevice");
    EXPECT_EQ(core.smbios().fieldFilter(), "Speed, Size");
    // The document must outlive the node handles taken from it.
    const auto doc = parse(core.report().xmlText());
    const auto node = doc.child("HWInfo").child("SMBIOS_Type_17_MemoryDevice");
    EXPECT_EQ(childNames(node), (std::vector<std::string>{"i2", "i1", "i0"}));
    std::vector<std::string> attributes;
    for (auto a : node.child("i2").attributes())
        attributes.emplace_back(std::string(a.name()) + "=" + a.value());
    EXPECT_EQ(attributes, (std::vector<std::string>{"Size=4096MB ", "Speed=102 MHz"}));
}

TEST(ScanDriver, ProgressCallbackCountsEveryLine) {
    FakePlatform platform;
    CCore core(platform);
    core.buildQueryList();
    std::vector<std::size_t> handled;
    core.runQueries([&](std::size_t n, std::size_t total) {
        EXPECT_EQ(total, 22U);
        handled.push_back(n);
    });
    ASSERT_EQ(handled.size(), 22U);
    EXPECT_EQ(handled.front(), 1U);
    EXPECT_EQ(handled.back(), 22U);
}

TEST(ScanDriver, ApplicationBlock) {
    for (const auto& [path, name] : std::vector<std::pair<std::string, std::string>>{
             {"C:\\Program Files\\Gravelin\\gravelin-scanner.exe", "gravelin-scanner.exe"},
             {"/opt/gravelin/gravelin-scanner", "gravelin-scanner"},
             {"C:gravelin-scanner.exe", "gravelin-scanner.exe"},
             {"plain", "plain"}}) {
        FakePlatform platform;
        CCore core(platform);
        core.addApplicationInfo(path);
        const auto doc = parse(core.report().xmlText());
        const auto node = doc.child("HWInfo").child("Application");
        EXPECT_EQ(childNames(node), std::vector<std::string>{"i0"});
        std::vector<std::string> attributes;
        for (auto a : node.child("i0").attributes())
            attributes.emplace_back(std::string(a.name()) + "=" + a.value());
        EXPECT_EQ(attributes,
                  (std::vector<std::string>{"OS=Test OS 64Bit (kernel: 1.0) ", "Name=" + name + " ",
                                            "Version=1.2.3.4 ", "Errors= "}));
    }
}

TEST(ScanDriver, AnUnusableNameCostsOnlyItselfAndIsReported) {
    FakePlatform platform;
    platform.wmiClasses["SELECT * FROM Win32_BaseBoard"] = {
        object("Win32_BaseBoard", {{"Good", "1"}, {"Bad/Name", "2"}, {"Also Good", "3"}})};
    platform.wmiClasses["SELECT * FROM Win32_Processor"] = {
        object("1Processor", {{"Name", "cpu"}})};
    CCore core(platform);
    core.runQuery("SELECT * FROM Win32_BaseBoard");
    core.runQuery("SELECT * FROM Win32_Processor");
    const auto doc = parse(core.report().xmlText());
    const auto root = doc.child("HWInfo");
    EXPECT_EQ(childNames(root), std::vector<std::string>{"Win32_BaseBoard"});
    const auto board = root.child("Win32_BaseBoard").child("i0");
    EXPECT_STREQ(board.attribute("Good").value(), "1 ");
    EXPECT_STREQ(board.attribute("Also_Good").value(), "3 ");
    EXPECT_FALSE(root.child("Win32_BaseBoard").child("i0").attribute("Name"))
        << "fields of a skipped object must not land elsewhere";
    EXPECT_EQ(core.errorText(),
              "Skipped invalid XML name \"Bad/Name\", Skipped invalid XML name \"1Processor\", ");
}

TEST(ProgramRun, WritesTheWaitingPageOpensItAndLeavesTheSubmitPage) {
    FakePlatform platform;
    platform.registryValue = registryValueFor(tableWithMemoryDevices(1));
    EXPECT_EQ(runScanner(platform), 0);
    EXPECT_EQ(platform.opened, std::vector<std::string>{"gravelin-scanner.html"});
    // waiting page written and closed before the browser is asked; then the submit page
    EXPECT_EQ(platform.events,
              (std::vector<std::string>{"create", "close", "open", "create", "close"}));
    const std::string page = platform.files["gravelin-scanner.html"];
    const std::string marker = "name=\"scanResult\" value=\"";
    const auto at = page.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string sealed =
        page.substr(at + marker.size(), page.find('"', at + marker.size()) - at - marker.size());
    EXPECT_EQ(page, submitPageText(sealed));
    EXPECT_EQ(sealed.size() % 16, 0U);
}

TEST(ProgramRun, SealsExactlyTheReportText) {
    FakePlatform platform;
    CCore core(platform);
    core.scan();
    core.runQueries();
    core.addApplicationInfo(platform.exePath);
    core.sealAndHandOff();
    EXPECT_EQ(core.sealedResult(), sealReportText(windows1252().fromUtf8(core.report().xmlText())));
    EXPECT_EQ(platform.files["gravelin-scanner.html"], submitPageText(core.sealedResult()));
}

class ThrowingPlatform : public FakePlatform {
public:
    std::vector<WmiObject> wmiQueryClass(std::string_view) override { throw std::bad_alloc(); }
};

TEST(ProgramRun, AnExceptionEndsTheRunQuietlyWithoutASubmitPage) {
    ThrowingPlatform platform;
    EXPECT_EQ(runScanner(platform), 0);
    EXPECT_EQ(platform.files["gravelin-scanner.html"], progressPageText());
}

}  // namespace
}  // namespace gravelin::testing
