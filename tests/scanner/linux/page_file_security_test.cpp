// The page file as a boundary between local users: the scanner as a whole process, run by
// root as other users (setpriv) or under sudo's rules (SUDO_UID/SUDO_GID), in directories of
// chosen owners and modes, with pages planted by another user. The browser is a stub
// xdg-open that notes who asked it to open what. Two system users stand in for people:
// daemon (uid 1) runs the scanner, nobody (uid 65534) is the other local user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "ProcessTesting.h"
#include "scanner/delivery/Htmlgen.h"
#include "reading/Unseal.h"

namespace gravelin::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kUser = 1;  // daemon: runs the scanner
constexpr gid_t kUserGroup = 1;
constexpr uid_t kOther = 65534;  // nobody: another local user
constexpr gid_t kOtherGroup = 65534;

const std::string kPage(kPageFileName);

// How the scanner is started.
enum class As {
    Sudo,  // root, with the invoking user daemon in SUDO_UID/SUDO_GID
    User,  // daemon itself
};

struct ScanRun {
    ProcessResult process;
    double seconds = 0;
    std::string terminal;  // what the scanner wrote to its terminal
    std::string opened;    // the stub browser's notes: "uid path" per call
};

class PageFileSecurity : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root: it runs the scanner as other users (setpriv) and "
                            "plants files owned by another user";
        }
        for (const char* tool : {"/usr/bin/setpriv", "/usr/bin/script", "/usr/bin/env"}) {
            if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is missing";
        }
        fs::permissions(work_.path(), fs::perms(0755));
        fs::create_directory(work_.path() / "bin");
        fs::create_directory(work_.path() / "nobrowser");
        fs::copy_file(GRAVELIN_SCANNER_EXE, scanner());
        fs::permissions(scanner(), fs::perms(0755));
        writeFile(work_.path() / "bin" / "xdg-open",
                  "#!/bin/sh\nprintf '%s %s\\n' \"$(/usr/bin/id -u)\" \"$*\" >>" +
                      shellQuoted(log().string()) + "\n");
        fs::permissions(work_.path() / "bin" / "xdg-open", fs::perms(0755));
    }

    [[nodiscard]] fs::path scanner() const { return work_.path() / "gravelin-scanner"; }
    [[nodiscard]] fs::path log() const { return work_.path() / "opened.log"; }

    // A working directory of the given owner and mode.
    fs::path directory(const std::string& name, uid_t uid, gid_t gid, mode_t mode) {
        const fs::path dir = work_.path() / name;
        fs::create_directory(dir);
        EXPECT_EQ(::chown(dir.c_str(), uid, gid), 0);
        EXPECT_EQ(::chmod(dir.c_str(), mode), 0);
        return dir;
    }

    // The other user plants a page of their own, readable and writable by everyone, as they
    // can in a directory they may write to.
    static void plantPage(const fs::path& dir) {
        const auto planted = run("cd " + shellQuoted(dir.string()) +
                                 " && /usr/bin/setpriv --reuid=65534 --regid=65534 "
                                 "--clear-groups /bin/sh -c 'umask 0; printf planted >" +
                                 kPage + "'");
        ASSERT_EQ(planted.exitCode, 0) << planted.err;
        struct stat st {};
        ASSERT_EQ(::lstat((dir / kPage).c_str(), &st), 0);
        ASSERT_EQ(st.st_uid, kOther);
    }

    // Runs the scanner in a directory. At a terminal, standard input, output and error are a
    // pseudo-terminal (script); otherwise standard error goes to a file.
    ScanRun scan(const fs::path& dir, As as, bool terminal = true, bool browser = true,
                 const std::string& umask = "022") {
        std::remove(log().c_str());
        writeFile(log(), "");
        fs::permissions(log(), fs::perms(0666));
        std::string command =
            "cd " + shellQuoted(dir.string()) + " && umask " + umask +
            " && exec /usr/bin/env PATH=" +
            shellQuoted((work_.path() / (browser ? "bin" : "nobrowser")).string());
        if (as == As::Sudo) {
            command += " SUDO_UID=1 SUDO_GID=1 SUDO_USER=daemon " + shellQuoted(scanner().string());
        } else {
            command += " /usr/bin/setpriv --reuid=1 --regid=1 --clear-groups " +
                       shellQuoted(scanner().string());
        }
        ScanRun result;
        const auto started = std::chrono::steady_clock::now();
        if (terminal) {
            result.process = run("/usr/bin/script -qec " + shellQuoted(command) + " /dev/null");
            result.terminal = result.process.out;
        } else {
            result.process = run(command);
        }
        result.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        result.opened = readFile(log());
        return result;
    }

    ScratchDir work_;
};

struct PageState {
    bool exists = false;
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    ino_t inode = 0;
};

PageState pageState(const fs::path& page) {
    struct stat st {};
    if (::lstat(page.c_str(), &st) != 0) return {};
    return {true, st.st_uid, st.st_gid, static_cast<mode_t>(st.st_mode & 07777), st.st_ino};
}

// The report sealed in a submit page, unsealed; "" when the file holds no submit page.
std::string reportIn(const fs::path& page) {
    const std::string text = readFile(page);
    if (text.find("name=\"scanResult\"") == std::string::npos) return "";
    return report::unsealText(text);
}

// A page another user planted is never written into, whatever the directory lets them do:
// the scanner tries 30 times per page, goes on without it, opens no browser, and says why.
TEST_F(PageFileSecurity, AnotherUsersPlantedPageIsNeverWrittenNorOpened) {
    struct Case {
        const char* name;
        mode_t mode;
        gid_t group;
        As as;
    };
    const Case cases[] = {
        {"world-writable with the sticky bit, under sudo", 01777, 0, As::Sudo},
        {"world-writable with the sticky bit, as the user", 01777, 0, As::User},
        {"writable by the other user's group, no sticky bit, under sudo", 0775, kOtherGroup,
         As::Sudo},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = directory("planted" + std::to_string(n++), 0, c.group, c.mode);
        plantPage(dir);
        const PageState before = pageState(dir / kPage);
        const ScanRun r = scan(dir, c.as);
        EXPECT_EQ(r.process.exitCode, 0);
        EXPECT_EQ(readFile(dir / kPage), "planted");
        const PageState after = pageState(dir / kPage);
        EXPECT_EQ(after.uid, kOther);
        EXPECT_EQ(after.mode, 0666U);
        EXPECT_EQ(after.inode, before.inode);
        EXPECT_EQ(r.opened, "");
        EXPECT_GE(r.seconds, 5.9) << "two pages of 30 attempts 100 ms apart";
        EXPECT_NE(r.terminal.find("no report page was written: " + kPage +
                                  " belongs to another user (uid 65534)"),
                  std::string::npos)
            << r.terminal;
        EXPECT_NE(r.terminal.find("no browser was asked to open it (the waiting page could not "
                                  "be written: " +
                                  kPage + " belongs to another user (uid 65534))"),
                  std::string::npos)
            << r.terminal;
    }
}

// A page the scanner writes is a new file, readable by nobody but the user whose browser
// shows it, whatever the umask and whatever page stood there before; and a page of the
// user's own, or one a run as plain root left in the user's own directory, is replaced at
// once instead of blocking the run.
TEST_F(PageFileSecurity, ThePageIsNewPrivateAndTheBrowserUsers) {
    struct Case {
        const char* name;
        uid_t dirOwner;
        gid_t dirGroup;
        As as;
        const char* umask;
        bool stale;  // an earlier page, mode 0644, owned by staleOwner
        uid_t staleOwner;
    };
    const Case cases[] = {
        {"as the user in their own directory, umask 000", kUser, kUserGroup, As::User, "000", false,
         0},
        {"under sudo in root's directory", 0, 0, As::Sudo, "022", false, 0},
        {"under sudo over the user's own earlier page", 0, 0, As::Sudo, "022", true, kUser},
        {"as the user over a plain-root run's page in the user's directory", kUser, kUserGroup,
         As::User, "022", true, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = directory("new" + std::to_string(n++), c.dirOwner, c.dirGroup, 0755);
        const fs::path page = dir / kPage;
        // The earlier page stays open here, so that what becomes of that very file shows.
        int earlier = -1;
        if (c.stale) {
            writeFile(page, "an earlier page\n");
            ASSERT_EQ(::chown(page.c_str(), c.staleOwner, c.staleOwner == 0 ? 0 : kUserGroup), 0);
            ASSERT_EQ(::chmod(page.c_str(), 0644), 0);
            earlier = ::open(page.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(earlier, 0);
        }
        const ScanRun r = scan(dir, c.as, true, true, c.umask);
        EXPECT_EQ(r.process.exitCode, 0);
        EXPECT_LT(r.seconds, 3.0) << "no attempt should have failed";
        const PageState after = pageState(page);
        ASSERT_TRUE(after.exists);
        EXPECT_EQ(after.mode, 0600U);
        EXPECT_EQ(after.uid, kUser);
        EXPECT_EQ(after.gid, kUserGroup);
        if (c.stale) {
            struct stat st {};
            ASSERT_EQ(::fstat(earlier, &st), 0);
            EXPECT_EQ(st.st_nlink, 0U) << "the earlier file is still the page";
            char text[64] = {};
            EXPECT_EQ(::pread(earlier, text, sizeof text - 1, 0), 16);
            EXPECT_STREQ(text, "an earlier page\n") << "the earlier file was written into";
            ::close(earlier);
        }
        EXPECT_TRUE(reportIn(page).starts_with("<?xml")) << readFile(page).substr(0, 200);
        EXPECT_EQ(r.opened, "1 " + page.string() + "\n");
        EXPECT_NE(r.terminal.find("the sealed report is in " + page.string()), std::string::npos)
            << r.terminal;
        EXPECT_NE(r.terminal.find("a browser was asked to open it"), std::string::npos)
            << r.terminal;
    }
}

// A page in a directory where another user could swap it (before the browser reads it, or
// after the program has ended) is written, private, but handed to no browser; the report's
// error text and the terminal say why. Sticky bits and the user's private group are safe.
TEST_F(PageFileSecurity, ADirectoryOthersCanSwapThePageInGetsNoBrowser) {
    struct Case {
        const char* name;
        uid_t owner;
        gid_t group;
        mode_t mode;
        As as;
        const char* errorEntry;  // nullptr: the browser is asked
        const char* terminal;
    };
    const Case cases[] = {
        {"world-writable, no sticky bit", 0, 0, 0777, As::Sudo,
         "Page not opened in a browser: its directory can be written by other users and has no "
         "sticky bit, ",
         "other users can write to "},
        {"writable by a group with another member, no sticky bit", 0, kOtherGroup, 0775, As::Sudo,
         "Page not opened in a browser: its directory can be written by other users (its group) "
         "and has no sticky bit, ",
         "other members of the group nogroup can write to "},
        {"another user's directory", kOther, kOtherGroup, 0755, As::Sudo,
         "Page not opened in a browser: its directory belongs to another user, ",
         "belongs to another user, nobody (uid 65534)"},
        {"world-writable with the sticky bit", 0, 0, 01777, As::Sudo, nullptr, nullptr},
        {"writable by the user's own group only", kUser, kUserGroup, 0775, As::User, nullptr,
         nullptr},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = directory("swap" + std::to_string(n++), c.owner, c.group, c.mode);
        const fs::path page = dir / kPage;
        const ScanRun r = scan(dir, c.as);
        EXPECT_EQ(r.process.exitCode, 0);
        const PageState after = pageState(page);
        EXPECT_EQ(after.mode, 0600U);
        EXPECT_EQ(after.uid, kUser);
        const std::string report = reportIn(page);
        ASSERT_TRUE(report.starts_with("<?xml")) << readFile(page).substr(0, 200);
        if (c.errorEntry != nullptr) {
            EXPECT_EQ(r.opened, "");
            EXPECT_NE(report.find(c.errorEntry), std::string::npos);
            EXPECT_NE(r.terminal.find(c.terminal), std::string::npos) << r.terminal;
            EXPECT_NE(r.terminal.find("run the scanner again in a directory only you can write "
                                      "to"),
                      std::string::npos)
                << r.terminal;
        } else {
            EXPECT_EQ(r.opened, "1 " + page.string() + "\n");
            EXPECT_EQ(report.find("Page not opened"), std::string::npos);
        }
    }
}

// Under sudo in a directory the invoking user cannot enter (/root after "sudo -i"), the
// browser could not open the page: no browser is started, and the error text and the
// terminal say why.
TEST_F(PageFileSecurity, UnderSudoADirectoryTheUserCannotReadGetsNoBrowser) {
    const fs::path dir = directory("private", 0, 0, 0700);
    const fs::path page = dir / kPage;
    const ScanRun r = scan(dir, As::Sudo);
    EXPECT_EQ(r.process.exitCode, 0);
    EXPECT_EQ(r.opened, "");
    const PageState after = pageState(page);
    EXPECT_EQ(after.mode, 0600U);
    EXPECT_EQ(after.uid, kUser);
    EXPECT_NE(reportIn(page).find("Page not opened in a browser: the invoking user cannot read it "
                                  "in this directory (Permission denied), "),
              std::string::npos);
    EXPECT_NE(
        r.terminal.find("daemon (uid 1) cannot read " + page.string() + ": Permission denied"),
        std::string::npos)
        << r.terminal;
}

// At a terminal the scanner says where the page is and what became of the browser; without
// one (a service, a pipe) it writes nothing.
TEST_F(PageFileSecurity, ATerminalIsToldWhereThePageIsAndWhatToDo) {
    const fs::path dir = directory("terminal", kUser, kUserGroup, 0755);
    const fs::path page = dir / kPage;
    {
        SCOPED_TRACE("no browser installed");
        const ScanRun r = scan(dir, As::User, true, false);
        EXPECT_EQ(r.process.exitCode, 0);
        EXPECT_EQ(r.terminal,
                  "gravelin-scanner: the sealed report is in " + page.string() +
                      "\r\ngravelin-scanner: no browser was asked to open it (xdg-open was not "
                      "found); to send the report, open that page in a browser on a machine "
                      "that can reach " +
                      resultEndpointAddress().substr(0, resultEndpointAddress().find('/', 8) + 1) +
                      "\r\n");
    }
    {
        SCOPED_TRACE("a browser");
        const ScanRun r = scan(dir, As::Sudo);
        EXPECT_EQ(r.opened, "1 " + page.string() + "\n");
        EXPECT_NE(r.terminal.find("gravelin-scanner: the sealed report is in " + page.string() +
                                  "\r\ngravelin-scanner: a browser was asked to open it; it "
                                  "sends the report to "),
                  std::string::npos)
            << r.terminal;
    }
    for (const bool browser : {true, false}) {
        SCOPED_TRACE(browser ? "not a terminal, a browser" : "not a terminal, no browser");
        const ScanRun r = scan(dir, As::User, false, browser);
        EXPECT_EQ(r.process.exitCode, 0);
        EXPECT_EQ(r.process.err, "");
        EXPECT_EQ(r.process.out, "");
        EXPECT_TRUE(reportIn(page).starts_with("<?xml"));
    }
}

}  // namespace
}  // namespace gravelin::testing
