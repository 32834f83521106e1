// The Blowfish block cipher (64-bit blocks, 16 rounds) in ECB, CBC and 64-bit CFB modes.
// Blocks are read big-endian: bytes b0..b3 form L, b4..b7 form R.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace gravelin {

// Raised with "Incorrect key length" or "Incorrect buffer length".
class BlowfishError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

extern const std::array<std::uint32_t, 18> kBlowfishInitialP;
extern const std::array<std::array<std::uint32_t, 256>, 4> kBlowfishInitialS;

struct BlowfishContext {
    std::array<std::uint8_t, 8> initialVector{};
    std::array<std::uint8_t, 8> chainingVector{};
    std::array<std::uint32_t, 18> p{};
    std::array<std::array<std::uint32_t, 256>, 4> s{};
};

// The key that seals reports: the 16 bytes of "Qm7#vK2p!Lx9@Tz4", without terminator.
inline constexpr std::array<std::uint8_t, 16> kSealingKey = {
    'Q', 'm', '7', '#', 'v', 'K', '2', 'p', '!', 'L', 'x', '9', '@', 'T', 'z', '4'};

enum BlowfishMode : std::int32_t { kBlowfishEcb = 0, kBlowfishCbc = 1, kBlowfishCfb = 2 };

// Keys longer than 56 bytes use their first 56; a key of length 0 throws.
void blowfishInit(BlowfishContext& context, const std::uint8_t* key, std::uint32_t keyLength,
                  const std::array<std::uint8_t, 8>& initialVector);

void blowfishEncryptBlock(const BlowfishContext& context, std::uint32_t& left,
                          std::uint32_t& right);

// Mode 1 is CBC, 2 is CFB, every other value ECB. The length must be a non-zero multiple of
// 8. Input and output may be the same buffer. Chained modes start from the context's
// chaining vector on every call.
void blowfishEncrypt(const BlowfishContext& context, const std::uint8_t* input,
                     std::uint8_t* output, std::uint32_t length, std::int32_t mode);

}  // namespace gravelin

namespace gravelin {

// The inverse of blowfishEncryptBlock; used by the report tool to unseal reports.
void blowfishDecryptBlock(const BlowfishContext& context, std::uint32_t& left,
                          std::uint32_t& right);

// ECB decryption of a non-zero multiple of 8 bytes; throws "Incorrect buffer length".
void blowfishDecryptEcb(const BlowfishContext& context, const std::uint8_t* input,
                        std::uint8_t* output, std::uint32_t length);

}  // namespace gravelin
