// What the Linux WMI classes learn from the system other than by reading files: uname,
// the host name, the clock and the time zone, statvfs and birth times (bounded by a
// time-out), CPUID, the address-space limit, and the two readings of the rate counters. Tests
// replace it with a description of a fixture machine.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/platform/linux/RootFs.h"

namespace gravelin {

struct UnameInfo {
    std::string sysname;
    std::string nodename;
    std::string release;
    std::string version;
    std::string machine;
};

struct WallClock {
    std::int64_t seconds = 0;
    std::int32_t micros = 0;  // 0..999999
};

// A moment in local time and the local offset from UTC then, in minutes east.
struct LocalTime {
    int year = 0;   // e.g. 2023
    int month = 0;  // 1..12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int offsetMinutes = 0;
};

// One file system's statvfs figures; state says whether they were obtained.
struct FsStats {
    enum class State { Ok, Failed, TimedOut };
    State state = State::Failed;
    std::uint64_t fragmentSize = 0;     // f_frsize
    std::uint64_t blocks = 0;           // f_blocks
    std::uint64_t freeBlocks = 0;       // f_bfree
    std::uint64_t availableBlocks = 0;  // f_bavail
    std::uint64_t nameMax = 0;          // f_namemax
};

// One reading of the rate counters and the moment it was taken, in seconds on a clock that
// only moves forward.
struct CounterReading {
    std::optional<std::string> stat;    // /proc/stat
    std::optional<std::string> vmstat;  // /proc/vmstat
    double seconds = 0;
};

// The least time between the two readings of the rate counters, counted from the first
// (taken at program start, so that the scan's own work fills most of it), and the most the
// statvfs calls of one query may take together.
inline constexpr std::chrono::milliseconds kCounterSampleInterval{100};
inline constexpr std::chrono::milliseconds kStatvfsTimeout{1500};

class LinuxSystem {
public:
    virtual ~LinuxSystem() = default;

    virtual UnameInfo uname() = 0;
    virtual std::string hostName() = 0;
    virtual WallClock now() = 0;
    // Local time of an epoch second in the machine's time zone; nothing if unrepresentable.
    virtual std::optional<LocalTime> localTime(std::int64_t epochSeconds) = 0;

    // statvfs of each mount point (paths inside `fs`), all together bounded by `budget`: a
    // call that has not answered by then counts as TimedOut and is abandoned.
    virtual std::vector<FsStats> statvfs(const RootFs& fs,
                                         const std::vector<std::string>& mountPoints,
                                         std::chrono::milliseconds budget) = 0;
    // Birth time (epoch seconds) of a path inside `fs`, when the file system records one.
    virtual std::optional<std::int64_t> birthTime(const RootFs& fs, const std::string& path) = 0;

    // CPUID leaf (eax, ebx, ecx, edx) of the running processor; nothing off x86.
    virtual std::optional<std::array<std::uint32_t, 4>> cpuid(std::uint32_t leaf) = 0;
    // A finite RLIMIT_AS in bytes, or nothing when unlimited.
    virtual std::optional<std::uint64_t> addressSpaceLimit() = 0;

    // The first reading of the rate counters: the one taken at program start when there is
    // one (handed out once), else one taken now.
    virtual CounterReading firstCounterReading(const RootFs& fs) = 0;
    // The second reading, taken once at least the sample interval has passed since `first`:
    // it waits only for what remains of the interval.
    virtual CounterReading secondCounterReading(const RootFs& fs, const CounterReading& first) = 0;

    // True when the running user may not read this file although it exists (files only
    // root may read). On a real machine the read itself fails; fixtures say it here.
    [[nodiscard]] virtual bool denies(std::string_view /*path*/) const { return false; }
};

// The running machine.
class HostSystem : public LinuxSystem {
public:
    UnameInfo uname() override;
    std::string hostName() override;
    WallClock now() override;
    std::optional<LocalTime> localTime(std::int64_t epochSeconds) override;
    std::vector<FsStats> statvfs(const RootFs& fs, const std::vector<std::string>& mountPoints,
                                 std::chrono::milliseconds budget) override;
    std::optional<std::int64_t> birthTime(const RootFs& fs, const std::string& path) override;
    std::optional<std::array<std::uint32_t, 4>> cpuid(std::uint32_t leaf) override;
    std::optional<std::uint64_t> addressSpaceLimit() override;
    CounterReading firstCounterReading(const RootFs& fs) override;
    CounterReading secondCounterReading(const RootFs& fs, const CounterReading& first) override;

    // Reads the rate counters now; the first reading the WMI classes use, when taken at
    // the very start of the program.
    void takeFirstCounterReading(const RootFs& fs);
    // The same for the running machine ("/"), kept for the first HostSystem that asks: the
    // program calls it before anything else.
    static void takeEarlyCounterReading();

protected:
    // The clock of the readings (seconds, monotonic) and the pause; tests put a fake here.
    virtual double monotonicSeconds();
    virtual void sleepSeconds(double seconds);
    // The blocking call itself, run on a worker thread that may outlive this object, so it
    // must hold everything it uses (tests put a hanging one here).
    using StatvfsCall = std::function<FsStats(const std::string& hostPath)>;
    virtual StatvfsCall statvfsCall();

private:
    CounterReading readCounters(const RootFs& fs);
    std::optional<CounterReading> early_;
};

}  // namespace gravelin
