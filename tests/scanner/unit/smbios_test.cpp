// The SMBIOS table: sources and their order, clamping, the walk and the type catalogue.
#include "scanner/smbios/Smbios.h"

#include <gtest/gtest.h>

#include "DecoderTesting.h"
#include "FakePlatform.h"
#include "scanner/smbios/Reg.h"
#include "scanner/wmi/Wmi.h"

namespace gravelin::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes memoryDevice() {
    Bytes s = {17, 0x16, 0x00, 0x01};
    s.resize(0x16, 0);
    return structure(s);
}

struct Walked {
    std::vector<std::pair<std::string, std::int32_t>> objects;
    std::vector<std::string> fields;
    std::int32_t count = 0;
};

Walked walk(SMBIOS& smbios, std::int32_t type, std::string_view select = "*") {
    Walked w;
    w.count = smbios.walk(
        type, select,
        [&](std::string_view n, std::string_view, std::string_view) { w.fields.emplace_back(n); },
        [&](std::string_view node, std::int32_t index) { w.objects.emplace_back(node, index); });
    return w;
}

TEST(SmbiosSource, RegistryValueSkipsItsHeaderAndTakesTheLengthFromOffsetFour) {
    FakePlatform platform;
    Bytes value = {0xAA, 0xBB, 0xCC, 0xDD, 0x90, 0x0D, 0, 0};  // 0x0D90 = 3472
    value.resize(8 + 3472, 0x7F);
    platform.registryValue = value;
    SMBIOS smbios(platform);
    EXPECT_EQ(smbios.load(0), kSourceRegistry);
    EXPECT_EQ(smbios.tableLength(), 3472);
    EXPECT_EQ(smbios.table()[0], 0x7F);
    EXPECT_TRUE(platform.wmiPropertyQueries.empty())
        << "WMI is not asked when the registry answers";
}

TEST(SmbiosSource, LengthNeverCoversUndeliveredBytes) {
    FakePlatform platform;
    platform.registryValue = Bytes{0, 3, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3};
    SMBIOS smbios(platform);
    smbios.load(1);
    EXPECT_EQ(smbios.tableLength(), 3);
    platform.registryValue = Bytes{0, 3, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2};  // above INT32_MAX
    smbios.load(1);
    EXPECT_EQ(smbios.tableLength(), 2);
}

TEST(SmbiosSource, ARegistryValueShorterThanItsHeaderFails) {
    FakePlatform platform;
    platform.registryValue = Bytes{0, 3, 0, 0, 1, 0, 0};
    SMBIOS smbios(platform);
    EXPECT_EQ(smbios.load(1), kSourceNone);
    EXPECT_FALSE(smbios.isAvailable());
    EXPECT_FALSE(registryBufferHeld());
}

TEST(SmbiosSource, WmiDeliversTheTableWithoutHeader) {
    FakePlatform platform;
    const Bytes table = concat({memoryDevice(), {127, 4, 0, 0, 0, 0}});
    platform.wmiProperties["Size"] = {"", WmiUnsigned{table.size()}};
    platform.wmiProperties["SMBiosData"] = {"", WmiBytes(table)};
    SMBIOS smbios(platform);
    EXPECT_EQ(smbios.load(0), kSourceWmi);
    EXPECT_EQ(platform.registryReads, 1);
    ASSERT_EQ(smbios.tableLength(), static_cast<std::int32_t>(table.size()));
    EXPECT_EQ(Bytes(smbios.table(), smbios.table() + smbios.tableLength()), table);
    EXPECT_EQ(
        platform.wmiPropertyQueries,
        (std::vector<std::string>{"ROOT\\wmi|Select * from MSSmBios_RawSMBiosTables|Size",
                                  "ROOT\\wmi|Select * from MSSmBios_RawSMBiosTables|SMBiosData"}));
}

TEST(SmbiosSource, WmiArrayShorterOrLongerThanSizeIsClamped) {
    FakePlatform platform;
    platform.wmiProperties["Size"] = {"", "10"};
    platform.wmiProperties["SMBiosData"] = {"", WmiBytes{1, 2, 3, 4}};
    SMBIOS smbios(platform);
    smbios.load(2);
    EXPECT_EQ(smbios.tableLength(), 4);
    platform.wmiProperties["Size"] = {"", "2"};
    smbios.load(2);
    EXPECT_EQ(smbios.tableLength(), 2);
}

TEST(SmbiosSource, WmiFailures) {
    struct Case {
        const char* name;
        WmiPropertyAnswer size;
        WmiPropertyAnswer data;
    };
    for (const auto& c : {Case{"error text", {"Error at Connecting Server", {}}, {"", WmiBytes{1}}},
                          Case{"zero size", {"", "0"}, {"", WmiBytes{1}}},
                          Case{"negative size", {"", "-5"}, {"", WmiBytes{1}}},
                          Case{"size not a number", {"", "12abc"}, {"", WmiBytes{1}}},
                          Case{"data not bytes", {"", "4"}, {"", "text"}},
                          Case{"data error", {"", "4"}, {"Error at ExecQuery", {}}}}) {
        FakePlatform platform;
        platform.wmiProperties["Size"] = c.size;
        platform.wmiProperties["SMBiosData"] = c.data;
        SMBIOS smbios(platform);
        EXPECT_EQ(smbios.load(2), kSourceNone) << c.name;
        EXPECT_FALSE(wmiBufferHeld()) << c.name;
    }
}

TEST(SmbiosSource, RequestCodesNameTheSources) {
    FakePlatform platform;
    platform.registryValue = registryValueFor(memoryDevice());
    platform.wmiProperties["Size"] = {"", "24"};
    platform.wmiProperties["SMBiosData"] = {"", WmiBytes(memoryDevice())};
    SMBIOS smbios(platform);
    EXPECT_EQ(smbios.load(1), kSourceRegistry);
    EXPECT_TRUE(platform.wmiPropertyQueries.empty());
    EXPECT_EQ(smbios.load(2), kSourceWmi);
    EXPECT_EQ(platform.registryReads, 1) << "request 2 never reads the registry";
    EXPECT_FALSE(registryBufferHeld()) << "loading again frees the first buffer";
    EXPECT_EQ(smbios.load(3), kSourceNone);
    EXPECT_FALSE(wmiBufferHeld());
    EXPECT_EQ(smbios.table(), nullptr);
    EXPECT_EQ(smbios.tableLength(), 0);
    smbios.release();  // harmless on an empty object
    EXPECT_FALSE(smbios.isAvailable());
}

TEST(Walker, CountsInstancesPerTypeAndStepsOverStrings) {
    FakePlatform platform;
    const Bytes table = concat({memoryDevice(),
                                structure({16, 4, 0, 2}, {"A", "BC"}),
                                memoryDevice(),
                                structure({0, 4, 0, 3}),
                                memoryDevice(),
                                {127, 4, 0, 4, 0, 0}});
    platform.registryValue = registryValueFor(table);
    SMBIOS smbios(platform);
    smbios.load(0);
    const auto seventeen = walk(smbios, 17);
    EXPECT_EQ(seventeen.count, 3);
    EXPECT_EQ(seventeen.objects, (std::vector<std::pair<std::string, std::int32_t>>{
                                     {"SMBIOS_Type_17_MemoryDevice", 0},
                                     {"SMBIOS_Type_17_MemoryDevice", 1},
                                     {"SMBIOS_Type_17_MemoryDevice", 2}}));
    const auto all = walk(smbios, 255);
    EXPECT_EQ(all.objects, (std::vector<std::pair<std::string, std::int32_t>>{
                               {"SMBIOS_Type_17_MemoryDevice", 0},
                               {"SMBIOS_Type_16_PhysicalMemoryArray", 0},
                               {"SMBIOS_Type_17_MemoryDevice", 1},
                               {"SMBIOS_Type_0_BIOS", 0},
                               {"SMBIOS_Type_17_MemoryDevice", 2},
                               {"SMBIOS_Type_127_End-of-Table", 0}}));
    // A type without a decoder is opened but not counted.
    const auto sixteen = walk(smbios, 16);
    EXPECT_EQ(sixteen.objects.size(), 1U);
    EXPECT_TRUE(sixteen.fields.empty());
    EXPECT_EQ(sixteen.count, 0);
    for (std::int32_t filter : {18, 256, -1, 1000}) {
        const auto none = walk(smbios, filter);
        EXPECT_TRUE(none.objects.empty()) << filter;
        EXPECT_EQ(none.count, 0);
    }
}

TEST(Walker, EndOfTableDoesNotStopTheWalk) {
    FakePlatform platform;
    platform.registryValue = registryValueFor(
        concat({{127, 4, 0, 0, 0, 0}, memoryDevice(), {255, 5, 0, 1, 9, 0, 0}, memoryDevice()}));
    SMBIOS smbios(platform);
    smbios.load(0);
    EXPECT_EQ(walk(smbios, 17).count, 2);
    EXPECT_EQ(walk(smbios, 255).objects[2],
              (std::pair<std::string, std::int32_t>{"SMBIOS_Type_255_OEM specific", 0}));
}

TEST(Walker, FieldFilterPassesNamesContainedInTheSelectList) {
    FakePlatform platform;
    platform.registryValue = registryValueFor(memoryDevice());
    SMBIOS smbios(platform);
    smbios.load(0);
    EXPECT_EQ(walk(smbios, 17, "Speed").fields, std::vector<std::string>{"Speed"});
    EXPECT_EQ(walk(smbios, 17, "MemoryType, Speed").fields,
              (std::vector<std::string>{"MemoryType", "Speed"}));
    EXPECT_EQ(walk(smbios, 17, "*").fields.size(), 12U);
    EXPECT_EQ(smbios.fieldFilter(), "*");
}

// Malformed tables: whatever lies beyond a structure that does not fit, or a broken
// header, is not reported; nothing is read outside the table (the sanitizer run checks).
TEST(Walker, StructuresThatDoNotFitEndTheWalk) {
    struct Case {
        const char* name;
        Bytes tail;  // after one good type 17 structure
    };
    for (const auto& c : {Case{"header cut off", {17, 0x16}},
                          Case{"formatted area cut off", {17, 0x16, 0, 1, 0, 0}},
                          Case{"string without terminator", {17, 4, 0, 1, 'A', 'B'}},
                          Case{"closing empty string missing", {17, 4, 0, 1, 'A', 0}},
                          Case{"single zero at the end", {17, 4, 0, 1, 0}},
                          Case{"Length below the header", {17, 2, 0, 1, 0, 0, 17, 4, 0, 0, 0, 0}},
                          Case{"Length zero", {0, 0, 0, 0, 0, 0, 17, 4, 0, 0, 0, 0}}}) {
        FakePlatform platform;
        platform.registryValue = registryValueFor(concat({memoryDevice(), c.tail}));
        SMBIOS smbios(platform);
        smbios.load(0);
        EXPECT_EQ(walk(smbios, 17).count, 1) << c.name;
        EXPECT_EQ(walk(smbios, 255).objects.size(), 1U) << c.name;
    }
}

TEST(Walker, EmptyTable) {
    FakePlatform platform;
    platform.registryValue = registryValueFor({});
    SMBIOS smbios(platform);
    EXPECT_EQ(smbios.load(0), kSourceRegistry);
    EXPECT_EQ(walk(smbios, 255).count, 0);
}

TEST(ReadStringSet, SizesAndTexts) {
    StringList strings;
    const Bytes none = {0, 0};
    EXPECT_EQ(readStringSet(none, strings, windows1252()), 1);
    EXPECT_TRUE(strings.empty());
    const Bytes two = {'A', 0, 'B', 'C', 0, 0, 0x55};
    EXPECT_EQ(readStringSet(two, strings, windows1252()), 5);
    EXPECT_EQ(strings, (StringList{"A", "BC"}));
    const Bytes codePage = {'5', 0xB0, 'C', 0x99, 0, 0};  // degree sign, trade mark in Windows-1252
    EXPECT_EQ(readStringSet(codePage, strings, windows1252()), 5);
    EXPECT_EQ(strings, StringList{"5\xC2\xB0"
                                  "C\xE2\x84\xA2"});
}

TEST(TypeCatalogue, Names) {
    EXPECT_EQ(smbiosTypeName(0), "BIOS");
    EXPECT_EQ(smbiosTypeName(5), "MemoryController(obsolete)");
    EXPECT_EQ(smbiosTypeName(10), "OnBoardDevices(obsolete)");
    EXPECT_EQ(smbiosTypeName(17), "MemoryDevice");
    EXPECT_EQ(smbiosTypeName(41), "OnboardDevicesExtendedInformation");
    EXPECT_EQ(smbiosTypeName(42), "UNKNOWN");
    EXPECT_EQ(smbiosTypeName(125), "UNKNOWN");
    EXPECT_EQ(smbiosTypeName(126), "Inactive");
    EXPECT_EQ(smbiosTypeName(127), "End-of-Table");
    EXPECT_EQ(smbiosTypeName(128), "OEM specific");
    EXPECT_EQ(smbiosTypeName(255), "OEM specific");
}

}  // namespace
}  // namespace gravelin::testing
