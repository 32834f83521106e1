// The cipher against the published Blowfish test vectors (Eric Young's set), and the
// contract of its three modes.
#include "shared/Blowfish.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace gravelin {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view hexText) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hexText.size(); i += 2)
        bytes.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(hexText.substr(i, 2)), nullptr, 16)));
    return bytes;
}

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (auto b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

std::string encrypt(std::string_view keyHex, std::string_view plainHex, std::int32_t mode,
                    std::array<std::uint8_t, 8> iv = {}) {
    const auto key = bytesOf(keyHex);
    BlowfishContext context;
    blowfishInit(context, key.data(), static_cast<std::uint32_t>(key.size()), iv);
    auto data = bytesOf(plainHex);
    std::vector<std::uint8_t> out(data.size());
    blowfishEncrypt(context, data.data(), out.data(), static_cast<std::uint32_t>(data.size()),
                    mode);
    return hexOf(out);
}

struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Eric Young's ECB vectors (key, clear, cipher).
constexpr Vector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(Blowfish, EcbVectors) {
    for (const auto& v : kEcbVectors) {
        EXPECT_EQ(encrypt(v.key, v.plain, kBlowfishEcb), v.cipher) << "key " << v.key;
    }
}

// Key set-up with 1 to 24 bytes of F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677, each
// encrypting FEDCBA9876543210: keys shorter than a word wrap around inside the word.
TEST(Blowfish, KeyLengthVectors) {
    constexpr const char* kKey = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
    constexpr const char* kCiphers[] = {
        "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
        "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
        "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
        "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
        "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
        "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080"};
    for (std::size_t n = 1; n <= 24; ++n) {
        EXPECT_EQ(encrypt(std::string_view(kKey, 2 * n), "FEDCBA9876543210", kBlowfishEcb),
                  kCiphers[n - 1])
            << n << "-byte key";
    }
}

// "7654321 Now is the time for " with its terminating zero, padded to whole blocks.
constexpr const char* kChainKey = "0123456789ABCDEFF0E1D2C3B4A59687";
constexpr std::array<std::uint8_t, 8> kChainIv = {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
constexpr const char* kChainPlain =
    "37363534333231204E6F77206973207468652074696D6520666F722000000000";

TEST(Blowfish, CbcVector) {
    EXPECT_EQ(encrypt(kChainKey, kChainPlain, kBlowfishCbc, kChainIv),
              "6B77B4D63006DEE605B156E27403979358DEB9E7154616D959F1652BD5FF92CC");
}

TEST(Blowfish, Cfb64Vector) {
    // The published ciphertext covers the 29 message bytes; the padding's 3 bytes are ours.
    EXPECT_EQ(encrypt(kChainKey, kChainPlain, kBlowfishCfb, kChainIv).substr(0, 58),
              "E73214A2822139CAF26ECF6D2EB9E76E3DA3DE04D1517200519D57A6C3");
}

TEST(Blowfish, EveryOtherModeIsEcb) {
    const auto ecb = encrypt(kChainKey, kChainPlain, kBlowfishEcb);
    EXPECT_EQ(encrypt(kChainKey, kChainPlain, 3), ecb);
    EXPECT_EQ(encrypt(kChainKey, kChainPlain, -1), ecb);
}

TEST(Blowfish, ChainedModesFromAZeroVectorAgreeWithEcbOnTheFirstBlock) {
    const std::string block = "0123456789ABCDEF";
    const auto ecb = encrypt(kChainKey, block, kBlowfishEcb);
    EXPECT_EQ(encrypt(kChainKey, block, kBlowfishCbc), ecb);
    // CFB: plaintext XOR the encryption of the zero block.
    const auto keystream = bytesOf(encrypt(kChainKey, "0000000000000000", kBlowfishEcb));
    auto expected = bytesOf(block);
    for (std::size_t i = 0; i < 8; ++i) expected[i] ^= keystream[i];
    EXPECT_EQ(encrypt(kChainKey, block, kBlowfishCfb), hexOf(expected));
}

TEST(Blowfish, EveryCallStartsFromTheChainingVector) {
    const auto key = bytesOf(kChainKey);
    BlowfishContext context;
    blowfishInit(context, key.data(), 16, kChainIv);
    auto data = bytesOf(kChainPlain);
    std::vector<std::uint8_t> first(data.size());
    std::vector<std::uint8_t> second(data.size());
    blowfishEncrypt(context, data.data(), first.data(), 32, kBlowfishCbc);
    blowfishEncrypt(context, data.data(), second.data(), 32, kBlowfishCbc);
    EXPECT_EQ(first, second);
}

TEST(Blowfish, KeysBeyond56BytesUseTheirFirst56) {
    std::vector<std::uint8_t> key(72);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
    BlowfishContext longKey;
    BlowfishContext cutKey;
    blowfishInit(longKey, key.data(), 72, {});
    blowfishInit(cutKey, key.data(), 56, {});
    EXPECT_EQ(longKey.p, cutKey.p);
    EXPECT_EQ(longKey.s, cutKey.s);
    BlowfishContext shorter;
    blowfishInit(shorter, key.data(), 55, {});
    EXPECT_NE(shorter.p, cutKey.p);
}

TEST(Blowfish, Errors) {
    BlowfishContext context;
    const std::uint8_t key[1] = {1};
    try {
        blowfishInit(context, key, 0, {});
        ADD_FAILURE() << "a key of length 0 was accepted";
    } catch (const BlowfishError& e) {
        EXPECT_STREQ(e.what(), "Incorrect key length");
    }
    blowfishInit(context, key, 1, {});
    std::vector<std::uint8_t> buffer(16);
    for (std::uint32_t length : {0U, 7U, 12U}) {
        try {
            blowfishEncrypt(context, buffer.data(), buffer.data(), length, kBlowfishEcb);
            ADD_FAILURE() << "length " << length << " was accepted";
        } catch (const BlowfishError& e) {
            EXPECT_STREQ(e.what(), "Incorrect buffer length");
        }
    }
    EXPECT_NO_THROW(blowfishEncrypt(context, buffer.data(), buffer.data(), 8, kBlowfishEcb));
    EXPECT_NO_THROW(blowfishEncrypt(context, buffer.data(), buffer.data(), 16, kBlowfishEcb));
}

TEST(Blowfish, DecryptionInvertsEcb) {
    for (const auto& v : kEcbVectors) {
        const auto key = bytesOf(v.key);
        BlowfishContext context;
        blowfishInit(context, key.data(), 8, {});
        auto data = bytesOf(v.cipher);
        blowfishDecryptEcb(context, data.data(), data.data(), 8);
        EXPECT_EQ(hexOf(data), v.plain) << "key " << v.key;
    }
}

}  // namespace
}  // namespace gravelin
