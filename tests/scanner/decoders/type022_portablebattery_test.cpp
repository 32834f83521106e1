#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x1A) structure with strings 1-7.
std::vector<std::uint8_t> fullBattery() {
    return {22,   0x1A, 0x2C, 0x00,   // type, Length, handle
            1,    2,    0,    0,      // location, manufacturer, date (SBDS), serial (SBDS)
            3,                        // device name
            0x02,                     // chemistry: Unknown (the SBDS string gives it)
            0xC0, 0x12,               // design capacity 4800
            0x6C, 0x2B,               // design voltage 11116 mV
            4,                        // SBDS version
            0xFF,                     // maximum error unknown
            0x39, 0x30,               // SBDS serial 12345
            0x41, 0x28,               // SBDS date 0x2841
            5,                        // SBDS chemistry
            10,                       // capacity multiplier
            0x78, 0x56, 0x34, 0x12};  // OEM-specific
}

const std::initializer_list<std::string> kStrings = {"Front", "SANYO", "45N1011", "03.01", "LION"};

TEST(PortableBattery, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"Location", "Front", ""},           {"Manufacturer", "SANYO", ""},
        {"ManufactureDate", "", ""},         {"SerialNumber", "", ""},
        {"DeviceName", "45N1011", ""},       {"DeviceChemistry", "Unknown", ""},
        {"DesignCapacity", "48000 mWh", ""}, {"DesignVoltage", "11116", "mV"},
        {"SBDSVersionNumber", "03.01", ""},  {"MaximumError", "Unknown", ""},
        {"SBDSSerialNumber", "12345", ""},   {"SBDSManufacturingDate", "01.02.2000 (10305)", ""},
        {"SBDSDeviceChemistry", "LION", ""}, {"OEMSpecific", "0x12345678", ""},
    };
    EXPECT_EQ(decodeStructure(fullBattery(), kStrings), expected);
}

TEST(PortableBattery, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
        const char* lastField;
    };
    // 0x10: the SMBIOS 2.1 size; 0x1A: the whole layout.
    for (const Case c : {Case{0x05, 1, "Location"}, Case{0x0A, 6, "DeviceChemistry"},
                         Case{0x0B, 7, "DesignCapacity"}, Case{0x10, 10, "MaximumError"},
                         Case{0x12, 11, "SBDSSerialNumber"}, Case{0x16, 13, "SBDSDeviceChemistry"},
                         Case{0x17, 14, "OEMSpecific"}, Case{0x1A, 14, "OEMSpecific"}}) {
        auto bytes = fullBattery();
        bytes[1] = c.length;
        const auto fields = decodeStructure(bytes, kStrings);
        ASSERT_EQ(fields.size(), c.fieldCount) << "Length " << int(c.length);
        EXPECT_EQ(fields.back().name, c.lastField) << "Length " << int(c.length);
    }
    auto bytes = fullBattery();
    bytes[1] = 0x04;
    EXPECT_TRUE(decodeStructure(bytes, kStrings).empty());
}

TEST(PortableBattery, DesignCapacityUsesTheMultiplierOnlyWhenTheStructureHasIt) {
    struct Case {
        std::uint8_t length;
        std::uint16_t capacity;
        std::uint8_t multiplier;
        const char* text;
    };
    for (const Case c : {Case{0x1A, 4800, 10, "48000 mWh"}, Case{0x10, 4800, 10, "4800 mWh"},
                         Case{0x15, 4800, 10, "4800 mWh"}, Case{0x16, 4800, 10, "48000 mWh"},
                         Case{0x1A, 4800, 0, "0 mWh"}, Case{0x1A, 0, 10, "0 mWh"},
                         Case{0x1A, 65535, 255, "16711425 mWh"}}) {
        auto bytes = fullBattery();
        bytes[1] = c.length;
        bytes[0x0A] = static_cast<std::uint8_t>(c.capacity);
        bytes[0x0B] = static_cast<std::uint8_t>(c.capacity >> 8);
        bytes[0x15] = c.multiplier;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "DesignCapacity"), c.text)
            << "Length " << int(c.length) << ", capacity " << c.capacity;
    }
}

TEST(PortableBattery, ManufacturingDateTexts) {
    struct Case {
        std::uint16_t packed;
        const char* text;
    };
    // Day and month are printed as they are, out of range or not.
    for (const Case c : {Case{0x2841, "01.02.2000 (10305)"}, Case{0x0000, "Unknown"},
                         Case{0xFFFF, "31.15.2107 (65535)"}, Case{0x0001, "01.00.1980 (1)"},
                         Case{0x0020, "00.01.1980 (32)"}, Case{0x5D9F, "31.12.2026 (23967)"}}) {
        auto bytes = fullBattery();
        bytes[0x12] = static_cast<std::uint8_t>(c.packed);
        bytes[0x13] = static_cast<std::uint8_t>(c.packed >> 8);
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "SBDSManufacturingDate"), c.text)
            << std::hex << c.packed;
    }
}

TEST(PortableBattery, CodeTablesAndSentinels) {
    struct Case {
        std::size_t offset;
        std::uint8_t code;
        const char* field;
        const char* text;
    };
    for (const Case c :
         {Case{0x09, 0x00, "DeviceChemistry", "Unknown"},
          Case{0x09, 0x01, "DeviceChemistry", "Other"},
          Case{0x09, 0x03, "DeviceChemistry", "Lead Acid"},
          Case{0x09, 0x04, "DeviceChemistry", "Nickel CadmiumP"},
          Case{0x09, 0x05, "DeviceChemistry", "Nickel metal hydride"},
          Case{0x09, 0x06, "DeviceChemistry", "Lithium-ion"},
          Case{0x09, 0x07, "DeviceChemistry", "Zinc air"},
          Case{0x09, 0x08, "DeviceChemistry", "Lithium Polymer"},
          Case{0x09, 0x09, "DeviceChemistry", "Unknown"},
          Case{0x0F, 0xFF, "MaximumError", "Unknown"}, Case{0x0F, 5, "MaximumError", "5%"},
          Case{0x0F, 0, "MaximumError", "0%"}, Case{0x0F, 0xFE, "MaximumError", "254%"}}) {
        auto bytes = fullBattery();
        bytes[c.offset] = c.code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), c.field), c.text)
            << c.field << " code 0x" << std::hex << int(c.code);
    }
}

TEST(PortableBattery, MissingStringsAreEmpty) {
    auto bytes = fullBattery();
    bytes[0x04] = 6;  // beyond the five strings
    bytes[0x14] = 0;  // no SBDS chemistry
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "Location"), "");
    EXPECT_EQ(valueOf(fields, "SBDSDeviceChemistry"), "");
}

}  // namespace
}  // namespace gravelin::testing
