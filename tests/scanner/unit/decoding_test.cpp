// The shared text forms of decoded values, the Length guard and string lookup.
#include <gtest/gtest.h>

#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

TEST(TextForms, DecimalAndHex) {
    EXPECT_EQ(decimal(0), "0");
    EXPECT_EQ(decimal(65535), "65535");
    EXPECT_EQ(signedDecimal32(0xFFFFFFFF), "-1");
    EXPECT_EQ(signedDecimal32(0x80000000), "-2147483648");
    EXPECT_EQ(hex(10, 2), "0x0A");
    EXPECT_EQ(hex(224, 4), "0x00E0");
    EXPECT_EQ(hex(0xFFFFFFFF, 8), "0xFFFFFFFF");
    EXPECT_EQ(hex(0x1234, 2), "0x1234") << "a value wider than its width keeps all digits";
    EXPECT_EQ(hex(0, 16), "0x0000000000000000");
}

TEST(TextForms, HexBytes) {
    const std::vector<std::uint8_t> bytes = {0x00, 0xFF};
    EXPECT_EQ(hexBytes(bytes), "00 FF ");
    const std::vector<std::uint8_t> three = {0x4C, 0x4C, 0x45};
    EXPECT_EQ("0x" + hexBytes(three), "0x4C 4C 45 ");
    EXPECT_EQ(hexBytes({}), "");
}

TEST(TextForms, FloatingUsesTheShortestFormAndTheLocaleSeparator) {
    struct Case {
        double value;
        const char* point;
        const char* comma;
    };
    for (const Case c : {Case{1.5, "1.5", "1,5"}, Case{100, "100", "100"}, Case{0, "0", "0"},
                         Case{-2.25, "-2.25", "-2,25"}, Case{0.1 + 0.2, "0.3", "0,3"},
                         Case{1.0 / 3, "0.333333333333333", "0,333333333333333"},
                         Case{0.00001, "0.00001", "0,00001"}, Case{0.000001, "1E-6", "1E-6"},
                         Case{123456789012345.0, "123456789012345", "123456789012345"},
                         Case{1e15, "1E15", "1E15"}, Case{2.5e-7, "2.5E-7", "2,5E-7"}}) {
        {
            DecimalSeparatorScope point(".");
            EXPECT_EQ(floating(c.value), c.point);
        }
        DecimalSeparatorScope comma(",");
        EXPECT_EQ(floating(c.value), c.comma);
    }
}

TEST(TextForms, BitListKeepsItsTrailingSeparator) {
    constexpr CodeText kBits[] = {{1, "Other, "}, {3, "Fast-paged, "}};
    EXPECT_EQ(bitList(kBits, 0x000A), "Other, Fast-paged, ");
    EXPECT_EQ(bitList(kBits, 0), "");
    EXPECT_EQ(bitList(kBits, 0x0005), "") << "unnamed bits add nothing";
}

TEST(TextForms, ValueTableDefaults) {
    constexpr CodeText kTable[] = {{1, "Other"}, {2, "Unknown"}, {3, "DRAM"}};
    EXPECT_EQ(lookupCode(kTable, 3), "DRAM");
    EXPECT_EQ(lookupCode(kTable, 9), "Unknown");
    EXPECT_EQ(lookupCode(kTable, 9, "Reserved"), "Reserved");
}

TEST(StringLookup, NumbersCountFromOne) {
    const StringList strings = {"A", "B"};
    EXPECT_EQ(lookupString(strings, 1), "A");
    EXPECT_EQ(lookupString(strings, 2), "B");
    EXPECT_EQ(lookupString(strings, 0), "");
    EXPECT_EQ(lookupString(strings, 3), "");
}

TEST(LengthGuard, AFailedGuardDropsEveryLaterField) {
    std::vector<std::uint8_t> bytes = {200, 0x08, 0, 0, 1, 2, 3, 4, 9, 9};
    std::vector<std::string> names;
    const FieldSink sink = [&](std::string_view n, std::string_view, std::string_view) {
        names.emplace_back(n);
    };
    const StructureView view(bytes);
    Fields f(view, {}, sink);
    f.byteDecimal("At4", 4);
    f.wordDecimal("At7", 7);  // Length 8 > 7: emitted, high byte from beyond the area
    f.byteDecimal("At8", 8);  // Length 8 is not > 8: stops here
    f.byteDecimal("At5", 5);  // would pass on its own, but the decoder has stopped
    EXPECT_EQ(names, (std::vector<std::string>{"At4", "At7"}));
    EXPECT_TRUE(f.stopped());
}

TEST(StructureView, ReadsPastTheTableEndGiveZero) {
    const std::vector<std::uint8_t> bytes = {17, 0x10, 0x34, 0x12, 0xAA};
    const StructureView view(bytes);
    EXPECT_EQ(view.handle(), 0x1234);
    EXPECT_EQ(view.u16(4), 0x00AA);
    EXPECT_EQ(view.u32(3), 0x0000AA12U);
    EXPECT_EQ(view.u64(100), 0U);
    EXPECT_EQ(view.bytes(3, 10).size(), 2U);
}

}  // namespace
}  // namespace gravelin::testing
