#include "scanner/platform/linux/wmi/LinuxSystem.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace gravelin {

namespace {

// Results of calls that run on worker threads. The workers own a share of it, so a worker
// that answers after its caller gave up writes into memory that is still alive.
template <typename T>
struct Pending {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<std::optional<T>> results;
    std::size_t remaining = 0;
};

// Runs calls[i]() on its own thread for every i and waits until all have answered or the
// budget is spent; an unanswered call (or one whose thread could not start) stays empty.
template <typename T>
std::vector<std::optional<T>> runBounded(std::vector<std::function<T()>> calls,
                                         std::chrono::milliseconds budget) {
    auto pending = std::make_shared<Pending<T>>();
    pending->results.resize(calls.size());
    pending->remaining = calls.size();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        try {
            std::thread([pending, i, call = std::move(calls[i])] {
                T result = call();
                const std::lock_guard lock(pending->mutex);
                pending->results[i] = std::move(result);
                --pending->remaining;
                pending->done.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            const std::lock_guard lock(pending->mutex);
            --pending->remaining;
        }
    }
    std::unique_lock lock(pending->mutex);
    pending->done.wait_for(lock, budget, [&] { return pending->remaining == 0; });
    return pending->results;  // a copy: late answers go to the shared state only
}

}  // namespace

UnameInfo HostSystem::uname() {
    utsname names{};
    if (::uname(&names) != 0) return {};
    return {names.sysname, names.nodename, names.release, names.version, names.machine};
}

std::string HostSystem::hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
    return uname().nodename;
}

WallClock HostSystem::now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::int32_t>(ts.tv_nsec / 1000)};
}

std::optional<LocalTime> HostSystem::localTime(std::int64_t epochSeconds) {
    const auto t = static_cast<time_t>(epochSeconds);
    tm local{};
    if (::localtime_r(&t, &local) == nullptr) return std::nullopt;
    return LocalTime{local.tm_year + 1900,
                     local.tm_mon + 1,
                     local.tm_mday,
                     local.tm_hour,
                     local.tm_min,
                     local.tm_sec,
                     static_cast<int>(local.tm_gmtoff / 60)};
}

static FsStats statvfsOf(const std::string& hostPath) {
    struct statvfs st {};
    if (::statvfs(hostPath.c_str(), &st) != 0) return {};
    FsStats stats;
    stats.state = FsStats::State::Ok;
    stats.fragmentSize = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
    stats.blocks = st.f_blocks;
    stats.freeBlocks = st.f_bfree;
    stats.availableBlocks = st.f_bavail;
    stats.nameMax = st.f_namemax;
    return stats;
}

HostSystem::StatvfsCall HostSystem::statvfsCall() {
    return statvfsOf;
}

std::vector<FsStats> HostSystem::statvfs(const RootFs& fs,
                                         const std::vector<std::string>& mountPoints,
                                         std::chrono::milliseconds budget) {
    std::vector<std::function<FsStats()>> calls;
    calls.reserve(mountPoints.size());
    for (const auto& mountPoint : mountPoints) {
        calls.emplace_back(
            [call = statvfsCall(), path = fs.hostPath(mountPoint)] { return call(path); });
    }
    const auto answers = runBounded(std::move(calls), budget);
    std::vector<FsStats> stats(mountPoints.size());
    for (std::size_t i = 0; i < answers.size(); ++i) {
        if (answers[i]) {
            stats[i] = *answers[i];
        } else {
            stats[i].state = FsStats::State::TimedOut;
        }
    }
    return stats;
}

std::optional<std::int64_t> HostSystem::birthTime(const RootFs& fs, const std::string& path) {
    std::vector<std::function<std::optional<std::int64_t>()>> calls;
    calls.emplace_back([host = fs.hostPath(path)]() -> std::optional<std::int64_t> {
        struct statx st {};
        if (::statx(AT_FDCWD, host.c_str(), AT_NO_AUTOMOUNT, STATX_BTIME, &st) != 0)
            return std::nullopt;
        // A file system that keeps no birth time may report the epoch itself.
        if ((st.stx_mask & STATX_BTIME) == 0 || st.stx_btime.tv_sec <= 0) return std::nullopt;
        return static_cast<std::int64_t>(st.stx_btime.tv_sec);
    });
    const auto answers = runBounded(std::move(calls), kStatvfsTimeout);
    if (answers.empty() || !answers.front()) return std::nullopt;
    return *answers.front();
}

std::optional<std::array<std::uint32_t, 4>> HostSystem::cpuid(std::uint32_t leaf) {
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(leaf, &a, &b, &c, &d) == 0) return std::nullopt;
    return std::array<std::uint32_t, 4>{a, b, c, d};
#else
    (void)leaf;
    return std::nullopt;
#endif
}

std::optional<std::uint64_t> HostSystem::addressSpaceLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

double HostSystem::monotonicSeconds() {
    const std::chrono::duration<double> since = std::chrono::steady_clock::now().time_since_epoch();
    return since.count();
}

void HostSystem::sleepSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

CounterReading HostSystem::readCounters(const RootFs& fs) {
    CounterReading reading;
    // The time between the two reads of one reading is part of neither interval: take the
    // clock between them.
    reading.stat = fs.read("/proc/stat", 4U << 20);
    reading.seconds = monotonicSeconds();
    reading.vmstat = fs.read("/proc/vmstat", 1U << 20);
    return reading;
}

void HostSystem::takeFirstCounterReading(const RootFs& fs) {
    early_ = readCounters(fs);
}

namespace {
// The running machine's reading taken at program start, until a HostSystem takes it.
std::optional<CounterReading>& programStartReading() {
    static std::optional<CounterReading> reading;
    return reading;
}
}  // namespace

void HostSystem::takeEarlyCounterReading() {
    HostSystem host;
    programStartReading() = host.readCounters(RootFs("/"));
}

CounterReading HostSystem::firstCounterReading(const RootFs& fs) {
    auto& programStart = programStartReading();
    for (auto* early : {&early_, fs.root() == "/" ? &programStart : nullptr}) {
        if (early == nullptr || !*early) continue;
        CounterReading reading = std::move(**early);
        early->reset();
        return reading;
    }
    return readCounters(fs);
}

CounterReading HostSystem::secondCounterReading(const RootFs& fs, const CounterReading& first) {
    const std::chrono::duration<double> interval = kCounterSampleInterval;
    const double remaining = first.seconds + interval.count() - monotonicSeconds();
    if (remaining > 0) sleepSeconds(remaining);
    return readCounters(fs);
}

}  // namespace gravelin
