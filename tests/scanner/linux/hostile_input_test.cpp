// Hostile input to every reader of the scan: SMBIOS tables in the registry value's layout,
// in WMI's byte array and in sysfs (through the Linux platform on a fixture tree), firmware
// strings, WMI values, the OS description and the program's path. Whatever comes in, the
// run must not crash or read outside a buffer (the sanitizer build runs these tests too),
// and the report it seals must be well-formed XML that keeps every value that could be read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FakePlatform.h"
#include "scanner/core/Core.h"
#include "scanner/delivery/Htmlgen.h"
#include "scanner/platform/linux/LinuxPlatform.h"
#include "reading/Unseal.h"
#include "shared/Utf8.h"
#include "scanner/utils/Utils.h"

namespace gravelin::testing {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// --- Reading and checking reports ----------------------------------------------------------

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

std::string asText(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool isXmlChar(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Why the UTF-8 text is not well-formed XML 1.0 as far as characters go: a raw character or
// a character reference that XML forbids. Empty when it is fine.
std::string characterFault(const std::string& text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t at = pos;
        const char32_t c = decodeUtf8(text, pos);
        if (c == kInvalidCodePoint || !isXmlChar(c))
            return "forbidden character at byte " + std::to_string(at);
    }
    for (auto ref = text.find("&#"); ref != std::string::npos; ref = text.find("&#", ref + 2)) {
        const bool hex = ref + 2 < text.size() && text[ref + 2] == 'x';
        const char32_t c = static_cast<char32_t>(
            std::strtoul(text.c_str() + ref + (hex ? 3 : 2), nullptr, hex ? 16 : 10));
        if (!isXmlChar(c)) return "forbidden character reference at byte " + std::to_string(ref);
    }
    return "";
}

// The whole check of a report text: well-formed, root "HWInfo", "Application" first when
// there is one. Fills `doc`.
::testing::AssertionResult wellFormed(const std::string& utf8, pugi::xml_document& doc,
                                      bool withApplication = true) {
    if (const auto fault = characterFault(utf8); !fault.empty())
        return ::testing::AssertionFailure() << fault;
    const auto parsed =
        doc.load_buffer(utf8.data(), utf8.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed) {
        return ::testing::AssertionFailure()
               << parsed.description() << " at " << parsed.offset << ": "
               << utf8.substr(
                      static_cast<std::size_t>(std::max<std::ptrdiff_t>(0, parsed.offset - 80)),
                      160);
    }
    const auto root = doc.document_element();
    if (std::string_view(root.name()) != "HWInfo")
        return ::testing::AssertionFailure() << "root " << root.name();
    if (withApplication && std::string_view(root.first_child().name()) != "Application")
        return ::testing::AssertionFailure() << "first element " << root.first_child().name();
    return ::testing::AssertionSuccess();
}

// The independent parser's verdict, when xmllint is installed.
::testing::AssertionResult xmllintAccepts(const std::string& utf8) {
    if (std::system("command -v xmllint >/dev/null 2>&1") != 0)
        return ::testing::AssertionSuccess() << "(xmllint not installed)";
    char name[] = "/tmp/gravelin-report-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) return ::testing::AssertionFailure() << "no temporary file";
    ::close(fd);
    writeBytes(name, utf8);
    const int status = std::system(("xmllint --noout " + std::string(name)).c_str());
    std::remove(name);
    if (status != 0) return ::testing::AssertionFailure() << "xmllint rejects the report";
    return ::testing::AssertionSuccess();
}

// The report a run sealed into its submit page, in UTF-8.
std::string unsealedReport(const std::string& page) {
    return windows1252().toUtf8(gravelin::report::unsealText(page));
}

// One object's attributes: name -> value.
std::map<std::string, std::string> attributesOf(pugi::xml_node object) {
    std::map<std::string, std::string> attributes;
    for (auto a : object.attributes()) attributes[a.name()] = a.value();
    return attributes;
}

// Every SMBIOS class node of a report, serialised: what the table gave.
std::string smbiosNodes(const pugi::xml_document& doc) {
    std::ostringstream out;
    for (auto node : doc.document_element().children()) {
        if (std::string_view(node.name()).starts_with("SMBIOS_Type_")) node.print(out, " ");
    }
    return out.str();
}

// --- Running scans -------------------------------------------------------------------------

// The SMBIOS part of a scan: every structure of the table decoded (type 255 walks them
// all). The report text (UTF-8) and the error text.
struct SmbiosScan {
    std::string xml;
    std::string errors;
    bool operator==(const SmbiosScan&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const SmbiosScan& scan) {
        return out << scan.xml << scan.errors;
    }
};

constexpr std::string_view kEveryStructure = "SELECT * FROM SMBIOS_Type255_Every_structure";

SmbiosScan smbiosReport(FakePlatform& platform) {
    CCore core(platform);
    core.loadSmbios();
    core.runQuery(kEveryStructure);
    return {core.report().xmlText(), core.errorText()};
}

SmbiosScan smbiosReportOfValue(Bytes value) {
    FakePlatform platform;
    platform.registryValue = std::move(value);
    return smbiosReport(platform);
}

bool hasSmbiosNode(const SmbiosScan& scan) {
    return scan.xml.find("<SMBIOS_Type_") != std::string::npos;
}

// The registry value for a table, its header claiming `announced` bytes.
Bytes registryValue(const Bytes& table, std::uint32_t announced) {
    Bytes value = registryValueFor(table);
    for (int i = 0; i < 4; ++i) value[4 + std::size_t(i)] = std::uint8_t(announced >> (8 * i));
    return value;
}

std::optional<Bytes> tableFile(const std::string& name) {
    const fs::path path = fs::path(GRAVELIN_TABLES_DIR) / name;
    if (!fs::exists(path)) return std::nullopt;
    const std::string data = contentOf(path);
    return Bytes(data.begin(), data.end());
}

// The structure table of a registry-layout file (".rsmb").
Bytes tableOf(const Bytes& rsmb) {
    return Bytes(rsmb.begin() + 8, rsmb.end());
}

// The offsets at which the table's structures end (each one's string area included).
std::vector<std::size_t> structureEnds(const Bytes& table) {
    std::vector<std::size_t> ends;
    std::size_t offset = 0;
    while (table.size() - offset >= 4) {
        const std::size_t length = table[offset + 1];
        if (length < 4 || length > table.size() - offset) break;
        std::size_t pos = offset + length;
        while (pos + 1 < table.size() && (table[pos] != 0 || table[pos + 1] != 0)) ++pos;
        if (pos + 1 >= table.size()) break;
        offset = pos + 2;
        ends.push_back(offset);
    }
    return ends;
}

// --- SMBIOS tables in the registry value's layout --------------------------------------------

// Where a cut can fall within each structure: in the header, right around the end of the
// formatted area, in the strings and right around the structure's end.
std::set<std::size_t> cutsAcrossEveryStructure(const Bytes& table,
                                               const std::vector<std::size_t>& ends) {
    std::set<std::size_t> cuts;
    std::size_t start = 0;
    for (const std::size_t end : ends) {
        const std::size_t length = table[start + 1];
        for (const std::size_t cut : {start + 1, start + 3, start + 4, start + length - 1,
                                      start + length, start + length + 1, end - 1, end, end + 1})
            if (cut <= table.size()) cuts.insert(cut);
        start = end;
    }
    return cuts;
}

// A table cut anywhere keeps exactly the structures that end before the cut, whether the
// header announces the cut length or the whole one: nothing read from the missing bytes,
// nothing lost from the delivered ones. The first table is cut at every byte, the others
// across every structure.
TEST(HostileSmbios, EveryCutOfARealTableKeepsTheStructuresBeforeIt) {
    const char* const names[] = {"qemu-pc-seabios.rsmb", "dell-libsmbios-PE0400.rsmb",
                                 "siderolabs-Beelink-EQ12.rsmb"};
    int tables = 0;
    for (const char* name : names) {
        const auto rsmb = tableFile(name);
        ASSERT_TRUE(rsmb) << name << " missing from " << GRAVELIN_TABLES_DIR;
        SCOPED_TRACE(name);
        const Bytes table = tableOf(*rsmb);
        const auto ends = structureEnds(table);
        ASSERT_GE(ends.size(), 5U);
        std::set<std::size_t> cuts = cutsAcrossEveryStructure(table, ends);
        if (tables++ == 0) {
            for (std::size_t cut = 0; cut <= table.size(); ++cut) cuts.insert(cut);
        }
        std::map<std::size_t, SmbiosScan> expected;  // by structure end
        for (const std::size_t cut : cuts) {
            const auto after = std::upper_bound(ends.begin(), ends.end(), cut);
            const std::size_t boundary = after == ends.begin() ? 0 : *std::prev(after);
            if (!expected.contains(boundary)) {
                expected[boundary] = smbiosReportOfValue(
                    registryValue(Bytes(table.begin(), table.begin() + std::ptrdiff_t(boundary)),
                                  std::uint32_t(boundary)));
            }
            const Bytes part(table.begin(), table.begin() + std::ptrdiff_t(cut));
            ASSERT_EQ(smbiosReportOfValue(registryValue(part, std::uint32_t(cut))),
                      expected[boundary])
                << "cut at " << cut;
            ASSERT_EQ(smbiosReportOfValue(registryValue(part, std::uint32_t(table.size()))),
                      expected[boundary])
                << "cut at " << cut << ", header announcing " << table.size();
        }
        pugi::xml_document doc;
        EXPECT_TRUE(wellFormed(expected.rbegin()->second.xml, doc, false));
        EXPECT_TRUE(hasSmbiosNode(expected.rbegin()->second));
    }
    ASSERT_GT(tables, 0) << "no SMBIOS tables in " << GRAVELIN_TABLES_DIR;
}

// What the registry value's header says against what was delivered.
TEST(HostileSmbios, RegistryLengthFieldAgainstTheBytesDelivered) {
    const auto rsmb = tableFile("qemu-pc-seabios.rsmb");
    ASSERT_TRUE(rsmb) << "no SMBIOS tables in " << GRAVELIN_TABLES_DIR;
    const Bytes table = tableOf(*rsmb);
    const SmbiosScan whole = smbiosReportOfValue(registryValue(table, table.size()));
    ASSERT_TRUE(hasSmbiosNode(whole));

    // More bytes delivered than announced: only the announced ones count.
    Bytes longer = registryValue(table, table.size());
    longer.insert(longer.end(), 4096, 0xA5);
    EXPECT_EQ(smbiosReportOfValue(longer), whole);
    // Announcing the most a header can: the delivered bytes still bound the table.
    EXPECT_EQ(smbiosReportOfValue(registryValue(table, 0xFFFFFFFFU)), whole);
    EXPECT_EQ(smbiosReportOfValue(registryValue(table, 0x80000000U)), whole);

    // A value too short for its header: no table, said once.
    for (std::size_t size = 0; size < 8; ++size) {
        const SmbiosScan scan = smbiosReportOfValue(Bytes(size, 0x10));
        EXPECT_FALSE(hasSmbiosNode(scan)) << size;
        EXPECT_EQ(scan.errors, std::string(kNoSmbiosError) + "No data found for \"" +
                                   std::string(kEveryStructure) + "\", ")
            << size;
    }
}

// WMI's copy of the table: "Size" says one thing, the byte array holds another.
TEST(HostileSmbios, WmiSizeAgainstTheBytesDelivered) {
    const auto rsmb = tableFile("qemu-pc-seabios.rsmb");
    ASSERT_TRUE(rsmb) << "no SMBIOS tables in " << GRAVELIN_TABLES_DIR;
    const Bytes table = tableOf(*rsmb);
    const SmbiosScan whole = smbiosReportOfValue(registryValue(table, table.size()));
    const auto ends = structureEnds(table);
    const std::size_t half = ends[ends.size() / 2];
    const SmbiosScan firstHalf = smbiosReportOfValue(
        registryValue(Bytes(table.begin(), table.begin() + std::ptrdiff_t(half)), half));

    struct Case {
        const char* name;
        WmiValue size;
        std::size_t delivered;
        const SmbiosScan* expected;  // nullptr: no table
    };
    const Case cases[] = {
        {"as delivered", WmiValue{WmiSigned{std::int64_t(table.size())}}, table.size(), &whole},
        {"claims 1 MiB more", WmiValue{WmiSigned{std::int64_t(table.size() + (1 << 20))}},
         table.size(), &whole},
        {"claims less: the first half", WmiValue{WmiSigned{std::int64_t(half)}}, table.size(),
         &firstHalf},
        {"array shorter than the size", WmiValue{WmiSigned{std::int64_t(table.size())}}, half,
         &firstHalf},
        {"size 0", WmiValue{WmiSigned{0}}, table.size(), nullptr},
        {"negative size", WmiValue{WmiSigned{-8}}, table.size(), nullptr},
        {"size as text", WmiValue{std::string("<&>")}, table.size(), nullptr},
        {"no size", WmiValue{}, table.size(), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform platform;
        platform.wmiProperties["Size"] = {"", c.size};
        platform.wmiProperties["SMBiosData"] = {
            "", WmiValue{WmiBytes(table.begin(), table.begin() + std::ptrdiff_t(c.delivered))}};
        const SmbiosScan scan = smbiosReport(platform);
        if (c.expected) {
            EXPECT_EQ(scan, *c.expected);
        } else {
            EXPECT_FALSE(hasSmbiosNode(scan));
            EXPECT_TRUE(scan.errors.starts_with(kNoSmbiosError)) << scan.errors;
        }
    }
}

// Random bytes as a table, and random structures that are well-formed enough for the walker
// to hand every decoder every Length and every field value: each structure still gets its
// object, and the report stays well-formed.
TEST(HostileSmbios, GarbageTables) {
    std::mt19937 random(20240611);
    const auto byte = [&] { return std::uint8_t(random() & 0xFF); };
    for (const std::size_t size : {1U, 3U, 4U, 5U, 17U, 64U, 255U, 1000U, 65536U}) {
        for (int round = 0; round < 8; ++round) {
            Bytes table(size);
            for (auto& b : table) b = byte();
            const SmbiosScan scan = smbiosReportOfValue(registryValue(table, size));
            pugi::xml_document doc;
            ASSERT_TRUE(wellFormed(scan.xml, doc, false))
                << "random table of " << size << " bytes, round " << round;
        }
    }
    for (int round = 0; round < 200; ++round) {
        Bytes table;
        int structures = 0;
        while (table.size() < 4000) {
            const std::uint8_t types[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,   10,  11,
                                          17, 19, 22, 27, 28, 34, 35, 36, 39, 126, 127, 200};
            const std::uint8_t length = std::uint8_t(4 + random() % 252);
            table.push_back(types[random() % std::size(types)]);
            table.push_back(length);
            table.push_back(byte());
            table.push_back(byte());
            for (int i = 4; i < length; ++i) table.push_back(byte());
            const int strings = int(random() % 6);
            for (int s = 0; s < strings; ++s) {
                const int n = 1 + int(random() % 40);
                for (int i = 0; i < n; ++i) table.push_back(std::uint8_t(1 + random() % 255));
                table.push_back(0);
            }
            if (strings == 0) table.push_back(0);
            table.push_back(0);
            ++structures;
        }
        const std::string xml = smbiosReportOfValue(registryValue(table, table.size())).xml;
        pugi::xml_document doc;
        ASSERT_TRUE(wellFormed(xml, doc, false)) << "round " << round;
        int objects = 0;
        for (auto node : doc.document_element().children())
            objects += int(std::distance(node.children().begin(), node.children().end()));
        EXPECT_EQ(objects, structures) << "round " << round;
        if (round < 5) {
            EXPECT_TRUE(xmllintAccepts(xml)) << "round " << round;
        }
    }
}

// --- Whole runs on the fake platform ----------------------------------------------------------

// Runs the whole scan and returns the report sealed into the page it left.
std::string reportOfRun(FakePlatform& platform) {
    EXPECT_EQ(runScanner(platform), 0);
    const auto page = platform.files.find(std::string(kPageFileName));
    if (page == platform.files.end()) return "";
    return unsealedReport(page->second);
}

// A type 2 structure whose five strings are the given byte strings.
Bytes baseboardWithStrings(const std::vector<std::string>& strings) {
    Bytes table = {2, 0x0F, 0x00, 0x02, 1, 2, 3, 4, 5, 0x09, 0, 0x00, 0x03, 0x0A, 0};
    for (const auto& s : strings) {
        table.insert(table.end(), s.begin(), s.end());
        table.push_back(0);
    }
    table.push_back(0);
    const Bytes end = {127, 4, 0xFF, 0xFE, 0, 0};
    table.insert(table.end(), end.begin(), end.end());
    return table;
}

// Firmware strings are 8-bit text: control characters become the code page's default
// character "?" on the way (XML cannot carry them), every other byte keeps its character
// (bytes that Windows-1252 leaves undefined are carried as the C1 control of that number),
// and the markup characters are escaped, not interpreted.
TEST(HostileInput, FirmwareStringsKeepTheirText) {
    struct Case {
        const char* field;
        std::string bytes;
        std::string expected;  // UTF-8, without the trailing blank
    };
    std::string allHigh;
    for (int b = 0x80; b <= 0xFF; ++b) allHigh += char(b);
    const std::vector<Case> cases = {
        {"Manufacturer", "Evil\x01\x07\x1b[31mCorp\x7f", "Evil???[31mCorp\x7f"},
        {"ProductName", "<board attr=\"x\"> & 'y' ]]> &amp;", "<board attr=\"x\"> & 'y' ]]> &amp;"},
        {"Version", "tab\tnew\nline\rend", "tab\tnew\nline\rend"},
        {"SerialNumber", "\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},
        {"AssetTag", allHigh, windows1252().toUtf8(allHigh)},
    };
    std::vector<std::string> strings;
    for (const auto& c : cases) strings.push_back(c.bytes);
    FakePlatform platform;
    platform.registryValue = registryValueFor(baseboardWithStrings(strings));
    const std::string report = reportOfRun(platform);
    pugi::xml_document doc;
    ASSERT_TRUE(wellFormed(report, doc));
    EXPECT_TRUE(xmllintAccepts(report));
    const auto attributes =
        attributesOf(doc.document_element().child("SMBIOS_Type_2_BaseBoard").child("i0"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        ASSERT_TRUE(attributes.contains(c.field));
        EXPECT_EQ(attributes.at(c.field), c.expected + " ");
    }
    // The structure's other fields are all there too.
    EXPECT_EQ(attributes.at("BoardType"), "Motherboard (includes processor, memory, and I/O) ");
}

// WMI values and names with XML's markup characters and with text XML cannot carry.
TEST(HostileInput, WmiValuesWithMarkupAndBrokenText) {
    const std::string longValue = std::string(1 << 20, 'x') + "&<\"";
    FakePlatform platform;
    platform.wmiClasses["SELECT * FROM Win32_BaseBoard"] = {
        {"Win32_BaseBoard",
         {
             {"Manufacturer", WmiValue{std::string("<&>\"'")}},
             {"Product", WmiValue{std::string("]]></i0></Win32_BaseBoard><x y=\"")}},
             {"Model", WmiValue{std::string("a\x01"
                                            "b\x1b"
                                            "c\x7f"
                                            "d")}},
             {"SerialNumber", WmiValue{std::string("\xff\xfe ok \xed\xa0\x80 \xc3")}},
             {"Tag", WmiValue{std::string("before\0after", 12)}},
             {"Version", WmiValue{longValue}},
             {"Name With Blanks[0]", WmiValue{std::string("kept")}},
             {"bad<name", WmiValue{std::string("dropped")}},
             {"Status", WmiValue{std::string("OK")}},
         }},
    };
    platform.wmiClasses["SELECT * FROM Win32_DiskDrive"] = {
        {"Win32<DiskDrive>", {{"Model", WmiValue{std::string("dropped")}}}},
    };
    platform.wmiClasses["SELECT * FROM Win32_LogicalDisk"] = {
        {"Win32_LogicalDisk", {{"VolumeName", WmiValue{std::string("\"quoted\" & <tagged>")}}}},
    };
    const std::string report = reportOfRun(platform);
    pugi::xml_document doc;
    ASSERT_TRUE(wellFormed(report, doc));
    EXPECT_TRUE(xmllintAccepts(report));
    const auto root = doc.document_element();
    const auto board = attributesOf(root.child("Win32_BaseBoard").child("i0"));
    EXPECT_EQ(board.at("Manufacturer"), "<&>\"' ");
    EXPECT_EQ(board.at("Product"), "]]></i0></Win32_BaseBoard><x y=\" ");
    EXPECT_EQ(board.at("Model"),
              "a?b?c\x7f"
              "d ");
    EXPECT_EQ(board.at("SerialNumber"), "?? ok ??? ? ");
    EXPECT_EQ(board.at("Tag"), "before?after ");
    EXPECT_EQ(board.at("Version"), longValue + " ");
    EXPECT_EQ(board.at("Name_With_Blanks_0_"), "kept ");
    EXPECT_EQ(board.at("Status"), "OK ");
    EXPECT_FALSE(board.contains("bad<name"));
    // The class whose name XML cannot carry is left out, and said so.
    EXPECT_FALSE(root.child("Win32<DiskDrive>"));
    EXPECT_EQ(attributesOf(root.child("Win32_LogicalDisk").child("i0")).at("VolumeName"),
              "\"quoted\" & <tagged> ");
    const std::string errors = attributesOf(root.child("Application").child("i0")).at("Errors");
    EXPECT_NE(errors.find("bad<name"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Win32<DiskDrive>"), std::string::npos) << errors;
}

// What the platform tells about itself: the OS description (Linux's os-release name,
// Windows' service pack text), the program's path and the locale's decimal separator.
TEST(HostileInput, PlatformTexts) {
    WindowsIdentity windows;
    windows.source = WindowsIdentity::Source::RtlGetVersion;
    windows.record = {10, 0, 19045, 2, "Service Pack \x01<9>&\"\xfe", 0x100, 1};
    windows.is64BitOs = true;
    struct Case {
        const char* name;
        OsIdentity identity;
        std::string exePath;
        std::string separator;
        std::string osPart;       // expected inside "OS"
        std::string programName;  // expected "Name", without the trailing blank
        std::string voltage;      // expected processor "Voltage", without the trailing blank
    };
    const Case cases[] = {
        {"Linux", LinuxIdentity{"Evil \x01OS\" <b> &amp; \xff", true, "6.1\x1b"},
         "/opt/x/scan<&>\"ner\x02\xc3", ".", "Evil ?OS\" <b> &amp; ?", "scan<&>\"ner??",
         "Current voltage=1.2V"},
        {"Windows", windows, "C:\\Program Files\\<x>\\scan&ner.exe", "\x01<&",
         "Service Pack ?<9>&\"?", "scan&ner.exe", "Current voltage=1?<&2V"},
    };
    // A processor whose voltage byte (0x8C: current voltage 1.2 V) is written with the
    // separator.
    Bytes processor = {4, 0x1A, 0x00, 0x04, 1, 3, 0xB3, 2};
    processor.insert(processor.end(), 8, 0x00);  // processor ID
    processor.insert(processor.end(), {3, 0x8C, 0, 0, 0, 0, 0, 0, 0x41, 0x01});
    for (const char* text : {"CPU0", "Maker", "Model"}) {
        processor.insert(processor.end(), text, text + std::strlen(text));
        processor.push_back(0);
    }
    processor.push_back(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform platform;
        platform.identity = c.identity;
        platform.exePath = c.exePath;
        platform.separator = c.separator;
        platform.registryValue = registryValueFor(processor);
        const std::string report = reportOfRun(platform);
        pugi::xml_document doc;
        ASSERT_TRUE(wellFormed(report, doc));
        EXPECT_TRUE(xmllintAccepts(report));
        const auto root = doc.document_element();
        const auto application = attributesOf(root.child("Application").child("i0"));
        EXPECT_EQ(application.at("Name"), c.programName + " ");
        EXPECT_NE(application.at("OS").find(c.osPart), std::string::npos) << application.at("OS");
        EXPECT_EQ(attributesOf(root.child("SMBIOS_Type_4_Processor").child("i0")).at("Voltage"),
                  c.voltage + " ");
    }
}

// --- SMBIOS tables from sysfs, through the Linux platform on a fixture tree -----------------

// The Linux platform on a fixture tree, with no browser: shellOpen is only counted.
class FixturePlatform : public LinuxPlatform {
public:
    using LinuxPlatform::LinuxPlatform;
    void shellOpen(std::string_view) override { ++opens; }
    int opens = 0;
};

class SysfsTables : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/gravelin-sysfs-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
        root_ = dir_ / "root";
        run_ = dir_ / "run";
        fs::create_directories(root_);
        fs::create_directories(run_);
        previous_ = fs::current_path();
        fs::current_path(run_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    [[nodiscard]] fs::path entryPoint() const {
        return root_ / "sys/firmware/dmi/tables/smbios_entry_point";
    }
    [[nodiscard]] fs::path dmi() const { return root_ / "sys/firmware/dmi/tables/DMI"; }

    // Runs the whole scan on the fixture tree; the report sealed into the page, UTF-8.
    std::string scan() {
        FixturePlatform platform(root_.string());
        EXPECT_EQ(runScanner(platform), 0);
        EXPECT_EQ(platform.opens, 1);
        return unsealedReport(contentOf(run_ / kPageFileName));
    }

    fs::path dir_, root_, run_, previous_;
};

// A dump-bin file split as sysfs shows it: the entry point and the table.
struct SysfsLayout {
    std::string entryPoint;
    std::string table;
};

std::optional<SysfsLayout> sysfsLayout(const std::string& name) {
    const auto bin = tableFile(name + ".bin");
    if (!bin) return std::nullopt;
    const std::string data = asText(*bin);
    const std::size_t epLength = data.starts_with("_SM3_") ? 0x18 : 0x1F;
    return SysfsLayout{data.substr(0, epLength), data.substr(0x20)};
}

// The SMBIOS nodes the registry layout of the same table gives on the fake platform.
std::string smbiosNodesFromRegistryLayout(const std::string& table) {
    FakePlatform platform;
    platform.registryValue = registryValueFor(Bytes(table.begin(), table.end()));
    pugi::xml_document doc;
    EXPECT_TRUE(wellFormed(reportOfRun(platform), doc));
    return smbiosNodes(doc);
}

TEST_F(SysfsTables, EntryPointAndTableFilesAgainstEachOther) {
    const auto layout = sysfsLayout("qemu-pc-seabios");
    ASSERT_TRUE(layout) << "no SMBIOS tables in " << GRAVELIN_TABLES_DIR;
    const std::string& table = layout->table;
    const auto ends = structureEnds(Bytes(table.begin(), table.end()));
    const std::string cutTable = table.substr(0, ends[ends.size() / 2] + 3);
    const std::string wholeNodes = smbiosNodesFromRegistryLayout(table);
    const std::string cutNodes =
        smbiosNodesFromRegistryLayout(table.substr(0, ends[ends.size() / 2]));
    ASSERT_NE(wholeNodes.find("SMBIOS_Type_4_"), std::string::npos);

    // An entry point claiming a longer table than the DMI file has, as some firmware does.
    std::string claimsMore = layout->entryPoint;
    claimsMore[0x16] = char(0xFF);
    claimsMore[0x17] = char(0xFF);

    struct Case {
        const char* name;
        std::optional<std::string> entryPoint;
        std::optional<std::string> dmi;
        const std::string* nodes;  // nullptr: no table
    };
    const std::string empty;
    const Case cases[] = {
        {"as the firmware left them", layout->entryPoint, table, &wholeNodes},
        {"entry point claiming more than the table has", claimsMore, table, &wholeNodes},
        {"entry point cut short", layout->entryPoint.substr(0, 6), table, &wholeNodes},
        {"entry point empty", std::string(), table, &wholeNodes},
        {"entry point garbage", std::string(31, '\xA7'), table, &wholeNodes},
        {"table cut inside a structure", layout->entryPoint, cutTable, &cutNodes},
        {"table with trailing garbage after the end structure", layout->entryPoint,
         table + std::string(3, '\0'), &wholeNodes},
        {"table empty", layout->entryPoint, std::string(), &empty},
        {"no table file", layout->entryPoint, std::nullopt, nullptr},
        {"no entry point file", std::nullopt, table, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root_ / "sys");
        if (c.entryPoint) writeBytes(entryPoint(), *c.entryPoint);
        if (c.dmi) writeBytes(dmi(), *c.dmi);
        const std::string report = scan();
        pugi::xml_document doc;
        ASSERT_TRUE(wellFormed(report, doc));
        const std::string errors =
            attributesOf(doc.document_element().child("Application").child("i0")).at("Errors");
        if (c.nodes) {
            EXPECT_EQ(smbiosNodes(doc), *c.nodes);
            EXPECT_FALSE(errors.starts_with(kNoSmbiosError)) << errors;
        } else {
            EXPECT_EQ(smbiosNodes(doc), "");
            EXPECT_TRUE(errors.starts_with(kNoSmbiosError)) << errors;
        }
    }
}

// Files that are no files: a directory or a FIFO where the table should be must neither
// hang the scan nor count as a table.
TEST_F(SysfsTables, TableThatIsNoRegularFile) {
    writeBytes(entryPoint(), std::string("_SM3_") + std::string(19, '\0'));
    for (const char* kind : {"directory", "fifo"}) {
        SCOPED_TRACE(kind);
        fs::remove_all(dmi());
        if (std::string_view(kind) == "directory") {
            fs::create_directories(dmi());
        } else {
            ASSERT_EQ(::mkfifo(dmi().c_str(), 0644), 0);
        }
        pugi::xml_document doc;
        const std::string report = scan();
        ASSERT_TRUE(wellFormed(report, doc));
        EXPECT_EQ(smbiosNodes(doc), "");
        EXPECT_TRUE(attributesOf(doc.document_element().child("Application").child("i0"))
                        .at("Errors")
                        .starts_with(kNoSmbiosError));
    }
}

// A table file far larger than any firmware's (sparse, all zero bytes): read up to the
// reader's bound, walked until the first structure that cannot be one, sealed as usual.
TEST_F(SysfsTables, OversizedTableFile) {
    writeBytes(entryPoint(), std::string("_SM3_") + std::string(19, '\0'));
    writeBytes(dmi(), "");
    ASSERT_EQ(::truncate(dmi().c_str(), 80 << 20), 0);
    pugi::xml_document doc;
    const std::string report = scan();
    ASSERT_TRUE(wellFormed(report, doc));
    EXPECT_EQ(smbiosNodes(doc), "");
}

// Garbage in the files the Application block reads.
TEST_F(SysfsTables, HostileOsRelease) {
    writeBytes(root_ / "etc/os-release",
               "NAME=x\nPRETTY_NAME=\"Evil\x01 <OS> & \\\"quoted\\\" \xff\xfe\"\n");
    pugi::xml_document doc;
    const std::string report = scan();
    ASSERT_TRUE(wellFormed(report, doc));
    EXPECT_TRUE(xmllintAccepts(report));
    const std::string os =
        attributesOf(doc.document_element().child("Application").child("i0")).at("OS");
    EXPECT_TRUE(os.starts_with("Evil? <OS> & \"quoted\" ??")) << os;
}

}  // namespace
}  // namespace gravelin::testing
