#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x18) type 0 structure: strings 1-3, segment 0xE800, 1 MB ROM.
std::vector<std::uint8_t> fullBios() {
    return {0,    0x18, 0x00, 0x00,                          // type, Length, handle
            1,    2,                                         // vendor, version
            0x00, 0xE8,                                      // starting segment 0xE800
            3,                                               // release date
            0x0F,                                            // ROM size code: 1024 kB
            0x90, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // ISA, PCI, Plug&Play
            0x01,                                            // extension byte 1
            0x0C,                                            // extension byte 2 (no field)
            5,    17,                                        // system BIOS 5.17
            1,    2};                                        // embedded controller 1.2
}

const std::initializer_list<std::string> kStrings = {"Example Firmware Inc.", "1.2.3",
                                                     "04/01/2014"};

TEST(Bios, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"Vendor", "Example Firmware Inc.", ""},
        {"Version", "1.2.3", ""},
        {"StartingSegment", "0xE800", ""},
        {"ReleaseDate", "04/01/2014", ""},
        {"ROMSize", "1024", "kB"},
        {"Characteristics", "ISA, PCI, Plug&Play, ", ""},
        {"Characteristics extension", "0x01", ""},
        {"Release", "5.17", ""},
        {"EmbeddedFirmwareRelease", "1.2", ""},
    };
    EXPECT_EQ(decodeStructure(fullBios(), kStrings), expected);
}

TEST(Bios, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
    };
    // 0x12: the 2.0 layout; the extension byte at 0x12 needs 0x13; both release fields guard
    // on their second byte (0x15, 0x17); nothing beyond 0x17 is read.
    for (const Case c :
         {Case{0x04, 0}, Case{0x05, 1}, Case{0x06, 2}, Case{0x07, 3}, Case{0x09, 4}, Case{0x0A, 5},
          Case{0x0B, 6}, Case{0x12, 6}, Case{0x13, 7}, Case{0x14, 7}, Case{0x15, 7}, Case{0x16, 8},
          Case{0x17, 8}, Case{0x18, 9}, Case{0x1A, 9}}) {
        auto bytes = fullBios();
        bytes[1] = c.length;
        bytes.resize(std::max<std::size_t>(c.length, 4), 0);
        const auto fields = decodeStructure(bytes, kStrings);
        const std::vector<std::string> allNames = namesOf(decodeStructure(fullBios(), kStrings));
        EXPECT_EQ(namesOf(fields),
                  std::vector<std::string>(allNames.begin(), allNames.begin() + c.fieldCount))
            << "Length 0x" << std::hex << int(c.length);
    }
}

TEST(Bios, FieldsCutByLengthTakeTheirMissingBytesFromTheStrings) {
    // Length 0x07: the segment's high byte is the first string's first character.
    auto bytes = fullBios();
    bytes.resize(0x07);
    bytes[1] = 0x07;
    bytes[6] = 0x00;
    auto fields = decodeStructure(bytes, {"A"});
    EXPECT_EQ(valueOf(fields, "StartingSegment"), "0x4100");
    EXPECT_EQ(valueOf(fields, "ReleaseDate"), "<absent>");

    // Length 0x0B with the table ending right after the string area: the characteristics
    // bytes past the table end read as 0, and nothing outside the table is touched.
    bytes = fullBios();
    bytes.resize(0x0B);
    bytes[1] = 0x0B;
    bytes[0x0A] = 0x80;  // PCI
    fields = decode(structure(bytes), {});
    EXPECT_EQ(valueOf(fields, "Characteristics"), "PCI, ");
}

TEST(Bios, StartingSegmentAndRomSize) {
    struct Case {
        std::uint16_t segment;
        std::uint8_t romCode;
        const char* segmentText;
        const char* romText;
    };
    for (const Case c :
         {Case{0xE800, 0x0F, "0xE800", "1024"}, Case{0x0000, 0x00, "0x0000", "64"},
          Case{0xF000, 0xFF, "0xF000", "16384"}, Case{0x000A, 0x01, "0x000A", "128"}}) {
        auto bytes = fullBios();
        bytes[0x06] = static_cast<std::uint8_t>(c.segment);
        bytes[0x07] = static_cast<std::uint8_t>(c.segment >> 8);
        bytes[0x09] = c.romCode;
        const auto fields = decodeStructure(bytes, kStrings);
        EXPECT_EQ(valueOf(fields, "StartingSegment"), c.segmentText);
        EXPECT_EQ(valueOf(fields, "ROMSize"), c.romText) << "code " << int(c.romCode);
    }
}

// Code 0xFF means "16 MB or more"; the extended ROM size word at 0x18 then gives the size.
TEST(Bios, RomSizeOfSixteenMegabytesOrMoreComesFromTheExtendedWord) {
    struct Case {
        std::uint8_t length;
        std::uint16_t extended;
        const char* romText;
    };
    for (const Case c : {Case{0x1A, 0x0020, "32768"},     // 32 MB
                         Case{0x1A, 0x4001, "1048576"},   // 1 GB
                         Case{0x1A, 0x0000, "16384"},     // not filled in
                         Case{0x1A, 0x8001, "16384"},     // reserved unit
                         Case{0x18, 0x0020, "16384"}}) {  // structure without the word
        auto bytes = fullBios();
        bytes.resize(std::max<std::size_t>(bytes.size(), 0x1A), 0);
        bytes[0x01] = c.length;
        bytes[0x09] = 0xFF;
        bytes[0x18] = static_cast<std::uint8_t>(c.extended);
        bytes[0x19] = static_cast<std::uint8_t>(c.extended >> 8);
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "ROMSize"), c.romText)
            << "Length " << int(c.length) << " extended 0x" << std::hex << c.extended;
    }
}

TEST(Bios, CharacteristicsBitList) {
    struct Case {
        std::uint64_t flags;
        std::string text;
    };
    for (const Case& c : std::vector<Case>{
             {0x0000000000000290ULL, "ISA, PCI, Plug&Play, "},
             {0x0000000000000008ULL, "BIOS Characteristics are not supported, "},
             {0x0000000000000000ULL, ""},
             {0xFFFFFFFF00000000ULL, ""},
             {0x0000000180000000ULL, "NEC PC-98, "},
             {0x0000000000000007ULL, "Reserved, Reserved, Unknown, "},
             {0x0000000000100000ULL,
              "Int 13h — Japanese floppy for NEC 9800 1.2 MB (3.5”, 1K bytes/sector, 360 RPM), "},
             {0x0000000000C00000ULL,
              "Int 13h — 5.25” / 360 KB floppy services, Int 13h — 5.25” /1.2 MB floppy "
              "services, "},
             {0x0000000078000000ULL,
              "Int 9h, 8042 keyboard services, Int 14h, serial services, Int 17h, printer "
              "services, Int 10h, CGA/Mono Video Services, "},
         }) {
        auto bytes = fullBios();
        for (int i = 0; i < 8; ++i) bytes[0x0A + i] = static_cast<std::uint8_t>(c.flags >> (8 * i));
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "Characteristics"), c.text)
            << std::hex << c.flags;
    }
}

TEST(Bios, ExtensionByteAndReleaseNumbers) {
    auto bytes = fullBios();
    bytes[0x12] = 0xA3;
    bytes[0x13] = 0xFF;  // the second extension byte changes nothing
    bytes[0x14] = 255, bytes[0x15] = 255;
    bytes[0x16] = 0, bytes[0x17] = 0;
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "Characteristics extension"), "0xA3");
    EXPECT_EQ(valueOf(fields, "Release"), "255.255");
    EXPECT_EQ(valueOf(fields, "EmbeddedFirmwareRelease"), "0.0");
}

TEST(Bios, MissingStringsAreEmpty) {
    auto bytes = fullBios();
    bytes[0x04] = 0;  // no vendor
    bytes[0x05] = 4;  // beyond the three strings
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "Vendor"), "");
    EXPECT_EQ(valueOf(fields, "Version"), "");
    EXPECT_EQ(valueOf(fields, "ReleaseDate"), "04/01/2014");
}

}  // namespace
}  // namespace gravelin::testing
