#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x10) structure: thresholds 300, 455, none, 0xFFFF, 0, 1.
std::vector<std::uint8_t> fullThresholds() {
    return {36,   0x10, 0x28, 0x00,  // type, Length, handle
            0x2C, 0x01,              // lower non-critical 300
            0xC7, 0x01,              // upper non-critical 455
            0x00, 0x80,              // lower critical: none
            0xFF, 0xFF,              // upper critical 65535
            0x00, 0x00,              // lower non-recoverable 0
            0x01, 0x00};             // upper non-recoverable 1
}

TEST(ManagementDeviceThresholdData, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"LowerNonCritical", "300mV or 300mA or 30°C or 300rpm", ""},
        {"UpperNonCritical", "455mV or 455mA or 45.5°C or 455rpm", ""},
        {"LowerCritical", "N/A", ""},
        {"UpperCritical", "65535mV or 65535mA or 6553.5°C or 65535rpm", ""},
        {"LowerNonRecoverable", "0mV or 0mA or 0°C or 0rpm", ""},
        {"UpperNonRecoverable", "1mV or 1mA or 0.1°C or 1rpm", ""},
    };
    EXPECT_EQ(decodeStructure(fullThresholds()), expected);
}

TEST(ManagementDeviceThresholdData, TheDegreePlaceUsesTheDecimalSeparator) {
    DecimalSeparatorScope scope(",");
    const auto fields = decodeStructure(fullThresholds());
    EXPECT_EQ(valueOf(fields, "LowerNonCritical"), "300mV or 300mA or 30°C or 300rpm");
    EXPECT_EQ(valueOf(fields, "UpperNonCritical"), "455mV or 455mA or 45,5°C or 455rpm");
    EXPECT_EQ(valueOf(fields, "UpperCritical"), "65535mV or 65535mA or 6553,5°C or 65535rpm");
    EXPECT_EQ(valueOf(fields, "UpperNonRecoverable"), "1mV or 1mA or 0,1°C or 1rpm");
}

TEST(ManagementDeviceThresholdData, LengthCutsTheFieldList) {
    // Each threshold needs Length past its first byte; 0x0E leaves out the last one.
    for (const auto& [length, count] : std::vector<std::pair<std::uint8_t, std::size_t>>{
             {0x04, 0}, {0x05, 1}, {0x06, 1}, {0x07, 2}, {0x0E, 5}, {0x0F, 6}, {0x10, 6}}) {
        auto bytes = fullThresholds();
        bytes[1] = length;
        EXPECT_EQ(decodeStructure(bytes).size(), count) << "Length " << int(length);
    }
}

}  // namespace
}  // namespace gravelin::testing
