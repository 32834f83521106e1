// Win32_PerfFormattedData_PerfOS_Memory: sizes from /proc/meminfo, rates from two samples
// of /proc/vmstat taken the counter sample interval apart. Counters that have no Linux
// counterpart stay null.
#include <array>
#include <limits>

#include "scanner/platform/linux/wmi/Classes.h"
#include "scanner/platform/linux/wmi/WmiSupport.h"

namespace gravelin::linuxwmi {

namespace {

constexpr std::array<std::string_view, 45> kNames = {"AvailableBytes",
                                                     "AvailableKBytes",
                                                     "AvailableMBytes",
                                                     "CacheBytes",
                                                     "CacheBytesPeak",
                                                     "CacheFaultsPersec",
                                                     "Caption",
                                                     "CommitLimit",
                                                     "CommittedBytes",
                                                     "DemandZeroFaultsPersec",
                                                     "Description",
                                                     "FreeAndZeroPageListBytes",
                                                     "FreeSystemPageTableEntries",
                                                     "Frequency_Object",
                                                     "Frequency_PerfTime",
                                                     "Frequency_Sys100NS",
                                                     "LongTermAverageStandbyCacheLifetimes",
                                                     "ModifiedPageListBytes",
                                                     "Name",
                                                     "PageFaultsPersec",
                                                     "PageReadsPersec",
                                                     "PagesInputPersec",
                                                     "PagesOutputPersec",
                                                     "PagesPersec",
                                                     "PageWritesPersec",
                                                     "PercentCommittedBytesInUse",
                                                     "PoolNonpagedAllocs",
                                                     "PoolNonpagedBytes",
                                                     "PoolPagedAllocs",
                                                     "PoolPagedBytes",
                                                     "PoolPagedResidentBytes",
                                                     "StandbyCacheCoreBytes",
                                                     "StandbyCacheNormalPriorityBytes",
                                                     "StandbyCacheReserveBytes",
                                                     "SystemCacheResidentBytes",
                                                     "SystemCodeResidentBytes",
                                                     "SystemCodeTotalBytes",
                                                     "SystemDriverResidentBytes",
                                                     "SystemDriverTotalBytes",
                                                     "Timestamp_Object",
                                                     "Timestamp_PerfTime",
                                                     "Timestamp_Sys100NS",
                                                     "TransitionFaultsPersec",
                                                     "TransitionPagesRePurposedPersec",
                                                     "WriteCopiesPersec"};

using Counters = std::map<std::string, std::uint64_t, std::less<>>;

std::optional<std::uint64_t> get(const Counters& counters, std::string_view key) {
    const auto it = counters.find(key);
    if (it == counters.end()) return std::nullopt;
    return it->second;
}

// KiB -> bytes, nothing on overflow.
std::optional<std::uint64_t> bytes(std::optional<std::uint64_t> kib) {
    if (!kib || *kib > std::numeric_limits<std::uint64_t>::max() / 1024) return std::nullopt;
    return *kib * 1024;
}

}  // namespace

namespace properties {
const std::span<const std::string_view> kPerfMemory = kNames;
}

std::vector<WmiObject> queryPerfMemory(WmiContext& context) {
    ObjectBuilder object("Win32_PerfFormattedData_PerfOS_Memory", kNames);

    const auto meminfo = context.read("/proc/meminfo");
    const Counters mem = meminfo ? counterFields(*meminfo) : Counters{};
    const auto available = get(mem, "MemAvailable");
    object.set("AvailableBytes", optionalUnsigned(bytes(available)));
    object.set("AvailableKBytes", optionalUnsigned(available));
    if (available) object.set("AvailableMBytes", unsignedValue(*available / 1024));
    object.set("FreeAndZeroPageListBytes", optionalUnsigned(bytes(get(mem, "MemFree"))));
    const auto dirty = get(mem, "Dirty");
    const auto writeback = get(mem, "Writeback");
    if (dirty && writeback)
        object.set("ModifiedPageListBytes", optionalUnsigned(bytes(*dirty + *writeback)));
    object.set("PoolNonpagedBytes", optionalUnsigned(bytes(get(mem, "SUnreclaim"))));

    // Windows' commit limit is physical memory plus paging files (not Linux's CommitLimit,
    // which depends on the overcommit ratio).
    const auto total = get(mem, "MemTotal");
    const auto swap = get(mem, "SwapTotal");
    std::optional<std::uint64_t> limit;
    if (total && swap) limit = bytes(*total + *swap);
    const auto committed = bytes(get(mem, "Committed_AS"));
    object.set("CommitLimit", optionalUnsigned(limit));
    object.set("CommittedBytes", optionalUnsigned(committed));
    if (limit && committed && *limit > 0 && *committed <= UINT64_MAX / 100) {
        const std::uint64_t percent = *committed * 100 / *limit;
        if (percent <= 0xFFFFFFFFU)
            object.set("PercentCommittedBytesInUse", unsignedValue(percent));
    }

    // Rates: counter differences over the seconds between the two samples.
    const CounterSamples& samples = context.samples();
    const Counters first = samples.vmstat1 ? counterFields(*samples.vmstat1) : Counters{};
    const Counters second = samples.vmstat2 ? counterFields(*samples.vmstat2) : Counters{};
    const auto rate = [&](std::string_view key) -> std::optional<std::uint64_t> {
        const auto a = get(first, key);
        const auto b = get(second, key);
        if (!a || !b || *b < *a || !(samples.seconds > 0)) return std::nullopt;
        const double perSecond = static_cast<double>(*b - *a) / samples.seconds;
        if (perSecond >= 4294967295.0) return 0xFFFFFFFFU;
        return static_cast<std::uint64_t>(perSecond);
    };
    const auto pagesIn = rate("pswpin");
    const auto pagesOut = rate("pswpout");
    object.set("PageFaultsPersec", optionalUnsigned(rate("pgfault")));
    object.set("PageReadsPersec", optionalUnsigned(rate("pgmajfault")));
    object.set("PagesInputPersec", optionalUnsigned(pagesIn));
    object.set("PagesOutputPersec", optionalUnsigned(pagesOut));
    object.set("PageWritesPersec", optionalUnsigned(pagesOut));
    if (pagesIn && pagesOut)
        object.set("PagesPersec",
                   unsignedValue(std::min<std::uint64_t>(*pagesIn + *pagesOut, 0xFFFFFFFFU)));

    std::vector<WmiObject> objects;
    objects.push_back(object.take());
    return objects;
}

}  // namespace gravelin::linuxwmi
