// The Linux platform: the SMBIOS value from sysfs, the page file's safety rules, os-release.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ProcessTesting.h"
#include "scanner/core/Core.h"
#include "scanner/platform/linux/LinuxPlatform.h"
#include "scanner/smbios/Reg.h"

namespace gravelin::testing {
namespace {

namespace fs = std::filesystem;

void writeSysfsTable(const fs::path& root, const std::string& entryPoint,
                     const std::string& table) {
    fs::create_directories(root / "sys/firmware/dmi/tables");
    writeFile(root / "sys/firmware/dmi/tables/smbios_entry_point", entryPoint);
    writeFile(root / "sys/firmware/dmi/tables/DMI", table);
}

TEST(SysfsTable, BecomesTheRegistryValueLayout) {
    ScratchDir root;
    std::string entry = "_SM3_";
    entry += std::string("\x00\x18\x03\x05\x01\x01\x00", 7);
    entry.resize(0x18, '\0');
    const std::string table("\x7F\x04\x00\x00\x00\x00", 6);
    writeSysfsTable(root.path(), entry, table);
    LinuxPlatform platform(root.path().string());
    const auto value = platform.registryBinaryValue(kSmbiosRegistryKey, kSmbiosRegistryValue);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, (std::vector<std::uint8_t>{0, 3, 5, 1, 6, 0, 0, 0, 0x7F, 4, 0, 0, 0, 0}));
    EXPECT_FALSE(platform.registryBinaryValue("SOFTWARE\\Other", kSmbiosRegistryValue));
}

TEST(SysfsTable, VersionBytesOfEachEntryPointKind) {
    std::string sm2 = "_SM_";
    sm2 += std::string("\x00\x1F\x02\x08\x00\x00\x01", 7);  // ..., entry point revision 1
    EXPECT_EQ(rawSmbiosValue(sm2, ""), (std::vector<std::uint8_t>{0, 2, 8, 1, 0, 0, 0, 0}));
    std::string legacy = "_DMI_";
    legacy.resize(15, '\0');
    legacy[14] = 0x21;
    const auto value = rawSmbiosValue(legacy, "ab");
    EXPECT_EQ(value, (std::vector<std::uint8_t>{0, 2, 1, 0, 2, 0, 0, 0, 'a', 'b'}));
    EXPECT_EQ(rawSmbiosValue("garbage", "").size(), 8U);
}

TEST(SysfsTable, ARealTableScansThroughTheRegistrySource) {
    const fs::path bin = fs::path(GRAVELIN_TABLES_DIR) / "uroot-Lenovo-ThinkPad-T480.bin";
    ASSERT_TRUE(fs::exists(bin)) << bin;
    const std::string dump = readFile(bin);
    ScratchDir root;
    writeSysfsTable(root.path(), dump.substr(0, 0x18), dump.substr(0x20));
    LinuxPlatform platform(root.path().string());
    CCore core(platform);
    core.loadSmbios();
    EXPECT_EQ(core.smbios().sourceKind(), kSourceRegistry);
    EXPECT_EQ(core.smbios().tableLength(), static_cast<std::int32_t>(dump.size() - 0x20));
    EXPECT_TRUE(core.errorText().empty());
    core.runQuery("SELECT * FROM SMBIOS_Type017_MemoryDevice");
    EXPECT_NE(core.report().xmlText().find("<SMBIOS_Type_17_MemoryDevice>"), std::string::npos);
}

TEST(SysfsTable, MissingOrUnreadableFilesMeanNoTable) {
    for (const char* missing : {"smbios_entry_point", "DMI", "both"}) {
        ScratchDir root;
        writeSysfsTable(root.path(), "_SM3_", "\x7F\x04");
        if (std::string(missing) == "both") {
            fs::remove_all(root.path() / "sys");
        } else {
            fs::remove(root.path() / "sys/firmware/dmi/tables" / missing);
        }
        LinuxPlatform platform(root.path().string());
        CCore core(platform);
        core.loadSmbios();
        EXPECT_FALSE(core.smbios().isAvailable()) << missing;
        EXPECT_EQ(core.errorText(), "Unable to query SMBIOS device data! ") << missing;
    }
}

class PageFileRules : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override { fs::current_path(saved_); }

    ScratchDir dir_;
    fs::path saved_;
    LinuxPlatform platform_{"/"};
};

TEST_F(PageFileRules, CreatesAndEmpties) {
    writeFile("page.html", "an earlier, longer page");
    {
        auto file = platform_.createFile("page.html");
        ASSERT_TRUE(file);
        file->write("new");
    }
    EXPECT_EQ(readFile("page.html"), "new");
    {
        auto file = platform_.createFile("fresh.html");
        ASSERT_TRUE(file);
    }
    EXPECT_TRUE(fs::exists("fresh.html"));
}

TEST_F(PageFileRules, NeverWritesThroughASymbolicLink) {
    writeFile("victim", "precious");
    fs::create_symlink(dir_.path() / "victim", "page.html");
    EXPECT_FALSE(platform_.createFile("page.html"));
    EXPECT_EQ(readFile("victim"), "precious");
    fs::create_symlink(dir_.path() / "nowhere", "dangling.html");
    EXPECT_FALSE(platform_.createFile("dangling.html"));
    EXPECT_FALSE(fs::exists(dir_.path() / "nowhere"))
        << "a dangling link must not create its target";
}

TEST_F(PageFileRules, NeverEmptiesAFileWithAnotherName) {
    writeFile("victim", "precious");
    fs::create_hard_link("victim", "page.html");
    EXPECT_FALSE(platform_.createFile("page.html"));
    EXPECT_EQ(readFile("victim"), "precious");
}

TEST_F(PageFileRules, RefusesWhatIsNoRegularFileWithoutBlocking) {
    ASSERT_EQ(::mkfifo("fifo.html", 0644), 0);
    EXPECT_FALSE(platform_.createFile("fifo.html"));
    fs::create_directory("dir.html");
    EXPECT_FALSE(platform_.createFile("dir.html"));
}

TEST(OsRelease, PrettyName) {
    EXPECT_EQ(osReleasePrettyName(
                  "NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n"),
              "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(osReleasePrettyName("PRETTY_NAME=Plain\n"), "Plain");
    EXPECT_EQ(osReleasePrettyName("PRETTY_NAME='Single quoted'\r\n"), "Single quoted");
    EXPECT_EQ(osReleasePrettyName("PRETTY_NAME=\"With \\\"escapes\\\"\"\n"), "With \"escapes\"");
    EXPECT_EQ(osReleasePrettyName("NAME=x\n"), "");
    EXPECT_EQ(osReleasePrettyName(""), "");
}

TEST(OsIdentity, DescribesTheRunningSystem) {
    ScratchDir root;
    fs::create_directories(root.path() / "etc");
    writeFile(root.path() / "etc/os-release", "PRETTY_NAME=\"Fixture Linux 1\"\n");
    LinuxPlatform platform(root.path().string());
    const auto id = std::get<LinuxIdentity>(platform.osIdentity());
    EXPECT_EQ(id.prettyName, "Fixture Linux 1");
    EXPECT_EQ(id.is64BitOs, sizeof(void*) == 8);
    EXPECT_FALSE(id.kernelRelease.empty());
}

}  // namespace
}  // namespace gravelin::testing
