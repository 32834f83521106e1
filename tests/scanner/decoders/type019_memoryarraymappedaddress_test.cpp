#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x1F) structure: 0 .. 0x003FFFFF kB, array 0x0030, width 2, extended
// addresses 0x1_0000_0000 .. 0x4_7FFF_FFFF.
std::vector<std::uint8_t> fullMapping() {
    return {19,   0x1F, 0x50, 0x00,                           // type, Length, handle
            0x00, 0x00, 0x00, 0x00,                           // starting address
            0xFF, 0xFF, 0x3F, 0x00,                           // ending address
            0x30, 0x00,                                       // memory array handle
            0x02,                                             // partition width
            0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,   // extended start
            0xFF, 0xFF, 0xFF, 0x7F, 0x04, 0x00, 0x00, 0x00};  // extended end
}

TEST(MemoryArrayMappedAddress, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"StartingAddress", "00000000", ""},
        {"EndingAddress", "003FFFFF", ""},
        {"MemoryArrayHandle", "48", ""},
        {"PartitionWidth", "2", ""},
        {"ExtendedStartingAddress", "0x0000000100000000", ""},
        {"ExtendedEndingAddress", "0x000000047FFFFFFF", ""},
    };
    EXPECT_EQ(decodeStructure(fullMapping()), expected);
}

TEST(MemoryArrayMappedAddress, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
    };
    // 0x0F: the layout before extended addresses; 0x1F: the whole layout.
    for (const Case c :
         {Case{0x04, 0}, Case{0x05, 1}, Case{0x08, 1}, Case{0x0C, 2}, Case{0x0E, 3}, Case{0x0F, 4},
          Case{0x10, 5}, Case{0x17, 5}, Case{0x18, 6}, Case{0x1F, 6}}) {
        auto bytes = fullMapping();
        bytes[1] = c.length;
        EXPECT_EQ(decodeStructure(bytes).size(), c.fieldCount) << "Length " << int(c.length);
    }
}

TEST(MemoryArrayMappedAddress, ExtendedAddressCutByLengthReadsOnIntoTheStrings) {
    auto bytes = fullMapping();
    bytes.resize(0x10);
    bytes[1] = 0x10;
    bytes[0x0F] = 0x11;
    // Seven bytes after the formatted area: "ABCDEF" and its terminating zero.
    const auto fields = decodeStructure(bytes, {"ABCDEF"});
    EXPECT_EQ(valueOf(fields, "ExtendedStartingAddress"), "0x0046454443424111");
    EXPECT_EQ(valueOf(fields, "ExtendedEndingAddress"), "<absent>");
}

TEST(MemoryArrayMappedAddress, ExtendedAddressPastTheEndOfTheTableReadsZeros) {
    // The last structure of the table, its Length ending one byte into the extended start.
    std::vector<std::uint8_t> bytes = fullMapping();
    bytes.resize(0x10);
    bytes[1] = 0x10;
    bytes[0x0F] = 0xAB;
    EXPECT_EQ(valueOf(decode(bytes), "ExtendedStartingAddress"), "0x00000000000000AB");
}

TEST(MemoryArrayMappedAddress, AddressTexts) {
    struct Case {
        std::uint32_t address;
        const char* text;
    };
    for (const Case c :
         {Case{0x00000000, "00000000"}, Case{0x003FFFFF, "003FFFFF"}, Case{0x000C0000, "000C0000"},
          Case{0xFFFFFFFE, "FFFFFFFE"}, Case{0xFFFFFFFF, "See extended address"}}) {
        auto bytes = fullMapping();
        for (int i = 0; i < 4; ++i) {
            bytes[0x04 + i] = static_cast<std::uint8_t>(c.address >> (8 * i));
            bytes[0x08 + i] = static_cast<std::uint8_t>(c.address >> (8 * i));
        }
        const auto fields = decodeStructure(bytes);
        EXPECT_EQ(valueOf(fields, "StartingAddress"), c.text) << std::hex << c.address;
        EXPECT_EQ(valueOf(fields, "EndingAddress"), c.text) << std::hex << c.address;
        // The extended fields stand whatever the short ones hold.
        EXPECT_EQ(valueOf(fields, "ExtendedStartingAddress"), "0x0000000100000000");
    }
}

TEST(MemoryArrayMappedAddress, ExtendedAddressesUseAllSixteenDigits) {
    auto bytes = fullMapping();
    std::fill(bytes.begin() + 0x0F, bytes.begin() + 0x17, 0x00);
    std::fill(bytes.begin() + 0x17, bytes.end(), 0xFF);
    const auto fields = decodeStructure(bytes);
    EXPECT_EQ(valueOf(fields, "ExtendedStartingAddress"), "0x0000000000000000");
    EXPECT_EQ(valueOf(fields, "ExtendedEndingAddress"), "0xFFFFFFFFFFFFFFFF");
}

}  // namespace
}  // namespace gravelin::testing
