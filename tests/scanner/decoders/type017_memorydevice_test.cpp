#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x28) type 17 structure: 16 GiB DDR4 DIMM, strings 1-6.
std::vector<std::uint8_t> fullMemoryDevice() {
    return {17,   0x28, 0x40, 0x00,               // type, Length, handle
            0x00, 0x10,                           // physical memory array handle 0x1000
            0xFE, 0xFF,                           // error information handle 0xFFFE
            72,   0,    64,   0,                  // total width, data width
            0x00, 0x40,                           // size 0x4000 = 16384 MB
            0x09,                                 // DIMM
            0x00,                                 // device set
            1,    2,                              // device locator, bank locator
            0x1A,                                 // DDR4
            0x80, 0x20,                           // type detail: synchronous, registered
            0x60, 0x09,                           // speed 2400
            3,    4,    5,    6,                  // manufacturer, serial, asset tag, part number
            0x12,                                 // attributes: rank 2
            0x00, 0x00, 0x00, 0x00,               // extended size
            0x60, 0x09,                           // configured speed 2400
            0xB0, 0x04, 0xB0, 0x04, 0xB0, 0x04};  // voltages 1200 mV
}

const std::initializer_list<std::string> kStrings = {"DIMM_A1",  "BANK 0", "Samsung",
                                                     "12345678", "Asset",  "M393A2K40BB1"};

TEST(MemoryDevice, FullStructureGivesEveryFieldInOrder) {
    const auto fields = decodeStructure(fullMemoryDevice(), kStrings);
    const std::vector<Field> expected = {
        {"PhysicalMemoryArrayHandle", "4096", ""},
        {"MemoryErrorInformationHandle", "65534", ""},
        {"TotalWidth", "72", "bits"},
        {"DataWidth", "64", "bits"},
        {"Size", "16384MB", ""},
        {"FormFactor", "DIMM", ""},
        {"DeviceSet", "0", ""},
        {"DeviceLocator", "DIMM_A1", ""},
        {"BankLocator", "BANK 0", ""},
        {"MemoryType", "DDR4", ""},
        {"TypeDetail", "Synchronous, Registered (Buffered), ", ""},
        {"Speed", "2400", "MHz"},
        {"Manufacturer", "Samsung", ""},
        {"SerialNumber", "12345678", ""},
        {"AssetTag", "Asset", ""},
        {"PartNumber", "M393A2K40BB1", ""},
        {"AttributesRank", "2", ""},
        {"ExtendedSize", "0", "MB"},
        {"ConfiguredMemoryClockSpeed", "2400", "MHz"},
        {"MinimumVoltage", "1200", "mV"},
        {"MaximumVoltage", "1200", "mV"},
        {"ConfiguredVoltage", "1200", "mV"},
    };
    EXPECT_EQ(fields, expected);
}

TEST(MemoryDevice, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
        const char* lastField;
    };
    // 0x15: up to TypeDetail; 0x16: Speed too; 0x1B: up to PartNumber (the 2.3 layout);
    // 0x1C: rank (2.6); 0x22: configured speed (2.7); 0x28: voltages (2.8); longer: the same.
    for (const Case c :
         {Case{0x15, 11, "TypeDetail"}, Case{0x16, 12, "Speed"}, Case{0x1B, 16, "PartNumber"},
          Case{0x1C, 17, "AttributesRank"}, Case{0x22, 19, "ConfiguredMemoryClockSpeed"},
          Case{0x28, 22, "ConfiguredVoltage"}, Case{0x54, 22, "ConfiguredVoltage"}}) {
        auto bytes = fullMemoryDevice();
        bytes[1] = c.length;
        bytes.resize(std::max<std::size_t>(bytes.size(), c.length), 0);
        const auto fields = decodeStructure(bytes, kStrings);
        ASSERT_EQ(fields.size(), c.fieldCount) << "Length " << int(c.length);
        EXPECT_EQ(fields.back().name, c.lastField) << "Length " << int(c.length);
    }
}

TEST(MemoryDevice, WordFieldAtTheEndOfTheFormattedAreaTakesItsHighByteFromTheStrings) {
    auto bytes = fullMemoryDevice();
    bytes.resize(0x16);
    bytes[1] = 0x16;  // Speed's low byte is the last formatted byte
    bytes[0x15] = 0x10;
    // string area "A\0\0": Speed's high byte is 'A' (0x41)
    const auto fields = decode(structure(bytes, {"A"}), {"A"});
    EXPECT_EQ(valueOf(fields, "Speed"), std::to_string(0x4110));
    EXPECT_EQ(valueOf(fields, "Manufacturer"), "<absent>");
}

TEST(MemoryDevice, SizeTexts) {
    struct Case {
        std::uint16_t size;
        const char* text;
    };
    for (const Case c :
         {Case{0x0000, "0 (No module installed)"}, Case{0xFFFF, "Unknown memory size"},
          Case{0x7FFF, "See extended size"}, Case{0x4000, "16384MB"}, Case{0x8400, "1024kB"},
          Case{0x8000, "0kB"}, Case{0x2000, "8192MB"}}) {
        auto bytes = fullMemoryDevice();
        bytes[0x0C] = static_cast<std::uint8_t>(c.size);
        bytes[0x0D] = static_cast<std::uint8_t>(c.size >> 8);
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "Size"), c.text) << std::hex << c.size;
    }
}

TEST(MemoryDevice, ExtendedSizeCarriesTheAmountAndIsSigned) {
    auto bytes = fullMemoryDevice();
    bytes[0x0C] = 0xFF, bytes[0x0D] = 0x7F;
    bytes[0x1C] = 0x00, bytes[0x1D] = 0x80;  // 32768 MB
    auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "Size"), "See extended size");
    EXPECT_EQ(valueOf(fields, "ExtendedSize"), "32768");
    bytes[0x1C] = bytes[0x1D] = bytes[0x1E] = bytes[0x1F] = 0xFF;
    EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "ExtendedSize"), "-1");
}

TEST(MemoryDevice, CodeTablesAndDefaults) {
    struct Case {
        std::size_t offset;
        std::uint8_t code;
        const char* field;
        const char* text;
    };
    for (const Case c : {Case{0x12, 0x1A, "MemoryType", "DDR4"},
                         Case{0x12, 0x16, "MemoryType", "Reserved"},
                         Case{0x12, 0x00, "MemoryType", "Unknown"},
                         Case{0x12, 0x01, "MemoryType", "Other"},
                         Case{0x12, 0x1E, "MemoryType", "LPDDR4"},
                         Case{0x0E, 0x09, "FormFactor", "DIMM"},
                         Case{0x0E, 0x01, "FormFactor", "Other"},
                         Case{0x0E, 0x0F, "FormFactor", "FB-DIMM"},
                         Case{0x0E, 0x10, "FormFactor", "Die"},
                         Case{0x0E, 0x11, "FormFactor", "CAMM"},
                         Case{0x0E, 0x12, "FormFactor", "CUDIMM"},
                         Case{0x0E, 0x13, "FormFactor", "CSODIMM"},
                         Case{0x0E, 0x14, "FormFactor", "Unknown"},
                         Case{0x0E, 0x00, "FormFactor", "Unknown"},
                         Case{0x12, 0x1F, "MemoryType", "Logical non-volatile device"},
                         Case{0x12, 0x20, "MemoryType", "HBM"},
                         Case{0x12, 0x21, "MemoryType", "HBM2"},
                         Case{0x12, 0x22, "MemoryType", "DDR5"},
                         Case{0x12, 0x23, "MemoryType", "LPDDR5"},
                         Case{0x12, 0x24, "MemoryType", "HBM3"},
                         Case{0x12, 0x25, "MemoryType", "MRDIMM"},
                         Case{0x12, 0x26, "MemoryType", "Unknown"},
                         Case{0x12, 0xFF, "MemoryType", "Unknown"},
                         Case{0x1B, 0x12, "AttributesRank", "2"},
                         Case{0x1B, 0xFF, "AttributesRank", "15"}}) {
        auto bytes = fullMemoryDevice();
        bytes[c.offset] = c.code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), c.field), c.text)
            << c.field << " code 0x" << std::hex << int(c.code);
    }
}

TEST(MemoryDevice, TypeDetailBitList) {
    for (const auto& [flags, text] : std::vector<std::pair<std::uint16_t, std::string>>{
             {0x0080, "Synchronous, "},
             {0x2080, "Synchronous, Registered (Buffered), "},
             {0x0000, ""},
             {0x8001, "Reserved (set to 0), LRDIMM, "}}) {
        auto bytes = fullMemoryDevice();
        bytes[0x13] = static_cast<std::uint8_t>(flags);
        bytes[0x14] = static_cast<std::uint8_t>(flags >> 8);
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "TypeDetail"), text);
    }
}

TEST(MemoryDevice, MissingStringsAreEmpty) {
    auto bytes = fullMemoryDevice();
    bytes[0x10] = 0;  // no device locator
    bytes[0x11] = 9;  // beyond the string set
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "DeviceLocator"), "");
    EXPECT_EQ(valueOf(fields, "BankLocator"), "");
}

}  // namespace
}  // namespace gravelin::testing
