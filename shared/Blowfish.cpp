#include "shared/Blowfish.h"

namespace gravelin {

namespace {

inline std::uint32_t loadBigEndian(const std::uint8_t* b) {
    return (static_cast<std::uint32_t>(b[0]) << 24) | (static_cast<std::uint32_t>(b[1]) << 16) |
           (static_cast<std::uint32_t>(b[2]) << 8) | static_cast<std::uint32_t>(b[3]);
}

inline void storeBigEndian(std::uint32_t v, std::uint8_t* b) {
    b[0] = static_cast<std::uint8_t>(v >> 24);
    b[1] = static_cast<std::uint8_t>(v >> 16);
    b[2] = static_cast<std::uint8_t>(v >> 8);
    b[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

// The 16 rounds, two per step so that no swap is needed; after the last step the final swap
// is already undone.
inline void encryptRounds(const BlowfishContext& c, std::uint32_t& left, std::uint32_t& right) {
    const std::uint32_t* p = c.p.data();
    const std::uint32_t* s0 = c.s[0].data();
    const std::uint32_t* s1 = c.s[1].data();
    const std::uint32_t* s2 = c.s[2].data();
    const std::uint32_t* s3 = c.s[3].data();
    const auto fn = [&](std::uint32_t x) {
        return ((s0[x >> 24] + s1[(x >> 16) & 0xFF]) ^ s2[(x >> 8) & 0xFF]) + s3[x & 0xFF];
    };
    std::uint32_t l = left;
    std::uint32_t r = right;
#pragma GCC unroll 8
    for (int i = 0; i < 16; i += 2) {
        l ^= p[i];
        r ^= fn(l);
        r ^= p[i + 1];
        l ^= fn(r);
    }
    left = r ^ p[17];
    right = l ^ p[16];
}

void blowfishEncryptBlock(const BlowfishContext& c, std::uint32_t& left, std::uint32_t& right) {
    encryptRounds(c, left, right);
}

void blowfishInit(BlowfishContext& c, const std::uint8_t* key, std::uint32_t keyLength,
                  const std::array<std::uint8_t, 8>& initialVector) {
    if (keyLength == 0) throw BlowfishError("Incorrect key length");
    if (keyLength > 56) keyLength = 56;
    c.initialVector = initialVector;
    c.chainingVector = initialVector;
    c.p = kBlowfishInitialP;
    c.s = kBlowfishInitialS;

    std::uint32_t k = 0;
    for (auto& subkey : c.p) {
        std::uint32_t word = 0;
        for (int j = 0; j < 4; ++j) {
            word = (word << 8) | key[k];
            k = (k + 1) % keyLength;
        }
        subkey ^= word;
    }

    std::uint32_t l = 0;
    std::uint32_t r = 0;
    for (std::size_t i = 0; i < c.p.size(); i += 2) {
        blowfishEncryptBlock(c, l, r);
        c.p[i] = l;
        c.p[i + 1] = r;
    }
    for (auto& box : c.s) {
        for (std::size_t i = 0; i < box.size(); i += 2) {
            blowfishEncryptBlock(c, l, r);
            box[i] = l;
            box[i + 1] = r;
        }
    }
}

void blowfishEncrypt(const BlowfishContext& c, const std::uint8_t* input, std::uint8_t* output,
                     std::uint32_t length, std::int32_t mode) {
    if (length == 0 || length % 8 != 0) throw BlowfishError("Incorrect buffer length");
    std::uint32_t chainL = loadBigEndian(c.chainingVector.data());
    std::uint32_t chainR = loadBigEndian(c.chainingVector.data() + 4);
    for (std::uint32_t pos = 0; pos < length; pos += 8) {
        std::uint32_t l = loadBigEndian(input + pos);
        std::uint32_t r = loadBigEndian(input + pos + 4);
        if (mode == kBlowfishCbc) {
            l ^= chainL;
            r ^= chainR;
            blowfishEncryptBlock(c, l, r);
            chainL = l;
            chainR = r;
        } else if (mode == kBlowfishCfb) {
            blowfishEncryptBlock(c, chainL, chainR);
            l ^= chainL;
            r ^= chainR;
            chainL = l;
            chainR = r;
        } else {
            encryptRounds(c, l, r);
        }
        storeBigEndian(l, output + pos);
        storeBigEndian(r, output + pos + 4);
    }
}

// The rounds of encryptRounds with the subkeys in reverse order.
inline void decryptRounds(const BlowfishContext& c, std::uint32_t& left, std::uint32_t& right) {
    const std::uint32_t* p = c.p.data();
    const std::uint32_t* s0 = c.s[0].data();
    const std::uint32_t* s1 = c.s[1].data();
    const std::uint32_t* s2 = c.s[2].data();
    const std::uint32_t* s3 = c.s[3].data();
    const auto fn = [&](std::uint32_t x) {
        return ((s0[x >> 24] + s1[(x >> 16) & 0xFF]) ^ s2[(x >> 8) & 0xFF]) + s3[x & 0xFF];
    };
    std::uint32_t l = left;
    std::uint32_t r = right;
#pragma GCC unroll 8
    for (int i = 17; i > 1; i -= 2) {
        l ^= p[i];
        r ^= fn(l);
        r ^= p[i - 1];
        l ^= fn(r);
    }
    left = r ^ p[0];
    right = l ^ p[1];
}

void blowfishDecryptBlock(const BlowfishContext& c, std::uint32_t& left, std::uint32_t& right) {
    decryptRounds(c, left, right);
}

void blowfishDecryptEcb(const BlowfishContext& c, const std::uint8_t* input, std::uint8_t* output,
                        std::uint32_t length) {
    if (length == 0 || length % 8 != 0) throw BlowfishError("Incorrect buffer length");
    for (std::uint32_t pos = 0; pos < length; pos += 8) {
        std::uint32_t l = loadBigEndian(input + pos);
        std::uint32_t r = loadBigEndian(input + pos + 4);
        decryptRounds(c, l, r);
        storeBigEndian(l, output + pos);
        storeBigEndian(r, output + pos + 4);
    }
}

}  // namespace gravelin
