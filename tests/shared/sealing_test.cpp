// Sealing a report text: padding, ECB under the fixed key, upper-case hex.
#include <gtest/gtest.h>

#include "scanner/core/Core.h"
#include "shared/Blowfish.h"
#include "scanner/utils/Utils.h"

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

}  // namespace
}  // namespace gravelin
