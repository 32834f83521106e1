#include "scanner/platform/linux/LinuxPlatform.h"

#include <fcntl.h>
#include <grp.h>
#include <langinfo.h>
#include <locale.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "gravelin_config.h"
#include "scanner/platform/linux/LinuxWmiProvider.h"
#include "scanner/smbios/Reg.h"
#include "scanner/smbios/Smbios.h"
#include "scanner/utils/Utils.h"

namespace gravelin {

namespace {

constexpr std::string_view kEntryPointPath = "/sys/firmware/dmi/tables/smbios_entry_point";
constexpr std::string_view kTablePath = "/sys/firmware/dmi/tables/DMI";

class PosixFile final : public OutputFile {
public:
    explicit PosixFile(int fd) : fd_(fd) {}
    ~PosixFile() override { ::close(fd_); }
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    bool write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

private:
    int fd_;
};

// The invoking user when running as root through sudo; nothing otherwise.
struct SudoUser {
    uid_t uid;
    gid_t gid;
};

std::optional<SudoUser> sudoUser() {
    const char* uidText = std::getenv("SUDO_UID");
    const char* gidText = std::getenv("SUDO_GID");
    if (uidText == nullptr || gidText == nullptr) return std::nullopt;
    char* end = nullptr;
    const unsigned long uid = std::strtoul(uidText, &end, 10);
    if (*uidText == '\0' || *end != '\0' || uid == 0 || uid > UINT_MAX) return std::nullopt;
    const unsigned long gid = std::strtoul(gidText, &end, 10);
    if (*gidText == '\0' || *end != '\0' || gid > UINT_MAX) return std::nullopt;
    return SudoUser{static_cast<uid_t>(uid), static_cast<gid_t>(gid)};
}

// In the browser's process: become the invoking user, with that user's environment.
bool becomeUser(const SudoUser& user) {
    const passwd* pw = ::getpwuid(user.uid);
    if (pw != nullptr) {
        if (::initgroups(pw->pw_name, user.gid) != 0) return false;
    } else if (::setgroups(0, nullptr) != 0) {
        return false;
    }
    if (::setgid(user.gid) != 0 || ::setuid(user.uid) != 0) return false;
    if (::setuid(0) == 0) return false;  // the drop must be permanent
    if (pw != nullptr) {
        ::setenv("HOME", pw->pw_dir, 1);
        ::setenv("USER", pw->pw_name, 1);
        ::setenv("LOGNAME", pw->pw_name, 1);
    }
    const std::string runtimeDir = "/run/user/" + std::to_string(user.uid);
    ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
        const std::string bus = runtimeDir + "/bus";
        if (::access(bus.c_str(), F_OK) == 0)
            ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
    }
    return true;
}

// The users a page file may belong to: the effective user and, under sudo, the invoking one.
struct PageOwners {
    uid_t effective;
    std::optional<SudoUser> invoking;

    [[nodiscard]] bool contains(uid_t uid) const {
        return uid == effective || (invoking && uid == invoking->uid);
    }
    // The user whose browser shows the page.
    [[nodiscard]] uid_t browserUser() const { return invoking ? invoking->uid : effective; }
};

PageOwners pageOwners() {
    const uid_t euid = ::geteuid();
    return {euid, euid == 0 ? sudoUser() : std::nullopt};
}

std::string errnoText(int error) {
    return std::strerror(error);
}

std::string currentDirectory() {
    char cwd[PATH_MAX];
    return ::getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string();
}

std::string userName(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    return (pw != nullptr ? std::string(pw->pw_name) + " " : std::string()) + "(uid " +
           std::to_string(uid) + ")";
}

// Only a new file is ever written: O_EXCL fails on any name that exists, a symbolic link
// (even a dangling one) included.
int createNewPage(const std::string& name) {
    return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// Whether an existing page may be replaced: it is the user's own, or one a run as plain root
// left in a directory of the user's own.
bool mayReplace(const struct stat& page, const PageOwners& owners) {
    if (owners.contains(page.st_uid)) return true;
    struct stat directory {};
    return page.st_uid == 0 && ::stat(".", &directory) == 0 && owners.contains(directory.st_uid);
}

// Whether nobody but the user belongs to a group: no other listed member, and no other user
// with it as primary group (a user's private group).
bool groupOfUserAlone(gid_t gid, uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    const group* gr = pw != nullptr ? ::getgrgid(gid) : nullptr;
    if (gr == nullptr) return false;
    const std::string name = pw->pw_name;
    for (char** member = gr->gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (name != *member) return false;
    }
    bool alone = true;
    ::setpwent();
    while (const passwd* other = ::getpwent()) {
        if (other->pw_gid == gid && other->pw_uid != uid) {
            alone = false;
            break;
        }
    }
    ::endpwent();
    return alone;
}

// Why a page in this directory must not go to the browser: another user could swap it
// before the browser reads it, or after the program has ended.
struct DirectoryRefusal {
    std::string why;         // for the terminal
    std::string errorEntry;  // for the error text: no path, no name
};

std::optional<DirectoryRefusal> unsafeDirectory(const std::string& directory,
                                                const PageOwners& owners) {
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0) {
        return DirectoryRefusal{directory + " cannot be examined: " + errnoText(errno),
                                "its directory cannot be examined"};
    }
    if (st.st_uid != 0 && !owners.contains(st.st_uid)) {
        return DirectoryRefusal{directory + " belongs to another user, " + userName(st.st_uid),
                                "its directory belongs to another user"};
    }
    if ((st.st_mode & S_ISVTX) != 0) return std::nullopt;  // only owners remove or rename
    if ((st.st_mode & S_IWOTH) != 0) {
        return DirectoryRefusal{
            "other users can write to " + directory + " and it has no sticky bit",
            "its directory can be written by other users and has no sticky bit"};
    }
    if ((st.st_mode & S_IWGRP) != 0 && !groupOfUserAlone(st.st_gid, owners.browserUser())) {
        const group* gr = ::getgrgid(st.st_gid);
        return DirectoryRefusal{
            "other members of the group " +
                (gr != nullptr ? std::string(gr->gr_name) : std::to_string(st.st_gid)) +
                " can write to " + directory + " and it has no sticky bit",
            "its directory can be written by other users (its group) and "
            "has no sticky bit"};
    }
    return std::nullopt;
}

// What stopped the browser's process before it became the browser, sent back to the program
// through a pipe that closes by itself once the browser runs.
struct LaunchFailure {
    enum Step : int { Fork = 1, BecomeUser, ReadPage, Exec };
    int step = 0;
    int error = 0;
};

}  // namespace

std::vector<std::uint8_t> rawSmbiosValue(std::string_view entryPoint, std::string_view table) {
    const EntryPointVersion version = entryPointVersion(entryPoint);
    const auto length = static_cast<std::uint32_t>(table.size());
    std::vector<std::uint8_t> value(8 + table.size());
    value[1] = version.major;
    value[2] = version.minor;
    value[3] = version.revision;
    for (int i = 0; i < 4; ++i)
        value[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
    std::copy(table.begin(), table.end(), value.begin() + 8);
    return value;
}

std::optional<std::vector<std::uint8_t>> sysfsSmbiosValue(const RootFs& fs) {
    const auto entryPoint = fs.read(kEntryPointPath, 4096);
    const auto table = fs.read(kTablePath);
    if (!entryPoint || !table) return std::nullopt;
    return rawSmbiosValue(*entryPoint, *table);
}

std::string osReleasePrettyName(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.starts_with("PRETTY_NAME=")) continue;
        line.remove_prefix(12);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        if (line.size() >= 2 && (line.front() == '"' || line.front() == '\'') &&
            line.back() == line.front()) {
            line = line.substr(1, line.size() - 2);
        }
        std::string value;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) ++i;  // shell escapes
            value += line[i];
        }
        return value;
    }
    return "";
}

LinuxPlatform::LinuxPlatform(std::string root)
    : LinuxPlatform(std::move(root), std::make_unique<HostSystem>()) {}

LinuxPlatform::LinuxPlatform(std::string root, std::unique_ptr<LinuxSystem> system)
    : fs_(std::move(root)),
      system_(std::move(system)),
      decimalSeparator_(localeDecimalSeparator()),
      wmi_(std::make_unique<LinuxWmiProvider>(fs_, *system_)) {}

std::string localeDecimalSeparator() {
    std::string separator = ".";
    if (locale_t locale = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr))) {
        if (const char* radix = ::nl_langinfo_l(RADIXCHAR, locale); radix && *radix)
            separator = radix;
        ::freelocale(locale);
    }
    return separator;
}

LinuxPlatform::~LinuxPlatform() = default;

std::optional<std::vector<std::uint8_t>> LinuxPlatform::registryBinaryValue(
    std::string_view key, std::string_view valueName) {
    if (key != kSmbiosRegistryKey || valueName != kSmbiosRegistryValue) return std::nullopt;
    if (system_->denies(kEntryPointPath) || system_->denies(kTablePath)) return std::nullopt;
    return sysfsSmbiosValue(fs_);
}

std::vector<WmiObject> LinuxPlatform::wmiQueryClass(std::string_view wql) {
    return wmi_->query("root\\cimv2", wql);
}

WmiPropertyAnswer LinuxPlatform::wmiQueryProperty(std::string_view wmiNamespace,
                                                  std::string_view wql, std::string_view property) {
    const auto objects = wmi_->query(wmiNamespace, wql);
    if (objects.empty()) return {"Error at pEnumerator->Next", {}};
    for (const auto& [name, value] : objects.front().properties) {
        if (name == property) return {"", value};
    }
    return {"", {}};  // a property the class does not have reads as null
}

void LinuxPlatform::refuseBrowser(std::string why, std::string_view errorEntry,
                                  std::string advice) {
    browserAsked_ = false;
    browserRefusal_ = std::move(why);
    browserAdvice_ = std::move(advice);
    if (!errorEntry.empty()) {
        handOffErrors_ += "Page not opened in a browser: ";
        handOffErrors_ += errorEntry;
        handOffErrors_ += ", ";
    }
}

void LinuxPlatform::shellOpen(std::string_view fileName) {
    std::string path(fileName);
    if (!path.starts_with('/')) {
        const std::string cwd = currentDirectory();
        if (cwd.empty()) return refuseBrowser("the current directory has no name");
        path = cwd + "/" + path;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return refuseBrowser(path + " is not a regular file");

    const PageOwners owners = pageOwners();
    const std::string directory = path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
    if (auto refusal = unsafeDirectory(directory, owners)) {
        return refuseBrowser(std::move(refusal->why), refusal->errorEntry,
                             "run the scanner again in a directory only you can write to, such "
                             "as your home directory");
    }
    if (owners.effective == 0 && !owners.invoking) {
        // Never open the page in a browser running as root.
        return refuseBrowser("running as root without sudo, the scanner starts no browser");
    }

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return refuseBrowser("no pipe to follow the browser's start: " + errnoText(errno));
    // Fork twice so that the browser is neither waited for nor left as a zombie.
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return refuseBrowser("no process for the browser: " + errnoText(error));
    }
    if (child == 0) {
        ::close(report[0]);
        int out = report[1];
        if (out <= STDERR_FILENO) out = ::fcntl(out, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        const auto fail = [out](LaunchFailure::Step step) {
            const LaunchFailure failure{step, errno};
            (void)!::write(out, &failure, sizeof failure);
            ::_exit(127);
        };
        const pid_t grandchild = ::fork();
        if (grandchild < 0) fail(LaunchFailure::Fork);
        if (grandchild != 0) ::_exit(0);
        ::setsid();
        if (const int null = ::open("/dev/null", O_RDWR); null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            if (null > STDERR_FILENO) ::close(null);
        }
        if (owners.invoking && !becomeUser(*owners.invoking)) fail(LaunchFailure::BecomeUser);
        // The browser runs as this user: it must be able to reach and read the page where it
        // is (not so in /root after "sudo -i").
        const int page = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (page < 0) fail(LaunchFailure::ReadPage);
        ::close(page);
        ::execlp("xdg-open", "xdg-open", path.c_str(), static_cast<char*>(nullptr));
        fail(LaunchFailure::Exec);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    LaunchFailure failure;
    ssize_t n = 0;
    while ((n = ::read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == 0) {  // closed by the exec: xdg-open runs
        browserAsked_ = true;
        browserRefusal_.clear();
        return;
    }
    const std::string user = userName(owners.browserUser());
    const std::string error = n == sizeof failure ? errnoText(failure.error) : "unknown";
    switch (n == sizeof failure ? failure.step : 0) {
        case LaunchFailure::BecomeUser:
            return refuseBrowser("the browser cannot be started as " + user + ": " + error);
        case LaunchFailure::ReadPage:
            return refuseBrowser(user + " cannot read " + path + ": " + error,
                                 std::string(owners.invoking ? "the invoking user" : "the user") +
                                     " cannot read it in this directory (" + error + ")",
                                 "run the scanner again in a directory " + user + " can read");
        case LaunchFailure::Exec:
            return refuseBrowser(failure.error == ENOENT ? "xdg-open was not found"
                                                         : "xdg-open cannot be started: " + error);
        default: return refuseBrowser("the browser's process failed: " + error);
    }
}

std::string LinuxPlatform::takeHandOffErrors() {
    if (!pageFailure_.empty() && !pageFailureTaken_) {
        pageFailureTaken_ = true;
        handOffErrors_ += "Page file not written: " + pageFailure_ + ", ";
        if (!browserAsked_ && browserRefusal_.empty())
            browserRefusal_ = "the waiting page could not be written: " + pageFailure_;
    }
    return std::exchange(handOffErrors_, std::string());
}

std::string LinuxPlatform::handOffSummary() const {
    const std::string endpoint = std::string("https://") + GRAVELIN_RESULT_HOST + "/";
    const bool written = pageFailure_.empty() && !pagePath_.empty();
    std::string text = "gravelin-scanner: ";
    if (written) {
        text += "the sealed report is in " + pagePath_ + "\n";
    } else {
        text += "no report page was written: " +
                (pageFailure_.empty() ? std::string("the scan ended early") : pageFailure_) + "\n";
    }
    text += "gravelin-scanner: ";
    if (browserAsked_) {
        text += written ? "a browser was asked to open it; it sends the report to " + endpoint +
                              " by itself\n"
                        : "a browser shows the waiting page, which no report will follow; run "
                          "the scanner again in a directory of your own\n";
        return text;
    }
    text += "no browser was asked to open it (" +
            (browserRefusal_.empty() ? std::string("none was started") : browserRefusal_) + "); ";
    if (!browserAdvice_.empty()) {
        text += browserAdvice_;
    } else if (written) {
        text += "to send the report, open that page in a browser on a machine that can reach " +
                endpoint;
    } else {
        text += "run the scanner again in a directory of your own";
    }
    return text + "\n";
}

void LinuxPlatform::sleepMs(unsigned milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

std::unique_ptr<OutputFile> LinuxPlatform::createFile(std::string_view fileName) {
    // An existing file is never opened, so never written into: a page of the user's own is
    // replaced by a new file; anything else at the name makes this attempt fail. The new file
    // is the user's alone (0600) and, under sudo, belongs to the invoking user, who runs the
    // browser.
    const std::string name(fileName);
    const PageOwners owners = pageOwners();
    const auto fail = [&](const std::string& why) -> std::unique_ptr<OutputFile> {
        pageFailure_ = name + " " + why;
        pageFailureTaken_ = false;
        return nullptr;
    };
    int fd = createNewPage(name);
    if (fd < 0 && errno == EEXIST) {
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0) return fail("cannot be examined: " + errnoText(errno));
        if (S_ISLNK(st.st_mode)) return fail("is a symbolic link");
        if (!S_ISREG(st.st_mode)) return fail("is not a regular file");
        if (!mayReplace(st, owners))
            return fail("belongs to another user (uid " + std::to_string(st.st_uid) + ")");
        if (st.st_nlink != 1) return fail("has a second name (a hard link)");
        if (::unlink(name.c_str()) != 0) return fail("cannot be replaced: " + errnoText(errno));
        fd = createNewPage(name);
    }
    if (fd < 0) return fail("cannot be created: " + errnoText(errno));
    (void)::fchmod(fd, 0600);  // whatever the umask
    // Under sudo the browser runs as the invoking user: a page that stays root's 0600 is one
    // it cannot open, so that is a failure to name, not a page to hand over.
    if (owners.invoking && ::fchown(fd, owners.invoking->uid, owners.invoking->gid) != 0) {
        const std::string why = errnoText(errno);
        ::close(fd);
        ::unlink(name.c_str());
        return fail("cannot be given to uid " + std::to_string(owners.invoking->uid) + ": " + why);
    }
    pagePath_ = name.starts_with('/') ? name : currentDirectory() + "/" + name;
    pageFailure_.clear();
    return std::make_unique<PosixFile>(fd);
}

std::string LinuxPlatform::executablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0) return "gravelin-scanner";
    return {buffer, static_cast<std::size_t>(n)};
}

OsIdentity LinuxPlatform::osIdentity() {
    LinuxIdentity identity;
    auto osRelease = fs_.read("/etc/os-release", 65536);
    if (!osRelease) osRelease = fs_.read("/usr/lib/os-release", 65536);
    if (osRelease) identity.prettyName = osReleasePrettyName(*osRelease);
    utsname names{};
    if (::uname(&names) == 0) {
        identity.kernelRelease = names.release;
        const std::string_view machine = names.machine;
        identity.is64BitOs = machine.find("64") != std::string_view::npos || machine == "s390x";
    }
    return identity;
}

std::optional<FileVersion> LinuxPlatform::fileVersion(std::string_view /*path*/) {
    // ELF files carry no version resource; the program reports its own version.
    return FileVersion{(GRAVELIN_VERSION_MAJOR << 16U) | GRAVELIN_VERSION_MINOR,
                       (GRAVELIN_VERSION_PATCH << 16U) | GRAVELIN_VERSION_TWEAK};
}

const AnsiCodePage& LinuxPlatform::ansiCodePage() {
    return windows1252();
}

std::string LinuxPlatform::decimalSeparator() {
    return decimalSeparator_;
}

}  // namespace gravelin
