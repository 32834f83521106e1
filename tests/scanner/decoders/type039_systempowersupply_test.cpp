#include "DecoderTesting.h"

namespace gravelin::testing {
namespace {

// A full-length (0x16) structure: a present, auto-switching, OK switching supply of 450 W.
std::vector<std::uint8_t> fullPowerSupply() {
    return {39,   0x16, 0x40, 0x00,  // type, Length, handle
            1,                       // power unit group
            1,    2,    3,    4,     // location, device name, manufacturer, serial
            5,    6,    7,           // asset tag, model part number, revision
            0xC2, 0x01,              // 450 W
            0xA2, 0x11,              // present, Auto-switch, OK, Switching
            0x27, 0x00,              // input voltage probe 39
            0xFF, 0xFF,              // no cooling device
            0x29, 0x00};             // input current probe 41
}

const std::initializer_list<std::string> kStrings = {"PSU1",    "PWS-451", "Delta", "P1234",
                                                     "Asset-1", "DPS-450", "Rev. A"};

TEST(SystemPowerSupply, FullStructureGivesEveryFieldInOrder) {
    const std::vector<Field> expected = {
        {"PowerUnitGroup", "1", ""},
        {"Location", "PSU1", ""},
        {"DeviceName", "PWS-451", ""},
        {"Manufacturer", "Delta", ""},
        {"SerialNumber", "P1234", ""},
        {"AssetTagNumber", "Asset-1", ""},
        {"ModelPartNumber", "DPS-450", ""},
        {"RevisionLevel", "Rev. A", ""},
        {"MaxPowerCapacity", "450W", ""},
        {"PowerSupplyCharacteristics", "present, Range=Auto-switch, Status=OK, Type=Switching", ""},
        {"InputVoltageProbeHandle", "39", ""},
        {"CoolingDeviceHandle", "N/A", ""},
        {"InputCurrentProbeHandle", "41", ""},
    };
    EXPECT_EQ(decodeStructure(fullPowerSupply(), kStrings), expected);
}

TEST(SystemPowerSupply, LengthCutsTheFieldList) {
    struct Case {
        std::uint8_t length;
        std::size_t fieldCount;
        const char* lastField;
    };
    // 0x10: without the three probe handles; 0x16: the whole layout.
    for (const Case c :
         {Case{0x05, 1, "PowerUnitGroup"}, Case{0x0C, 8, "RevisionLevel"},
          Case{0x0D, 9, "MaxPowerCapacity"}, Case{0x10, 10, "PowerSupplyCharacteristics"},
          Case{0x11, 11, "InputVoltageProbeHandle"}, Case{0x14, 12, "CoolingDeviceHandle"},
          Case{0x16, 13, "InputCurrentProbeHandle"}}) {
        auto bytes = fullPowerSupply();
        bytes[1] = c.length;
        const auto fields = decodeStructure(bytes, kStrings);
        ASSERT_EQ(fields.size(), c.fieldCount) << "Length " << int(c.length);
        EXPECT_EQ(fields.back().name, c.lastField) << "Length " << int(c.length);
    }
}

TEST(SystemPowerSupply, CharacteristicsTexts) {
    struct Case {
        std::uint16_t value;
        const char* text;
    };
    for (const Case c : {
             Case{0x11A2, "present, Range=Auto-switch, Status=OK, Type=Switching"},
             Case{0x0000, "Range=UNKNOWN, Status=UNKNOWN, Type=UNKNOWN"},
             Case{0xC000, "Range=UNKNOWN, Status=UNKNOWN, Type=UNKNOWN"},
             Case{0x0007,
                  "hot-replaceable, present, unplugged from the wall, Range=UNKNOWN, "
                  "Status=UNKNOWN, Type=UNKNOWN"},
             Case{0x0001, "hot-replaceable, Range=UNKNOWN, Status=UNKNOWN, Type=UNKNOWN"},
             Case{0x0004, "unplugged from the wall, Range=UNKNOWN, Status=UNKNOWN, Type=UNKNOWN"},
             // Code 2 of each part is "Unknown", unlike an unlisted code.
             Case{0x0910, "Range=Unknown, Status=Unknown, Type=Unknown"},
             Case{0x0488, "Range=Other, Status=Other, Type=Other"},
             Case{0x0D98, "Range=Manual, Status=OK, Type=Linear"},
             Case{0x1628, "Range=Wide range, Status=non-critical, Type=Battery"},
             Case{0x1AB0, "Range=Not applicable, Status=Critical, Type=UPS"},
             Case{0x1F38, "Range=UNKNOWN, Status=UNKNOWN, Type=Converter"},
             Case{0x2078, "Range=UNKNOWN, Status=UNKNOWN, Type=Regulator"},
             Case{0x3C00, "Range=UNKNOWN, Status=UNKNOWN, Type=UNKNOWN"},
         }) {
        auto bytes = fullPowerSupply();
        bytes[0x0E] = static_cast<std::uint8_t>(c.value);
        bytes[0x0F] = static_cast<std::uint8_t>(c.value >> 8);
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), "PowerSupplyCharacteristics"), c.text)
            << "0x" << std::hex << c.value;
    }
}

TEST(SystemPowerSupply, PowerAndHandleSentinels) {
    struct Case {
        std::size_t offset;
        std::uint16_t value;
        const char* field;
        const char* text;
    };
    for (const Case c : {Case{0x0C, 450, "MaxPowerCapacity", "450W"},
                         Case{0x0C, 0x8000, "MaxPowerCapacity", "N/A"},
                         Case{0x0C, 0x7FFF, "MaxPowerCapacity", "32767W"},
                         Case{0x0C, 0xFFFF, "MaxPowerCapacity", "65535W"},
                         Case{0x10, 0xFFFF, "InputVoltageProbeHandle", "N/A"},
                         Case{0x10, 0x0027, "InputVoltageProbeHandle", "39"},
                         Case{0x12, 0xFFFE, "CoolingDeviceHandle", "65534"},
                         Case{0x14, 0xFFFF, "InputCurrentProbeHandle", "N/A"},
                         Case{0x14, 0x0000, "InputCurrentProbeHandle", "0"}}) {
        auto bytes = fullPowerSupply();
        bytes[c.offset] = static_cast<std::uint8_t>(c.value);
        bytes[c.offset + 1] = static_cast<std::uint8_t>(c.value >> 8);
        EXPECT_EQ(valueOf(decodeStructure(bytes, kStrings), c.field), c.text)
            << c.field << " 0x" << std::hex << c.value;
    }
}

TEST(SystemPowerSupply, MissingStringsAreEmpty) {
    auto bytes = fullPowerSupply();
    bytes[0x05] = 0;
    bytes[0x0B] = 8;
    const auto fields = decodeStructure(bytes, kStrings);
    EXPECT_EQ(valueOf(fields, "Location"), "");
    EXPECT_EQ(valueOf(fields, "RevisionLevel"), "");
}

}  // namespace
}  // namespace gravelin::testing
