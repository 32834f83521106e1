#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A type 3 structure with two 3-byte contained elements and a SKU (Length 0x1C): strings 1-5.
std::vector<std::uint8_t> enclosure() {
    return {3,    0x1C, 0x03, 0x00,              // type, Length, handle
            1,                                   // manufacturer
            0x83,                                // desktop, chassis lock present
            2,    3,    4,                       // version, serial, asset tag
            0x03, 0x03, 0x04,                    // boot-up safe, power safe, thermal warning
            0x03,                                // security: none
            0x78, 0x56, 0x34, 0x12,              // OEM value 0x12345678
            2,                                   // height 2 U
            1,                                   // one power cord
            2,    3,                             // two elements of three bytes
            0x03, 0x01, 0x02, 0x91, 0x00, 0x04,  // elements
            5};                                  // SKU
}

const std::initializer_list<std::string> kStrings = {"Case Maker", "V2", "CSN7", "Asset", "SKU 1"};

TEST(SystemEnclosure, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"Manufacturer", "Case Maker", ""},
        {"ChassisType", "Desktop (chassis lock present)", ""},
        {"Version", "V2", ""},
        {"SerialNumber", "CSN7", ""},
        {"AssetTag", "Asset", ""},
        {"BootupState", "Safe", ""},
        {"PowerSupplyState", "Safe", ""},
        {"ThermalState", "Warning", ""},
        {"SecurityStatus", "None", ""},
        {"OEMdefined", "0x12345678", ""},
        {"Height", "2", "x1,75\""},
        {"NumberOfPowerCords", "1", ""},
        {"ContainedElementCount", "2", ""},
        {"ContainedElementRecordLength", "3", ""},
        {"ContainedElements[0]", "03 01 02 ", ""},
        {"ContainedElements[1]", "91 00 04 ", ""},
        {"SKUNumber", "SKU 1", ""},
    };
    EXPECT_EQ(decodeStructure(enclosure(), kStrings), expected);
}

TEST(SystemEnclosure, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::uint8_t count;
        std::vector<std::string> tail;  // the last names
    };
    for (const Case& c : std::vector<Case>{
             {0x09, 2, {"SerialNumber", "AssetTag"}},        // the 2.0 layout
             {0x0D, 2, {"ThermalState", "SecurityStatus"}},  // the 2.1 layout
             {0x0E, 2, {"SecurityStatus", "OEMdefined"}},    // OEM value on its first byte
             {0x14, 2, {"NumberOfPowerCords", "ContainedElementCount"}},
             {0x15, 0, {"ContainedElementCount", "ContainedElementRecordLength"}},  // 2.3, n = 0
             {0x16, 0, {"ContainedElementRecordLength", "SKUNumber"}},
             {0x1B, 2, {"ContainedElements[0]", "ContainedElements[1]"}},  // no room for SKU
             {0x1C, 2, {"ContainedElements[1]", "SKUNumber"}},
         }) {
        auto bytes = enclosure();
        bytes[1] = c.length;
        bytes[0x13] = c.count;
        bytes.resize(c.length);
        const auto names = namesOf(decodeStructure(bytes, kStrings));
        ASSERT_GE(names.size(), 2U);
        EXPECT_EQ(std::vector<std::string>(names.end() - 2, names.end()), c.tail)
            << "Length 0x" << std::hex << int(c.length);
    }
}

TEST(SystemEnclosure, SkuNumberFollowsTheElements) {
    // n = 1, m = 4: the SKU string number sits at 0x19.
    auto bytes = enclosure();
    bytes[0x13] = 1, bytes[0x14] = 4;
    bytes[0x19] = 2;
    bytes.resize(0x1A);
    bytes[1] = 0x1A;
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "ContainedElements[0]"), "03 01 02 91 ");
    EXPECT_EQ(valueOf(fields, "SKUNumber"), "V2");
}

TEST(SystemEnclosure, ZeroLengthRecordsAreEmpty) {
    auto bytes = enclosure();
    bytes[0x13] = 3, bytes[0x14] = 0;
    bytes[0x15] = 5;  // the SKU right after the (empty) records
    bytes.resize(0x16);
    bytes[1] = 0x16;
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(namesOf(fields).size(), 18U);
    for (const char* name :
         {"ContainedElements[0]", "ContainedElements[1]", "ContainedElements[2]"})
        EXPECT_EQ(valueOf(fields, name), "") << name;
    EXPECT_EQ(valueOf(fields, "SKUNumber"), "SKU 1");
}

// Records end with the formatted area, whatever n and m say: the bytes after it are strings
// and other structures, not elements.
TEST(SystemEnclosure, ContainedElementsStopAtTheEndOfTheFormattedArea) {
    struct Case {
        std::uint8_t length;
        std::uint8_t count;
        std::uint8_t recordLength;
        std::size_t records;
    };
    for (const Case c :
         {Case{0x15, 2, 3, 0}, Case{0x17, 2, 3, 0}, Case{0x18, 2, 3, 1}, Case{0x1A, 2, 3, 1},
          Case{0x1B, 2, 3, 2}, Case{0x1C, 255, 3, 2}, Case{0x1C, 255, 255, 0}}) {
        auto bytes = enclosure();
        bytes[1] = c.length;
        bytes[0x13] = c.count;
        bytes[0x14] = c.recordLength;
        bytes.resize(c.length);
        auto table = structure(bytes, {"ABCDEFGH"});
        const auto next = structure({127, 4, 0xFF, 0xFF});
        table.insert(table.end(), next.begin(), next.end());
        const auto fields = decode(table, {"ABCDEFGH"});
        std::size_t records = 0;
        for (const auto& f : fields) records += f.name.starts_with("ContainedElements[");
        EXPECT_EQ(records, c.records) << "Length 0x" << std::hex << int(c.length) << " n "
                                      << std::dec << int(c.count) << " m " << int(c.recordLength);
        EXPECT_EQ(valueOf(fields, "SKUNumber"), "<absent>");
    }
}

TEST(SystemEnclosure, ChassisTypes) {
    struct Case {
        std::uint8_t code;
        const char* text;
    };
    for (const Case c : {Case{0x03, "Desktop"},
                         Case{0x83, "Desktop (chassis lock present)"},
                         Case{0x80, "Unknown (chassis lock present)"},
                         Case{0x00, "Unknown"},
                         Case{0x01, "Other"},
                         Case{0x02, "Unknown"},
                         Case{0x0A, "Notebook"},
                         Case{0x0F, "Space-saving"},
                         Case{0x13, "SubChassis"},
                         Case{0x18, "Sealed-case PC"},
                         Case{0x19, "Multi-system chassis"},
                         Case{0x20, "Detachable"},
                         Case{0xA0, "Detachable (chassis lock present)"},
                         Case{0x21, "IoT Gateway"},
                         Case{0x22, "Embedded PC"},
                         Case{0x23, "Mini PC"},
                         Case{0x24, "Stick PC"},
                         Case{0xA3, "Mini PC (chassis lock present)"},
                         Case{0x25, "Unknown"},
                         Case{0x7F, "Unknown"}}) {
        auto bytes = enclosure();
        bytes[0x05] = c.code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "ChassisType"), c.text)
            << "code 0x" << std::hex << int(c.code);
    }
}

TEST(SystemEnclosure, StatesAndSecurityStatus) {
    struct Case {
        std::uint8_t code;
        const char* state;
        const char* security;
    };
    for (const Case c :
         {Case{0x00, "Unknown", "Unknown"}, Case{0x01, "Other", "Other"},
          Case{0x02, "Unknown", "Unknown"}, Case{0x03, "Safe", "None"},
          Case{0x04, "Warning", "External interface locked out"},
          Case{0x05, "Critical", "External interface enabled"},
          Case{0x06, "Non-recoverable", "Unknown"}, Case{0x07, "Unknown", "Unknown"}}) {
        auto bytes = enclosure();
        bytes[0x09] = bytes[0x0A] = bytes[0x0B] = bytes[0x0C] = c.code;
        const auto fields = decodeStructure(bytes, kStrings);
        for (const char* field : {"BootupState", "PowerSupplyState", "ThermalState"})
            EXPECT_EQ(valueOf(fields, field), c.state) << field << " code " << int(c.code);
        EXPECT_EQ(valueOf(fields, "SecurityStatus"), c.security) << "code " << int(c.code);
    }
}

TEST(SystemEnclosure, OemValueHeightAndCords) {
    auto bytes = enclosure();
    bytes[0x0D] = 0, bytes[0x0E] = 0, bytes[0x0F] = 0, bytes[0x10] = 0;
    bytes[0x11] = 0;
    bytes[0x12] = 255;
    auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "OEMdefined"), "0x00000000");
    EXPECT_EQ(fields.at(10), (Field{"Height", "0", "x1,75\""}));
    EXPECT_EQ(valueOf(fields, "NumberOfPowerCords"), "255");

    bytes[0x0D] = 0x01, bytes[0x10] = 0xAB;
    EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "OEMdefined"), "0xAB000001");
}

TEST(SystemEnclosure, MissingStringsAreEmpty) {
    auto bytes = enclosure();
    bytes[0x04] = 0;
    bytes[0x1B] = 6;
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "Manufacturer"), "");
    EXPECT_EQ(valueOf(fields, "SKUNumber"), "");
}

}  // namespace
}  // namespace gravelin::testing
