// What Windows tells about itself and about files: the executable's path, the version
// record and the 64-bit question, file version information, the ANSI code page and the
// user's decimal separator.
#include <gmock/gmock.h>

#include <regex>

#include "WindowsTesting.h"
#include "gravelin_config.h"
#include "scanner/platform/windows/WindowsPlatform.h"
#include "scanner/utils/Utils.h"

namespace gravelin::testing {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;
using windows::narrow;
using windows::widen;

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

TEST(ExecutablePath, IsTheFullPathOfThisProgram) {
    WindowsPlatform platform;
    const std::string path = platform.executablePath();
    EXPECT_THAT(lower(path), EndsWith("windows_system_test.exe"));
    // Absolute: a drive letter or a UNC path.
    EXPECT_TRUE((path.size() > 2 && path[1] == ':' && path[2] == '\\') || path.starts_with("\\\\"))
        << path;
    EXPECT_NE(::GetFileAttributesW(widen(path).c_str()), INVALID_FILE_ATTRIBUTES) << path;
}

TEST(OsIdentity, TheVersionRecordComesFromRtlGetVersion) {
    WindowsPlatform platform;
    const auto identity = std::get<WindowsIdentity>(platform.osIdentity());
    EXPECT_EQ(identity.source, WindowsIdentity::Source::RtlGetVersion);
    EXPECT_EQ(identity.record.platformId, 2U);  // the NT family
    EXPECT_GE(identity.record.major, 5U);
}

TEST(OsIdentity, A64BitSystemIsDescribedAs64BitWhateverTheProcess) {
    // A 64-bit process never runs under WOW64, yet the system it runs on is 64-bit.
    WindowsPlatform platform;
    const auto identity = std::get<WindowsIdentity>(platform.osIdentity());
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    const bool expected = sizeof(void*) == 8 || wow64 != FALSE;
    EXPECT_EQ(identity.is64BitOs, expected);
    const std::string description = osDescription(identity);
    EXPECT_THAT(description, ::testing::HasSubstr(expected ? " 64Bit " : " 32Bit "));
}

TEST(OsIdentity, TheDescriptionCarriesTheRecordsNumbers) {
    WindowsPlatform platform;
    const auto identity = std::get<WindowsIdentity>(platform.osIdentity());
    const std::string description = osDescription(identity);
    const auto& r = identity.record;
    EXPECT_THAT(description, StartsWith("Windows " + windowsVersionName(r)));
    EXPECT_THAT(description,
                EndsWith("(build: " + std::to_string(r.major) + "." + std::to_string(r.minor) +
                         "." + std::to_string(r.build) + ")"));
    EXPECT_THAT(description, ::testing::Not(::testing::HasSubstr("Unknown")));
}

TEST(FileVersion, TheScannersResourceCarriesTheProjectVersion) {
    WindowsPlatform platform;
    const auto version = platform.fileVersion(GRAVELIN_SCANNER_EXE);
    ASSERT_TRUE(version.has_value()) << GRAVELIN_SCANNER_EXE;
    EXPECT_EQ(programVersion(version), GRAVELIN_VERSION);
    EXPECT_EQ(programVersion(version), "1.0.0.0");
}

TEST(FileVersion, FilesWithoutVersionInformationGiveNothing) {
    WindowsPlatform platform;
    ScratchDirectory dir;
    const std::wstring garbage = dir.file(L"garbage.exe");
    std::string bytes = "MZ";
    for (int i = 0; i < 4096; ++i) bytes += static_cast<char>((i * 131) & 0xFF);
    ASSERT_TRUE(writeFile(garbage, bytes));
    EXPECT_EQ(platform.fileVersion(platform.executablePath()), std::nullopt);  // no resource
    EXPECT_EQ(platform.fileVersion(narrow(garbage)), std::nullopt);
    EXPECT_EQ(platform.fileVersion(narrow(dir.file(L"absent.exe"))), std::nullopt);
    EXPECT_EQ(programVersion(platform.fileVersion(narrow(garbage))), "");
}

TEST(AnsiCodePage, Windows1252MatchesTheCoresTableByteForByte) {
    if (::GetACP() != 1252) GTEST_SKIP() << "the ANSI code page here is " << ::GetACP();
    WindowsPlatform platform;
    const AnsiCodePage& acp = platform.ansiCodePage();
    for (int byte = 1; byte < 256; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        EXPECT_EQ(acp.toUtf8(one), windows1252().toUtf8(one)) << "byte " << byte;
        EXPECT_EQ(acp.fromUtf8(acp.toUtf8(one)), one) << "byte " << byte;
    }
    EXPECT_EQ(acp.toUtf8("\x80 \xE9"), "\u20ac \u00e9");
    EXPECT_EQ(acp.fromUtf8("Gr\u00f6\u00dfe\u2122 \u65e5"),
              "Gr\xF6\xDF"
              "e\x99 ?");
}

TEST(AnsiCodePage, TextSurvivesBothWaysWithItsZeroBytes) {
    WindowsPlatform platform;
    const AnsiCodePage& acp = platform.ansiCodePage();
    const std::string ascii("HWInfo <i0 a=\"1\"/>\0tail", 24);
    EXPECT_EQ(acp.toUtf8(ascii), ascii);
    EXPECT_EQ(acp.fromUtf8(ascii), ascii);
    EXPECT_EQ(acp.fromUtf8(""), "");
    // Malformed UTF-8 is replaced, never read past.
    EXPECT_FALSE(acp.fromUtf8("\xC3").empty());
}

TEST(DecimalSeparator, IsTheUsersSettingAtStartUp) {
    wchar_t saved[16] = {};
    ASSERT_GT(::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, saved, 16), 0);
    if (!::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, L","))
        GTEST_SKIP() << "cannot change the user's decimal separator here";
    const std::string withComma = WindowsPlatform().decimalSeparator();
    ::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, L".");
    const std::string withDot = WindowsPlatform().decimalSeparator();
    ::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, saved);
    EXPECT_EQ(withComma, ",");
    EXPECT_EQ(withDot, ".");
}

TEST(Sleep, WaitsAtLeastTheGivenTime) {
    WindowsPlatform platform;
    const ULONGLONG start = ::GetTickCount64();
    platform.sleepMs(120);
    EXPECT_GE(::GetTickCount64() - start, 100U);  // the tick's granularity is ~16 ms
}

}  // namespace
}  // namespace gravelin::testing
