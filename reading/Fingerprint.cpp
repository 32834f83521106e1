#include "reading/Fingerprint.h"

#include <algorithm>
#include <charconv>

#include "reading/Placeholder.h"

namespace gravelin::identity {

namespace {

// Normalised, control characters dropped (they would break the stored form's lines).
std::string cleaned(std::string_view value) {
    std::string out;
    for (const char c : report::normalisedValue(value)) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
    }
    return out;
}

std::string serial(std::string_view value) {
    if (report::isPlaceholder(value)) return {};
    return cleaned(value);
}

constexpr char kItemSeparator = '\x1f';  // between the items of a set

std::string joined(const std::set<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += kItemSeparator;
        out += item;
    }
    return out;
}

std::set<std::string> split(std::string_view text) {
    std::set<std::string> items;
    while (!text.empty()) {
        const auto end = text.find(kItemSeparator);
        const auto item = text.substr(0, end);
        if (!item.empty()) items.emplace(item);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return items;
}

bool shareNothing(const std::set<std::string>& a, const std::set<std::string>& b) {
    for (const auto& item : a) {
        if (b.contains(item)) return false;
    }
    return true;
}

}  // namespace

Fingerprint fingerprintOf(const report::Summary& summary) {
    Fingerprint f;
    f.boardSerial = serial(summary.boardSerial);
    for (const auto& processor : summary.processors) {
        std::string model = cleaned(processor.model);
        if (!model.empty() && !report::isPlaceholder(model)) f.processors.insert(std::move(model));
    }
    f.memoryBytes = summary.memoryBytes;
    for (const auto& slot : summary.memory) {
        if (slot.empty) continue;
        if (std::string s = serial(slot.serialNumber); !s.empty())
            f.moduleSerials.insert(std::move(s));
    }
    for (const auto& disk : summary.disks) {
        if (std::string s = serial(disk.serialNumber); !s.empty())
            f.diskSerials.insert(std::move(s));
    }
    return f;
}

std::string encodeFingerprint(const Fingerprint& f) {
    std::string out = "1\n";
    out += "board=" + f.boardSerial + "\n";
    out += "processors=" + joined(f.processors) + "\n";
    out += "memory=" + std::to_string(f.memoryBytes) + "\n";
    out += "modules=" + joined(f.moduleSerials) + "\n";
    out += "disks=" + joined(f.diskSerials) + "\n";
    return out;
}

Fingerprint decodeFingerprint(std::string_view text) {
    Fingerprint f;
    if (!text.starts_with("1\n")) return f;
    text.remove_prefix(2);
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view name = line.substr(0, eq), value = line.substr(eq + 1);
        if (name == "board") {
            f.boardSerial = std::string(value);
        } else if (name == "processors") {
            f.processors = split(value);
        } else if (name == "memory") {
            std::uint64_t bytes = 0;
            const auto [ptr, ec] =
                std::from_chars(value.data(), value.data() + value.size(), bytes);
            if (ec == std::errc() && ptr == value.data() + value.size()) f.memoryBytes = bytes;
        } else if (name == "modules") {
            f.moduleSerials = split(value);
        } else if (name == "disks") {
            f.diskSerials = split(value);
        }
    }
    return f;
}

FingerprintComparison compareFingerprints(const Fingerprint& before, const Fingerprint& after) {
    FingerprintComparison result;
    const auto part = [&](const char* name, bool known, bool differs) {
        if (!known) return;
        result.compared.emplace_back(name);
        if (differs) result.changed.emplace_back(name);
    };
    part("board", !before.boardSerial.empty() && !after.boardSerial.empty(),
         before.boardSerial != after.boardSerial);
    part("processor", !before.processors.empty() && !after.processors.empty(),
         shareNothing(before.processors, after.processors));
    {
        const std::uint64_t small = std::min(before.memoryBytes, after.memoryBytes);
        const std::uint64_t large = std::max(before.memoryBytes, after.memoryBytes);
        part("memory", small > 0, large - small > large / 8);
    }
    part("memory modules", !before.moduleSerials.empty() && !after.moduleSerials.empty(),
         shareNothing(before.moduleSerials, after.moduleSerials));
    part("disks", !before.diskSerials.empty() && !after.diskSerials.empty(),
         shareNothing(before.diskSerials, after.diskSerials));
    result.conflicting =
        result.changed.size() >= 2 && result.changed.size() * 2 > result.compared.size();
    return result;
}

bool fingerprintsConflict(std::string_view before, std::string_view after) {
    return compareFingerprints(decodeFingerprint(before), decodeFingerprint(after)).conflicting;
}

}  // namespace gravelin::identity
