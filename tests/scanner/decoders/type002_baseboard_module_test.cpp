#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A type 2 structure with two contained handles (Length 0x13): strings 1-6.
std::vector<std::uint8_t> baseboard() {
    return {2,    0x13, 0x02, 0x00,  // type, Length, handle
            1,    2,    3,    4,     // manufacturer, product, version, serial
            5,                       // asset tag
            0x09,                    // hosting board, replaceable
            6,                       // location in chassis
            0x03, 0x00,              // chassis handle 3
            0x0A,                    // motherboard
            2,                       // two contained handles
            0x03, 0x00, 0x10, 0x00};
}

const std::initializer_list<std::string> kStrings = {"Board Maker", "B-100", "1.0",
                                                     "BSN42",       "Tag",   "Slot 0"};

TEST(Baseboard, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"Manufacturer", "Board Maker", ""},
        {"ProductName", "B-100", ""},
        {"Version", "1.0", ""},
        {"SerialNumber", "BSN42", ""},
        {"AssetTag", "Tag", ""},
        {"FeatureFlags", "Hosting board, replaceable, ", ""},
        {"LocationInChassis", "Slot 0", ""},
        {"ChassisHandle", "3", ""},
        {"BoardType", "Motherboard (includes processor, memory, and I/O)", ""},
        {"NoOfContainedObjectHandles", "2", ""},
        {"ContainedObjectHandle[0]", "3", ""},
        {"ContainedObjectHandle[1]", "16", ""},
    };
    EXPECT_EQ(decodeStructure(baseboard(), kStrings), expected);
}

TEST(Baseboard, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::uint8_t count;
        std::vector<std::string> tail;  // the last names
    };
    for (const Case& c : std::vector<Case>{
             {0x08, 2, {"Version", "SerialNumber"}},             // the oldest layout
             {0x0C, 2, {"LocationInChassis", "ChassisHandle"}},  // handle guarded on 0x0B
             {0x0E, 2, {"ChassisHandle", "BoardType"}},
             {0x0F, 0, {"BoardType", "NoOfContainedObjectHandles"}},
             {0x13, 2, {"ContainedObjectHandle[0]", "ContainedObjectHandle[1]"}},
         }) {
        auto bytes = baseboard();
        bytes[1] = c.length;
        bytes[0x0E] = c.count;
        bytes.resize(c.length);
        const auto names = namesOf(decodeStructure(bytes, kStrings));
        ASSERT_GE(names.size(), 2U);
        EXPECT_EQ(std::vector<std::string>(names.end() - 2, names.end()), c.tail)
            << "Length 0x" << std::hex << int(c.length);
    }
}

TEST(Baseboard, ChassisHandleCutByLengthTakesItsHighByteFromTheStrings) {
    auto bytes = baseboard();
    bytes.resize(0x0C);
    bytes[1] = 0x0C;
    bytes[0x0B] = 0x01;
    const auto fields = decode(structure(bytes, {"A"}), {"A"});
    EXPECT_EQ(valueOf(fields, "ChassisHandle"), std::to_string(0x4101));
    EXPECT_EQ(valueOf(fields, "BoardType"), "<absent>");
}

// The handle list stops at the end of the formatted area, whatever the count says: the
// bytes after it are strings and other structures, not handles.
TEST(Baseboard, ContainedHandlesStopAtTheEndOfTheFormattedArea) {
    struct Case {
        std::uint8_t length;
        std::uint8_t count;
        std::size_t handles;
    };
    for (const Case c : {Case{0x0F, 3, 0}, Case{0x10, 1, 0}, Case{0x11, 1, 1}, Case{0x12, 2, 1},
                         Case{0x13, 255, 2}, Case{0x13, 1, 1}}) {
        auto bytes = baseboard();
        bytes[1] = c.length;
        bytes[0x0E] = c.count;
        bytes.resize(c.length);
        // Another structure follows inside the table, as in a real walk.
        auto table = structure(bytes, {"ABCDEFGH"});
        const auto next = structure({127, 4, 0xFF, 0xFF});
        table.insert(table.end(), next.begin(), next.end());
        const auto fields = decode(table, {"ABCDEFGH"});
        EXPECT_EQ(valueOf(fields, "NoOfContainedObjectHandles"), std::to_string(c.count));
        std::size_t handles = 0;
        for (const auto& f : fields) handles += f.name.starts_with("ContainedObjectHandle[");
        EXPECT_EQ(handles, c.handles)
            << "Length 0x" << std::hex << int(c.length) << " n " << std::dec << int(c.count);
    }
}

TEST(Baseboard, FeatureFlagsBoardTypesAndHandles) {
    struct Case {
        std::size_t offset;
        std::uint8_t value;
        const char* field;
        const char* text;
    };
    for (const Case c : {
             Case{0x09, 0x09, "FeatureFlags", "Hosting board, replaceable, "},
             Case{0x09, 0x00, "FeatureFlags", ""},
             Case{0x09, 0xE0, "FeatureFlags", ""},
             Case{0x09, 0x1F, "FeatureFlags",
                  "Hosting board, Daugther or aux board required, removable, replaceable, hot "
                  "swappable, "},
             Case{0x0D, 0x00, "BoardType", "Unknown"},
             Case{0x0D, 0x01, "BoardType", "Unknown"},
             Case{0x0D, 0x02, "BoardType", "Other"},
             Case{0x0D, 0x07, "BoardType", "I/O Module"},
             Case{0x0D, 0x0C, "BoardType", "Processor/IO Module"},
             Case{0x0D, 0x0D, "BoardType", "Interconnect board"},
             Case{0x0D, 0x0E, "BoardType", "Unknown"},
             Case{0x0C, 0xFF, "ChassisHandle", "65283"},
         }) {
        auto bytes = baseboard();
        bytes[c.offset] = c.value;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), c.field), c.text)
            << c.field << " 0x" << std::hex << int(c.value);
    }
    auto bytes = baseboard();
    bytes[0x0B] = bytes[0x0C] = 0xFF;
    EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "ChassisHandle"), "65535");
}

TEST(Baseboard, MissingStringsAreEmpty) {
    auto bytes = baseboard();
    bytes[0x08] = 0;
    bytes[0x0A] = 7;
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "AssetTag"), "");
    EXPECT_EQ(valueOf(fields, "LocationInChassis"), "");
}

}  // namespace
}  // namespace gravelin::testing
