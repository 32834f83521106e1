#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A type 9 structure of the SMBIOS 2.6 layout (Length 0x11): a PCI Express x16 slot in use.
std::vector<std::uint8_t> fullSystemSlot() {
    return {9,    0x11, 0x09, 0x00,  // type, Length, handle
            1,                       // designation
            0xAA,                    // PCI Express x16
            0x0D,                    // 16x or x16
            0x04,                    // in use
            0x04,                    // long length
            0x01, 0x02,              // slot ID 0x0201
            0x0C,                    // characteristics 1: 3.3 V, shared
            0x01,                    // characteristics 2: PME
            0x00, 0x01,              // segment group 256
            0x02,                    // bus 2
            0xF9};                   // device 31, function 1
}

const std::initializer_list<std::string> kStrings = {"PCIE_X16_1"};

TEST(SystemSlot, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"SlotDesignation", "PCIE_X16_1", ""},  {"SlotType", "PCI Express x16", ""},
        {"SlotDataBusWidth", "16x or x16", ""}, {"CurrentUsage", "In use", ""},
        {"SlotLength", "Long Length", ""},      {"SlotID", "513", ""},
        {"SlotCharacteristics1", "12", ""},     {"SlotCharacteristics2", "1", ""},
        {"SegmentGroupNumber", "256", ""},      {"BusNumber", "2", ""},
        {"DeviceFunctionNumber", "249", ""},
    };
    EXPECT_EQ(decodeStructure(fullSystemSlot(), kStrings), expected);
}

TEST(SystemSlot, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
        const char* lastField;
    };
    // 0x0C: the SMBIOS 2.0 layout; 0x0D: 2.1; 0x11: 2.6; 0x13 and longer (peer groups,
    // 3.2 and later): nothing more is read.
    for (const Case c :
         {Case{0x05, 1, "SlotDesignation"}, Case{0x09, 5, "SlotLength"}, Case{0x0A, 6, "SlotID"},
          Case{0x0C, 7, "SlotCharacteristics1"}, Case{0x0D, 8, "SlotCharacteristics2"},
          Case{0x0E, 9, "SegmentGroupNumber"}, Case{0x10, 10, "BusNumber"},
          Case{0x11, 11, "DeviceFunctionNumber"}, Case{0x13, 11, "DeviceFunctionNumber"},
          Case{0x1C, 11, "DeviceFunctionNumber"}}) {
        auto bytes = fullSystemSlot();
        bytes[1] = c.length;
        bytes.resize(c.length, 0x01);
        const auto fields = decodeStructure(bytes, kStrings);
        ASSERT_EQ(fields.size(), c.fieldCount) << "Length " << int(c.length);
        EXPECT_EQ(fields.back().name, c.lastField) << "Length " << int(c.length);
    }
}

TEST(SystemSlot, WordFieldsAtTheEndOfTheFormattedAreaTakeTheirHighByteFromTheStrings) {
    auto bytes = fullSystemSlot();
    bytes.resize(0x0A);
    bytes[1] = 0x0A;  // only the slot ID's low byte (0x01) is inside; 'P' is 0x50
    EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "SlotID"), std::to_string(0x5001));
}

TEST(SystemSlot, SlotTypes) {
    for (const auto& [code, text] : std::vector<std::pair<std::uint8_t, std::string>>{
             {0x00, "None"},
             {0x01, "Other"},
             {0x02, "Unknown"},
             {0x06, "PCI"},
             {0x07, "PC Card (PCMCIA)"},
             {0x0C, "I/O Riser Card Slot"},
             {0x0E, "PCI \xE2\x80\x93 66MHz Capable"},  // en dash U+2013
             {0x12, "PCI-X"},
             {0x13, "AGP 8X"},
             {0x14, "M.2 Socket 1-DP (Mechanical Key A)"},
             {0x17, "M.2 Socket 3 (Mechanical Key M)"},
             {0x1A, "MXM Type III (standard connector)"},
             {0x1E, "MXM 3.0 Type B"},
             {0x1F, "PCI Express Gen 2 SFF-8639"},
             {0x20, "PCI Express Gen 3 SFF-8639"},
             {0xA0, "PC-98/C20"},
             {0xA3, "PC-98/Local Bus"},
             {0xA4, "PC-98/Card"},
             {0xA5, "PCI Express (see below)"},
             {0xA6, "PCI Express x1"},
             {0xA8, "PCI Express x4"},
             {0xAA, "PCI Express x16"},
             {0xAB, "PCI Express Gen 2 (see below)"},
             {0xAC, "PCI Express Gen 2 x1"},
             // Codes the current standard added after the first PCI Express generations.
             {0x21, "PCI Express Mini 52-pin with bottom-side keep-outs"},
             {0x22, "PCI Express Mini 52-pin without bottom-side keep-outs"},
             {0x23, "PCI Express Mini 76-pin"},
             {0x24, "PCI Express Gen 4 SFF-8639"},
             {0x25, "PCI Express Gen 5 SFF-8639"},
             {0x26, "OCP NIC 3.0 Small Form Factor (SFF)"},
             {0x27, "OCP NIC 3.0 Large Form Factor (LFF)"},
             {0x28, "OCP NIC Prior to 3.0"},
             {0x30, "CXL Flexbus 1.0"},
             {0xAD, "PCI Express Gen 2 x2"},
             {0xB0, "PCI Express Gen 2 x16"},
             {0xB1, "PCI Express Gen 3 (see below)"},
             {0xB2, "PCI Express Gen 3 x1"},
             {0xB6, "PCI Express Gen 3 x16"},
             {0xB8, "PCI Express Gen 4 (see below)"},
             {0xBB, "PCI Express Gen 4 x4"},
             {0xBD, "PCI Express Gen 4 x16"},
             {0xBE, "PCI Express Gen 5 (see below)"},
             {0xC0, "PCI Express Gen 5 x2"},
             {0xC3, "PCI Express Gen 5 x16"},
             {0xC4, "PCI Express Gen 6 and Beyond"},
             {0xC5, "Enterprise and Datacenter 1U E1 Form Factor Slot (EDSFF E1.S, E1.L)"},
             {0xC6, "Enterprise and Datacenter 3\" E3 Form Factor Slot (EDSFF E3.S, E3.L)"},
             // Codes the standard leaves unassigned.
             {0x29, "Unknown"},
             {0x2F, "Unknown"},
             {0x31, "Unknown"},
             {0x9F, "Unknown"},
             {0xB7, "Unknown"},
             {0xC7, "Unknown"},
             {0xFF, "Unknown"}}) {
        auto bytes = fullSystemSlot();
        bytes[0x05] = code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "SlotType"), text)
            << std::hex << int(code);
    }
}

TEST(SystemSlot, WidthUsageAndLength) {
    struct Case {
        std::size_t offset;
        std::uint8_t code;
        const char* field;
        const char* text;
    };
    for (const Case c : {
             Case{0x06, 0x00, "SlotDataBusWidth", "None"},
             Case{0x06, 0x02, "SlotDataBusWidth", "Unknown"},
             Case{0x06, 0x03, "SlotDataBusWidth", "8 bit"},
             Case{0x06, 0x07, "SlotDataBusWidth", "128 bit"},
             Case{0x06, 0x08, "SlotDataBusWidth", "1x or x1"},
             Case{0x06, 0x0C, "SlotDataBusWidth", "12x or x12"},
             Case{0x06, 0x0E, "SlotDataBusWidth", "32x or x32"},
             Case{0x06, 0x0F, "SlotDataBusWidth", "Unknown"},
             Case{0x07, 0x00, "CurrentUsage", "Unknown"},
             Case{0x07, 0x01, "CurrentUsage", "Other"},
             Case{0x07, 0x02, "CurrentUsage", "Unknown"},
             Case{0x07, 0x03, "CurrentUsage", "Available"},
             Case{0x07, 0x04, "CurrentUsage", "In use"},
             Case{0x07, 0x05, "CurrentUsage", "Unavailable"},
             Case{0x07, 0x06, "CurrentUsage", "Unknown"},
             Case{0x08, 0x00, "SlotLength", "Unknown"},
             Case{0x08, 0x01, "SlotLength", "Other"},
             Case{0x08, 0x03, "SlotLength", "Short Length"},
             Case{0x08, 0x05, "SlotLength", "2.5\" drive form factor"},
             Case{0x08, 0x06, "SlotLength", "3.5\" drive form factor"},
             Case{0x08, 0x07, "SlotLength", "Unknown"},
         }) {
        auto bytes = fullSystemSlot();
        bytes[c.offset] = c.code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), c.field), c.text)
            << c.field << " code 0x" << std::hex << int(c.code);
    }
}

TEST(SystemSlot, NumbersArePlainDecimals) {
    auto bytes = fullSystemSlot();
    bytes[0x09] = 0xFF, bytes[0x0A] = 0xFF;
    bytes[0x0B] = 0xFF, bytes[0x0C] = 0x80;
    bytes[0x0D] = 0xFF, bytes[0x0E] = 0xFF;
    bytes[0x0F] = 0xFF, bytes[0x10] = 0x00;
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "SlotID"), "65535");
    EXPECT_EQ(valueOf(fields, "SlotCharacteristics1"), "255");
    EXPECT_EQ(valueOf(fields, "SlotCharacteristics2"), "128");
    EXPECT_EQ(valueOf(fields, "SegmentGroupNumber"), "65535");
    EXPECT_EQ(valueOf(fields, "BusNumber"), "255");
    EXPECT_EQ(valueOf(fields, "DeviceFunctionNumber"), "0");
}

TEST(SystemSlot, MissingDesignationIsEmpty) {
    for (const std::uint8_t number : {0, 2}) {
        auto bytes = fullSystemSlot();
        bytes[0x04] = number;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "SlotDesignation"), "");
    }
}

}  // namespace
}  // namespace gravelin::testing
