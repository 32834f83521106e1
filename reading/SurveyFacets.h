// The survey's view of one machine: for each dimension of the fleet survey (operating
// system, processor, memory, disks, enclosure...), the one value its latest report gives,
// read from the report's summary. A machine counts once per dimension, so every dimension has
// exactly one value per machine: "unknown" when the report does not say. docs/survey.md says
// how each value is derived.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "reading/Summary.h"

namespace gravelin::report::survey {

enum class Dimension : std::size_t {
    Os,
    ProcessorMaker,
    ProcessorModel,
    Cores,
    Threads,
    MemoryTotal,
    MemoryType,
    MemorySpeed,
    MemorySlotsFree,
    DiskCount,
    DiskTotal,
    DiskKind,
    Maker,
    Model,
    Enclosure,
    ScannerVersion,
    ScanErrors,
};
inline constexpr std::size_t kDimensionCount = 17;

// The dimensions' names in the survey's output, in Dimension order.
inline constexpr std::array<std::string_view, kDimensionCount> kDimensionNames{
    "os",
    "processor_maker",
    "processor_model",
    "cores",
    "threads",
    "memory_total",
    "memory_type",
    "memory_speed",
    "memory_slots_free",
    "disk_count",
    "disk_total",
    "disk_kind",
    "maker",
    "model",
    "enclosure",
    "scanner_version",
    "scan_errors",
};

inline constexpr std::string_view kUnknown = "unknown";
// Modules of different types in one machine (memory_type).
inline constexpr std::string_view kMixed = "mixed";

std::string_view dimensionName(Dimension dimension);
std::optional<Dimension> dimensionNamed(std::string_view name);

// One value per dimension, indexed by Dimension; none is empty.
using Facets = std::array<std::string, kDimensionCount>;

Facets facetsOf(const Summary& summary);

inline const std::string& facet(const Facets& facets, Dimension dimension) {
    return facets[static_cast<std::size_t>(dimension)];
}

// The pieces, for the tests and for readers that need one of them.

// "Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz" -> "Intel Core i7-8650U": trademarks, the word
// "CPU" (and "Processor"), the "@ clock" suffix and extra blanks removed. Empty for a
// placeholder ("Not Specified").
std::string processorModel(std::string_view name);
// "GenuineIntel", "Intel(R) Corporation" -> "Intel"; "AuthenticAMD", "Advanced Micro
// Devices, Inc." -> "AMD"; other makers as written, trimmed. Empty for a placeholder.
std::string processorMaker(std::string_view maker);
// Installed memory: "under 4 GiB", "4 GiB" (4 to under 8), "8 GiB", ... "128 GiB",
// "256 GiB or more". `visibleOnly`: the bytes are what the operating system sees, which is
// less than what is installed (firmware and graphics keep some): 7/8 of a bucket's size
// counts as the bucket.
std::string memoryTotalBucket(std::uint64_t bytes, bool visibleOnly);
// Disk space as makers count it: "under 128 GB", "128 GB", "256 GB", "512 GB", "1 TB",
// "2 TB", "4 TB", "8 TB", "16 TB or more"; 90% of a size counts as that size (a "500 GB"
// disk is in "512 GB", a "960 GB" one in "1 TB").
std::string diskTotalBucket(std::uint64_t bytes);
// "NVMe", "SSD", "HDD" or "other" (USB, FireWire, memory cards, and disks whose model says
// nothing of their kind).
std::string_view diskKind(const DiskSummary& disk);
// "desktop", "laptop", "tablet", "server", "embedded", "other" or "unknown", from the
// enclosure type as the report writes it ("Notebook", "Rack Mount Chassis (chassis lock
// present)").
std::string_view enclosureClass(std::string_view enclosureType);
// The classes a scan's error text says failed, sorted, ", "-joined ("SMBIOS table" when
// there was no firmware table at all); "none" when it names none.
std::string failedClasses(std::string_view errorText);

}  // namespace gravelin::report::survey
