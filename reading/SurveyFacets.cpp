// One value per survey dimension from a report's summary (docs/survey.md).
#include "reading/SurveyFacets.h"

#include <algorithm>
#include <set>
#include <vector>

#include "reading/Placeholder.h"
#include "shared/Vocabulary.h"

namespace gravelin::report::survey {

namespace {

constexpr std::uint64_t kGiB = 1ULL << 30;
constexpr std::uint64_t kGB = 1000ULL * 1000 * 1000;

char upperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), upperAscii);
    return out;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Blanks trimmed at both ends, runs of blanks inside made one space.
std::string collapsed(std::string_view text) {
    std::string out;
    bool pendingSpace = false;
    for (char c : text) {
        if (isBlank(c)) {
            pendingSpace = !out.empty();
            continue;
        }
        if (pendingSpace) out += ' ';
        pendingSpace = false;
        out += c;
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The text as a value of a dimension: collapsed, "unknown" when it says nothing.
std::string valueOr(std::string text) {
    text = collapsed(text);
    if (text.empty() || isPlaceholder(text)) return std::string(kUnknown);
    return text;
}

// Removes every occurrence of `word` where it stands as a word of its own (bounded by the
// text's ends, blanks or punctuation), comparing in upper case.
void eraseWord(std::string& text, std::string_view word) {
    const auto isWordChar = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isDigit(c) || c == '-';
    };
    std::string folded = upper(text);
    std::size_t at = 0;
    while ((at = folded.find(word, at)) != std::string::npos) {
        const std::size_t end = at + word.size();
        const bool before = at == 0 || !isWordChar(folded[at - 1]);
        const bool after = end == folded.size() || !isWordChar(folded[end]);
        if (before && after) {
            text.erase(at, word.size());
            folded.erase(at, word.size());
        } else {
            at = end;
        }
    }
}

void eraseAll(std::string& text, std::string_view mark) {
    std::string folded = upper(text);
    std::size_t at = 0;
    while ((at = folded.find(mark, at)) != std::string::npos) {
        text.erase(at, mark.size());
        folded.erase(at, mark.size());
    }
}

std::string osValue(const Summary& s) {
    std::string name = collapsed(s.os);
    if (name.empty() || isPlaceholder(name)) return std::string(kUnknown);
    if (startsWith(name, "Microsoft ")) name.erase(0, 10);
    // Windows names its edition, not its release: the version (10.0.22631) tells the
    // build. Other systems name the release in the name already ("Debian GNU/Linux 12
    // (bookworm)"), then the version adds nothing.
    const std::string version = collapsed(s.osVersion);
    if (!version.empty() && name.find(version) == std::string::npos) name += " " + version;
    return name;
}

std::string processorsValue(const Summary& s, std::string (*normalise)(std::string_view),
                            std::string ProcessorSummary::*member) {
    std::set<std::string> values;
    for (const auto& processor : s.processors) {
        std::string value = normalise(processor.*member);
        if (!value.empty()) values.insert(std::move(value));
    }
    if (values.empty()) return std::string(kUnknown);
    if (values.size() > 1) return std::string(kMixed);
    return *values.begin();
}

std::string countOrUnknown(std::uint64_t count) {
    return count == 0 ? std::string(kUnknown) : std::to_string(count);
}

bool populated(const MemorySlotSummary& slot) {
    return !slot.empty;
}

std::string memoryTotalValue(const Summary& s) {
    std::uint64_t installed = 0;
    for (const auto& slot : s.memory) {
        if (populated(slot) && slot.sizeBytes) installed += *slot.sizeBytes;
    }
    if (installed > 0) return memoryTotalBucket(installed, false);
    if (s.memoryVisibleBytes > 0) return memoryTotalBucket(s.memoryVisibleBytes, true);
    return std::string(kUnknown);
}

// A module type that says something: not the table's "Unknown" or "Other".
bool knownMemoryType(std::string_view type) {
    return !type.empty() && type != "Unknown" && type != "Other";
}

std::string memoryTypeValue(const Summary& s) {
    std::set<std::string, std::less<>> types;
    for (const auto& slot : s.memory) {
        if (populated(slot) && knownMemoryType(slot.type)) types.insert(slot.type);
    }
    if (types.empty()) return std::string(kUnknown);
    if (types.size() > 1) return std::string(kMixed);
    return *types.begin();
}

// The slowest module sets the speed the memory runs at.
std::string memorySpeedValue(const Summary& s) {
    std::optional<std::uint32_t> slowest;
    for (const auto& slot : s.memory) {
        if (populated(slot) && slot.speedMTs && (!slowest || *slot.speedMTs < *slowest))
            slowest = slot.speedMTs;
    }
    return slowest ? std::to_string(*slowest) + " MT/s" : std::string(kUnknown);
}

std::string slotsFreeValue(const Summary& s) {
    if (s.memory.empty()) return std::string(kUnknown);
    return std::to_string(std::count_if(s.memory.begin(), s.memory.end(),
                                        [](const MemorySlotSummary& slot) { return slot.empty; }));
}

std::string diskTotalValue(const Summary& s) {
    std::uint64_t total = 0;
    bool known = false;
    for (const auto& disk : s.disks) {
        if (disk.sizeBytes && *disk.sizeBytes > 0) {
            total += *disk.sizeBytes;
            known = true;
        }
    }
    return known ? diskTotalBucket(total) : std::string(kUnknown);
}

std::string diskKindValue(const Summary& s) {
    if (s.disks.empty()) return std::string(kUnknown);
    // A machine is of the best kind of disk it has: "NVMe" answers "has an NVMe disk".
    static constexpr std::array<std::string_view, 4> kRank{"NVMe", "SSD", "HDD", "other"};
    std::size_t best = kRank.size() - 1;
    for (const auto& disk : s.disks) {
        const auto kind = diskKind(disk);
        const auto rank =
            static_cast<std::size_t>(std::find(kRank.begin(), kRank.end(), kind) - kRank.begin());
        best = std::min(best, rank);
    }
    return std::string(kRank[best]);
}

std::string scannerVersionValue(const Summary& s) {
    return valueOr(s.programVersion);
}

std::string scanErrorsValue(const Summary& s) {
    // No Application block at all: nothing says whether anything failed.
    if (s.programName.empty() && s.programVersion.empty() && s.errors.empty())
        return std::string(kUnknown);
    return failedClasses(s.errors);
}

}  // namespace

std::string_view dimensionName(Dimension dimension) {
    return kDimensionNames[static_cast<std::size_t>(dimension)];
}

std::optional<Dimension> dimensionNamed(std::string_view name) {
    for (std::size_t i = 0; i < kDimensionNames.size(); ++i) {
        if (kDimensionNames[i] == name) return static_cast<Dimension>(i);
    }
    return std::nullopt;
}

std::string processorModel(std::string_view name) {
    std::string text(name);
    // The clock the name ends with ("@ 2.40GHz"; cut short by some firmware: "@ 3.10GH").
    if (const auto at = text.find('@'); at != std::string::npos) text.erase(at);
    for (const std::string_view mark : {"(R)", "(TM)", "(C)", "\u00AE", "\u2122"})
        eraseAll(text, mark);
    for (const std::string_view word : {"CPU", "PROCESSOR"}) eraseWord(text, word);
    text = collapsed(text);
    if (text.empty() || isPlaceholder(text)) return {};
    return text;
}

std::string processorMaker(std::string_view maker) {
    std::string text = collapsed(maker);
    if (text.empty() || isPlaceholder(text)) return {};
    const std::string folded = upper(text);
    if (folded == "GENUINEINTEL" || startsWith(folded, "INTEL")) return "Intel";
    if (folded == "AUTHENTICAMD" || folded == "AMD" || startsWith(folded, "AMD ") ||
        startsWith(folded, "ADVANCED MICRO DEVICES"))
        return "AMD";
    return text;
}

std::string memoryTotalBucket(std::uint64_t bytes, bool visibleOnly) {
    static constexpr std::array<std::uint64_t, 7> kBuckets{4, 8, 16, 32, 64, 128, 256};
    std::size_t reached = kBuckets.size();
    for (std::size_t i = kBuckets.size(); i-- > 0;) {
        const std::uint64_t size = kBuckets[i] * kGiB;
        const std::uint64_t threshold = visibleOnly ? size / 8 * 7 : size;
        if (bytes >= threshold) {
            reached = i;
            break;
        }
    }
    if (reached == kBuckets.size()) return "under 4 GiB";
    if (reached + 1 == kBuckets.size()) return "256 GiB or more";
    return std::to_string(kBuckets[reached]) + " GiB";
}

std::string diskTotalBucket(std::uint64_t bytes) {
    struct Bucket {
        std::uint64_t gb;
        const char* name;
    };
    static constexpr std::array<Bucket, 8> kBuckets{{{128, "128 GB"},
                                                     {256, "256 GB"},
                                                     {512, "512 GB"},
                                                     {1000, "1 TB"},
                                                     {2000, "2 TB"},
                                                     {4000, "4 TB"},
                                                     {8000, "8 TB"},
                                                     {16000, "16 TB or more"}}};
    for (std::size_t i = kBuckets.size(); i-- > 0;) {
        if (bytes >= kBuckets[i].gb * kGB / 10 * 9) return kBuckets[i].name;
    }
    return "under 128 GB";
}

std::string_view diskKind(const DiskSummary& disk) {
    const std::string model = upper(collapsed(disk.model));
    const std::string pnp = upper(disk.pnpDeviceId);
    const std::string interface = upper(disk.interfaceType);
    // Windows names an NVMe disk's vendor "NVMe" in its Plug and Play ID
    // ("SCSI\DISK&VEN_NVME&PROD_..."); Linux names the namespace's device.
    if (interface == "NVME" || pnp.find("NVME") != std::string::npos ||
        startsWith(disk.deviceId, "/dev/nvme") || model.find("NVME") != std::string::npos ||
        startsWith(model, "SAMSUNG MZV") || startsWith(model, "INTEL SSDPE"))
        return "NVMe";
    if (interface == "USB" || interface == "1394" || startsWith(disk.deviceId, "/dev/mmcblk"))
        return "other";
    if (model.find("SSD") != std::string::npos || model.find("SOLID STATE") != std::string::npos ||
        model.find("SOLID-STATE") != std::string::npos || startsWith(model, "SAMSUNG MZ") ||
        startsWith(model, "MTFD"))
        return "SSD";
    // The model numbers of the hard disk makers' families.
    const std::string_view m = model;
    const auto digitAt = [&](std::size_t at) { return at < m.size() && isDigit(m[at]); };
    if (m.find("HDD") != std::string_view::npos ||
        (startsWith(m, "ST") && digitAt(2)) ||      // Seagate
        (startsWith(m, "WDC WD") && digitAt(6)) ||  // Western Digital
        (startsWith(m, "WD") && digitAt(2)) || startsWith(m, "HGST H") ||
        startsWith(m, "HITACHI H") ||  // Hitachi, HGST
        startsWith(m, "HTS") || startsWith(m, "HDS") || startsWith(m, "HDT") ||
        startsWith(m, "HUS") || startsWith(m, "TOSHIBA MQ") ||  // Toshiba
        startsWith(m, "TOSHIBA DT") || startsWith(m, "TOSHIBA MG") || startsWith(m, "TOSHIBA MK") ||
        startsWith(m, "TOSHIBA HDW") || startsWith(m, "SAMSUNG HD") ||
        startsWith(m, "SAMSUNG HM") || startsWith(m, "MAXTOR"))
        return "HDD";
    return "other";
}

std::string_view enclosureClass(std::string_view enclosureType) {
    std::string type = collapsed(enclosureType);
    if (const auto lock = type.find(" (chassis lock present)"); lock != std::string::npos)
        type.erase(lock);
    struct Class {
        std::string_view type, kind;
    };
    static constexpr std::array<Class, 35> kClasses{{
        {"Other", "other"},
        {"Desktop", "desktop"},
        {"Low Profile Desktop", "desktop"},
        {"Pizza Box", "desktop"},
        {"Mini Tower", "desktop"},
        {"Tower", "desktop"},
        {"Portable", "laptop"},
        {"Laptop", "laptop"},
        {"Notebook", "laptop"},
        {"Hand Held", "tablet"},
        {"Docking Station", "other"},
        {"All in One", "desktop"},
        {"Sub Notebook", "laptop"},
        {"Space-saving", "desktop"},
        {"Lunch Box", "desktop"},
        {"Main Server Chassis", "server"},
        {"Expansion Chassis", "other"},
        {"SubChassis", "other"},
        {"Bus Expansion Chassis", "other"},
        {"Peripheral Chassis", "other"},
        {"RAID Chassis", "server"},
        {"Rack Mount Chassis", "server"},
        {"Sealed-case PC", "desktop"},
        {"Multi-system chassis", "server"},
        {"Compact PCI", "embedded"},
        {"Advanced TCA", "embedded"},
        {"Blade", "server"},
        {"Blade Enclosure", "server"},
        {"Tablet", "tablet"},
        {"Convertible", "laptop"},
        {"Detachable", "laptop"},
        {"IoT Gateway", "embedded"},
        {"Embedded PC", "embedded"},
        {"Mini PC", "desktop"},
        {"Stick PC", "desktop"},
    }};
    for (const auto& known : kClasses) {
        if (known.type == type) return known.kind;
    }
    return kUnknown;
}

std::string failedClasses(std::string_view text) {
    using vocabulary::kEntryEnd;
    using vocabulary::kNoDataEntry;
    using vocabulary::kNoSmbiosEntry;
    std::set<std::string> failed;
    if (text.find(kNoSmbiosEntry) != std::string_view::npos) failed.insert("SMBIOS table");
    for (std::size_t at = text.find(kNoDataEntry); at != std::string_view::npos;
         at = text.find(kNoDataEntry, at)) {
        at += kNoDataEntry.size();
        const auto end = text.find(kEntryEnd, at);
        std::string line = upper(text.substr(at, end == std::string_view::npos ? end : end - at));
        // The class a query line asks for: the word after FROM.
        const auto from = line.find(" FROM ");
        std::string_view original = text.substr(at, line.size());
        std::string name;
        if (from != std::string::npos) {
            std::string_view rest = original.substr(from + 6);
            while (!rest.empty() && isBlank(rest.front())) rest.remove_prefix(1);
            name = std::string(rest.substr(0, std::min(rest.find(' '), rest.find('"'))));
        } else {
            name = collapsed(original);
        }
        if (!name.empty()) failed.insert(std::move(name));
        if (end == std::string_view::npos) break;
    }
    if (failed.empty()) return "none";
    std::string joined;
    for (const auto& name : failed) joined += (joined.empty() ? "" : ", ") + name;
    return joined;
}

Facets facetsOf(const Summary& s) {
    Facets f;
    const auto set = [&f](Dimension d, std::string value) {
        f[static_cast<std::size_t>(d)] = std::move(value);
    };
    set(Dimension::Os, osValue(s));
    set(Dimension::ProcessorMaker, processorsValue(s, processorMaker, &ProcessorSummary::maker));
    set(Dimension::ProcessorModel, processorsValue(s, processorModel, &ProcessorSummary::model));
    set(Dimension::Cores, countOrUnknown(s.cores));
    set(Dimension::Threads, countOrUnknown(s.threads));
    set(Dimension::MemoryTotal, memoryTotalValue(s));
    set(Dimension::MemoryType, memoryTypeValue(s));
    set(Dimension::MemorySpeed, memorySpeedValue(s));
    set(Dimension::MemorySlotsFree, slotsFreeValue(s));
    set(Dimension::DiskCount, countOrUnknown(s.disks.size()));
    set(Dimension::DiskTotal, diskTotalValue(s));
    set(Dimension::DiskKind, diskKindValue(s));
    set(Dimension::Maker, valueOr(s.maker));
    set(Dimension::Model, valueOr(s.model));
    set(Dimension::Enclosure, std::string(enclosureClass(s.enclosureType)));
    set(Dimension::ScannerVersion, scannerVersionValue(s));
    set(Dimension::ScanErrors, scanErrorsValue(s));
    return f;
}

}  // namespace gravelin::report::survey
