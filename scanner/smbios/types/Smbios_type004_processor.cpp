// Processor (type 4): one processor socket: the processor's type, family, maker, ID, voltage,
// speeds, status, socket kind, caches, counts and characteristics.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// Processor type (SMBIOS 3.8), 0x01 Other .. 0x06 Video Processor.
constexpr CodeText kProcessorTypes[] = {
    {0x01, "Other"},          {0x02, "Unknown"},       {0x03, "Central Processor"},
    {0x04, "Math Processor"}, {0x05, "DSP Processor"}, {0x06, "Video Processor"},
};

// Processor family (SMBIOS 3.8), byte and word codes alike, 0x0001 Other .. 0x0307 Intel® Core™
// Ultra 9. 0x0000 is "Unknown", 0xFFFE and 0xFFFF are "Reserved", every other code that is not
// listed is "Available for assignment".
constexpr CodeText kFamilies[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "8086"},
    {0x04, "80286"},
    {0x05, "Intel386™ processor"},
    {0x06, "Intel486™ processor"},
    {0x07, "8087"},
    {0x08, "80287"},
    {0x09, "80387"},
    {0x0A, "80487"},
    {0x0B, "Intel® Pentium® processor"},
    {0x0C, "Pentium® Pro processor"},
    {0x0D, "Pentium® II processor"},
    {0x0E, "Pentium® processor with MMX™ technology"},
    {0x0F, "Intel® Celeron® processor"},
    {0x10, "Pentium® II Xeon™ processor"},
    {0x11, "Pentium® III processor"},
    {0x12, "M1 Family"},
    {0x13, "M2 Family"},
    {0x14, "Intel® Celeron® M processor"},
    {0x15, "Intel® Pentium® 4 HT processor"},
    {0x16, "Intel® Processor"},
    {0x18, "AMD Duron™ Processor Family [1]"},
    {0x19, "K5 Family [1]"},
    {0x1A, "K6 Family [1]"},
    {0x1B, "K6-2 [1]"},
    {0x1C, "K6-3 [1]"},
    {0x1D, "AMD Athlon™ Processor Family [1]"},
    {0x1E, "AMD29000 Family"},
    {0x1F, "K6-2+"},
    {0x20, "Power PC Family"},
    {0x21, "Power PC 601"},
    {0x22, "Power PC 603"},
    {0x23, "Power PC 603+"},
    {0x24, "Power PC 604"},
    {0x25, "Power PC 620"},
    {0x26, "Power PC x704"},
    {0x27, "Power PC 750"},
    {0x28, "Intel® Core™ Duo processor"},
    {0x29, "Intel® Core™ Duo mobile processor"},
    {0x2A, "Intel® Core™ Solo mobile processor"},
    {0x2B, "Intel® Atom™ processor"},
    {0x2C, "Intel® Core™ M processor"},
    {0x2D, "Intel(R) Core(TM) m3 processor"},
    {0x2E, "Intel(R) Core(TM) m5 processor"},
    {0x2F, "Intel(R) Core(TM) m7 processor"},
    {0x30, "Alpha Family [2]"},
    {0x31, "Alpha 21064"},
    {0x32, "Alpha 21066"},
    {0x33, "Alpha 21164"},
    {0x34, "Alpha 21164PC"},
    {0x35, "Alpha 21164a"},
    {0x36, "Alpha 21264"},
    {0x37, "Alpha 21364"},
    {0x38, "AMD Turion™ II Ultra Dual-Core Mobile M Processor Family"},
    {0x39, "AMD Turion™ II Dual-Core Mobile M Processor Family"},
    {0x3A, "AMD Athlon™ II Dual-Core M Processor Family"},
    {0x3B, "AMD Opteron™ 6100 Series Processor"},
    {0x3C, "AMD Opteron™ 4100 Series Processor"},
    {0x3D, "AMD Opteron™ 6200 Series Processor"},
    {0x3E, "AMD Opteron™ 4200 Series Processor"},
    {0x3F, "AMD FX™ Series Processor"},
    {0x40, "MIPS Family"},
    {0x41, "MIPS R4000"},
    {0x42, "MIPS R4200"},
    {0x43, "MIPS R4400"},
    {0x44, "MIPS R4600"},
    {0x45, "MIPS R10000"},
    {0x46, "AMD C-Series Processor"},
    {0x47, "AMD E-Series Processor"},
    {0x48, "AMD A-Series Processor"},
    {0x49, "AMD G-Series Processor"},
    {0x4A, "AMD Z-Series Processor"},
    {0x4B, "AMD R-Series Processor"},
    {0x4C, "AMD Opteron™ 4300 Series Processor"},
    {0x4D, "AMD Opteron™ 6300 Series Processor"},
    {0x4E, "AMD Opteron™ 3300 Series Processor"},
    {0x4F, "AMD FirePro™ Series Processor"},
    {0x50, "SPARC Family"},
    {0x51, "SuperSPARC"},
    {0x52, "microSPARC II"},
    {0x53, "microSPARC IIep"},
    {0x54, "UltraSPARC"},
    {0x55, "UltraSPARC II"},
    {0x56, "UltraSPARC Iii"},
    {0x57, "UltraSPARC III"},
    {0x58, "UltraSPARC IIIi"},
    {0x60, "68040 Family"},
    {0x61, "68xxx"},
    {0x62, "68000"},
    {0x63, "68010"},
    {0x64, "68020"},
    {0x65, "68030"},
    {0x66, "AMD Athlon(TM) X4 Quad-Core Processor Family"},
    {0x67, "AMD Opteron(TM) X1000 Series Processor"},
    {0x68, "AMD Opteron(TM) X2000 Series APU"},
    {0x69, "AMD Opteron(TM) A-Series Processor"},
    {0x6A, "AMD Opteron(TM) X3000 Series APU"},
    {0x6B, "AMD Zen Processor Family"},
    {0x70, "Hobbit Family"},
    {0x78, "Crusoe™ TM5000 Family"},
    {0x79, "Crusoe™ TM3000 Family"},
    {0x7A, "Efficeon™ TM8000 Family"},
    {0x80, "Weitek"},
    {0x82, "Itanium™ processor"},
    {0x83, "AMD Athlon™ 64 Processor Family"},
    {0x84, "AMD Opteron™ Processor Family"},
    {0x85, "AMD Sempron™ Processor Family"},
    {0x86, "AMD Turion™ 64 Mobile Technology"},
    {0x87, "Dual-Core AMD Opteron™ Processor Family"},
    {0x88, "AMD Athlon™ 64 X2 Dual-Core Processor Family"},
    {0x89, "AMD Turion™ 64 X2 Mobile Technology"},
    {0x8A, "Quad-Core AMD Opteron™ Processor Family"},
    {0x8B, "Third-Generation AMD Opteron™ Processor Family"},
    {0x8C, "AMD Phenom™ FX Quad-Core Processor Family"},
    {0x8D, "AMD Phenom™ X4 Quad-Core Processor Family"},
    {0x8E, "AMD Phenom™ X2 Dual-Core Processor Family"},
    {0x8F, "AMD Athlon™ X2 Dual-Core Processor Family"},
    {0x90, "PA-RISC Family"},
    {0x91, "PA-RISC 8500"},
    {0x92, "PA-RISC 8000"},
    {0x93, "PA-RISC 7300LC"},
    {0x94, "PA-RISC 7200"},
    {0x95, "PA-RISC 7100LC"},
    {0x96, "PA-RISC 7100"},
    {0xA0, "V30 Family"},
    {0xA1, "Quad-Core Intel® Xeon® processor 3200 Series"},
    {0xA2, "Dual-Core Intel® Xeon® processor 3000 Series"},
    {0xA3, "Quad-Core Intel® Xeon® processor 5300 Series"},
    {0xA4, "Dual-Core Intel® Xeon® processor 5100 Series"},
    {0xA5, "Dual-Core Intel® Xeon® processor 5000 Series"},
    {0xA6, "Dual-Core Intel® Xeon® processor LV"},
    {0xA7, "Dual-Core Intel® Xeon® processor ULV"},
    {0xA8, "Dual-Core Intel® Xeon® processor 7100 Series"},
    {0xA9, "Quad-Core Intel® Xeon® processor 5400 Series"},
    {0xAA, "Quad-Core Intel® Xeon® processor"},
    {0xAB, "Dual-Core Intel® Xeon® processor 5200 Series"},
    {0xAC, "Dual-Core Intel® Xeon® processor 7200 Series"},
    {0xAD, "Quad-Core Intel® Xeon® processor 7300 Series"},
    {0xAE, "Quad-Core Intel® Xeon® processor 7400 Series"},
    {0xAF, "Multi-Core Intel® Xeon® processor 7400 Series"},
    {0xB0, "Pentium® III Xeon™ processor"},
    {0xB1, "Pentium® III Processor with Intel® SpeedStep™ Technology"},
    {0xB2, "Pentium® 4 Processor"},
    {0xB3, "Intel® Xeon® processor"},
    {0xB4, "AS400 Family"},
    {0xB5, "Intel® Xeon™ processor MP"},
    {0xB6, "AMD Athlon™ XP Processor Family"},
    {0xB7, "AMD Athlon™ MP Processor Family"},
    {0xB8, "Intel® Itanium® 2 processor"},
    {0xB9, "Intel® Pentium® M processor"},
    {0xBA, "Intel® Celeron® D processor"},
    {0xBB, "Intel® Pentium® D processor"},
    {0xBC, "Intel® Pentium® Processor Extreme Edition"},
    {0xBD, "Intel® Core™ Solo Processor"},
    {0xBE, "Reserved [3]"},
    {0xBF, "Intel® Core™ 2 Duo Processor"},
    {0xC0, "Intel® Core™ 2 Solo processor"},
    {0xC1, "Intel® Core™ 2 Extreme processor"},
    {0xC2, "Intel® Core™ 2 Quad processor"},
    {0xC3, "Intel® Core™ 2 Extreme mobile processor"},
    {0xC4, "Intel® Core™ 2 Duo mobile processor"},
    {0xC5, "Intel® Core™ 2 Solo mobile processor"},
    {0xC6, "Intel® Core™ i7 processor"},
    {0xC7, "Dual-Core Intel® Celeron® processor"},
    {0xC8, "IBM390 Family"},
    {0xC9, "G4"},
    {0xCA, "G5"},
    {0xCB, "ESA/390 G6"},
    {0xCC, "z/Architecture base"},
    {0xCD, "Intel® Core™ i5 processor"},
    {0xCE, "Intel® Core™ i3 processor"},
    {0xCF, "Intel® Core™ i9 processor"},
    {0xD0, "Intel® Xeon® D Processor"},
    {0xD2, "VIA C7™-M Processor Family"},
    {0xD3, "VIA C7™-D Processor Family"},
    {0xD4, "VIA C7™ Processor Family"},
    {0xD5, "VIA Eden™ Processor Family"},
    {0xD6, "Multi-Core Intel® Xeon® processor"},
    {0xD7, "Dual-Core Intel® Xeon® processor 3xxx Series"},
    {0xD8, "Quad-Core Intel® Xeon® processor 3xxx Series"},
    {0xD9, "VIA Nano™ Processor Family"},
    {0xDA, "Dual-Core Intel® Xeon® processor 5xxx Series"},
    {0xDB, "Quad-Core Intel® Xeon® processor 5xxx Series"},
    {0xDD, "Dual-Core Intel® Xeon® processor 7xxx Series"},
    {0xDE, "Quad-Core Intel® Xeon® processor 7xxx Series"},
    {0xDF, "Multi-Core Intel® Xeon® processor 7xxx Series"},
    {0xE0, "Multi-Core Intel® Xeon® processor 3400 Series"},
    {0xE4, "AMD Opteron™ 3000 Series Processor"},
    {0xE5, "AMD Sempron™ II Processor"},
    {0xE6, "Embedded AMD Opteron™ Quad-Core Processor Family"},
    {0xE7, "AMD Phenom™ Triple-Core Processor Family"},
    {0xE8, "AMD Turion™ Ultra Dual-Core Mobile Processor Family"},
    {0xE9, "AMD Turion™ Dual-Core Mobile Processor Family"},
    {0xEA, "AMD Athlon™ Dual-Core Processor Family"},
    {0xEB, "AMD Sempron™ SI Processor Family"},
    {0xEC, "AMD Phenom™ II Processor Family"},
    {0xED, "AMD Athlon™ II Processor Family"},
    {0xEE, "Six-Core AMD Opteron™ Processor Family"},
    {0xEF, "AMD Sempron™ M Processor Family"},
    {0xFA, "i860"},
    {0xFB, "i960"},
    {0xFE, "---> See ProcessorFamily2 field"},
    {0xFF, "Reserved"},
    {0x100, "ARMv7"},
    {0x101, "ARMv8"},
    {0x102, "ARMv9"},
    {0x104, "SH-3"},
    {0x105, "SH-4"},
    {0x118, "ARM"},
    {0x119, "StrongARM"},
    {0x12C, "6x86"},
    {0x12D, "MediaGX"},
    {0x12E, "MII"},
    {0x140, "WinChip"},
    {0x15E, "DSP"},
    {0x1F4, "Video Processor"},
    {0x200, "RISC-V RV32"},
    {0x201, "RISC-V RV64"},
    {0x202, "RISC-V RV128"},
    {0x258, "LoongArch"},
    {0x259, "Loongson 1"},
    {0x25A, "Loongson 2"},
    {0x25B, "Loongson 3"},
    {0x25C, "Loongson 2K"},
    {0x25D, "Loongson 3A"},
    {0x25E, "Loongson 3B"},
    {0x25F, "Loongson 3C"},
    {0x260, "Loongson 3D"},
    {0x261, "Loongson 3E"},
    {0x262, "Dual-Core Loongson 2K 2xxx"},
    {0x26C, "Quad-Core Loongson 3A 5xxx"},
    {0x26D, "Multi-Core Loongson 3A 5xxx"},
    {0x26E, "Quad-Core Loongson 3B 5xxx"},
    {0x26F, "Multi-Core Loongson 3B 5xxx"},
    {0x270, "Multi-Core Loongson 3C 5xxx"},
    {0x271, "Multi-Core Loongson 3D 5xxx"},
    {0x300, "Intel® Core™ 3"},
    {0x301, "Intel® Core™ 5"},
    {0x302, "Intel® Core™ 7"},
    {0x303, "Intel® Core™ 9"},
    {0x304, "Intel® Core™ Ultra 3"},
    {0x305, "Intel® Core™ Ultra 5"},
    {0x306, "Intel® Core™ Ultra 7"},
    {0x307, "Intel® Core™ Ultra 9"},
};

// Processor status (SMBIOS 3.8; bits 0-2 of the status byte), 0 Unknown .. 7 Other.
constexpr CodeText kCpuStatus[] = {
    {0, "Unknown"},
    {1, "CPU Enabled"},
    {2, "CPU Disabled by User through BIOS Setup"},
    {3, "CPU Disabled By BIOS (POST Error)"},
    {4, "CPU is Idle, waiting to be enabled."},
    {5, "Reserved"},
    {6, "Reserved"},
    {7, "Other"},
};

// Processor upgrade (socket kind) (SMBIOS 3.8), 0x01 Other .. 0x57 Socket BGA2833.
constexpr CodeText kUpgrades[] = {
    {0x01, "Other"},
    {0x02, "Unknown"},
    {0x03, "Daughter Board"},
    {0x04, "ZIF Socket"},
    {0x05, "Replaceable Piggy Back"},
    {0x06, "None"},
    {0x07, "LIF Socket"},
    {0x08, "Slot 1"},
    {0x09, "Slot 2"},
    {0x0A, "370-pin socket"},
    {0x0B, "Slot A"},
    {0x0C, "Slot M"},
    {0x0D, "Socket 423"},
    {0x0E, "Socket A (Socket 462)"},
    {0x0F, "Socket 478"},
    {0x10, "Socket 754"},
    {0x11, "Socket 940"},
    {0x12, "Socket 939"},
    {0x13, "Socket mPGA604"},
    {0x14, "Socket LGA771"},
    {0x15, "Socket LGA775"},
    {0x16, "Socket S1"},
    {0x17, "Socket AM2"},
    {0x18, "Socket F (1207)"},
    {0x19, "Socket LGA1366"},
    {0x1A, "Socket G34"},
    {0x1B, "Socket AM3"},
    {0x1C, "Socket C32"},
    {0x1D, "Socket LGA1156"},
    {0x1E, "Socket LGA1567"},
    {0x1F, "Socket PGA988A"},
    {0x20, "Socket BGA1288"},
    {0x21, "Socket rPGA988B"},
    {0x22, "Socket BGA1023"},
    {0x23, "Socket BGA1224"},
    {0x24, "Socket LGA1155"},
    {0x25, "Socket LGA1356"},
    {0x26, "Socket LGA2011"},
    {0x27, "Socket FS1"},
    {0x28, "Socket FS2"},
    {0x29, "Socket FM1"},
    {0x2A, "Socket FM2"},
    {0x2B, "Socket LGA2011-3"},
    {0x2C, "Socket LGA1356-3"},
    {0x2D, "Socket LGA1150"},
    {0x2E, "Socket BGA1168"},
    {0x2F, "Socket BGA1234"},
    {0x30, "Socket BGA1364"},
    {0x31, "Socket AM4"},
    {0x32, "Socket LGA1151"},
    {0x33, "Socket BGA1356"},
    {0x34, "Socket BGA1440"},
    {0x35, "Socket BGA1515"},
    {0x36, "Socket LGA3647-1"},
    {0x37, "Socket SP3"},
    {0x38, "Socket SP3r2"},
    {0x39, "Socket LGA2066"},
    {0x3A, "Socket BGA1392"},
    {0x3B, "Socket BGA1510"},
    {0x3C, "Socket BGA1528"},
    {0x3D, "Socket LGA4189"},
    {0x3E, "Socket LGA1200"},
    {0x3F, "Socket LGA4677"},
    {0x40, "Socket LGA1700"},
    {0x41, "Socket BGA1744"},
    {0x42, "Socket BGA1781"},
    {0x43, "Socket BGA1211"},
    {0x44, "Socket BGA2422"},
    {0x45, "Socket LGA1211"},
    {0x46, "Socket LGA2422"},
    {0x47, "Socket LGA5773"},
    {0x48, "Socket BGA5773"},
    {0x49, "Socket AM5"},
    {0x4A, "Socket SP5"},
    {0x4B, "Socket SP6"},
    {0x4C, "Socket BGA883"},
    {0x4D, "Socket BGA1190"},
    {0x4E, "Socket BGA4129"},
    {0x4F, "Socket LGA4710"},
    {0x50, "Socket LGA7529"},
    {0x51, "Socket BGA1964"},
    {0x52, "Socket BGA1792"},
    {0x53, "Socket BGA2049"},
    {0x54, "Socket BGA2551"},
    {0x55, "Socket LGA1851"},
    {0x56, "Socket BGA2114"},
    {0x57, "Socket BGA2833"},
};

// Supported voltages (SMBIOS 3.8; bit 7 of the voltage byte clear), bits 0 .. 2.
constexpr CodeText kSupportedVoltages[] = {
    {0, "5V, "},
    {1, "3.3V, "},
    {2, "2.9V, "},
};

// Processor characteristics (SMBIOS 3.8), bits 1 .. 9; bit 0 and bits 10-15 are reserved.
constexpr CodeText kCharacteristics[] = {
    {1, "Unknown, "},
    {2, "64-bit Capable, "},
    {3, "Multi-Core, "},
    {4, "Hardware Thread, "},
    {5, "Execute Protection, "},
    {6, "Enhanced Virtualization, "},
    {7, "Power/Performance Control, "},
    {8, "128-bit Capable, "},
    {9, "Arm64 SoC ID, "},
};

std::string familyText(std::uint16_t code) {
    if (code == 0x0000) return "Unknown";
    return lookupCode(kFamilies, code, code >= 0xFFFE ? "Reserved" : "Available for assignment");
}

std::string voltageText(std::uint8_t voltage) {
    if ((voltage & 0x80U) != 0) {
        return "Current voltage=" + floating((voltage & 0x7FU) / 10.0) + "V";
    }
    return "Supported Voltages=" + bitList(kSupportedVoltages, voltage & 0x07U);
}

std::string statusText(std::uint8_t status) {
    return std::string((status & 0x40U) != 0 ? "Populated" : "Unpopulated") +
           ", CPU Status=" + lookupCode(kCpuStatus, status & 0x07U);
}

// A count byte; 255 says that the 16-bit count further on holds the value.
std::string countText(std::uint8_t count, const char* seeWordField) {
    return count == 0xFF ? std::string(seeWordField) : decimal(count);
}

}  // namespace

void decodeType004Processor(const StructureView& s, const StringList& strings,
                            const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.string("SocketDesignation", 0x04);
    f.byteCode("ProcessorType", 0x05, kProcessorTypes);
    f.text("ProcessorFamily", 0x06, familyText(s.u8(0x06)));
    f.string("ProcessorManufacturer", 0x07);
    if (f.reaches(0x08)) {
        std::uint8_t id[8];
        for (std::size_t i = 0; i < 8; ++i) id[i] = s.u8(0x08 + i);
        f.emit("ProcessorID", "0x" + hexBytes(id));
    }
    f.string("ProcessorVersion", 0x10);
    f.text("Voltage", 0x11, voltageText(s.u8(0x11)));
    f.wordDecimal("ExternalClock", 0x12, "MHz");
    f.wordDecimal("MaxSpeed", 0x14, "MHz");
    f.wordDecimal("CurrentSpeed", 0x16, "MHz");
    f.text("Status", 0x18, statusText(s.u8(0x18)));
    f.byteCode("ProcessorUpgrade", 0x19, kUpgrades);
    f.wordDecimal("L1CacheHandle", 0x1A);
    f.wordDecimal("L2CacheHandle", 0x1C);
    f.wordDecimal("L3CacheHandle", 0x1E);
    f.string("SerialNumber", 0x20);
    f.string("AssetTagNumber", 0x21);
    f.string("PartNumber", 0x22);
    f.text("CoreCount", 0x23, countText(s.u8(0x23), "--> See CoreCount2 field"));
    f.text("CoreEnabled", 0x24, countText(s.u8(0x24), "--> See CoreEnabled2 field"));
    f.text("ThreadCount", 0x25, countText(s.u8(0x25), "--> See ThreadCount2 field"));
    f.text("ProcessorCharacteristics", 0x26, bitList(kCharacteristics, s.u16(0x26)));
    f.text("ProcessorFamily2", 0x28, familyText(s.u16(0x28)));
    f.wordDecimal("CoreCount2", 0x2A);
    f.wordDecimal("CoreEnabled2", 0x2C);
    f.wordDecimal("ThreadCount2", 0x2E);
}

}  // namespace gravelin
