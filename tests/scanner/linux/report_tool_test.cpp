// gravelin-report as a process: decoding the real tables, sealing and unsealing, errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <pugixml.hpp>
#include <sstream>

#include "ProcessTesting.h"
#include "reading/Unseal.h"
#include "scanner/core/Core.h"
#include "scanner/utils/Utils.h"

namespace gravelin::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kTables = fs::path(GRAVELIN_TABLES_DIR);
const std::string kReport = GRAVELIN_REPORT_EXE;

struct ManifestRow {
    std::string name;
    std::map<int, int> typeCounts;
};

// MANIFEST.tsv: name in column 1, the per-type counts ("4:2" is two type 4 structures) in
// the column headed type_counts.
std::vector<ManifestRow> manifest() {
    std::vector<ManifestRow> rows;
    std::istringstream in(readFile(kTables / "MANIFEST.tsv"));
    std::string line;
    std::getline(in, line);
    std::vector<std::string> header;
    {
        std::istringstream h(line);
        std::string column;
        while (std::getline(h, column, '\t')) header.push_back(column);
    }
    const auto countsColumn =
        std::find(header.begin(), header.end(), "type_counts") - header.begin();
    while (std::getline(in, line)) {
        std::vector<std::string> columns;
        std::istringstream c(line);
        std::string column;
        while (std::getline(c, column, '\t')) columns.push_back(column);
        if (columns.size() <= static_cast<std::size_t>(countsColumn)) continue;
        ManifestRow row{columns[0], {}};
        std::istringstream counts(columns[static_cast<std::size_t>(countsColumn)]);
        std::string item;
        while (counts >> item) {
            const auto colon = item.find(':');
            const int type = std::stoi(item.substr(0, colon));
            row.typeCounts[type] =
                colon == std::string::npos ? 1 : std::stoi(item.substr(colon + 1));
        }
        rows.push_back(row);
    }
    return rows;
}

// Structures per type in a decoded report: the object nodes under each SMBIOS class node.
std::map<int, int> typeCountsOf(const std::string& xml) {
    std::map<int, int> counts;
    pugi::xml_document doc;
    if (!doc.load_string(xml.c_str())) return counts;
    for (auto classNode : doc.child("HWInfo").children()) {
        const std::string name = classNode.name();
        if (!name.starts_with("SMBIOS_Type_")) continue;
        const int type = std::stoi(name.substr(12));
        counts[type] += static_cast<int>(
            std::distance(classNode.children().begin(), classNode.children().end()));
    }
    return counts;
}

TEST(ReportTool, DecodesEveryRealTableWithTheManifestsTypeCounts) {
    ASSERT_TRUE(fs::exists(kTables / "MANIFEST.tsv")) << kTables;
    const auto rows = manifest();
    ASSERT_EQ(rows.size(), 49U);
    for (const auto& row : rows) {
        for (const char* extension : {".bin", ".rsmb"}) {
            const fs::path file = kTables / (row.name + extension);
            const auto result = run(kReport + " decode --all " + shellQuoted(file.string()));
            EXPECT_EQ(result.exitCode, 0) << file << result.err;
            pugi::xml_document doc;
            EXPECT_TRUE(doc.load_string(result.out.c_str()))
                << file << ": report is not well-formed";
            EXPECT_EQ(typeCountsOf(result.out), row.typeCounts) << file;
        }
    }
}

TEST(ReportTool, TheBrokenHyperVTableEndsAtItsBrokenStructure) {
    const fs::path file = kTables / "siderolabs-HyperV.fullraw.bin";
    ASSERT_TRUE(fs::exists(file)) << file;
    const auto result = run(kReport + " decode --all " + shellQuoted(file.string()));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(typeCountsOf(result.out),
              (std::map<int, int>{{0, 1}, {1, 1}, {2, 1}, {3, 1}, {11, 1}}));
}

TEST(ReportTool, DefaultQueriesAreTheScannersSmbiosLines) {
    const fs::path file = kTables / "uroot-Lenovo-ThinkPad-T480.bin";
    ASSERT_TRUE(fs::exists(file)) << file;
    const auto result = run(kReport + " decode " + shellQuoted(file.string()));
    ASSERT_EQ(result.exitCode, 0);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(result.out.c_str()));
    for (auto node : doc.child("HWInfo").children()) {
        const std::string name = node.name();
        const int type = std::stoi(name.substr(12));
        EXPECT_TRUE(type == 2 || type == 3 || type == 4 || type == 5 || type == 6 || type == 9 ||
                    type == 17)
            << name;
    }
    EXPECT_TRUE(doc.child("HWInfo").child("SMBIOS_Type_17_MemoryDevice"));
    const auto one =
        run(kReport + " decode --query 'SELECT Speed FROM SMBIOS_Type017_MemoryDevice' " +
            shellQuoted(file.string()));
    pugi::xml_document single;
    ASSERT_TRUE(single.load_string(one.out.c_str()));
    for (auto object : single.child("HWInfo").child("SMBIOS_Type_17_MemoryDevice").children()) {
        EXPECT_TRUE(object.attribute("Speed"));
        EXPECT_FALSE(object.attribute("Size"));
    }
}

TEST(ReportTool, LayoutsGiveTheSameReport) {
    const fs::path bin = kTables / "qemu-pc-seabios.bin";
    ASSERT_TRUE(fs::exists(bin)) << bin;
    ScratchDir dir;
    const std::string rsmb = readFile(kTables / "qemu-pc-seabios.rsmb");
    writeFile(dir.path() / "bare", rsmb.substr(8));
    const auto fromBin = run(kReport + " decode --all " + shellQuoted(bin.string()));
    const auto fromRsmb =
        run(kReport + " decode --all " + shellQuoted((kTables / "qemu-pc-seabios.rsmb").string()));
    const auto fromBare =
        run(kReport + " decode --all " + shellQuoted((dir.path() / "bare").string()));
    EXPECT_EQ(fromBin.out, fromRsmb.out);
    EXPECT_EQ(fromBin.out, fromBare.out);
    EXPECT_NE(fromBin.out.find("SMBIOS_Type_1_System"), std::string::npos);
}

TEST(ReportTool, BadInputGivesOneLineAndExitCodeOne) {
    ScratchDir dir;
    writeFile(dir.path() / "text", "hello world, this is no table\n");
    writeFile(dir.path() / "odd", "ABC");
    writeFile(dir.path() / "nonhex", "0123456789ABCDEG");
    writeFile(dir.path() / "short", "0123456789AB");
    writeFile(dir.path() / "sm3", "_SM3_\x01\x18");
    const auto d = [&](const char* name) { return shellQuoted((dir.path() / name).string()); };
    for (const auto& command : std::vector<std::string>{
             kReport + " decode " + d("missing"), kReport + " decode " + d("text"),
             kReport + " decode " + d("sm3"), kReport + " decode", kReport + " unseal " + d("odd"),
             kReport + " unseal " + d("nonhex"), kReport + " unseal " + d("short"),
             kReport + " unseal " + d("missing"), kReport + " frobnicate", kReport}) {
        const auto result = run(command);
        EXPECT_EQ(result.exitCode, 1) << command;
        if (command != kReport) {
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1)
                << command << ": " << result.err;
        }
        EXPECT_TRUE(result.out.empty()) << command;
    }
    const auto help = run(kReport + " --help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* word : {"decode", "seal", "unseal", "--query", "--all", "scanResult"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

// Usage errors name what is wrong, in one line, exit code 1, and nothing on stdout: an
// unknown option is never taken for a FILE, a --query value never for the table.
TEST(ReportTool, CommandLineErrorsSayWhatIsWrong) {
    const std::string table = shellQuoted((kTables / "qemu-pc-seabios.bin").string());
    struct Case {
        std::string arguments;
        const char* message;
    };
    for (const auto& c :
         std::vector<Case>{{"decode --bogus " + table, "unknown option --bogus"},
                           {"decode " + table + " " + table, "decode takes one FILE"},
                           {"decode --query", "--query"},
                           {"seal --frob", "unknown option --frob"},
                           {"seal a b", "seal takes at most one FILE"},
                           {"unseal a b", "unseal takes at most one FILE"},
                           {"summary", "summary takes one FILE"},
                           {"diff a", "diff takes two FILEs: BEFORE AFTER"},
                           {"diff - -", "diff reads at most one FILE from stdin"},
                           {"frobnicate", "unknown command frobnicate"},
                           {"--frob", "unknown command --frob"}}) {
        const auto result = run(kReport + " " + c.arguments + " </dev/null");
        EXPECT_EQ(result.exitCode, 1) << c.arguments;
        EXPECT_TRUE(result.out.empty()) << c.arguments;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.err.rfind("gravelin-report: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos)
            << c.arguments << ": " << result.err;
        EXPECT_NE(result.err.find("(see gravelin-report --help)"), std::string::npos) << result.err;
    }
    // One --query takes one line: the table after it is still the FILE.
    const auto queried =
        run(kReport + " decode --query 'SELECT * FROM SMBIOS_Type001_System' " + table);
    EXPECT_EQ(queried.exitCode, 0) << queried.err;
    EXPECT_NE(queried.out.find("SMBIOS_Type_1_System"), std::string::npos);
    EXPECT_EQ(queried.out.find("SMBIOS_Type_4_"), std::string::npos);
    // Each subcommand has its own help; the program's is the overview.
    const auto decodeHelp = run(kReport + " decode --help");
    EXPECT_EQ(decodeHelp.exitCode, 0);
    for (const char* word : {"--query", "--all", "FILE"})
        EXPECT_NE(decodeHelp.out.find(word), std::string::npos) << word << decodeHelp.out;
    EXPECT_EQ(decodeHelp.out.find("unseal"), std::string::npos) << decodeHelp.out;
    EXPECT_EQ(run(kReport + " help").out, run(kReport + " --help").out);
    const auto none = run(kReport);
    EXPECT_EQ(none.err, run(kReport + " --help").out);
}

TEST(ReportTool, SealThenUnsealGivesTheTextBack) {
    ScratchDir dir;
    const std::string text =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<HWInfo a=\"5\xC2\xB0"
        "C \" />\r\n";
    writeFile(dir.path() / "report.xml", text);
    const auto sealed = run(kReport + " seal " + shellQuoted((dir.path() / "report.xml").string()));
    ASSERT_EQ(sealed.exitCode, 0);
    EXPECT_EQ(sealed.out, sealReportText(windows1252().fromUtf8(text)) + "\n");
    writeFile(dir.path() / "sealed.txt", sealed.out);
    EXPECT_EQ(run(kReport + " unseal " + shellQuoted((dir.path() / "sealed.txt").string())).out,
              text);
    // From stdin, and from a submit page.
    EXPECT_EQ(run(kReport + " unseal < " + shellQuoted((dir.path() / "sealed.txt").string())).out,
              text);
    EXPECT_EQ(gravelin::report::unsealText("<input type=\"hidden\" name=\"scanResult\" value=\"" +
                                           sealed.out.substr(0, sealed.out.size() - 1) + "\">"),
              windows1252().fromUtf8(text));
}

TEST(Scanner, RunInAnEmptyDirectoryLeavesTheSubmitPage) {
    ScratchDir dir;
    const auto result = run("cd " + shellQuoted(dir.path().string()) + " && PATH=/nonexistent " +
                            shellQuoted(GRAVELIN_SCANNER_EXE));
    EXPECT_EQ(result.exitCode, 0);
    const auto page = dir.path() / "gravelin-scanner.html";
    ASSERT_TRUE(fs::exists(page));
    EXPECT_EQ(readFile(page).rfind("<html>\r\n<body onload=\"scanForm.submit();\">", 0), 0U);
    const auto unsealed = run(kReport + " unseal " + shellQuoted(page.string()));
    ASSERT_EQ(unsealed.exitCode, 0) << unsealed.err;
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(unsealed.out.c_str()));
    const auto application = doc.child("HWInfo").first_child();
    EXPECT_STREQ(application.name(), "Application");
    std::vector<std::string> names;
    for (auto a : application.child("i0").attributes()) names.emplace_back(a.name());
    EXPECT_EQ(names, (std::vector<std::string>{"OS", "Name", "Version", "Errors"}));
    EXPECT_STREQ(application.child("i0").attribute("Name").value(), "gravelin-scanner ");
    // Every query line either has its class node or is named in the errors: 15 lines in all.
    const std::string errors = application.child("i0").attribute("Errors").value();
    int entries = 0;
    for (std::size_t at = errors.find("No data found for \""); at != std::string::npos;
         at = errors.find("No data found for \"", at + 1)) {
        ++entries;
        EXPECT_EQ(errors.compare(at + 19, 14, "SELECT * FROM "), 0) << errors;
    }
    const auto classNodes = std::distance(doc.child("HWInfo").children().begin(),
                                          doc.child("HWInfo").children().end()) -
                            1;
    EXPECT_EQ(entries + classNodes, 15) << errors;
}

}  // namespace
}  // namespace gravelin::testing
