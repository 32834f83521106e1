// gravelin-report summary and diff as processes, on each input form: submit page, sealed
// hex, report XML (UTF-8 and the machine's code page), table dump, stdin.
#include <gtest/gtest.h>

#include "SummaryTesting.h"
#include "scanner/linux/ProcessTesting.h"
#include "scanner/utils/Utils.h"

namespace gravelin::testing {
namespace {

namespace fs = std::filesystem;

const std::string kReport = GRAVELIN_REPORT_EXE;

ProcessResult tool(const std::string& arguments) {
    return run(shellQuoted(kReport) + " " + arguments);
}

std::string lowerCased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct Forms {
    std::string xml, sealed, page;
};

// A scan of the Dell desktop table with a maker name outside ASCII, in every form the
// scanner and the receiver hold it.
Forms scanForms(const char* diskSerial) {
    FakePlatform platform;
    platform.registryValue = realRegistryValue("jcreekmore-Dell-Precision-3620");
    platform.wmiClasses["SELECT * FROM Win32_DiskDrive"] = {
        wmiObject("Win32_DiskDrive", {{"DeviceID", "\\\\.\\PHYSICALDRIVE0"},
                                      {"Model", "Disque Société"},
                                      {"SerialNumber", diskSerial},
                                      {"Size", "500105249280"}})};
    const auto scanned = scanWith(platform);
    Forms forms{scanned.xml, scanned.sealed, {}};
    for (const auto& [name, content] : platform.files) {
        if (content.find("scanResult") != std::string::npos) forms.page = content;
    }
    return forms;
}

TEST(SummaryTool, EveryInputFormGivesTheSameSummary) {
    GRAVELIN_NEED_REAL_TABLES();
    const ScratchDir dir;
    const Forms forms = scanForms("S3Z9NB0K123456A");
    ASSERT_FALSE(forms.page.empty());
    writeFile(dir.path() / "report.xml", forms.xml);
    writeFile(dir.path() / "report-1252.xml", windows1252().fromUtf8(forms.xml));
    writeFile(dir.path() / "sealed.txt", forms.sealed + "\n");
    writeFile(dir.path() / "sealed-lower.txt", "  " + lowerCased(forms.sealed));
    writeFile(dir.path() / "page.html", forms.page);

    // The tool and the library give the same text: one summariser.
    const std::string expected = report::summaryText(summaryOfXml(forms.xml));
    ASSERT_NE(expected.find("Disque Société"), std::string::npos) << expected;
    for (const char* file :
         {"report.xml", "report-1252.xml", "sealed.txt", "sealed-lower.txt", "page.html"}) {
        const auto result = tool("summary " + shellQuoted((dir.path() / file).string()));
        EXPECT_EQ(result.exitCode, 0) << file << ": " << result.err;
        EXPECT_EQ(result.out, expected) << file;
    }
    const auto piped = run("cat " + shellQuoted((dir.path() / "page.html").string()) + " | " +
                           shellQuoted(kReport) + " summary -");
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_EQ(piped.out, expected);
}

TEST(SummaryTool, TableDumpsInEveryLayout) {
    GRAVELIN_NEED_REAL_TABLES();
    // The dump-bin file and the registry value of one table; the system structure gives the
    // machine, its UUID read as Windows reads it.
    for (const char* file :
         {"jcreekmore-Dell-Precision-3620.bin", "jcreekmore-Dell-Precision-3620.rsmb"}) {
        const auto result = tool("summary " + shellQuoted((realTablesDir() / file).string()));
        ASSERT_EQ(result.exitCode, 0) << result.err;
        for (const char* expected :
             {"Machine     Dell Inc. Precision Tower 3620, serial 7KNZBH2, UUID "
              "4C4C4544-004B-4E10-805A-B7C04F424832\n",
              "Memory      16 GiB in 2 of 4 slots\n", "  DIMM3  empty\n",
              "  U3E1  Intel(R) Xeon(R) CPU E3-1225 v5 @ 3.30GHz  Intel(R) Corporation  4 cores  4 "
              "threads  max 4400 MHz\n",
              "  - the firmware table has no memory module structure (type 6)"}) {
            EXPECT_NE(result.out.find(expected), std::string::npos)
                << file << " misses " << expected << "\n"
                << result.out;
        }
    }
}

TEST(SummaryTool, DiffOfTwoScans) {
    GRAVELIN_NEED_REAL_TABLES();
    const ScratchDir dir;
    const Forms before = scanForms("S3Z9NB0K123456A");
    const Forms after = scanForms("S4EWNX0R654321B");
    writeFile(dir.path() / "before.html", before.page);
    writeFile(dir.path() / "before.xml", before.xml);
    writeFile(dir.path() / "after.txt", after.sealed);
    const auto path = [&](const char* name) { return shellQuoted((dir.path() / name).string()); };

    const auto changed = tool("diff " + path("before.html") + " " + path("after.txt"));
    EXPECT_EQ(changed.exitCode, 0) << changed.err;
    EXPECT_EQ(changed.out,
              "1 change:\n"
              "Changed  Disk \\\\.\\PHYSICALDRIVE0 (replaced)\n"
              "    Serial number: S3Z9NB0K123456A -> S4EWNX0R654321B\n");
    const auto same = tool("diff " + path("before.html") + " " + path("before.xml"));
    EXPECT_EQ(same.exitCode, 0) << same.err;
    EXPECT_EQ(same.out, "No changes.\n");
}

TEST(SummaryTool, RefusesWhatItCannotRead) {
    const ScratchDir dir;
    struct Case {
        const char* content;
        const char* message;
    };
    for (const auto& c : std::vector<Case>{
             {"hello, world", "not a submit page, sealed text, report or table dump"},
             {"ABC", "odd number of hex digits"},
             {"0123456789ABCDEF", "not a well-formed XML document"},  // one block of garbage
             {"<html><body>no report</body></html>", "not a hardware report"},
             {"<form><input name=\"scanResult\" value=\"0011", "no closing quote"}}) {
        writeFile(dir.path() / "input", c.content);
        const auto result = tool("summary " + shellQuoted((dir.path() / "input").string()));
        EXPECT_EQ(result.exitCode, 1) << c.content;
        EXPECT_TRUE(result.out.empty()) << c.content;
        EXPECT_NE(result.err.find("gravelin-report: "), std::string::npos)
            << c.content << ": " << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.content << ": " << result.err;
    }
    for (const char* arguments : {"summary", "summary a b", "diff a", "diff - -"}) {
        const auto result = tool(arguments);
        EXPECT_EQ(result.exitCode, 1) << arguments;
        EXPECT_NE(result.err.find("see gravelin-report --help"), std::string::npos)
            << arguments << ": " << result.err;
    }
    const auto missing = tool("summary " + shellQuoted((dir.path() / "absent").string()));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;
    const auto help = tool("--help");
    EXPECT_NE(help.out.find("gravelin-report summary FILE"), std::string::npos);
    EXPECT_NE(help.out.find("gravelin-report diff BEFORE AFTER"), std::string::npos);
}

}  // namespace
}  // namespace gravelin::testing
