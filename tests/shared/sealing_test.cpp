// Sealing a report text: padding, ECB under the fixed key, upper-case hex; and unsealing,
// its inverse, which the receiving side runs.
#include <gtest/gtest.h>

#include <cctype>
#include <stdexcept>
#include <vector>

#include "scanner/core/Core.h"
#include "scanner/utils/Utils.h"
#include "shared/Blowfish.h"
#include "shared/Seal.h"

namespace gravelin {
namespace {

TEST(RoundUpToMultiple, Cases) {
    EXPECT_EQ(roundUpToMultiple(0, 8), 8);
    EXPECT_EQ(roundUpToMultiple(1, 8), 8);
    EXPECT_EQ(roundUpToMultiple(8, 8), 8);
    EXPECT_EQ(roundUpToMultiple(9, 8), 16);
    EXPECT_EQ(roundUpToMultiple(13, 8), 16);
    EXPECT_EQ(roundUpToMultiple(17, 16), 32);
}

TEST(Sealing, LengthIsTwiceThePaddedLength) {
    for (const auto& [n, hexLength] : std::vector<std::pair<std::size_t, std::size_t>>{
             {0, 16}, {1, 16}, {8, 16}, {13, 32}, {16, 32}, {17, 48}}) {
        EXPECT_EQ(sealReportText(std::string(n, 'x')).size(), hexLength) << n << " bytes";
    }
}

TEST(Sealing, IsZeroPaddedEcbUnderTheFixedKeyInUpperCaseHex) {
    const std::string text = "<HWInfo>abc";  // 11 bytes: one block and 3 bytes + 5 zeros
    BlowfishContext context;
    blowfishInit(context, kSealingKey.data(), 16, {});
    std::vector<std::uint8_t> block(16, 0);
    std::copy(text.begin(), text.end(), block.begin());
    blowfishEncrypt(context, block.data(), block.data(), 16, kBlowfishEcb);
    std::string expected;
    char digits[3];
    for (auto b : block) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        expected += digits;
    }
    EXPECT_EQ(sealReportText(text), expected);
}

TEST(Sealing, EqualBlocksGiveEqualGroupsAndOnlyHexDigits) {
    const std::string sealed = sealReportText("ABCDEFGHABCDEFGH");
    ASSERT_EQ(sealed.size(), 32U);
    EXPECT_EQ(sealed.substr(0, 16), sealed.substr(16, 16));
    EXPECT_EQ(sealed.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    // The empty text seals one all-zero block.
    EXPECT_EQ(sealReportText(""), sealReportText(std::string(8, '\0')));
}

TEST(Unsealing, GivesTheTextBackWithoutThePadding) {
    // Around the block edges, with text bytes of every value (a zero inside the text stays;
    // only the padding after the last non-zero byte goes).
    for (const std::size_t n : {1U, 7U, 8U, 9U, 15U, 16U, 17U, 255U, 256U, 1000U}) {
        std::string text(n, '\0');
        for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>((i * 37 + 1) % 256);
        if (text.back() == '\0') text.back() = 'z';
        EXPECT_EQ(unsealReportText(sealReportText(text)), text) << n << " bytes";
    }
    // Lower-case hex unseals the same.
    std::string lower = sealReportText("<HWInfo/>");
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(unsealReportText(lower), "<HWInfo/>");
    // The empty text was one block of zeros: it comes back empty.
    EXPECT_EQ(unsealReportText(sealReportText("")), "");
}

TEST(Unsealing, NamesWhatIsWrongWithTheHexText) {
    const std::string good = sealReportText("a report text");
    struct Case {
        std::string hex;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {"", "no sealed text"},
             {good.substr(0, 15), "odd number of hex digits (15)"},
             {good.substr(0, 14),
              "length 14 is not a multiple of 16 hex digits (whole 8-byte blocks)"},
             {"G" + good.substr(1), "not a hex digit at position 0"},
             {good.substr(0, 5) + "x" + good.substr(6), "not a hex digit at position 5"},
         }) {
        try {
            (void)unsealReportText(c.hex);
            ADD_FAILURE() << "accepted: " << c.hex;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.hex;
        }
    }
}

}  // namespace
}  // namespace gravelin
