#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x1B) type 1 structure: strings 1-6, UUID 00 11 22 .. FF, power switch.
std::vector<std::uint8_t> fullSystem() {
    std::vector<std::uint8_t> bytes = {1, 0x1B, 0x01, 0x00, 1, 2, 3, 4};
    for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<std::uint8_t>(0x11 * i));
    bytes.insert(bytes.end(), {0x06, 5, 6});  // wake-up, SKU, family
    return bytes;
}

const std::initializer_list<std::string> kStrings = {"Maker", "Product", "Rev A",
                                                     "SN123", "SKU-9",   "Family X"};

TEST(System, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"Manufacturer", "Maker", ""},
        {"ProductName", "Product", ""},
        {"Version", "Rev A", ""},
        {"SerialNumber", "SN123", ""},
        {"UUID", "0x00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF ", ""},
        {"WakeupType", "Power Switch", ""},
        {"SKUNumber", "SKU-9", ""},
        {"Family", "Family X", ""},
    };
    EXPECT_EQ(decodeStructure(fullSystem(), kStrings), expected);
}

TEST(System, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
    };
    // 0x08: the 2.0 layout, no UUID; 0x09 to 0x18: UUID, its guard on the first byte only;
    // 0x19: the 2.1 layout; 0x1B: 2.4 and later.
    const auto allNames = namesOf(decodeStructure(fullSystem(), kStrings));
    for (const Case c : {Case{0x05, 1}, Case{0x08, 4}, Case{0x09, 5}, Case{0x10, 5}, Case{0x18, 5},
                         Case{0x19, 6}, Case{0x1A, 7}, Case{0x1B, 8}, Case{0x20, 8}}) {
        auto bytes = fullSystem();
        bytes[1] = c.length;
        bytes.resize(c.length, 0);
        EXPECT_EQ(namesOf(decodeStructure(bytes, kStrings)),
                  std::vector<std::string>(allNames.begin(), allNames.begin() + c.fieldCount))
            << "Length 0x" << std::hex << int(c.length);
    }
}

TEST(System, UuidCutByLengthTakesTheFollowingBytesAndZerosPastTheTable) {
    // Length 0x0A: bytes 0x08 and 0x09 are the UUID's, then the string area "AB\0\0", then
    // the end of the table: the rest reads as zero.
    auto bytes = fullSystem();
    bytes.resize(0x0A);
    bytes[1] = 0x0A;
    const auto fields = decode(structure(bytes, {"AB"}), {"AB"});
    EXPECT_EQ(valueOf(fields, "UUID"), "0x00 11 41 42 00 00 00 00 00 00 00 00 00 00 00 00 ");
    EXPECT_EQ(valueOf(fields, "WakeupType"), "<absent>");
}

TEST(System, WakeupTypes) {
    struct Case {
        std::uint8_t code;
        const char* text;
    };
    for (const Case c :
         {Case{0x00, "Reserved"}, Case{0x01, "Other"}, Case{0x02, "Unknown"},
          Case{0x03, "APM Timer"}, Case{0x04, "Modem Ring"}, Case{0x05, "LAN Remote"},
          Case{0x06, "Power Switch"}, Case{0x07, "PCI PME#"}, Case{0x08, "AC Power Restored"},
          Case{0x09, "Unknown"}, Case{0xFF, "Unknown"}}) {
        auto bytes = fullSystem();
        bytes[0x18] = c.code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "WakeupType"), c.text)
            << "code " << int(c.code);
    }
}

TEST(System, MissingStringsAreEmptyAndStillEmitted) {
    auto bytes = fullSystem();
    bytes[0x19] = 0;  // no SKU
    bytes[0x1A] = 7;  // beyond the six strings
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "SKUNumber"), "");
    EXPECT_EQ(valueOf(fields, "Family"), "");
    EXPECT_EQ(fields.size(), 8U);
}

}  // namespace
}  // namespace gravelin::testing
