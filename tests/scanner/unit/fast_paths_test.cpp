// The shortcuts on the decoding path must change nothing: the walker measures string areas
// without reading them, names and texts of plain ASCII skip the code-point checks, ASCII runs
// are copied whole into UTF-8, and an attribute name proven new on an element is appended
// without a search.
#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <set>
#include <string>
#include <vector>

#include "scanner/smbios/Smbios.h"
#include "scanner/utils/Utils.h"
#include "scanner/xmlfile/Xmlfile.h"

namespace gravelin {
namespace {

// Every byte sequence of the given length over the alphabet, in turn.
template <typename Visit>
void everySequence(const std::vector<std::uint8_t>& alphabet, std::size_t length, Visit visit) {
    std::vector<std::size_t> digits(length, 0);
    std::vector<std::uint8_t> bytes(length);
    while (true) {
        for (std::size_t i = 0; i < length; ++i) bytes[i] = alphabet[digits[i]];
        visit(bytes);
        std::size_t i = 0;
        while (i < length && ++digits[i] == alphabet.size()) digits[i++] = 0;
        if (i == length) return;
    }
}

TEST(StringAreaSize, AgreesWithReadingTheStringsOnEveryShortArea) {
    // Zero bytes, a text byte and a code-page byte, at every place of areas up to 7 bytes:
    // ends found, ends missing, empty strings, a closing string cut off.
    std::size_t areas = 0;
    for (std::size_t length = 0; length <= 7; ++length) {
        everySequence({0x00, 'A', 0x80}, length, [&](const std::vector<std::uint8_t>& bytes) {
            StringList strings;
            const auto read = readStringSet(bytes, strings, windows1252());
            ASSERT_EQ(stringAreaSize(bytes), read) << "area of " << bytes.size() << " bytes, first "
                                                   << int(bytes.empty() ? -1 : bytes[0]);
            ++areas;
        });
    }
    EXPECT_EQ(areas, 3280u);  // 3^0 + 3^1 + ... + 3^7
}

TEST(StringAreaSize, MeasuresRealAreas) {
    const std::vector<std::uint8_t> none{0, 0, 7};
    const std::vector<std::uint8_t> two{'A', 0, 'B', 'C', 0, 0, 9};
    const std::vector<std::uint8_t> open{'A', 0, 'B'};
    const std::vector<std::uint8_t> unclosed{'A', 0};
    EXPECT_EQ(stringAreaSize(none), 1);
    EXPECT_EQ(stringAreaSize(two), 5);
    EXPECT_EQ(stringAreaSize(open), -1);
    EXPECT_EQ(stringAreaSize(unclosed), -1);
}

// XML 1.0 name characters among ASCII, written out here independently of the report tree.
bool asciiNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool asciiNameChar(char c) {
    return asciiNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

TEST(XmlNames, EveryAsciiCharacterFirstAndLater) {
    for (int code = 1; code < 128; ++code) {
        const char c = static_cast<char>(code);
        if (c == ':') continue;  // the prefix separator has its own rules
        EXPECT_EQ(isValidXmlName(std::string(1, c) + "a"), asciiNameStart(c)) << "first " << code;
        EXPECT_EQ(isValidXmlName(std::string("a") + c), asciiNameChar(c)) << "later " << code;
    }
}

TEST(XmlNames, NamesWithCharactersBeyondAscii) {
    EXPECT_TRUE(
        isValidXmlName("Gr\xC3\xB6\xC3\x9F"
                       "e"));  // Größe
    EXPECT_TRUE(
        isValidXmlName("a\xC2\xB7"
                       "b"));  // middle dot: a name character
    EXPECT_FALSE(
        isValidXmlName("\xC2\xB7"
                       "a"));                    // ... but no start character
    EXPECT_FALSE(isValidXmlName("ab\xC2\xA0"));  // no-break space
    EXPECT_FALSE(isValidXmlName("ab\xFF"));      // not UTF-8
    EXPECT_TRUE(isValidXmlName("Count:_"));
    EXPECT_FALSE(isValidXmlName("Count:"));
}

TEST(XmlText, PlainTextIsKeptAndEveryOtherControlCharacterReplaced) {
    for (int code = 0; code < 128; ++code) {
        const std::string text = std::string("a") + static_cast<char>(code) + "b";
        const bool allowed = code >= 0x20 || code == 0x9 || code == 0xA || code == 0xD;
        EXPECT_EQ(xmlSafeText(text), allowed ? text
                                             : std::string("a\xEF\xBF\xBD"
                                                           "b"))
            << code;
    }
    EXPECT_EQ(xmlSafeText("\xC2\xB0"
                          "C"),
              "\xC2\xB0"
              "C");
    EXPECT_EQ(xmlSafeText("x\xC0"), "x\xEF\xBF\xBD");
}

TEST(CodePage, AsciiRunsAndHighBytesInAnyOrder) {
    EXPECT_EQ(windows1252().toUtf8(""), "");
    EXPECT_EQ(windows1252().toUtf8("plain"), "plain");
    EXPECT_EQ(windows1252().toUtf8("\x80"), "\xE2\x82\xAC");
    EXPECT_EQ(windows1252().toUtf8("A\x80"
                                   "B\x99"),
              "A\xE2\x82\xAC"
              "B\xE2\x84\xA2");
    EXPECT_EQ(windows1252().toUtf8("\xB0\xB0x"), "\xC2\xB0\xC2\xB0x");
}

std::vector<std::pair<std::string, std::string>> attributesOf(const XMLFile& file,
                                                              const char* path) {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(file.xmlText().c_str()));
    std::vector<std::pair<std::string, std::string>> attributes;
    for (auto a : doc.first_element_by_path(path).attributes())
        attributes.emplace_back(a.name(), a.value());
    return attributes;
}

TEST(XmlAttributes, ManyNamesOnOneElementEachStayOnce) {
    // More names than the filter has bits: some share a bit, and every repeat must still
    // find its attribute instead of adding a second one.
    XMLFile file;
    file.enterNewChild("Class");
    file.enterNewChild("i0");
    for (int i = 0; i < 600; ++i) file.setAttribute("Field[" + std::to_string(i) + "]", "a");
    for (int i = 0; i < 600; ++i) file.setAttribute("Field[" + std::to_string(i) + "]", "b");
    const auto attributes = attributesOf(file, "HWInfo/Class/i0");
    ASSERT_EQ(attributes.size(), 600u);
    std::set<std::string> names;
    for (const auto& [name, value] : attributes) {
        EXPECT_EQ(value, "b") << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 600u);
    EXPECT_EQ(attributes.front().first, "Field_0_");
}

TEST(XmlAttributes, ElementsReachedAgainKeepTheirAttributesUnique) {
    XMLFile file;
    file.enterNewChild("Class");
    file.setAttribute("On class", "1");
    file.enterNewChild("i0");
    file.setAttribute("X", "1");
    file.goToParent();  // back on the class node, which has its attribute already
    file.setAttribute("On class", "2");
    file.goToRoot();
    file.setAttribute("Root", "1");
    file.enterNewChild("Other");
    file.goToRoot();
    file.setAttribute("Root", "2");
    EXPECT_EQ(attributesOf(file, "HWInfo/Class"),
              (std::vector<std::pair<std::string, std::string>>{{"On_class", "2"}}));
    EXPECT_EQ(attributesOf(file, "HWInfo"),
              (std::vector<std::pair<std::string, std::string>>{{"Root", "2"}}));
}

TEST(XmlAttributes, AnInvalidNameIsRefusedEveryTime) {
    XMLFile file;
    file.enterNewChild("i0");
    EXPECT_THROW(file.setAttribute("1st", "x"), XmlNameError);
    EXPECT_THROW(file.setAttribute("1st", "x"), XmlNameError);
    EXPECT_THROW(file.setAttribute("xmlns:a", "x"), XmlNameError);
    EXPECT_TRUE(attributesOf(file, "HWInfo/i0").empty());
}

}  // namespace
}  // namespace gravelin
