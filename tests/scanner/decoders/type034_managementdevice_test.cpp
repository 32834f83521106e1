#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x0B) structure: an LM78 at I/O port 0x00000C00.
std::vector<std::uint8_t> fullManagementDevice() {
    return {34,   0x0B, 0x26, 0x00,  // type, Length, handle
            1,                       // description
            0x04,                    // LM78
            0x00, 0x0C, 0x00, 0x00,  // address
            0x03};                   // I/O port
}

TEST(ManagementDevice, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"Description", "LM78-1", ""},
        {"Type", "National Semiconductor LM78", ""},
        {"Address", "0x00000C00", ""},
        {"ManagementDeviceAddressType", "I/O Port", ""},
    };
    EXPECT_EQ(decodeStructure(fullManagementDevice(), {"LM78-1"}), expected);
}

TEST(ManagementDevice, LengthCutsTheFieldList) {
    for (const auto& [length, count] : std::vector<std::pair<std::uint8_t, std::size_t>>{
             {0x04, 0}, {0x05, 1}, {0x06, 2}, {0x07, 3}, {0x0A, 3}, {0x0B, 4}}) {
        auto bytes = fullManagementDevice();
        bytes[1] = length;
        EXPECT_EQ(decodeStructure(bytes, {"LM78-1"}).size(), count) << "Length " << int(length);
    }
}

TEST(ManagementDevice, CodeTables) {
    struct Case {
        std::size_t offset;
        std::uint8_t code;
        const char* field;
        const char* text;
    };
    for (const Case c : {
             Case{0x05, 0x00, "Type", "Unknown"},
             Case{0x05, 0x01, "Type", "Other"},
             Case{0x05, 0x02, "Type", "Unknown"},
             Case{0x05, 0x03, "Type", "National Semiconductor LM75"},
             Case{0x05, 0x05, "Type", "National Semiconductor LM79"},
             Case{0x05, 0x06, "Type", "National Semiconductor LM80"},
             Case{0x05, 0x07, "Type", "National Semiconductor LM81"},
             Case{0x05, 0x08, "Type", "Analog Devices ADM9240"},
             Case{0x05, 0x09, "Type", "Dallas Semiconductor DS1780"},
             Case{0x05, 0x0A, "Type", "Maxim 1617"},
             Case{0x05, 0x0B, "Type", "Genesys GL518SM"},
             Case{0x05, 0x0C, "Type", "Winbond W83781D"},
             Case{0x05, 0x0D, "Type", "Holtek HT82H791"},
             Case{0x05, 0x0E, "Type", "Unknown"},
             Case{0x0A, 0x00, "ManagementDeviceAddressType", "Unknown"},
             Case{0x0A, 0x01, "ManagementDeviceAddressType", "Other"},
             Case{0x0A, 0x02, "ManagementDeviceAddressType", "Unknown"},
             Case{0x0A, 0x04, "ManagementDeviceAddressType", "Memory"},
             Case{0x0A, 0x05, "ManagementDeviceAddressType", "SM Bus"},
             Case{0x0A, 0x06, "ManagementDeviceAddressType", "Unknown"},
         }) {
        auto bytes = fullManagementDevice();
        bytes[c.offset] = c.code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, {"LM78-1"}), c.field), c.text)
            << c.field << " code 0x" << std::hex << int(c.code);
    }
}

TEST(ManagementDevice, AddressUsesAllEightDigits) {
    auto bytes = fullManagementDevice();
    bytes[0x06] = 0xFF, bytes[0x07] = 0xFF, bytes[0x08] = 0xFF, bytes[0x09] = 0xFF;
    EXPECT_EQ(valueOf(decodeStructure(bytes, {"LM78-1"}), "Address"), "0xFFFFFFFF");
    bytes[0x06] = 0x2D, bytes[0x07] = 0x00, bytes[0x08] = 0x00, bytes[0x09] = 0x00;
    EXPECT_EQ(valueOf(decodeStructure(bytes, {"LM78-1"}), "Address"), "0x0000002D");
}

TEST(ManagementDevice, LengthSixteenGivesBackTheStartOfTheFirstString) {
    // Firmware that writes Length 0x10: "LM78-" lies in bytes 0x0B-0x0F, the string area
    // (from 0x10 on) holds only "2".
    std::vector<std::uint8_t> bytes = fullManagementDevice();
    bytes[1] = 0x10;
    bytes.insert(bytes.end(), {'L', 'M', '7', '8', '-'});
    auto fields = decodeStructure(bytes, {"2"});
    EXPECT_EQ(fields, (std::vector<Field>{{"Description", "LM78-2", ""},
                                          {"Type", "National Semiconductor LM78", ""},
                                          {"Address", "0x00000C00", ""},
                                          {"ManagementDeviceAddressType", "I/O Port", ""}}));

    struct Case {
        const char* what;
        std::uint8_t length;
        std::uint8_t description;
        std::uint8_t hiddenByte;  // replaces the fourth of the five bytes
        const char* text;
    };
    for (const Case c : {
             // Only string 1 starts in the hidden bytes; string 2 is whole.
             Case{"string 2", 0x10, 2, '8', "Temp"},
             // Not printable text: the bytes are data, the string stands as it is.
             Case{"control byte", 0x10, 1, 0x01, "2"},
             Case{"high byte", 0x10, 1, 0xB0, "2"},
             // Any other Length is taken as it is.
             Case{"Length 0x0F", 0x0F, 1, '8', "2"},
             Case{"Length 0x11", 0x11, 1, '8', "2"},
             Case{"no string", 0x10, 0, '8', ""},
         }) {
        bytes[1] = c.length;
        bytes[0x04] = c.description;
        bytes[0x0E] = c.hiddenByte;
        fields = decodeStructure(bytes, {"2", "Temp"});
        EXPECT_EQ(valueOf(fields, "Description"), c.text) << c.what;
    }
}

TEST(ManagementDevice, LengthSixteenAtTheEndOfTheTableReadsNothingBeyondIt) {
    // The hidden bytes would lie past the end of the table: no prefix, no read outside.
    std::vector<std::uint8_t> bytes = fullManagementDevice();
    bytes[1] = 0x10;
    bytes.insert(bytes.end(), {'L', 'M'});
    EXPECT_EQ(valueOf(decode(bytes, {"2"}), "Description"), "2");
}

}  // namespace
}  // namespace gravelin::testing
