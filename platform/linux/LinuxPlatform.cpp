#include "platform/linux/LinuxPlatform.h"

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
#include <ctime>

#include "gravelin_config.h"
#include "platform/linux/LinuxWmiProvider.h"
#include "smbios/Reg.h"
#include "utils/Utils.h"

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

}  // namespace

std::vector<std::uint8_t> rawSmbiosValue(std::string_view entryPoint, std::string_view table) {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    std::uint8_t revision = 0;
    const auto at = [&](std::size_t i) {
        return i < entryPoint.size() ? static_cast<std::uint8_t>(entryPoint[i]) : std::uint8_t{0};
    };
    if (entryPoint.starts_with("_SM3_")) {
        major = at(7), minor = at(8), revision = at(9);
    } else if (entryPoint.starts_with("_SM_")) {
        major = at(6), minor = at(7), revision = at(10);  // entry point revision
    } else if (entryPoint.starts_with("_DMI_")) {
        major = at(14) >> 4, minor = at(14) & 0x0F;
    }
    const auto length = static_cast<std::uint32_t>(table.size());
    std::vector<std::uint8_t> value(8 + table.size());
    value[1] = major;
    value[2] = minor;
    value[3] = revision;
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

void LinuxPlatform::shellOpen(std::string_view fileName) {
    std::string path(fileName);
    if (!path.starts_with('/')) {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return;
        path = std::string(cwd) + "/" + path;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;

    std::optional<SudoUser> user;
    if (::geteuid() == 0) {
        user = sudoUser();
        if (!user) return;  // never open the page in a browser running as root
    }

    // Fork twice so that the browser is neither waited for nor left as a zombie.
    const pid_t child = ::fork();
    if (child < 0) return;
    if (child == 0) {
        if (::fork() != 0) ::_exit(0);
        ::setsid();
        if (const int null = ::open("/dev/null", O_RDWR); null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            if (null > STDERR_FILENO) ::close(null);
        }
        if (user && !becomeUser(*user)) ::_exit(126);
        ::execlp("xdg-open", "xdg-open", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);  // no xdg-open: nothing is reported
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

void LinuxPlatform::sleepMs(unsigned milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

std::unique_ptr<OutputFile> LinuxPlatform::createFile(std::string_view fileName) {
    // O_NOFOLLOW: a planted symbolic link is refused, never written through. The file is
    // emptied only once it is known to be a regular file with no other name.
    const std::string name(fileName);
    const int fd =
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return nullptr;
    }
    if (::geteuid() == 0 && st.st_uid == 0) {
        // Under sudo the page belongs to the invoking user, who runs the browser.
        if (const auto user = sudoUser()) (void)::fchown(fd, user->uid, user->gid);
    }
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
