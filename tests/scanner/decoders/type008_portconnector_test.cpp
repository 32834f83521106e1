#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x09) type 8 structure: the PS/2 keyboard port.
std::vector<std::uint8_t> fullPortConnector() {
    return {8,    0x09, 0x08, 0x00,  // type, Length, handle
            1,                       // internal designator
            0x00,                    // internal connector: none
            2,                       // external designator
            0x0F,                    // external connector: PS/2
            0x0D};                   // keyboard port
}

const std::initializer_list<std::string> kStrings = {"J1A1", "PS2Keyboard"};

TEST(PortConnector, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"InternalReferenceDesignator", "J1A1", ""},
        {"InternalConnectorType", "None", ""},
        {"ExternalReferenceDesignator", "PS2Keyboard", ""},
        {"ExternalConnectorType", "PS/2", ""},
        {"PortType", "Keyboard Port", ""},
    };
    EXPECT_EQ(decodeStructure(fullPortConnector(), kStrings), expected);
}

TEST(PortConnector, LengthCutsTheFieldList) {
    for (const auto& [length, count] : std::vector<std::pair<std::uint8_t, std::size_t>>{
             {0x04, 0}, {0x05, 1}, {0x06, 2}, {0x07, 3}, {0x08, 4}, {0x09, 5}, {0x0C, 5}}) {
        auto bytes = fullPortConnector();
        bytes[1] = length;
        bytes.resize(length, 0);
        const auto names = namesOf(decodeStructure(bytes, kStrings));
        EXPECT_EQ(names.size(), count) << "Length " << int(length);
        if (length == 0x08) {
            EXPECT_EQ(names.back(), "ExternalConnectorType");
        }
    }
}

TEST(PortConnector, ConnectorTypesForBothConnectorFields) {
    for (const auto& [code, text] : std::vector<std::pair<std::uint8_t, std::string>>{
             {0x00, "None"},
             {0x01, "Centronics"},
             {0x08, "DB-9 pin male"},
             {0x0B, "RJ-45"},
             {0x0F, "PS/2"},
             {0x12, "Access Bus (USB)"},
             {0x18, "9-pin Dual Inline (pin 10 cut)"},
             {0x1F, "Mini-jack (headphones)"},
             {0x21, "1394"},
             {0x22, "SAS/SATA Plug Receptacle"},
             {0x23, "USB Type-C Receptacle"},
             {0x24, "Unknown"},
             {0xA0, "PC-98"},
             {0xA1, "PC-98Hireso"},
             {0xA4, "PC-98Full"},
             {0xA5, "Unknown"},
             {0x9F, "Unknown"},
             {0xFE, "Unknown"},
             // En dash U+2013 with a blank on each side, and a closing full stop.
             {0xFF,
              "Other \xE2\x80\x93 Use Reference Designator Strings to supply information."}}) {
        auto bytes = fullPortConnector();
        bytes[0x05] = code;
        bytes[0x07] = code;
        const auto fields = decodeStructure(bytes, kStrings);
        EXPECT_EQ(valueOf(fields, "InternalConnectorType"), text) << std::hex << int(code);
        EXPECT_EQ(valueOf(fields, "ExternalConnectorType"), text) << std::hex << int(code);
    }
}

TEST(PortConnector, PortTypes) {
    for (const auto& [code, text] : std::vector<std::pair<std::uint8_t, std::string>>{
             {0x00, "None"},
             {0x01, "Parallel Port XT/AT Compatible"},
             {0x09, "Serial Port 16550A Compatible"},
             {0x0D, "Keyboard Port"},
             {0x0E, "Mouse Port"},
             {0x10, "USB"},
             {0x11, "FireWire (IEEE P1394)"},
             {0x12, "PCMCIA Type I2"},
             {0x19, "PC-98"},
             {0x1A, "PC-98-Hireso"},
             {0x1F, "Network Port"},
             {0x20, "SATA"},
             {0x21, "SAS"},
             {0x22, "MFDP (Multi-Function Display Port)"},
             {0x23, "Thunderbolt"},
             {0x24, "Unknown"},
             {0xA0, "8251 Compatible"},
             {0xA1, "8251 FIFO Compatible"},
             {0xA2, "Unknown"},
             {0x9F, "Unknown"},
             {0xFE, "Unknown"},
             {0xFF, "Other"}}) {
        auto bytes = fullPortConnector();
        bytes[0x08] = code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "PortType"), text)
            << std::hex << int(code);
    }
}

TEST(PortConnector, MissingDesignatorsAreEmpty) {
    auto bytes = fullPortConnector();
    bytes[0x04] = 0;
    bytes[0x06] = 3;  // beyond the two strings
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "InternalReferenceDesignator"), "");
    EXPECT_EQ(valueOf(fields, "ExternalReferenceDesignator"), "");
}

}  // namespace
}  // namespace gravelin::testing
