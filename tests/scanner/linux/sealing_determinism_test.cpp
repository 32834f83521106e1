// Two whole runs of the scan on the same machine, nothing changed in between, seal the same
// text byte for byte; a change of the machine changes the sealed text from the block where
// the report changes. The machine is a fixture (the laptop tree with an SMBIOS table, its
// clock and counters fixed), so that "nothing changed" holds exactly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "WmiFixture.h"
#include "scanner/core/Core.h"
#include "scanner/delivery/Htmlgen.h"
#include "reading/Unseal.h"
#include "scanner/utils/Utils.h"

namespace gravelin::testing {
namespace {

// The Linux platform on a fixture machine; the browser is not started.
class FixtureMachinePlatform : public LinuxPlatform {
public:
    explicit FixtureMachinePlatform(const std::string& root)
        : LinuxPlatform(root, std::make_unique<FixtureSystem>(root)) {}
    void shellOpen(std::string_view) override {}
};

// One whole run in a fresh working directory: the page it left.
std::string pageOfRun(const FixtureTree& tree) {
    char name[] = "/tmp/gravelin-run-XXXXXX";
    const fs::path dir = ::mkdtemp(name);
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    {
        FixtureMachinePlatform platform(tree.root());
        EXPECT_EQ(runScanner(platform), 0);
    }
    fs::current_path(previous);
    const std::string page = readText(dir / kPageFileName);
    fs::remove_all(dir);
    return page;
}

std::string sealedTextOf(const std::string& page) {
    const std::string marker = "name=\"scanResult\" value=\"";
    const auto start = page.find(marker);
    if (start == std::string::npos) return "";
    const auto end = page.find('"', start + marker.size());
    return page.substr(start + marker.size(), end - start - marker.size());
}

TEST(SealingDeterminism, TwoRunsOnAnUnchangedMachineSealTheSameText) {
    FixtureTree tree("laptop");
    makeLaptopRoot(tree);
    const std::string first = pageOfRun(tree);
    const std::string second = pageOfRun(tree);
    ASSERT_EQ(first, submitPageText(sealedTextOf(first)));  // a whole submit page
    EXPECT_EQ(first, second);

    // The report really is the machine's, SMBIOS and WMI alike, and the sealed length is
    // that of the report's 8-bit text padded to whole 8-byte blocks, in hex.
    const std::string report = gravelin::report::unsealText(first);
    for (const char* node : {"<SMBIOS_Type_2_", "<SMBIOS_Type_4_", "<Win32_OperatingSystem>",
                             "<Win32_PerfFormattedData_PerfOS_Memory>", "<Win32_Processor>"}) {
        EXPECT_NE(report.find(node), std::string::npos) << node;
    }
    const auto n = static_cast<std::int32_t>(report.size());
    EXPECT_EQ(sealedTextOf(first).size(), 2 * static_cast<std::size_t>(roundUpToMultiple(n, 8)));
}

// Equal 8-byte blocks seal alike: after a change, the sealed texts agree exactly up to the
// block that holds the first changed byte of the report, and differ in it.
TEST(SealingDeterminism, AChangeOfTheMachineChangesTheSealedTextFromItsBlockOn) {
    FixtureTree tree("laptop");
    makeLaptopRoot(tree);
    const std::string before = pageOfRun(tree);
    tree.setEnv("now", "1700007200.000001");  // an hour later
    const std::string after = pageOfRun(tree);
    const std::string reportBefore = gravelin::report::unsealText(before);
    const std::string reportAfter = gravelin::report::unsealText(after);
    ASSERT_NE(reportBefore, reportAfter);
    std::size_t first = 0;
    while (first < reportBefore.size() && reportBefore[first] == reportAfter[first]) ++first;
    const std::size_t same = first / 8 * 16;
    const std::string sealedBefore = sealedTextOf(before);
    const std::string sealedAfter = sealedTextOf(after);
    EXPECT_EQ(sealedBefore.substr(0, same), sealedAfter.substr(0, same));
    EXPECT_NE(sealedBefore.substr(same, 16), sealedAfter.substr(same, 16));
}

}  // namespace
}  // namespace gravelin::testing
