// The report tree: cursor moves, newest-first order, safe names, valid text.
#include "scanner/xmlfile/Xmlfile.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

namespace gravelin {
namespace {

// The document text parsed back, so that tests look at what a receiver reads.
pugi::xml_document parsed(const XMLFile& file) {
    pugi::xml_document doc;
    const auto result = doc.load_string(file.xmlText().c_str());
    EXPECT_TRUE(result) << result.description() << "\n" << file.xmlText();
    return doc;
}

TEST(XmlFile, FreshTreeIsTheDeclarationAndAnEmptyRoot) {
    XMLFile file;
    EXPECT_EQ(file.xmlText(), "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<HWInfo />\r\n");
}

TEST(XmlFile, EveryLineEndsInCrLfWithTwoBlankIndentation) {
    XMLFile file;
    file.enterNewChild("Class");
    file.enterNewChild("i0");
    file.setAttribute("A", "1 ");
    EXPECT_EQ(file.xmlText(),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
              "<HWInfo>\r\n"
              "  <Class>\r\n"
              "    <i0 A=\"1 \" />\r\n"
              "  </Class>\r\n"
              "</HWInfo>\r\n");
}

TEST(XmlFile, NewChildrenGoInFrontOfTheirSiblings) {
    XMLFile file;
    file.enterNewChild("A");
    file.goToRoot();
    file.enterNewChild("B");
    file.enterNewChild("i0");
    for (int i = 1; i <= 2; ++i) {
        file.goToParent();
        file.enterNewChild("i" + std::to_string(i));
    }
    const auto doc = parsed(file);
    std::vector<std::string> top;
    for (auto child : doc.child("HWInfo").children()) top.emplace_back(child.name());
    EXPECT_EQ(top, (std::vector<std::string>{"B", "A"}));
    std::vector<std::string> objects;
    for (auto child : doc.child("HWInfo").child("B").children()) objects.emplace_back(child.name());
    EXPECT_EQ(objects, (std::vector<std::string>{"i2", "i1", "i0"}));
}

TEST(XmlFile, GoToParentNeverLeavesTheRoot) {
    XMLFile file;
    file.goToParent();
    file.enterNewChild("A");
    EXPECT_TRUE(parsed(file).child("HWInfo").child("A"));
}

TEST(XmlFile, MakeXmlNameReplacesBlanksAndBracketsOnly) {
    EXPECT_EQ(makeXmlName("a (b) [c]"), "a__b___c_");
    EXPECT_EQ(makeXmlName("Characteristics extension"), "Characteristics_extension");
    EXPECT_EQ(makeXmlName("ContainedElements[0]"), "ContainedElements_0_");
    EXPECT_EQ(makeXmlName("SMBIOS_Type_10_OnBoardDevices(obsolete)"),
              "SMBIOS_Type_10_OnBoardDevices_obsolete_");
    EXPECT_EQ(makeXmlName("SMBIOS_Type_200_OEM specific"), "SMBIOS_Type_200_OEM_specific");
    EXPECT_EQ(makeXmlName("a-b.c#1"), "a-b.c#1");
}

TEST(XmlFile, AttributesAreSetInPlaceAndKeepTheirFirstOrder) {
    XMLFile file;
    file.enterNewChild("i0");
    file.setAttribute("Characteristics extension", "x ");
    file.setAttribute("Second", "y ");
    file.setAttribute("Characteristics extension", "z ");
    const auto doc = parsed(file);
    const auto node = doc.child("HWInfo").child("i0");
    std::vector<std::pair<std::string, std::string>> attributes;
    for (auto a : node.attributes()) attributes.emplace_back(a.name(), a.value());
    EXPECT_EQ(attributes, (std::vector<std::pair<std::string, std::string>>{
                              {"Characteristics_extension", "z "}, {"Second", "y "}}));
}

TEST(XmlFile, ValuesAreEscapedAndReadBackUnchanged) {
    XMLFile file;
    file.enterNewChild("i0");
    const std::string value =
        "a<b & \"c\" 'd' >e\ttab\nline\r\xC2\xB0"
        "C ";
    file.setAttribute("V", value);
    EXPECT_EQ(std::string(parsed(file).child("HWInfo").child("i0").attribute("V").value()), value);
}

TEST(XmlFile, CharactersXmlForbidsAreReplacedAndTheRestKept) {
    XMLFile file;
    file.enterNewChild("i0");
    // control characters, a malformed UTF-8 byte, U+FFFF
    file.setAttribute("V",
                      "A\x01"
                      "B\x1F"
                      "C\xFF"
                      "D\xEF\xBF\xBF"
                      "E");
    const std::string text = parsed(file).child("HWInfo").child("i0").attribute("V").value();
    EXPECT_EQ(text,
              "A\xEF\xBF\xBD"
              "B\xEF\xBF\xBD"
              "C\xEF\xBF\xBD"
              "D\xEF\xBF\xBD"
              "E");
}

TEST(XmlFile, NamesThatStayInvalidAreRefusedWithoutChangingTheTree) {
    XMLFile file;
    for (const std::string name : {"", "1abc", "a/b", "a,b", "a:b:c", ":a", "a:", "xmlns:x"}) {
        EXPECT_THROW(file.enterNewChild(name), XmlNameError) << "element " << name;
        EXPECT_THROW(file.setAttribute(name, "v"), XmlNameError) << "attribute " << name;
    }
    EXPECT_EQ(file.xmlText(), XMLFile().xmlText());
}

TEST(XmlFile, APrefixedNameIsBoundForNamespaceAwareParsers) {
    XMLFile file;
    file.enterNewChild("i0");
    file.setAttribute("Count: ", "3 ");
    const auto doc = parsed(file);
    EXPECT_STREQ(doc.child("HWInfo").child("i0").attribute("Count:_").value(), "3 ");
    EXPECT_TRUE(doc.child("HWInfo").attribute("xmlns:Count"));
}

}  // namespace
}  // namespace gravelin
