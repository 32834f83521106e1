#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x16) structure: a motherboard probe in OK state.
std::vector<std::uint8_t> fullProbe() {
    return {28,   0x16, 0x39, 0x00,  // type, Length, handle
            1,                       // description
            0x67,                    // motherboard, OK
            0xC7, 0x01,              // maximum 455 -> 45.5
            0xF6, 0xFF,              // minimum -10 -> -1
            0x01, 0x00,              // resolution 1 -> 0.001
            0x14, 0x00,              // tolerance 20 -> 2
            0x96, 0x00,              // accuracy 150 -> 1.5 %
            0xEF, 0xBE, 0xAD, 0xDE,  // OEM-defined
            0xC2, 0x01};             // nominal 450 -> 45
}

TEST(TemperatureProbe, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"Description", "CPU Thermal Probe", ""},
        {"LocationAndStatus", "Motherboard, OK", ""},
        {"MaximumValue", "45.5", "°C"},
        {"MinimumValue", "-1", "°C"},
        {"Resolution", "0.001", "°C"},
        {"Tolerance", "2", "°C"},
        {"Accuracy", "1.5", "%"},
        {"OEM-Defined", "0xDEADBEEF", ""},
        {"NominalValue", "45", "°C"},
    };
    EXPECT_EQ(decodeStructure(fullProbe(), {"CPU Thermal Probe"}), expected);
}

TEST(TemperatureProbe, TheDegreeSignIsUtf8) {
    const auto fields = decodeStructure(fullProbe(), {"CPU Thermal Probe"});
    EXPECT_EQ(fields.at(2).unit,
              "\xC2\xB0"
              "C");
}

TEST(TemperatureProbe, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
    };
    // 0x14: before the nominal value; 0x16: the whole layout.
    for (const Case c : {Case{0x04, 0}, Case{0x05, 1}, Case{0x06, 2}, Case{0x07, 3}, Case{0x0E, 6},
                         Case{0x10, 7}, Case{0x14, 8}, Case{0x15, 9}, Case{0x16, 9}}) {
        auto bytes = fullProbe();
        bytes[1] = c.length;
        EXPECT_EQ(decodeStructure(bytes, {"P"}).size(), c.fieldCount) << "Length " << int(c.length);
    }
}

TEST(TemperatureProbe, LocationAndStatusTexts) {
    struct Case {
        std::uint8_t value;
        const char* text;
    };
    // An unlisted location reads "Unknown"; status 0 and 7 add nothing.
    for (const Case c :
         {Case{0x67, "Motherboard, OK"}, Case{0x00, "Unknown, "}, Case{0x10, "Unknown, "},
          Case{0x1F, "Unknown, "}, Case{0xE7, "Motherboard, "}, Case{0x21, "Other, Other"},
          Case{0x42, "Unknown, Unknown"}, Case{0x83, "Processor, Non-critical"},
          Case{0xA4, "Disk, Critical"}, Case{0xC5, "Peripheral Bay, Non-recoverable"},
          Case{0x66, "System Management Module, OK"}, Case{0x68, "Memory Module, OK"},
          Case{0x69, "Processor Module, OK"}, Case{0x6A, "Power Unit, OK"},
          Case{0x6B, "Add-in Card, OK"}, Case{0x6C, "Front Panel Board, OK"},
          Case{0x6D, "Back Panel Board, OK"}, Case{0x6E, "Power System Board, OK"},
          Case{0x6F, "Drive Back Plane, OK"}}) {
        auto bytes = fullProbe();
        bytes[0x05] = c.value;
        EXPECT_EQ(valueOf(decodeStructure(bytes, {"P"}), "LocationAndStatus"), c.text)
            << "0x" << std::hex << int(c.value);
    }
}

TEST(TemperatureProbe, ScaledReadingsUnderBothDecimalSeparators) {
    struct Case {
        std::size_t offset;
        std::uint16_t raw;
        const char* field;
        const char* point;
        const char* comma;
    };
    for (const Case c : {
             Case{0x06, 455, "MaximumValue", "45.5", "45,5"},
             Case{0x06, 450, "MaximumValue", "45", "45"},
             Case{0x06, 0xFFF6, "MaximumValue", "-1", "-1"},
             Case{0x06, 0x8000, "MaximumValue", "Unknown", "Unknown"},
             Case{0x06, 0x8001, "MaximumValue", "-3276.7", "-3276,7"},
             Case{0x06, 0x7FFF, "MaximumValue", "3276.7", "3276,7"},
             Case{0x06, 0, "MaximumValue", "0", "0"},
             Case{0x06, 3, "MaximumValue", "0.3", "0,3"},
             Case{0x08, 0xFFFF, "MinimumValue", "-0.1", "-0,1"},
             Case{0x0A, 1, "Resolution", "0.001", "0,001"},
             Case{0x0A, 0x7FFF, "Resolution", "32.767", "32,767"},
             Case{0x0A, 0x8000, "Resolution", "Unknown", "Unknown"},
             Case{0x0C, 5, "Tolerance", "0.5", "0,5"},
             Case{0x0E, 150, "Accuracy", "1.5", "1,5"},
             Case{0x0E, 7, "Accuracy", "0.07", "0,07"},
             Case{0x0E, 0x8000, "Accuracy", "Unknown", "Unknown"},
             Case{0x14, 0x8000, "NominalValue", "Unknown", "Unknown"},
             Case{0x14, 251, "NominalValue", "25.1", "25,1"},
         }) {
        auto bytes = fullProbe();
        bytes[c.offset] = static_cast<std::uint8_t>(c.raw);
        bytes[c.offset + 1] = static_cast<std::uint8_t>(c.raw >> 8);
        for (const auto& [separator, text] : {std::pair{".", c.point}, std::pair{",", c.comma}}) {
            DecimalSeparatorScope scope(separator);
            const auto fields = decodeStructure(bytes, {"P"});
            EXPECT_EQ(valueOf(fields, c.field), text)
                << c.field << " 0x" << std::hex << c.raw << " separator " << separator;
        }
    }
}

TEST(TemperatureProbe, UnknownReadingsKeepTheirUnit) {
    auto bytes = fullProbe();
    for (std::size_t offset : {0x06, 0x08, 0x0A, 0x0C, 0x0E, 0x14}) {
        bytes[offset] = 0x00;
        bytes[offset + 1] = 0x80;
    }
    const auto fields = decodeStructure(bytes, {"P"});
    const std::vector<Field> expected = {
        {"MaximumValue", "Unknown", "°C"}, {"MinimumValue", "Unknown", "°C"},
        {"Resolution", "Unknown", "°C"},   {"Tolerance", "Unknown", "°C"},
        {"Accuracy", "Unknown", "%"},
    };
    EXPECT_EQ(std::vector<Field>(fields.begin() + 2, fields.begin() + 7), expected);
    EXPECT_EQ(fields.back(), (Field{"NominalValue", "Unknown", "°C"}));
}

TEST(TemperatureProbe, MissingDescriptionIsEmpty) {
    auto bytes = fullProbe();
    bytes[0x04] = 0;
    EXPECT_EQ(valueOf(decodeStructure(bytes, {"P"}), "Description"), "");
}

}  // namespace
}  // namespace gravelin::testing
