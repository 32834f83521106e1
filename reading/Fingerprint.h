// A machine's hardware at a glance, to tell a later scan of the same machine from a report of
// other hardware that only claims the machine's identity (UUID and serials are a claim: any
// report may carry any values). The parts that a machine keeps for years and that a report of
// other hardware would not share: the baseboard serial, the processor models, the installed
// memory, the memory modules' and the disks' serials. Values that move by themselves (free
// space, clocks, load, the OS) are not part of it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "reading/Summary.h"

namespace gravelin::identity {

struct Fingerprint {
    std::string boardSerial;              // normalised; empty when a placeholder
    std::set<std::string> processors;     // normalised models
    std::uint64_t memoryBytes = 0;        // installed (0: unknown)
    std::set<std::string> moduleSerials;  // normalised, placeholders left out
    std::set<std::string> diskSerials;    // normalised, placeholders left out
};

Fingerprint fingerprintOf(const report::Summary& summary);

// The stored form (one line per part), and back; an empty or unreadable text is a fingerprint
// with nothing known, which conflicts with nothing.
std::string encodeFingerprint(const Fingerprint& fingerprint);
Fingerprint decodeFingerprint(std::string_view text);

// The parts known in both and the parts of those that differ. A part differs when the
// values share nothing: a serial set differs only when no serial is in both (a module or
// disk added or taken out is not a different machine); memory when the sizes differ by
// more than an eighth.
struct FingerprintComparison {
    std::vector<std::string> compared, changed;  // part names: "board", "processor", ...
    // Most of the hardware changed at once: at least two parts, and more than half of the
    // parts known in both.
    bool conflicting = false;
};
FingerprintComparison compareFingerprints(const Fingerprint& before, const Fingerprint& after);

// The same on stored forms: true when `after` is most likely other hardware than `before`.
bool fingerprintsConflict(std::string_view before, std::string_view after);

}  // namespace gravelin::identity
