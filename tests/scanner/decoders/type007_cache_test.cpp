#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A type 7 structure of the SMBIOS 2.1 layout (Length 0x13): a 256 kB level 2 cache.
std::vector<std::uint8_t> fullCache() {
    return {7,    0x13, 0x07, 0x00,  // type, Length, handle
            1,                       // socket designation
            0x81, 0x01,              // level 2, internal, enabled, write back
            0x00, 0x01,              // maximum 256 kB
            0x00, 0x01,              // installed 256 kB
            0x20, 0x00,              // supported: synchronous
            0x20, 0x00,              // current: synchronous
            0,                       // speed
            0x05,                    // single-bit ECC
            0x05,                    // unified
            0x07};                   // 8-way
}

const std::initializer_list<std::string> kStrings = {"L2 Cache"};

TEST(Cache, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"SocketDesignation", "L2 Cache", ""},
        {"CacheConfiguration",
         "Level 2, Not socketed, Internal, Enabled at boot-time, Write Back, ", ""},
        {"MaximumCacheSize", "256k", ""},
        {"InstalledSize", "256k", ""},
        {"SupportedSRAMType", "Synchronous, ", ""},
        {"CurrentSRAMType", "Synchronous, ", ""},
        {"CacheSpeed", "0", "ns"},
        {"ErrorCorrectionType", "Single-bit ECC", ""},
        {"SystemCacheType", "Unified", ""},
        {"Associativity", "8-way Set-Associative", ""},
    };
    EXPECT_EQ(decodeStructure(fullCache(), kStrings), expected);
}

TEST(Cache, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
        const char* lastField;
    };
    // 0x0F: the SMBIOS 2.0 layout, no speed; 0x13: 2.1; 0x1B: 3.1 with the 32-bit sizes,
    // which add nothing.
    for (const Case c : {Case{0x05, 1, "SocketDesignation"}, Case{0x06, 2, "CacheConfiguration"},
                         Case{0x0F, 6, "CurrentSRAMType"}, Case{0x10, 7, "CacheSpeed"},
                         Case{0x12, 9, "SystemCacheType"}, Case{0x13, 10, "Associativity"},
                         Case{0x1B, 10, "Associativity"}}) {
        auto bytes = fullCache();
        bytes[1] = c.length;
        bytes.resize(c.length, 0xFF);  // 32-bit sizes of the long layout: all ones
        const auto fields = decodeStructure(bytes, kStrings);
        ASSERT_EQ(fields.size(), c.fieldCount) << "Length " << int(c.length);
        EXPECT_EQ(fields.back().name, c.lastField) << "Length " << int(c.length);
    }
}

TEST(Cache, ConfigurationText) {
    for (const auto& [word, text] : std::vector<std::pair<std::uint16_t, std::string>>{
             {0x0000, "Level 1, Not socketed, Internal, Disabled at boot-time, Write Through, "},
             {0x0002, "Level 3, Not socketed, Internal, Disabled at boot-time, Write Through, "},
             {0x0004, "Level 5, Not socketed, Internal, Disabled at boot-time, Write Through, "},
             {0x0007, "Level 8, Not socketed, Internal, Disabled at boot-time, Write Through, "},
             {0x03E8,
              "Level 1, Socketed, Unknown location, Enabled at boot-time, Unknown op. mode, "},
             {0x0181, "Level 2, Not socketed, Internal, Enabled at boot-time, Write Back, "},
             {0x0220,
              "Level 1, Not socketed, External, Disabled at boot-time, "
              "Op. mode varies with Memory Address, "},
             {0x0040,
              "Level 1, Not socketed, Reserved location, Disabled at boot-time, Write Through, "},
             // Bit 4 and bits 10-15 are ignored.
             {0xFC10, "Level 1, Not socketed, Internal, Disabled at boot-time, Write Through, "}}) {
        auto bytes = fullCache();
        bytes[0x05] = static_cast<std::uint8_t>(word);
        bytes[0x06] = static_cast<std::uint8_t>(word >> 8);
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "CacheConfiguration"), text)
            << std::hex << word;
    }
}

TEST(Cache, SizeTextsForBothSizeFields) {
    for (const auto& [word, text] :
         std::vector<std::pair<std::uint16_t, std::string>>{{0x0100, "256k"},
                                                            {0x8020, "2048k"},
                                                            {0x0000, "0k"},
                                                            {0x8000, "0k"},
                                                            {0x7FFF, "32767k"},
                                                            {0xFFFF, "2097088k"}}) {
        auto bytes = fullCache();
        for (const std::size_t offset : {0x07, 0x09}) {
            bytes[offset] = static_cast<std::uint8_t>(word);
            bytes[offset + 1] = static_cast<std::uint8_t>(word >> 8);
        }
        const auto fields = decodeStructure(bytes, kStrings);
        EXPECT_EQ(valueOf(fields, "MaximumCacheSize"), text) << std::hex << word;
        EXPECT_EQ(valueOf(fields, "InstalledSize"), text) << std::hex << word;
    }
}

TEST(Cache, SramTypeBitListsUseTheLowSevenBits) {
    for (const auto& [word, text] : std::vector<std::pair<std::uint16_t, std::string>>{
             {0x0022, "Unknown, Synchronous, "},
             {0x0080, ""},
             {0x0000, ""},
             {0xFF7F,
              "Other, Unknown, Non-Burst, Burst, Pipeline Burst, Synchronous, Asynchronous, "},
             {0x0148, "Burst, Asynchronous, "}}) {
        auto bytes = fullCache();
        for (const std::size_t offset : {0x0B, 0x0D}) {
            bytes[offset] = static_cast<std::uint8_t>(word);
            bytes[offset + 1] = static_cast<std::uint8_t>(word >> 8);
        }
        const auto fields = decodeStructure(bytes, kStrings);
        EXPECT_EQ(valueOf(fields, "SupportedSRAMType"), text) << std::hex << word;
        EXPECT_EQ(valueOf(fields, "CurrentSRAMType"), text) << std::hex << word;
    }
}

TEST(Cache, CodeTablesAndDefaults) {
    struct Case {
        std::size_t offset;
        std::uint8_t code;
        const char* field;
        const char* text;
    };
    for (const Case c : {
             Case{0x0F, 15, "CacheSpeed", "15"},
             Case{0x10, 0x01, "ErrorCorrectionType", "Other"},
             Case{0x10, 0x02, "ErrorCorrectionType", "Unknown"},
             Case{0x10, 0x03, "ErrorCorrectionType", "None"},
             Case{0x10, 0x04, "ErrorCorrectionType", "Parity"},
             Case{0x10, 0x06, "ErrorCorrectionType", "Multi-bit ECC"},
             Case{0x10, 0x00, "ErrorCorrectionType", "Unknown"},
             Case{0x10, 0x07, "ErrorCorrectionType", "Unknown"},
             Case{0x11, 0x01, "SystemCacheType", "Other"},
             Case{0x11, 0x03, "SystemCacheType", "Instruction"},
             Case{0x11, 0x04, "SystemCacheType", "Data"},
             Case{0x11, 0x00, "SystemCacheType", "Unknown"},
             Case{0x11, 0x06, "SystemCacheType", "Unknown"},
             Case{0x12, 0x01, "Associativity", "Other"},
             Case{0x12, 0x02, "Associativity", "Unknown"},
             Case{0x12, 0x03, "Associativity", "Direct Mapped"},
             Case{0x12, 0x04, "Associativity", "2-way Set-Associative"},
             Case{0x12, 0x05, "Associativity", "4-way Set-Associative"},
             Case{0x12, 0x06, "Associativity", "Fully Associative"},
             Case{0x12, 0x08, "Associativity", "16-way Set-Associative"},
             Case{0x12, 0x09, "Associativity", "12-way Set-Associative"},
             Case{0x12, 0x0A, "Associativity", "24-way Set-Associative"},
             Case{0x12, 0x0B, "Associativity", "32-way Set-Associative"},
             Case{0x12, 0x0C, "Associativity", "48-way Set-Associative"},
             Case{0x12, 0x0D, "Associativity", "64-way Set-Associative"},
             Case{0x12, 0x0E, "Associativity", "20-way Set-Associative"},
             Case{0x12, 0x0F, "Associativity", "Unknown"},
             Case{0x12, 0x00, "Associativity", "Unknown"},
         }) {
        auto bytes = fullCache();
        bytes[c.offset] = c.code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), c.field), c.text)
            << c.field << " code 0x" << std::hex << int(c.code);
    }
}

TEST(Cache, MissingSocketDesignationIsEmpty) {
    for (const std::uint8_t number : {0, 2}) {
        auto bytes = fullCache();
        bytes[0x04] = number;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "SocketDesignation"), "");
    }
}

}  // namespace
}  // namespace gravelin::testing
