// OS description, program version and the Windows-1252 code page.
#include "scanner/utils/Utils.h"

#include <gtest/gtest.h>

namespace gravelin {
namespace {

WindowsIdentity windows(std::uint32_t major, std::uint32_t minor, std::uint32_t build,
                        std::uint8_t productType, std::uint16_t suiteMask = 0,
                        std::uint32_t platformId = 2) {
    WindowsIdentity id;
    id.source = WindowsIdentity::Source::RtlGetVersion;
    id.record = {major, minor, build, platformId, "", suiteMask, productType};
    return id;
}

TEST(OsDescription, WindowsExamples) {
    auto win10 = windows(10, 0, 19045, 1, 0x0300);
    win10.is64BitOs = true;
    EXPECT_EQ(osDescription(win10), "Windows 10 Professional 64Bit  (build: 10.0.19045)");
    win10.record.productType = 3;
    EXPECT_EQ(osDescription(win10), "Windows Server 2016 Professional 64Bit  (build: 10.0.19045)");

    auto win7 = windows(6, 1, 7601, 1, 0x0040);
    win7.record.servicePack = "Service Pack 1";
    EXPECT_EQ(osDescription(win7), "Windows 7 Embedded 32Bit Service Pack 1 (build: 6.1.7601)");

    EXPECT_EQ(osDescription(windows(5, 1, 2700, 1)),
              "Windows Unknown Professional 32Bit  (build: 5.1.2700)");
    EXPECT_EQ(osDescription(windows(4, 10, 0x000508AE, 0, 0, 1)),
              "Windows 98 (Second Edition) Professional 32Bit  (build: 4.10.329902)");
}

TEST(OsDescription, FailedSources) {
    WindowsIdentity id;
    id.source = WindowsIdentity::Source::NoRtlGetVersion;
    EXPECT_EQ(osDescription(id), "RtlGetVersion not supported");
    id.source = WindowsIdentity::Source::Failed;
    EXPECT_EQ(osDescription(id), "UNKNOWN");
}

TEST(OsDescription, DecisionTable) {
    struct Case {
        std::uint32_t platformId, major, minor, build;
        std::uint8_t productType;
        std::uint16_t suite;
        const char* name;
    };
    for (const Case c :
         {Case{0, 3, 10, 0, 1, 0, "3.1"}, Case{1, 4, 0, 951, 1, 0, "95A (OSR 1.0)"},
          Case{1, 4, 0, 1111, 1, 0, "95B (OSR 2.0)"}, Case{1, 4, 0, 1, 1, 0, "95"},
          Case{1, 4, 3, 1212, 1, 0, "95B (OSR 2.1)"}, Case{1, 4, 3, 1214, 1, 0, "95C (OSR 2.5)"},
          Case{1, 4, 3, 7, 1, 0, "95"}, Case{1, 4, 10, 1998, 1, 0, "98 (Final Release)"},
          Case{1, 4, 10, 2000, 1, 0, "98 (Second Edition)"},
          Case{1, 4, 10, 0x10000 + 2222, 1, 0, "98 (Second Edition)"},
          Case{1, 4, 10, 5, 1, 0, "98"}, Case{1, 4, 90, 3000, 1, 0, "ME"},
          Case{1, 5, 0, 0, 1, 0, "Unknown"}, Case{2, 3, 51, 1057, 1, 0, "NT 3.51"},
          Case{2, 4, 0, 1381, 1, 0, "NT 4.0"}, Case{2, 5, 0, 2195, 1, 0, "2000"},
          Case{2, 5, 0, 2196, 1, 0, "Unknown"}, Case{2, 5, 1, 2600, 1, 0, "XP"},
          Case{2, 5, 1, 2505, 1, 0, "XP"}, Case{2, 5, 2, 3790, 1, 0x8000, "Home Server"},
          Case{2, 5, 2, 3790, 3, 0x8010, "Server 2003"},
          Case{2, 5, 2, 3790, 1, 0x8010, "XP x64 Edition"}, Case{2, 6, 0, 6002, 1, 0, "Vista"},
          Case{2, 6, 0, 6002, 3, 0, "Server 2008"}, Case{2, 6, 1, 7601, 2, 0, "Server 2008 R2"},
          Case{2, 6, 2, 9200, 1, 0, "8"}, Case{2, 6, 2, 9200, 3, 0, "Server 2012"},
          Case{2, 6, 3, 9600, 1, 0, "8.1"}, Case{2, 6, 3, 9600, 3, 0, "Server 2012 R2"},
          Case{2, 6, 4, 9600, 1, 0, "Unknown"}, Case{2, 6, 4, 9600, 3, 0, "Unknown"},
          Case{2, 10, 1, 1, 1, 0, "Unknown"}, Case{3, 10, 0, 1, 1, 0, "Unknown"},
          // Windows 11 and the later servers report 10.0 too; the build tells them apart.
          Case{2, 10, 0, 19045, 1, 0, "10"}, Case{2, 10, 0, 22000, 1, 0, "11"},
          Case{2, 10, 0, 26100, 1, 0, "11"}, Case{2, 10, 0, 14393, 3, 0, "Server 2016"},
          Case{2, 10, 0, 17763, 3, 0, "Server 2019"}, Case{2, 10, 0, 20348, 2, 0, "Server 2022"},
          Case{2, 10, 0, 26100, 3, 0, "Server 2025"}, Case{2, 10, 0, 26200, 3, 0, "Server 2025"},
          Case{2, 10, 0, 19045, 3, 0, "Server 2016"}, Case{2, 10, 0, 18000, 3, 0, "Server 2016"}}) {
        EXPECT_EQ(windowsVersionName(
                      {c.major, c.minor, c.build, c.platformId, "", c.suite, c.productType}),
                  c.name)
            << c.platformId << " " << c.major << "." << c.minor << "." << c.build << " type "
            << int(c.productType);
    }
}

TEST(OsDescription, BitnessDescribesTheSystem) {
    auto id = windows(10, 0, 22631, 1);
    id.is64BitOs = true;
    EXPECT_EQ(osDescription(id), "Windows 11 Professional 64Bit  (build: 10.0.22631)");
    id.is64BitOs = false;
    EXPECT_EQ(osDescription(id), "Windows 11 Professional 32Bit  (build: 10.0.22631)");
}

TEST(OsDescription, Linux) {
    EXPECT_EQ(
        osDescription(LinuxIdentity{"Debian GNU/Linux 12 (bookworm)", true, "6.1.0-18-amd64"}),
        "Debian GNU/Linux 12 (bookworm) 64Bit (kernel: 6.1.0-18-amd64)");
    EXPECT_EQ(osDescription(LinuxIdentity{"", false, "5.10.0"}), "Linux 32Bit (kernel: 5.10.0)");
}

TEST(ProgramVersion, FourNumbers) {
    EXPECT_EQ(programVersion(FileVersion{0x00010002, 0x00030004}), "1.2.3.4");
    EXPECT_EQ(programVersion(FileVersion{0xFFFF0000, 0x0000FFFF}), "65535.0.0.65535");
    EXPECT_EQ(programVersion(std::nullopt), "");
}

TEST(Windows1252, RoundTripsEveryDefinedByte) {
    const auto& cp = windows1252();
    for (int b = 1; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        EXPECT_EQ(cp.fromUtf8(cp.toUtf8(byte)), byte) << "byte " << b;
    }
    EXPECT_EQ(cp.toUtf8("\x80\x99\xB0\xAE"), "\xE2\x82\xAC\xE2\x84\xA2\xC2\xB0\xC2\xAE");
    EXPECT_EQ(cp.toUtf8("\x96\x97\x94"), "\xE2\x80\x93\xE2\x80\x94\xE2\x80\x9D");
}

TEST(Windows1252, CharactersTheCodePageLacksBecomeQuestionMarks) {
    const auto& cp = windows1252();
    EXPECT_EQ(cp.fromUtf8("a\xE2\x82\xAC"
                          "b\xE4\xB8\xAD"
                          "c\xF0\x9F\x98\x80"
                          "d\xFF"
                          "e"),
              "a\x80"
              "b?c?d?e");
}

}  // namespace
}  // namespace gravelin
