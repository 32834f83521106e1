#include <cstdlib>
#include <fstream>
#include <sstream>

#include "DecoderTesting.h"
#include "FakePlatform.h"
#include "scanner/core/Core.h"

namespace gravelin::testing {
namespace {

std::vector<std::uint8_t> oemStrings(std::uint8_t count) {
    return {11, 0x05, 0x30, 0x00, count};
}

TEST(OemStrings, CountThenOneFieldPerCountedString) {
    const std::vector<Field> expected = {
        {"Count: ", "2", ""},
        {"OEM String[0]", "Dell System", ""},
        {"OEM String[1]", "5[0000]", ""},
    };
    EXPECT_EQ(decodeStructure(oemStrings(2), {"Dell System", "5[0000]"}), expected);
}

TEST(OemStrings, TheCountByteNotTheStringsSetsTheListLength) {
    struct Case {
        std::uint8_t count;
        std::initializer_list<std::string> strings;
        std::vector<std::string> values;
    };
    for (const Case& c : {
             // More counted than present: the missing ones are empty.
             Case{3, {"A", "B"}, {"A", "B", ""}},
             // Fewer counted than present: the rest are not reported.
             Case{1, {"A", "B", "C"}, {"A"}},
             Case{0, {"A"}, {}},
             Case{2, {}, {"", ""}},
         }) {
        const auto fields = decodeStructure(oemStrings(c.count), c.strings);
        ASSERT_EQ(fields.size(), 1 + c.values.size()) << "count " << int(c.count);
        EXPECT_EQ(fields[0], (Field{"Count: ", std::to_string(c.count), ""}));
        for (std::size_t i = 0; i < c.values.size(); ++i) {
            EXPECT_EQ(fields[1 + i],
                      (Field{"OEM String[" + std::to_string(i) + "]", c.values[i], ""}));
        }
    }
}

TEST(OemStrings, TheLargestCountStaysInsideTheStructure) {
    // Count 255 on the last structure of the table, no strings: 255 empty entries, nothing
    // read beyond the structure.
    const std::vector<std::uint8_t> bytes = {11, 0x05, 0x30, 0x00, 0xFF};
    const auto fields = decode(bytes);
    ASSERT_EQ(fields.size(), 256U);
    EXPECT_EQ(fields.back(), (Field{"OEM String[254]", "", ""}));
}

TEST(OemStrings, LengthFourOrLessGivesNothing) {
    for (const std::uint8_t length : {0, 3, 4}) {
        auto bytes = oemStrings(2);
        bytes[1] = length;
        EXPECT_TRUE(decodeStructure(bytes, {"A", "B"}).empty()) << "Length " << int(length);
    }
}

// The report of a table holding one type 11 structure, as the scanner builds it.
[[maybe_unused]] std::string reportWithOemStrings() {
    std::vector<std::uint8_t> table = structure(oemStrings(2), {"OEM one", "OEM two"});
    const auto end = structure({127, 0x04, 0x31, 0x00});
    table.insert(table.end(), end.begin(), end.end());
    FakePlatform platform;
    platform.registryValue = registryValueFor(table);
    CCore core(platform);
    core.loadSmbios();
    core.runQuery("SELECT * FROM SMBIOS_Type011_OEMStrings");
    return core.report().xmlText();
}

[[maybe_unused]] std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Parses the file with Python's namespace-aware SAX parser (expat with namespace
// processing) and prints every attribute as {namespace}local=value; exit code 0 on success.
constexpr const char* kParser = R"(import sys, xml.sax
from xml.sax.handler import ContentHandler, feature_namespaces
class Attributes(ContentHandler):
    def startElementNS(self, name, qname, attrs):
        for (uri, local), value in attrs.items():
            print("{%s}%s=%s" % (uri or "", local, value))
parser = xml.sax.make_parser()
parser.setFeature(feature_namespaces, True)
parser.setContentHandler(Attributes())
parser.parse(sys.argv[1])
)";

TEST(OemStrings, TheReportWithTheCountAttributeParsesWithANamespaceAwareParser) {
#ifdef _WIN32
    GTEST_SKIP() << "python3 is not available to the Windows test run";
#else
    if (std::system("python3 -c '' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 is not installed; it provides the namespace-aware parser";
    const std::string dir = ::testing::TempDir();
    const std::string script = dir + "gravelin_nsparse.py";
    const std::string report = dir + "gravelin_oemstrings.xml";
    const std::string unbound = dir + "gravelin_oemstrings_unbound.xml";
    const std::string output = dir + "gravelin_nsparse.out";
    std::ofstream(script) << kParser;

    const std::string text = reportWithOemStrings();
    ASSERT_NE(text.find("Count:_=\"2 \""), std::string::npos) << text;
    std::ofstream(report, std::ios::binary) << text;
    const std::string run = "python3 " + script + " ";
    ASSERT_EQ(std::system((run + report + " >" + output + " 2>&1").c_str()), 0) << readFile(output);
    const std::string parsed = readFile(output);
    EXPECT_NE(parsed.find("{urn:gravelin-scanner:Count}_=2 \n"), std::string::npos) << parsed;
    EXPECT_NE(parsed.find("{}OEM_String_0_=OEM one \n"), std::string::npos) << parsed;

    // The same report without the prefix's declaration is rejected: the parser does check
    // namespaces, so the pass above means something.
    std::string withoutDeclaration = text;
    const auto declaration = withoutDeclaration.find(" xmlns:Count=");
    ASSERT_NE(declaration, std::string::npos) << text;
    const auto close = withoutDeclaration.find('"', withoutDeclaration.find('"', declaration) + 1);
    withoutDeclaration.erase(declaration, close + 1 - declaration);
    std::ofstream(unbound, std::ios::binary) << withoutDeclaration;
    EXPECT_NE(std::system((run + unbound + " >" + output + " 2>&1").c_str()), 0);
    EXPECT_NE(readFile(output).find("unbound prefix"), std::string::npos) << readFile(output);
#endif
}

}  // namespace
}  // namespace gravelin::testing
