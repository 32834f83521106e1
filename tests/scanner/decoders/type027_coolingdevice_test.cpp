#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x0F) structure: a fan in OK state on probe 0x0039, 2400 rpm.
std::vector<std::uint8_t> fullCoolingDevice() {
    return {27,   0x0F, 0x3A, 0x00,  // type, Length, handle
            0x39, 0x00,              // temperature probe handle
            0x63,                    // fan, OK
            0x01,                    // cooling unit group
            0x00, 0x00, 0x00, 0x80,  // OEM-defined
            0x60, 0x09,              // nominal speed 2400
            1};                      // description
}

TEST(CoolingDevice, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"TemperatureProbeHandle", "57", ""}, {"DeviceTypeAndStatus", "Fan, OK", ""},
        {"CoolingUnitGroup", "1", ""},        {"OEMdefined", "0x80000000", ""},
        {"NominalSpeed", "2400 rpm", ""},     {"Description", "CPU Fan", ""},
    };
    EXPECT_EQ(decodeStructure(fullCoolingDevice(), {"CPU Fan"}), expected);
}

TEST(CoolingDevice, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
    };
    // 0x0C: before SMBIOS 2.7 (no speed, no description); 0x0F: the whole layout.
    for (const Case c : {Case{0x04, 0}, Case{0x05, 1}, Case{0x07, 2}, Case{0x08, 3}, Case{0x0C, 4},
                         Case{0x0D, 5}, Case{0x0E, 5}, Case{0x0F, 6}}) {
        auto bytes = fullCoolingDevice();
        bytes[1] = c.length;
        EXPECT_EQ(decodeStructure(bytes, {"CPU Fan"}).size(), c.fieldCount)
            << "Length " << int(c.length);
    }
}

TEST(CoolingDevice, TypeAndStatusTexts) {
    struct Case {
        std::uint8_t value;
        const char* text;
    };
    // An unlisted type leaves the first part empty; status 0 and 7 add nothing.
    for (const Case c :
         {Case{0x63, "Fan, OK"}, Case{0x03, "Fan, "}, Case{0xE3, "Fan, "}, Case{0x60, ", OK"},
          Case{0x00, ", "}, Case{0x21, "Other, Other"}, Case{0x42, "Unknown, Unknown"},
          Case{0x84, "Centrifugal Blower, Non-critical"}, Case{0xA5, "Chip Fan, Critical"},
          Case{0xC6, "Cabinet Fan, Non-recoverable"}, Case{0x67, "Power Supply Fan, OK"},
          Case{0x68, "Heat Pipe, OK"}, Case{0x69, "Integrated Refrigeration, OK"},
          Case{0x6A, ", OK"}, Case{0x6F, ", OK"}, Case{0x70, "Active Cooling, OK"},
          Case{0x71, "Passive Cooling, OK"}, Case{0x72, ", OK"}, Case{0x7F, ", OK"}}) {
        auto bytes = fullCoolingDevice();
        bytes[0x06] = c.value;
        EXPECT_EQ(valueOf(decodeStructure(bytes, {"CPU Fan"}), "DeviceTypeAndStatus"), c.text)
            << "0x" << std::hex << int(c.value);
    }
}

TEST(CoolingDevice, NominalSpeedTexts) {
    struct Case {
        std::uint16_t rpm;
        const char* text;
    };
    for (const Case c : {Case{0x8000, "Unknown / Not installed?"}, Case{2400, "2400 rpm"},
                         Case{0, "0 rpm"}, Case{0xFFFF, "65535 rpm"}, Case{0x8001, "32769 rpm"}}) {
        auto bytes = fullCoolingDevice();
        bytes[0x0C] = static_cast<std::uint8_t>(c.rpm);
        bytes[0x0D] = static_cast<std::uint8_t>(c.rpm >> 8);
        const auto fields = decodeStructure(bytes, {"CPU Fan"});
        EXPECT_EQ(fields.at(4), (Field{"NominalSpeed", c.text, ""})) << c.rpm;
    }
}

TEST(CoolingDevice, MissingDescriptionIsEmpty) {
    auto bytes = fullCoolingDevice();
    bytes[0x0E] = 2;
    EXPECT_EQ(valueOf(decodeStructure(bytes, {"CPU Fan"}), "Description"), "");
}

}  // namespace
}  // namespace gravelin::testing
