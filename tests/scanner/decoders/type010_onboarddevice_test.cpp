#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// Two entries: an enabled video device (string 1) and a disabled Ethernet one (string 2).
std::vector<std::uint8_t> twoDevices() {
    return {10, 0x08, 0x20, 0x00, 0x83, 0x01, 0x05, 0x02};
}

const std::initializer_list<std::string> kStrings = {"Onboard VGA", "Onboard LAN"};

TEST(OnBoardDevice, EachEntryGivesItsTypeThenItsDescription) {
    const std::vector<Field> expected = {
        {"DeviceType[0]", "Video (Enabled)", ""},
        {"DescriptionString[0]", "Onboard VGA", ""},
        {"DeviceType[1]", "Ethernet (Disabled)", ""},
        {"DescriptionString[1]", "Onboard LAN", ""},
    };
    EXPECT_EQ(decodeStructure(twoDevices(), kStrings), expected);
}

TEST(OnBoardDevice, LengthSetsTheNumberOfEntries) {
    struct Case {
        std::uint8_t length;
        std::size_t entries;
    };
    // (Length - 4) / 2, truncated: an odd trailing byte is ignored, below 6 nothing.
    for (const Case c : {Case{0, 0}, Case{3, 0}, Case{4, 0}, Case{5, 0}, Case{6, 1}, Case{7, 1},
                         Case{8, 2}, Case{9, 2}}) {
        auto bytes = twoDevices();
        bytes[1] = c.length;
        bytes.push_back(0x87);  // a ninth formatted byte for Length 9
        const auto fields = decodeStructure(bytes, kStrings);
        ASSERT_EQ(fields.size(), 2 * c.entries) << "Length " << int(c.length);
        if (c.entries > 0) {
            EXPECT_EQ(fields.back().name,
                      "DescriptionString[" + std::to_string(c.entries - 1) + "]");
        }
    }
}

TEST(OnBoardDevice, IndexesGoOnPastNine) {
    std::vector<std::uint8_t> bytes = {10, 4 + 2 * 12, 0x20, 0x00};
    for (int i = 0; i < 12; ++i) bytes.insert(bytes.end(), {0x87, 1});
    const auto fields = decodeStructure(bytes, {"HDA"});
    ASSERT_EQ(fields.size(), 24U);
    EXPECT_EQ(fields[22], (Field{"DeviceType[11]", "Sound (Enabled)", ""}));
    EXPECT_EQ(fields[23], (Field{"DescriptionString[11]", "HDA", ""}));
}

TEST(OnBoardDevice, EntriesBeyondTheEndOfTheTableAreNotReported) {
    // The last structure claims six entries but the table ends after its second one: the
    // list stops there instead of reporting entries made of nothing.
    std::vector<std::uint8_t> bytes = twoDevices();
    bytes[1] = 4 + 2 * 6;
    auto fields = decode(bytes, StringList(kStrings));
    EXPECT_EQ(namesOf(fields), (std::vector<std::string>{"DeviceType[0]", "DescriptionString[0]",
                                                         "DeviceType[1]", "DescriptionString[1]"}));
    // Half an entry at the end of the table is not an entry either.
    bytes.push_back(0x83);
    fields = decode(bytes, StringList(kStrings));
    EXPECT_EQ(fields.size(), 4U);
}

TEST(OnBoardDevice, DeviceTypeTexts) {
    struct Case {
        std::uint8_t code;
        const char* text;
    };
    for (const Case c :
         {Case{0x80, "Unknown (Enabled)"}, Case{0x00, "Unknown (Disabled)"},
          Case{0x81, "Other (Enabled)"}, Case{0x02, "Unknown (Disabled)"},
          Case{0x04, "SCSI Controller (Disabled)"}, Case{0x86, "Token Ring (Enabled)"},
          Case{0x88, "PATA Controller (Enabled)"}, Case{0x09, "SATA Controller (Disabled)"},
          Case{0x8A, "SAS Controller (Enabled)"},
          // Codes the standard added after the first table (Wireless LAN .. UFS Controller);
          // 0x11 and above are still unassigned.
          Case{0x8B, "Wireless LAN (Enabled)"}, Case{0x0B, "Wireless LAN (Disabled)"},
          Case{0x0C, "Bluetooth (Disabled)"}, Case{0x8D, "WWAN (Enabled)"},
          Case{0x8E, "eMMC (Enabled)"}, Case{0x8F, "NVMe Controller (Enabled)"},
          Case{0x10, "UFS Controller (Disabled)"}, Case{0x91, "Unknown (Enabled)"},
          Case{0xFF, "Unknown (Enabled)"}, Case{0x7F, "Unknown (Disabled)"}}) {
        auto bytes = twoDevices();
        bytes[4] = c.code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "DeviceType[0]"), c.text)
            << "code 0x" << std::hex << int(c.code);
    }
}

TEST(OnBoardDevice, MissingDescriptionsAreEmpty) {
    auto bytes = twoDevices();
    bytes[5] = 0;  // no string
    bytes[7] = 3;  // beyond the two strings
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "DescriptionString[0]"), "");
    EXPECT_EQ(valueOf(fields, "DescriptionString[1]"), "");
}

}  // namespace
}  // namespace gravelin::testing
