#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x30) type 4 structure: strings 1-6, an ARM processor reported through the
// 16-bit family, 1.2 V, 100/3600/2400 MHz, populated and enabled, 16 cores / 32 threads.
std::vector<std::uint8_t> processor() {
    return {4,    0x30, 0x04, 0x00,                          // type, Length, handle
            1,                                               // socket designation
            0x03,                                            // central processor
            0xFE,                                            // family: see the word
            2,                                               // manufacturer
            0xA9, 0x06, 0x08, 0x00, 0xFF, 0xFB, 0xEB, 0xBF,  // processor ID
            3,                                               // version
            0x8C,                                            // 1.2 V
            0x64, 0x00, 0x10, 0x0E, 0x60, 0x09,              // 100, 3600, 2400 MHz
            0x41,                                            // populated, enabled
            0x04,                                            // ZIF socket
            0x07, 0x00, 0x08, 0x00, 0xFF, 0xFF,              // cache handles 7, 8, none
            4,    5,    6,                                   // serial, asset tag, part number
            16,   16,   32,                                  // cores, enabled, threads
            0xFC, 0x00,                                      // characteristics bits 2-7
            0x18, 0x01,                                      // family 0x0118 ARM
            16,   0,    16,   0,    32,   0};                // 16-bit counts
}

const std::initializer_list<std::string> kStrings = {"CPU0",   "Maker", "Model 9000",
                                                     "PSN001", "AT-1",  "PN-77"};

TEST(Processor, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"SocketDesignation", "CPU0", ""},
        {"ProcessorType", "Central Processor", ""},
        {"ProcessorFamily", "---> See ProcessorFamily2 field", ""},
        {"ProcessorManufacturer", "Maker", ""},
        {"ProcessorID", "0xA9 06 08 00 FF FB EB BF ", ""},
        {"ProcessorVersion", "Model 9000", ""},
        {"Voltage", "Current voltage=1.2V", ""},
        {"ExternalClock", "100", "MHz"},
        {"MaxSpeed", "3600", "MHz"},
        {"CurrentSpeed", "2400", "MHz"},
        {"Status", "Populated, CPU Status=CPU Enabled", ""},
        {"ProcessorUpgrade", "ZIF Socket", ""},
        {"L1CacheHandle", "7", ""},
        {"L2CacheHandle", "8", ""},
        {"L3CacheHandle", "65535", ""},
        {"SerialNumber", "PSN001", ""},
        {"AssetTagNumber", "AT-1", ""},
        {"PartNumber", "PN-77", ""},
        {"CoreCount", "16", ""},
        {"CoreEnabled", "16", ""},
        {"ThreadCount", "32", ""},
        {"ProcessorCharacteristics",
         "64-bit Capable, Multi-Core, Hardware Thread, Execute Protection, Enhanced "
         "Virtualization, Power/Performance Control, ",
         ""},
        {"ProcessorFamily2", "ARM", ""},
        {"CoreCount2", "16", ""},
        {"CoreEnabled2", "16", ""},
        {"ThreadCount2", "32", ""},
    };
    EXPECT_EQ(decodeStructure(processor(), kStrings), expected);
}

TEST(Processor, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
    };
    // 0x1A: the 2.0 layout; 0x20: 2.1; 0x23: 2.3; 0x28: 2.5; 0x2A: 2.6; 0x30: 3.0. Word
    // fields need only their first byte, the ID its first byte (0x09 to 0x10: ID, no version).
    const auto allNames = namesOf(decodeStructure(processor(), kStrings));
    for (const Case c : {Case{0x04, 0}, Case{0x05, 1}, Case{0x09, 5}, Case{0x10, 5}, Case{0x11, 6},
                         Case{0x13, 8}, Case{0x1A, 12}, Case{0x1B, 13}, Case{0x20, 15},
                         Case{0x23, 18}, Case{0x26, 21}, Case{0x28, 22}, Case{0x29, 23},
                         Case{0x2A, 23}, Case{0x2F, 26}, Case{0x30, 26}, Case{0x33, 26}}) {
        auto bytes = processor();
        bytes[1] = c.length;
        bytes.resize(c.length, 0);
        EXPECT_EQ(namesOf(decodeStructure(bytes, kStrings)),
                  std::vector<std::string>(allNames.begin(), allNames.begin() + c.fieldCount))
            << "Length 0x" << std::hex << int(c.length);
    }
}

TEST(Processor, FieldsCutByLengthTakeTheirMissingBytesFromTheStrings) {
    // Length 0x0A: two ID bytes, then the string area "XY\0\0", then zeros past the table.
    auto bytes = processor();
    bytes.resize(0x0A);
    bytes[1] = 0x0A;
    auto fields = decode(structure(bytes, {"XY"}), {"XY"});
    EXPECT_EQ(valueOf(fields, "ProcessorID"), "0xA9 06 58 59 00 00 00 00 ");
    EXPECT_EQ(valueOf(fields, "ProcessorVersion"), "<absent>");

    // Length 0x29: the 16-bit family's high byte is the first string's first character.
    bytes = processor();
    bytes.resize(0x29);
    bytes[1] = 0x29;
    bytes[0x28] = 0x06;
    fields = decode(structure(bytes, {"\x01"}), {"\x01"});
    EXPECT_EQ(valueOf(fields, "ProcessorFamily2"), "Available for assignment");  // 0x0106
    bytes[0x28] = 0x04;
    fields = decode(structure(bytes, {"\x01"}), {"\x01"});
    EXPECT_EQ(valueOf(fields, "ProcessorFamily2"), "SH-3");  // 0x0104
    EXPECT_EQ(valueOf(fields, "CoreCount2"), "<absent>");
}

TEST(Processor, FamilyTable) {
    struct Case {
        std::uint16_t code;
        const char* text;
    };
    const std::vector<Case> cases = {
        {0x0000, "Unknown"},
        {0x0001, "Other"},
        {0x0002, "Unknown"},
        {0x0005, "Intel386™ processor"},
        {0x000E, "Pentium® processor with MMX™ technology"},
        {0x0016, "Intel® Processor"},
        {0x0017, "Available for assignment"},
        {0x002D, "Intel(R) Core(TM) m3 processor"},
        {0x002F, "Intel(R) Core(TM) m7 processor"},
        {0x0059, "Available for assignment"},
        {0x006B, "AMD Zen Processor Family"},
        {0x006C, "Available for assignment"},
        {0x0018, "AMD Duron™ Processor Family [1]"},
        {0x0030, "Alpha Family [2]"},
        {0x0056, "UltraSPARC Iii"},
        {0x0066, "AMD Athlon(TM) X4 Quad-Core Processor Family"},
        {0x0081, "Available for assignment"},
        {0x00A1, "Quad-Core Intel® Xeon® processor 3200 Series"},
        {0x00BE, "Reserved [3]"},
        {0x00C6, "Intel® Core™ i7 processor"},
        {0x00CF, "Intel® Core™ i9 processor"},
        {0x00D0, "Intel® Xeon® D Processor"},
        {0x00D1, "Available for assignment"},
        {0x00D2, "VIA C7™-M Processor Family"},
        {0x00EF, "AMD Sempron™ M Processor Family"},
        {0x00FB, "i960"},
        {0x00FE, "---> See ProcessorFamily2 field"},
        {0x00FF, "Reserved"},
        {0x0100, "ARMv7"},
        {0x0101, "ARMv8"},
        {0x0102, "ARMv9"},
        {0x0103, "Available for assignment"},  // between ARMv9 and SH-3, still unassigned
        {0x0104, "SH-3"},
        {0x0106, "Available for assignment"},
        {0x0118, "ARM"},
        {0x0119, "StrongARM"},
        {0x012C, "6x86"},
        {0x0140, "WinChip"},
        {0x015E, "DSP"},
        {0x01F4, "Video Processor"},
        {0x0200, "RISC-V RV32"},
        {0x0201, "RISC-V RV64"},
        {0x0202, "RISC-V RV128"},
        {0x0203, "Available for assignment"},
        {0x0258, "LoongArch"},
        {0x0262, "Dual-Core Loongson 2K 2xxx"},
        {0x0263, "Available for assignment"},
        {0x0271, "Multi-Core Loongson 3D 5xxx"},
        {0x0300, "Intel® Core™ 3"},
        {0x0307, "Intel® Core™ Ultra 9"},
        {0x0308, "Available for assignment"},
        {0xFFFD, "Available for assignment"},
        {0xFFFE, "Reserved"},
        {0xFFFF, "Reserved"},
    };
    for (const Case& c : cases) {
        auto bytes = processor();
        bytes[0x28] = static_cast<std::uint8_t>(c.code);
        bytes[0x29] = static_cast<std::uint8_t>(c.code >> 8);
        if (c.code <= 0xFF) bytes[0x06] = static_cast<std::uint8_t>(c.code);
        const auto fields = decodeStructure(bytes, kStrings);
        EXPECT_EQ(valueOf(fields, "ProcessorFamily2"), c.text) << "word 0x" << std::hex << c.code;
        // A word below 0x100 gives the text of the byte of that value.
        if (c.code <= 0xFF) {
            EXPECT_EQ(valueOf(fields, "ProcessorFamily"), c.text)
                << "byte 0x" << std::hex << c.code;
        }
    }
}

TEST(Processor, ProcessorTypes) {
    for (const auto& [code, text] :
         std::vector<std::pair<std::uint8_t, std::string>>{{0, "Unknown"},
                                                           {1, "Other"},
                                                           {2, "Unknown"},
                                                           {3, "Central Processor"},
                                                           {4, "Math Processor"},
                                                           {5, "DSP Processor"},
                                                           {6, "Video Processor"},
                                                           {7, "Unknown"},
                                                           {255, "Unknown"}}) {
        auto bytes = processor();
        bytes[0x05] = code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "ProcessorType"), text) << int(code);
    }
}

TEST(Processor, VoltageUnderBothDecimalSeparators) {
    struct Case {
        std::uint8_t voltage;
        const char* fullStop;
        const char* comma;
    };
    for (const Case c : {
             Case{0x8C, "Current voltage=1.2V", "Current voltage=1,2V"},
             Case{0x8A, "Current voltage=1V", "Current voltage=1V"},
             Case{0x80, "Current voltage=0V", "Current voltage=0V"},
             Case{0xA1, "Current voltage=3.3V", "Current voltage=3,3V"},
             Case{0xFF, "Current voltage=12.7V", "Current voltage=12,7V"},
             Case{0x03, "Supported Voltages=5V, 3.3V, ", "Supported Voltages=5V, 3.3V, "},
             Case{0x07, "Supported Voltages=5V, 3.3V, 2.9V, ",
                  "Supported Voltages=5V, 3.3V, 2.9V, "},
             Case{0x04, "Supported Voltages=2.9V, ", "Supported Voltages=2.9V, "},
             Case{0x00, "Supported Voltages=", "Supported Voltages="},
             Case{0x78, "Supported Voltages=", "Supported Voltages="},
         }) {
        auto bytes = processor();
        bytes[0x11] = c.voltage;
        for (const auto& [separator, text] :
             {std::pair{".", c.fullStop}, std::pair{",", c.comma}}) {
            DecimalSeparatorScope scope(separator);
            EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "Voltage"), text)
                << "voltage 0x" << std::hex << int(c.voltage) << " separator " << separator;
        }
    }
}

TEST(Processor, StatusTexts) {
    struct Case {
        std::uint8_t status;
        const char* text;
    };
    for (const Case c : {
             Case{0x41, "Populated, CPU Status=CPU Enabled"},
             Case{0x00, "Unpopulated, CPU Status=Unknown"},
             Case{0x42, "Populated, CPU Status=CPU Disabled by User through BIOS Setup"},
             Case{0x43, "Populated, CPU Status=CPU Disabled By BIOS (POST Error)"},
             Case{0x44, "Populated, CPU Status=CPU is Idle, waiting to be enabled."},
             Case{0x05, "Unpopulated, CPU Status=Reserved"},
             Case{0x06, "Unpopulated, CPU Status=Reserved"},
             Case{0x47, "Populated, CPU Status=Other"},
             Case{0xB9, "Unpopulated, CPU Status=CPU Enabled"},  // bits 3, 4, 5, 7 ignored
         }) {
        auto bytes = processor();
        bytes[0x18] = c.status;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "Status"), c.text)
            << "status 0x" << std::hex << int(c.status);
    }
}

TEST(Processor, UpgradeTable) {
    struct Case {
        std::uint8_t code;
        const char* text;
    };
    for (const Case c : {
             Case{0x00, "Unknown"},
             Case{0x01, "Other"},
             Case{0x02, "Unknown"},
             Case{0x04, "ZIF Socket"},
             Case{0x06, "None"},
             Case{0x0A, "370-pin socket"},
             Case{0x0E, "Socket A (Socket 462)"},
             Case{0x18, "Socket F (1207)"},
             Case{0x24, "Socket LGA1155"},
             Case{0x2B, "Socket LGA2011-3"},
             Case{0x30, "Socket BGA1364"},
             Case{0x31, "Socket AM4"},
             Case{0x32, "Socket LGA1151"},
             Case{0x37, "Socket SP3"},
             Case{0x3E, "Socket LGA1200"},
             Case{0x40, "Socket LGA1700"},
             Case{0x49, "Socket AM5"},
             Case{0x4A, "Socket SP5"},
             Case{0x55, "Socket LGA1851"},
             Case{0x57, "Socket BGA2833"},
             Case{0x58, "Unknown"},
             Case{0xFF, "Unknown"},
         }) {
        auto bytes = processor();
        bytes[0x19] = c.code;
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "ProcessorUpgrade"), c.text)
            << "code 0x" << std::hex << int(c.code);
    }
}

TEST(Processor, CountBytesPointToTheWordFieldsAt255) {
    struct Case {
        std::uint8_t count;
        const char* core;
        const char* enabled;
        const char* thread;
    };
    for (const Case c : {Case{255, "--> See CoreCount2 field", "--> See CoreEnabled2 field",
                              "--> See ThreadCount2 field"},
                         Case{0, "0", "0", "0"}, Case{254, "254", "254", "254"}}) {
        auto bytes = processor();
        bytes[0x23] = bytes[0x24] = bytes[0x25] = c.count;
        bytes[0x2A] = 0x00, bytes[0x2B] = 0x01;  // 256 cores
        const auto fields = decodeStructure(bytes, kStrings);
        EXPECT_EQ(valueOf(fields, "CoreCount"), c.core);
        EXPECT_EQ(valueOf(fields, "CoreEnabled"), c.enabled);
        EXPECT_EQ(valueOf(fields, "ThreadCount"), c.thread);
        EXPECT_EQ(valueOf(fields, "CoreCount2"), "256");
    }
}

TEST(Processor, CharacteristicsBitList) {
    for (const auto& [flags, text] : std::vector<std::pair<std::uint16_t, std::string>>{
             {0x00FC,
              "64-bit Capable, Multi-Core, Hardware Thread, Execute Protection, Enhanced "
              "Virtualization, Power/Performance Control, "},
             {0x0001, ""},
             {0x0002, "Unknown, "},
             {0x0100, "128-bit Capable, "},
             {0x0200, "Arm64 SoC ID, "},
             {0xFC00, ""},
             {0xFF04, "64-bit Capable, 128-bit Capable, Arm64 SoC ID, "}}) {
        auto bytes = processor();
        bytes[0x26] = static_cast<std::uint8_t>(flags);
        bytes[0x27] = static_cast<std::uint8_t>(flags >> 8);
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "ProcessorCharacteristics"), text)
            << std::hex << flags;
    }
}

TEST(Processor, SpeedsAndCacheHandlesAreDecimal) {
    auto bytes = processor();
    bytes[0x12] = 0, bytes[0x13] = 0;        // external clock 0: no special text
    bytes[0x14] = 0xFF, bytes[0x15] = 0xFF;  // max speed 65535
    bytes[0x1A] = 0xFE, bytes[0x1B] = 0xFF;  // L1 handle 0xFFFE
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(fields.at(7), (Field{"ExternalClock", "0", "MHz"}));
    EXPECT_EQ(fields.at(8), (Field{"MaxSpeed", "65535", "MHz"}));
    EXPECT_EQ(valueOf(fields, "L1CacheHandle"), "65534");
}

TEST(Processor, MissingStringsAreEmpty) {
    auto bytes = processor();
    bytes[0x04] = 0;
    bytes[0x22] = 7;
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "SocketDesignation"), "");
    EXPECT_EQ(valueOf(fields, "PartNumber"), "");
}

}  // namespace
}  // namespace gravelin::testing
