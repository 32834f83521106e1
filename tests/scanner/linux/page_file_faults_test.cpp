// The page file against what makes opening it fail on Linux: the real file creation of the
// Linux platform, in a scratch working directory, with the waits counted instead of slept
// and the obstacle removed at a chosen wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "scanner/core/Core.h"
#include "scanner/delivery/Htmlgen.h"
#include "scanner/platform/linux/LinuxPlatform.h"
#include "reading/Unseal.h"

namespace gravelin::testing {
namespace {

namespace fs = std::filesystem;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The Linux platform with its file creation counted, its waits recorded (the hook given may
// free the page file at the n-th wait) and no browser: shellOpen is only recorded here.
class ObservedPlatform : public LinuxPlatform {
public:
    int creates = 0;
    std::vector<unsigned> waits;
    std::vector<std::string> opened;
    std::function<void(std::size_t waitNumber)> onWait;

    std::unique_ptr<OutputFile> createFile(std::string_view name) override {
        ++creates;
        return LinuxPlatform::createFile(name);
    }
    void sleepMs(unsigned ms) override {
        waits.push_back(ms);
        if (onWait) onWait(waits.size());
    }
    void shellOpen(std::string_view name) override { opened.emplace_back(name); }
};

// A fresh working directory for each test; the previous one is restored afterwards.
class PageFileFault : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/gravelin-pagefile-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
        previous_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    [[nodiscard]] fs::path page() const { return dir_ / kPageFileName; }

    fs::path dir_;
    fs::path previous_;
};

// What stands where the page file should be, how it goes away, and what it must still hold
// while it is there: whatever lies behind it is never written to or emptied.
struct Obstacle {
    const char* name;
    std::function<void(const fs::path& dir)> place;
    std::function<void(const fs::path& dir)> remove;
    std::function<void(const fs::path& dir)> expectUntouched;
};

const std::string kOtherContent = "another program's data\n";

std::vector<Obstacle> obstacles() {
    const auto page = [](const fs::path& dir) { return dir / kPageFileName; };
    return {
        {"a directory", [=](const fs::path& d) { fs::create_directory(page(d)); },
         [=](const fs::path& d) { fs::remove(page(d)); },
         [=](const fs::path& d) {
             EXPECT_TRUE(fs::is_directory(page(d)));
             EXPECT_TRUE(fs::is_empty(page(d)));
         }},
        {"a FIFO without a reader",
         [=](const fs::path& d) { ASSERT_EQ(::mkfifo(page(d).c_str(), 0644), 0); },
         [=](const fs::path& d) { fs::remove(page(d)); },
         [=](const fs::path& d) { EXPECT_TRUE(fs::is_fifo(page(d))); }},
        {"a symbolic link to another file",
         [=](const fs::path& d) {
             writeText(d / "target", kOtherContent);
             fs::create_symlink(d / "target", page(d));
         },
         [=](const fs::path& d) { fs::remove(page(d)); },
         [=](const fs::path& d) {
             EXPECT_TRUE(fs::is_symlink(page(d)));
             EXPECT_EQ(contentOf(d / "target"), kOtherContent);
         }},
        {"a dangling symbolic link",
         [=](const fs::path& d) { fs::create_symlink(d / "planted", page(d)); },
         [=](const fs::path& d) { fs::remove(page(d)); },
         [=](const fs::path& d) { EXPECT_FALSE(fs::exists(d / "planted")); }},
        {"a file with a second name",
         [=](const fs::path& d) {
             writeText(d / "other", kOtherContent);
             fs::create_hard_link(d / "other", page(d));
         },
         [=](const fs::path& d) { fs::remove(d / "other"); },
         [=](const fs::path& d) { EXPECT_EQ(contentOf(d / "other"), kOtherContent); }},
    };
}

// Root only: a page of another user (nobody), writable by everyone, as another local user
// plants it in a directory they may write to.
const std::string kPlantedContent = "another user's page\n";

void plantOthersPage(const fs::path& dir) {
    const fs::path page = dir / kPageFileName;
    writeText(page, kPlantedContent);
    ASSERT_EQ(::chown(page.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(page.c_str(), 0666), 0);
}

void expectOthersPageUntouched(const fs::path& dir) {
    const fs::path page = dir / kPageFileName;
    struct stat st {};
    ASSERT_EQ(::lstat(page.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534U);
    EXPECT_EQ(st.st_mode & 07777, 0666U);
    EXPECT_EQ(contentOf(page), kPlantedContent);
}

std::vector<Obstacle> obstaclesHere() {
    auto all = obstacles();
    if (::geteuid() == 0) {
        all.push_back({"a page of another user", plantOthersPage,
                       [](const fs::path& d) { fs::remove(d / kPageFileName); },
                       expectOthersPageUntouched});
    }
    return all;
}

TEST_F(PageFileFault, HeldTheWholeTimeThirtyAttemptsThenNothing) {
    for (const auto& obstacle : obstaclesHere()) {
        SCOPED_TRACE(obstacle.name);
        obstacle.place(dir_);
        ObservedPlatform platform;
        std::unique_ptr<OutputFile> file;
        EXPECT_NO_THROW(file = openPageFile(platform));
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(platform.creates, 30);
        EXPECT_EQ(platform.waits, std::vector<unsigned>(30, 100));
        obstacle.expectUntouched(dir_);
        obstacle.remove(dir_);
    }
}

TEST_F(PageFileFault, FreedAfterTheSecondWaitTheWaitingPageIsWrittenAndOpened) {
    for (const auto& obstacle : obstaclesHere()) {
        SCOPED_TRACE(obstacle.name);
        obstacle.place(dir_);
        ObservedPlatform platform;
        platform.onWait = [&](std::size_t n) {
            if (n == 1) obstacle.expectUntouched(dir_);
            if (n == 2) obstacle.remove(dir_);
        };
        writeProgressPage(platform);
        EXPECT_EQ(platform.creates, 3);
        EXPECT_EQ(platform.waits, std::vector<unsigned>(2, 100));
        EXPECT_EQ(platform.opened, std::vector<std::string>{std::string(kPageFileName)});
        struct stat st {};
        ASSERT_EQ(::lstat(page().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_nlink, 1U);
        EXPECT_EQ(contentOf(page()), progressPageText());
        fs::remove(page());
    }
}

// A FIFO that someone reads opens without blocking, but it is no regular file: nothing is
// written into it and the reader gets no byte.
TEST_F(PageFileFault, FifoWithAReaderIsRefusedAndGetsNothing) {
    ASSERT_EQ(::mkfifo(page().c_str(), 0644), 0);
    const int reader = ::open(page().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ObservedPlatform platform;
    platform.onWait = [&](std::size_t n) {
        if (n == 3) fs::remove(page());
    };
    writeSubmitPage(platform, "00FF", 4);
    EXPECT_EQ(platform.creates, 4);
    char byte = 0;
    EXPECT_LE(::read(reader, &byte, 1), 0);
    ::close(reader);
    EXPECT_EQ(contentOf(page()), submitPageText("00FF"));
}

// An earlier page, a longer one, is emptied before the new one is written.
TEST_F(PageFileFault, AnEarlierLongerPageIsReplacedWhole) {
    writeText(page(), std::string(100000, 'x'));
    ObservedPlatform platform;
    writeSubmitPage(platform, "00FF", 4);
    EXPECT_EQ(platform.creates, 1);
    EXPECT_TRUE(platform.waits.empty());
    EXPECT_EQ(contentOf(page()), submitPageText("00FF"));
}

// Another user's page held the waiting page off for all its 30 attempts: the run goes on,
// and the report's error text says why there was no waiting page.
TEST_F(PageFileFault, AnotherUsersPageIsNamedInTheErrorText) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a page owned by another user";
    plantOthersPage(dir_);
    ObservedPlatform platform;
    platform.onWait = [&](std::size_t n) {
        if (n == 1) expectOthersPageUntouched(dir_);
        if (n == 30) {
            expectOthersPageUntouched(dir_);
            fs::remove(page());
        }
    };
    EXPECT_EQ(runScanner(platform), 0);
    EXPECT_EQ(platform.creates, 31);
    EXPECT_TRUE(platform.opened.empty());
    const std::string report = gravelin::report::unsealText(contentOf(page()));
    EXPECT_NE(report.find("Page file not written: gravelin-scanner.html belongs to another user "
                          "(uid 65534), "),
              std::string::npos)
        << report.substr(0, 2000);
}

// The whole run with the page file held: the scan goes on, seals, ends quietly, and the
// browser is opened only when the waiting page could be written.
TEST_F(PageFileFault, WholeRunEndsQuietlyWhateverTheWindowOfTheLock) {
    struct Case {
        const char* name;
        std::size_t freedAtWait;  // 0: never
        int creates;
        bool browserOpened;
        bool submitPageWritten;
    };
    const Case cases[] = {
        {"held the whole time", 0, 60, false, false},
        {"freed during the waiting page's attempts", 5, 6 + 1, true, true},
        {"freed during the submit page's attempts", 35, 30 + 6, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::create_directory(page());
        ObservedPlatform platform;
        platform.onWait = [&](std::size_t n) {
            if (n == c.freedAtWait) fs::remove(page());
        };
        EXPECT_EQ(runScanner(platform), 0);
        EXPECT_EQ(platform.creates, c.creates);
        EXPECT_EQ(platform.opened.size(), c.browserOpened ? 1U : 0U);
        if (c.submitPageWritten) {
            ASSERT_TRUE(fs::is_regular_file(page()));
            const std::string report = gravelin::report::unsealText(contentOf(page()));
            EXPECT_TRUE(report.starts_with("<?xml")) << report.substr(0, 100);
            fs::remove(page());
        } else {
            EXPECT_TRUE(fs::is_directory(page()));
            fs::remove(page());
        }
    }
}

}  // namespace
}  // namespace gravelin::testing
