#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x0B) structure: device 0x0026 watches component 0x0400 with thresholds
// in 0xFFFF (none).
std::vector<std::uint8_t> fullComponent() {
    return {35,   0x0B, 0x27, 0x00,  // type, Length, handle
            1,                       // description
            0x26, 0x00,              // management device handle
            0x00, 0x04,              // component handle
            0xFF, 0xFF};             // threshold handle
}

TEST(ManagementDeviceComponent, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"Description", "CPU Temp", ""},
        {"ManagementDeviceHandle", "38", ""},
        {"ComponentHandle", "1024", ""},
        {"ThresholdHandle", "65535", ""},
    };
    EXPECT_EQ(decodeStructure(fullComponent(), {"CPU Temp"}), expected);
}

TEST(ManagementDeviceComponent, LengthCutsTheFieldList) {
    // 0x09: the threshold handle is optional in the layout; Length 0x0A takes its high byte
    // from what follows the formatted area.
    for (const auto& [length, count] :
         std::vector<std::pair<std::uint8_t, std::size_t>>{{0x04, 0},
                                                           {0x05, 1},
                                                           {0x06, 2},
                                                           {0x07, 2},
                                                           {0x08, 3},
                                                           {0x09, 3},
                                                           {0x0A, 4},
                                                           {0x0B, 4}}) {
        auto bytes = fullComponent();
        bytes[1] = length;
        EXPECT_EQ(decodeStructure(bytes, {"CPU Temp"}).size(), count) << "Length " << int(length);
    }
}

TEST(ManagementDeviceComponent, MissingDescriptionIsEmpty) {
    auto bytes = fullComponent();
    bytes[0x04] = 2;
    EXPECT_EQ(valueOf(decodeStructure(bytes, {"CPU Temp"}), "Description"), "");
}

}  // namespace
}  // namespace gravelin::testing
