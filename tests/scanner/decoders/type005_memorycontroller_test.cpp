#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A type 5 structure with two module handles and the enabled-ECC byte: Length 0x14.
std::vector<std::uint8_t> fullMemoryController() {
    return {5,    0x14, 0x05, 0x00,  // type, Length, handle
            0x06,                    // 64-bit ECC
            0x04,                    // error correcting: None
            0x03,                    // supported interleave: one-way
            0x04,                    // current interleave: two-way
            0x0A,                    // maximum module size 2^10 MB
            0x0C, 0x00,              // supported speeds: 70ns, 60ns
            0x14, 0x01,              // memory types: Standard, EDO, DIMM
            0x02,                    // voltage: 3.3V
            0x02,                    // two associated slots
            0x06, 0x00, 0x07, 0x01,  // handles 6 and 0x0107
            0x08};                   // enabled: Single-Bit Error Correcting
}

TEST(MemoryController, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"ErrorDetectingMethod", "64-bit ECC", ""},
        {"ErrorCorrectingCapability", "None, ", ""},
        {"SupportedInterleave", "One-Way Interleave", ""},
        {"CurrentInterleave", "Two-Way Interleave", ""},
        {"MaximumMemoryModuleSize", "1024", "MB"},
        {"SupportedSpeeds", "70ns, 60ns, ", ""},
        {"SupportedMemoryTypes", "Standard, EDO, DIMM, ", ""},
        {"MemoryModuleVoltage", "3.3V, ", ""},
        {"NumberOfAssociatedMemorySlots", "2", ""},
        {"MemoryModuleConfigurationHandle[0]", "6", ""},
        {"MemoryModuleConfigurationHandle[1]", "263", ""},
        {"EnabledErrorCorrectingCapabilities", "Single-Bit Error Correcting, ", ""},
    };
    EXPECT_EQ(decodeStructure(fullMemoryController()), expected);
}

TEST(MemoryController, LengthAndCountCutTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::uint8_t count;
        std::vector<std::string> tail;  // the last names emitted
        std::size_t fieldCount;
    };
    const std::vector<Case> cases = {
        {0x04, 2, {}, 0},
        {0x05, 2, {"ErrorDetectingMethod"}, 1},
        {0x09, 2, {"MaximumMemoryModuleSize"}, 5},
        {0x0E, 2, {"MemoryModuleVoltage"}, 8},
        // No handles, and the enabled-ECC byte would be at 0x0F: not inside Length 0x0F.
        {0x0F, 0, {"NumberOfAssociatedMemorySlots"}, 9},
        {0x10, 0, {"NumberOfAssociatedMemorySlots", "EnabledErrorCorrectingCapabilities"}, 10},
        // Both handles, no enabled-ECC byte.
        {0x13,
         2,
         {"NumberOfAssociatedMemorySlots", "MemoryModuleConfigurationHandle[0]",
          "MemoryModuleConfigurationHandle[1]"},
         11},
        {0x14, 2, {"MemoryModuleConfigurationHandle[1]", "EnabledErrorCorrectingCapabilities"}, 12},
    };
    for (const auto& c : cases) {
        auto bytes = fullMemoryController();
        bytes[1] = c.length;
        bytes[0x0E] = c.count;
        bytes.resize(std::max<std::size_t>(c.length, 0x0F), 0);
        const auto names = namesOf(decodeStructure(bytes, {"A"}));
        ASSERT_EQ(names.size(), c.fieldCount) << "Length " << int(c.length);
        const std::vector<std::string> tail(names.end() - static_cast<long>(c.tail.size()),
                                            names.end());
        EXPECT_EQ(tail, c.tail) << "Length " << int(c.length);
    }
}

TEST(MemoryController, HandlesOfAStructureEndingInsideItsListComeFromItsOwnStringArea) {
    // Length 0x10 ends after the first handle's low byte; the string area "AB" supplies the
    // rest: handle 0 = 0x4106 ('A' as high byte), handle 1 = 'B' + 0 << 8.
    auto bytes = fullMemoryController();
    bytes.resize(0x10);
    bytes[1] = 0x10;
    const auto fields = decodeStructure(bytes, {"AB"});
    EXPECT_EQ(valueOf(fields, "MemoryModuleConfigurationHandle[0]"), std::to_string(0x4106));
    EXPECT_EQ(valueOf(fields, "MemoryModuleConfigurationHandle[1]"), std::to_string('B'));
    EXPECT_EQ(valueOf(fields, "EnabledErrorCorrectingCapabilities"), "<absent>");
}

TEST(MemoryController, HandleListStopsAtTheStructuresEnd) {
    // A count of 255 in a structure holding two handles, followed by another structure:
    // the list stops where this structure's string area ends and never turns the next
    // structure's bytes into handles.
    auto controller = fullMemoryController();
    controller[0x0E] = 255;
    auto bytes = structure(controller);  // string area: two zero bytes
    const auto next =
        structure({6, 0x0C, 0x06, 0x00, 1, 0x01, 60, 0x10, 0x00, 0x0A, 0x0A, 0}, {"DIMM0"});
    bytes.insert(bytes.end(), next.begin(), next.end());
    const auto fields = decode(bytes);
    std::vector<std::string> handles;
    for (const auto& f : fields) {
        if (f.name.starts_with("MemoryModuleConfigurationHandle[")) handles.push_back(f.value);
    }
    // 0x0F..0x12 are the two handles, 0x13 the byte that would be the enabled-ECC byte for a
    // count of two, 0x14-0x15 the string area's two zero bytes.
    EXPECT_EQ(handles, (std::vector<std::string>{"6", "263", "8"}));
    EXPECT_EQ(valueOf(fields, "NumberOfAssociatedMemorySlots"), "255");
    EXPECT_EQ(valueOf(fields, "EnabledErrorCorrectingCapabilities"), "<absent>");
}

TEST(MemoryController, HandleListStopsAtTheTableEnd) {
    // The structure is the last thing in the table and its string area never ends: nothing
    // past the table is read and no handle is made up from missing bytes.
    auto bytes = fullMemoryController();
    bytes[0x0E] = 200;
    bytes.resize(0x12);  // the table ends after the first handle and one more byte
    const auto fields = decode(bytes);
    EXPECT_EQ(valueOf(fields, "MemoryModuleConfigurationHandle[0]"), "6");
    EXPECT_EQ(valueOf(fields, "MemoryModuleConfigurationHandle[1]"), "<absent>");
}

TEST(MemoryController, MaximumModuleSizeIsTwoToThePowerNInThirtyTwoBits) {
    for (const auto& [n, text] :
         std::vector<std::pair<std::uint8_t, std::string>>{{0, "1"},
                                                           {10, "1024"},
                                                           {0x0B, "2048"},
                                                           {31, "-2147483648"},
                                                           {32, "1"},
                                                           {33, "2"},
                                                           {255, "-2147483648"}}) {
        auto bytes = fullMemoryController();
        bytes[0x08] = n;
        const auto fields = decodeStructure(bytes);
        EXPECT_EQ(valueOf(fields, "MaximumMemoryModuleSize"), text) << "n = " << int(n);
        EXPECT_EQ(fields[4].unit, "MB");
    }
}

TEST(MemoryController, CodeTablesAndDefaults) {
    struct Case {
        std::size_t offset;
        std::uint8_t code;
        const char* field;
        const char* text;
    };
    for (const Case c : {
             Case{0x04, 0x01, "ErrorDetectingMethod", "Other"},
             Case{0x04, 0x02, "ErrorDetectingMethod", "Unknown"},
             Case{0x04, 0x03, "ErrorDetectingMethod", "None"},
             Case{0x04, 0x04, "ErrorDetectingMethod", "8-bit Parity"},
             Case{0x04, 0x05, "ErrorDetectingMethod", "32-bit ECC"},
             Case{0x04, 0x07, "ErrorDetectingMethod", "128-bit ECC"},
             Case{0x04, 0x08, "ErrorDetectingMethod", "CRC"},
             Case{0x04, 0x00, "ErrorDetectingMethod", "Unknown"},
             Case{0x04, 0x09, "ErrorDetectingMethod", "Unknown"},
             Case{0x06, 0x01, "SupportedInterleave", "Other"},
             Case{0x06, 0x05, "SupportedInterleave", "Four-Way Interleave"},
             Case{0x06, 0x06, "SupportedInterleave", "Eight-Way Interleave"},
             Case{0x07, 0x07, "CurrentInterleave", "Sixteen-Way Interleave"},
             Case{0x07, 0x02, "CurrentInterleave", "Unknown"},
             Case{0x07, 0x00, "CurrentInterleave", "Unknown"},
             Case{0x07, 0x08, "CurrentInterleave", "Unknown"},
         }) {
        auto bytes = fullMemoryController();
        bytes[c.offset] = c.code;
        EXPECT_EQ(valueOf(decodeStructure(bytes), c.field), c.text)
            << c.field << " code 0x" << std::hex << int(c.code);
    }
}

TEST(MemoryController, BitLists) {
    struct Case {
        std::size_t offset;
        std::uint16_t flags;
        const char* field;
        const char* text;
    };
    for (const Case c : {
             Case{0x05, 0x0C, "ErrorCorrectingCapability", "None, Single-Bit Error Correcting, "},
             Case{0x05, 0x3F, "ErrorCorrectingCapability",
                  "Other, Unknown, None, Single-Bit Error Correcting, "
                  "Double-Bit Error Correcting, Error Scrubbing, "},
             Case{0x05, 0x40, "ErrorCorrectingCapability", ""},
             Case{0x13, 0x30, "EnabledErrorCorrectingCapabilities",
                  "Double-Bit Error Correcting, Error Scrubbing, "},
             Case{0x13, 0x00, "EnabledErrorCorrectingCapabilities", ""},
             Case{0x09, 0x001F, "SupportedSpeeds", "Other, Unknown, 70ns, 60ns, 50ns, "},
             Case{0x09, 0xFFE0, "SupportedSpeeds", ""},
             Case{0x0B, 0x0180, "SupportedMemoryTypes", "SIMM, DIMM, "},
             Case{0x0B, 0x0603, "SupportedMemoryTypes", "Other, Unknown, Burst EDO, SDRAM, "},
             Case{0x0B, 0xF868, "SupportedMemoryTypes", "Fast Page Mode, Parity, ECC, "},
             Case{0x0B, 0x0000, "SupportedMemoryTypes", ""},
             Case{0x0D, 0x03, "MemoryModuleVoltage", "5V, 3.3V, "},
             Case{0x0D, 0x04, "MemoryModuleVoltage", "2.9V, "},
             Case{0x0D, 0xF8, "MemoryModuleVoltage", ""},
         }) {
        auto bytes = fullMemoryController();
        bytes[c.offset] = static_cast<std::uint8_t>(c.flags);
        if (c.offset == 0x09 || c.offset == 0x0B)
            bytes[c.offset + 1] = static_cast<std::uint8_t>(c.flags >> 8);
        EXPECT_EQ(valueOf(decodeStructure(bytes), c.field), c.text)
            << c.field << " flags 0x" << std::hex << c.flags;
    }
}

}  // namespace
}  // namespace gravelin::testing
