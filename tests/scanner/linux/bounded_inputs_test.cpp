// Inputs that are huge, endless or not files at all, and an output that cannot be written:
// the sealing refuses sizes it cannot handle, and the report tool stops at its limits with
// one line on stderr that names the input, and exit code 1.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ProcessTesting.h"
#include "scanner/core/Core.h"
#include "scanner/platform/linux/TableFile.h"

namespace gravelin::testing {
namespace {

namespace fs = std::filesystem;

const std::string kReport = GRAVELIN_REPORT_EXE;
const fs::path kTables = GRAVELIN_TABLES_DIR;

// Under the sanitizers the tool reserves terabytes of address space; elsewhere a bound on
// it keeps a tool that reads without limit from taking the machine's memory down with it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

ProcessResult runBounded(const std::string& commandLine) {
    const std::string memory = kSanitized ? "" : "ulimit -v 2097152; ";
    return run("(" + memory + "exec timeout 60 " + commandLine + ")");
}

// A text of 2^32 + 8 bytes, as address space only: the pages are never touched unless read.
class HugeText {
public:
    explicit HugeText(std::size_t size) : size_(size) {
        void* p =
            ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<const char*>(p);
    }
    ~HugeText() {
        if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
    }
    HugeText(const HugeText&) = delete;
    HugeText& operator=(const HugeText&) = delete;
    [[nodiscard]] bool mapped() const { return data_ != nullptr; }
    [[nodiscard]] std::string_view view() const { return {data_, size_}; }

private:
    const char* data_ = nullptr;
    std::size_t size_;
};

// A size that a 32-bit count wraps to 8 was padded to one block and the whole text copied
// into it.
TEST(BoundedSealing, RefusesATextTooLargeForTheCipherBeforeReadingIt) {
    for (const std::size_t size :
         {kMaxSealableBytes + 1, (std::size_t{1} << 32), (std::size_t{1} << 32) + 8}) {
        HugeText text(size);
        ASSERT_TRUE(text.mapped()) << size;
        EXPECT_THROW((void)sealReportText(text.view()), std::length_error) << size;
    }
}

struct Case {
    std::string command;
    std::string error;  // stderr holds "gravelin-report: " + error + "\n" and nothing else
};

void expectOneLineError(const Case& c) {
    const auto result = runBounded(c.command);
    EXPECT_EQ(result.exitCode, 1) << c.command;
    EXPECT_EQ(result.err, "gravelin-report: " + c.error + "\n") << c.command;
    EXPECT_TRUE(result.out.empty()) << c.command;
}

TEST(BoundedReportTool, EndlessAndOversizedInputsStopAtTheLimitNamingTheInput) {
    ScratchDir dir;
    const fs::path sparse = dir.path() / "huge";
    writeFile(sparse, "");
    fs::resize_file(sparse, (std::uintmax_t{1} << 32) + 8);
    const std::string huge = shellQuoted(sparse.string());
    const std::string table = "more than the 1048576 bytes a table file may have";
    const std::string report = "more than the 8388608 bytes a report text may have";
    const std::string sealed = "more than the 16842752 bytes a sealed text may have";
    for (const Case& c : std::vector<Case>{
             {kReport + " decode /dev/zero", "/dev/zero: " + table},
             {kReport + " seal /dev/zero", "/dev/zero: " + report},
             {kReport + " unseal /dev/zero", "/dev/zero: " + sealed},
             {kReport + " decode - </dev/zero", "standard input: " + table},
             {kReport + " seal </dev/zero", "standard input: " + report},
             {kReport + " unseal </dev/zero", "standard input: " + sealed},
             {kReport + " decode " + huge, sparse.string() + ": 4294967304 bytes, " + table},
             {kReport + " seal " + huge, sparse.string() + ": 4294967304 bytes, " + report},
             {kReport + " unseal " + huge, sparse.string() + ": 4294967304 bytes, " + sealed},
         }) {
        expectOneLineError(c);
    }
}

// A real table padded to exactly the limit decodes (bytes past the announced length do not
// count); one byte more is refused.
TEST(BoundedReportTool, ATableFileOfExactlyTheLimitIsRead) {
    ScratchDir dir;
    std::string rsmb = readFile(kTables / "qemu-pc-seabios.rsmb");
    ASSERT_FALSE(rsmb.empty());
    rsmb.resize(kMaxTableFileBytes, '\0');
    writeFile(dir.path() / "at-limit.rsmb", rsmb);
    const auto atLimit =
        run(kReport + " decode --all " + shellQuoted((dir.path() / "at-limit.rsmb").string()));
    EXPECT_EQ(atLimit.exitCode, 0) << atLimit.err;
    EXPECT_NE(atLimit.out.find("SMBIOS_Type_1_System"), std::string::npos);

    writeFile(dir.path() / "over.rsmb", rsmb + '\0');
    const std::string over = (dir.path() / "over.rsmb").string();
    expectOneLineError(
        {kReport + " decode " + shellQuoted(over),
         over + ": 1048577 bytes, more than the 1048576 bytes a table file may have"});
    expectOneLineError({"cat " + shellQuoted(over) + " | " + kReport + " decode -",
                        "standard input: more than the 1048576 bytes a table file may have"});
}

TEST(BoundedReportTool, ErrorsNameTheFile) {
    ScratchDir dir;
    const std::string d = dir.path().string();
    writeFile(dir.path() / "odd", "ABC");
    writeFile(dir.path() / "text", "hello world, this is no table\n");
    const std::string odd = (dir.path() / "odd").string();
    const std::string text = (dir.path() / "text").string();
    for (const char* command : {"decode", "seal", "unseal"}) {
        expectOneLineError(
            {kReport + " " + command + " " + shellQuoted(d), d + ": Is a directory"});
        expectOneLineError({kReport + " " + command + " " + shellQuoted(d + "/missing"),
                            d + "/missing: No such file or directory"});
    }
    // The reason after the name is the reader's own; the name comes first.
    for (const auto& [command, name] : std::vector<std::pair<std::string, std::string>>{
             {kReport + " unseal " + shellQuoted(odd), odd},
             {kReport + " unseal < " + shellQuoted(odd), "standard input"},
             {kReport + " decode " + shellQuoted(text), text}}) {
        const auto result = run(command);
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_EQ(result.err.rfind("gravelin-report: " + name + ": ", 0), 0U)
            << command << ": " << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
}

TEST(BoundedReportTool, AnOutputThatCannotBeWrittenIsAnError) {
    ScratchDir dir;
    const std::string table = shellQuoted((kTables / "qemu-pc-seabios.bin").string());
    writeFile(dir.path() / "report.xml", "<HWInfo />\r\n");
    const std::string reportFile = shellQuoted((dir.path() / "report.xml").string());
    const auto sealedRun = run(kReport + " seal " + reportFile);
    ASSERT_EQ(sealedRun.exitCode, 0);
    writeFile(dir.path() / "sealed.txt", sealedRun.out);
    const std::string sealedFile = shellQuoted((dir.path() / "sealed.txt").string());
    for (const std::string& command :
         {kReport + " decode --all " + table, kReport + " seal " + reportFile,
          kReport + " unseal " + sealedFile, kReport + " --help", kReport + " --version"}) {
        // Written somewhere real, each succeeds; into a full device, each fails.
        EXPECT_EQ(run(command + " >/dev/null").exitCode, 0) << command;
        const auto result = run(command + " >/dev/full");
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_NE(result.err.find("gravelin-report: standard output: No space left on device\n"),
                  std::string::npos)
            << command << ": " << result.err;
    }
}

}  // namespace
}  // namespace gravelin::testing
