#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x0C) type 6 structure: a 64 MB double-banked EDO DIMM in socket 1.
std::vector<std::uint8_t> fullMemoryModule() {
    return {6,    0x0C, 0x06, 0x00,  // type, Length, handle
            1,                       // socket designation
            0x01,                    // bank connections
            60,                      // 60 ns
            0x10, 0x01,              // EDO, DIMM
            0x86,                    // installed: 64 MB, double-banked
            0x05,                    // enabled: 32 MB, single-banked
            0x00};                   // no errors
}

const std::initializer_list<std::string> kStrings = {"DIMM0"};

TEST(MemoryModule, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"SocketDesignation", "DIMM0", ""},
        {"BankConnections", "0x01", ""},
        {"CurrentSpeed", "60", "ns"},
        {"CurrentMemoryType", "EDO, DIMM, ", ""},
        {"InstalledSize", "64 MB, double-banked", ""},
        {"EnabledSize", "32 MB, single-banked", ""},
        {"ErrorStatus", "", ""},
    };
    EXPECT_EQ(decodeStructure(fullMemoryModule(), kStrings), expected);
}

TEST(MemoryModule, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
        const char* lastField;
    };
    for (const Case c : {Case{0x05, 1, "SocketDesignation"}, Case{0x07, 3, "CurrentSpeed"},
                         Case{0x08, 4, "CurrentMemoryType"}, Case{0x09, 4, "CurrentMemoryType"},
                         Case{0x0B, 6, "EnabledSize"}, Case{0x0C, 7, "ErrorStatus"},
                         Case{0x10, 7, "ErrorStatus"}}) {
        auto bytes = fullMemoryModule();
        bytes[1] = c.length;
        bytes.resize(c.length, 0);
        const auto fields = decodeStructure(bytes, kStrings);
        ASSERT_EQ(fields.size(), c.fieldCount) << "Length " << int(c.length);
        EXPECT_EQ(fields.back().name, c.lastField) << "Length " << int(c.length);
    }
    auto bytes = fullMemoryModule();
    bytes[1] = 0x04;
    EXPECT_TRUE(decodeStructure(bytes, kStrings).empty());
}

TEST(MemoryModule, MemoryTypeAtTheEndOfTheFormattedAreaTakesItsHighByteFromTheStrings) {
    auto bytes = fullMemoryModule();
    bytes.resize(0x08);
    bytes[1] = 0x08;
    bytes[0x07] = 0x10;  // EDO; the high byte is the 'D' (0x44) of "DIMM0": bits 10 and 14
    EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "CurrentMemoryType"), "EDO, SDRAM, ");
}

TEST(MemoryModule, BankConnectionsSpeedAndMemoryType) {
    struct Case {
        std::size_t offset;
        std::uint16_t value;
        const char* field;
        const char* text;
    };
    for (const Case c : {
             Case{0x05, 0x01, "BankConnections", "0x01"},
             Case{0x05, 0xFE, "BankConnections", "0xFE"},
             Case{0x05, 0x00, "BankConnections", "0x00"},
             Case{0x06, 60, "CurrentSpeed", "60"},
             Case{0x06, 0, "CurrentSpeed", "0"},
             Case{0x06, 255, "CurrentSpeed", "255"},
             Case{0x07, 0x0010, "CurrentMemoryType", "EDO, "},
             Case{0x07, 0x0000, "CurrentMemoryType", ""},
             Case{0x07, 0x07FF, "CurrentMemoryType",
                  "Other, Unknown, Standard, Fast Page Mode, EDO, Parity, ECC, SIMM, DIMM, "
                  "Burst EDO, SDRAM, "},
             Case{0x07, 0xF800, "CurrentMemoryType", ""},
         }) {
        auto bytes = fullMemoryModule();
        bytes[c.offset] = static_cast<std::uint8_t>(c.value);
        if (c.offset == 0x07) bytes[0x08] = static_cast<std::uint8_t>(c.value >> 8);
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), c.field), c.text)
            << c.field << " 0x" << std::hex << c.value;
    }
}

TEST(MemoryModule, SizeTextsForBothSizeFields) {
    for (const auto& [size, text] : std::vector<std::pair<std::uint8_t, std::string>>{
             {0x05, "32 MB, single-banked"},
             {0x87, "128 MB, double-banked"},
             {0x0A, "1024 MB, single-banked"},
             {0x8A, "1024 MB, double-banked"},
             {0x00, "1 MB, single-banked"},
             {0x1F, "-2147483648 MB, single-banked"},
             {0x20, "1 MB, single-banked"},  // the shift count is taken modulo 32
             {0x7C, "268435456 MB, single-banked"},
             {0x7D, "Not determinable (Installed Size only), single-banked"},
             {0xFD, "Not determinable (Installed Size only), double-banked"},
             {0x7E, "Module is installed, but no memory has been enabled, single-banked"},
             {0x7F, "Not installed, single-banked"},
             {0xFF, "Not installed, double-banked"}}) {
        auto bytes = fullMemoryModule();
        bytes[0x09] = size;
        bytes[0x0A] = size;
        const auto fields = decodeStructure(bytes, kStrings);
        EXPECT_EQ(valueOf(fields, "InstalledSize"), text) << std::hex << int(size);
        EXPECT_EQ(valueOf(fields, "EnabledSize"), text) << std::hex << int(size);
    }
}

TEST(MemoryModule, ErrorStatusTexts) {
    for (const auto& [status, text] : std::vector<std::pair<std::uint8_t, std::string>>{
             {0x00, ""},
             {0x01, "Uncorrectable errors detected! "},
             {0x02, "Correctable errors detected! "},
             {0x03, "Correctable errors detected! Uncorrectable errors detected! "},
             {0x04, "See event log"},
             {0x07, "See event log"},
             {0xF8, ""},
             {0xFB, "Correctable errors detected! Uncorrectable errors detected! "}}) {
        auto bytes = fullMemoryModule();
        bytes[0x0B] = status;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "ErrorStatus"), text)
            << std::hex << int(status);
    }
}

TEST(MemoryModule, MissingSocketDesignationIsEmpty) {
    for (const std::uint8_t number : {0, 2, 255}) {
        auto bytes = fullMemoryModule();
        bytes[0x04] = number;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "SocketDesignation"), "")
            << int(number);
    }
}

}  // namespace
}  // namespace gravelin::testing
