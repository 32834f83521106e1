// What changed in a machine's hardware from one scan to the next: the records the receiver
// keeps as each scan becomes its machine's latest, the fleet-wide feed read from them, and
// the pure step that turns two stored summaries into records (shared by the engines and the
// console's in-memory store).
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gravelin::storage {

// What happened to a part. Moved is the same part (known by its serial number) found in
// another slot or port; a different part in the same place is Changed, noted "replaced".
enum class ChangeKind { Added = 0, Removed = 1, Changed = 2, Moved = 3 };
// "added", "removed", "changed", "moved".
const char* changeKindName(ChangeKind kind);
std::optional<ChangeKind> changeKindNamed(std::string_view name);
inline constexpr std::array<ChangeKind, 4> kChangeKinds{ChangeKind::Added, ChangeKind::Removed,
                                                        ChangeKind::Changed, ChangeKind::Moved};

// The kinds of component, as stored: "system", "board", "enclosure", "processor", "memory",
// "disk", "volume", "slot", "controller", "os", "scanner".
inline constexpr std::array<std::string_view, 11> kChangeComponents{
    "system", "board", "enclosure", "processor", "memory", "disk",
    "volume", "slot",  "controller", "os",       "scanner"};
// How a component kind is named to people ("memory" → "Memory module"); the name itself
// when it is none of kChangeComponents.
std::string componentLabel(std::string_view component);

struct ChangeField {
    std::string name, before, after;
};

struct HardwareChange {
    std::int64_t id = 0;
    std::int64_t machineId = 0;
    std::int64_t scanId = 0;          // the scan where the change was seen
    std::int64_t previousScanId = 0;  // the scan it was compared with; 0 once that one is gone
    std::int64_t atMs = 0;            // when the scan was received (Unix ms)
    std::string component;            // one of kChangeComponents
    ChangeKind kind = ChangeKind::Changed;
    std::string key;                  // what the part is known by: "DIMM_A1", a device ID...
    std::string before, after;        // one-line descriptions; empty for the side it lacks
    std::vector<ChangeField> fields;  // for Changed and Moved: what differs
    std::string note;                 // "replaced", "updated" (OS, scanner), or empty
};

// A page of the feed, newest first. Keyset paging: the next page starts after the last row
// of this one (its atMs and id).
struct ChangeQuery {
    std::optional<std::int64_t> machineId;
    std::string component;                                           // empty: every kind
    std::optional<ChangeKind> kind;                                  // nothing: every change
    std::int64_t sinceMs = std::numeric_limits<std::int64_t>::min(); // at >= since
    std::int64_t untilMs = std::numeric_limits<std::int64_t>::max(); // at < until
    std::optional<std::pair<std::int64_t, std::int64_t>> after;      // (atMs, id) of the last row
    std::uint32_t limit = 100;
};

// What a rebuild step did: machines made again, the scans compared, the records written.
struct ChangeRebuild {
    std::uint64_t machines = 0, scans = 0, changes = 0;
    std::int64_t lastMachineId = 0;  // continue after this one; 0: nothing was left
};

// The records of two summaries of one machine (the summary JSON stored with each scan),
// ids, machine, scans and time left at zero. Summaries that are not JSON read as empty.
std::vector<HardwareChange> changeRecords(const std::string& beforeSummaryJson,
                                          const std::string& afterSummaryJson);

// Fields as stored (a JSON array of {name, before, after}) and back; text that is not such an
// array reads as none.
std::string fieldsJson(const std::vector<ChangeField>& fields);
std::vector<ChangeField> fieldsFromJson(const std::string& text);

}  // namespace gravelin::storage
