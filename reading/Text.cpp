// Plain-text renderings of a summary and of a change list (gravelin-report summary, diff).
#include <algorithm>
#include <cctype>
#include <sstream>

#include "reading/Summary.h"
#include "reading/SummaryFields.h"

namespace gravelin::report {

namespace {

// Control characters from firmware strings would move a terminal's cursor: shown as "?".
std::string printable(std::string_view text) {
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return shown;
}

std::string joined(std::initializer_list<std::string> pieces, std::string_view separator = ", ") {
    std::string text;
    for (const auto& piece : pieces) {
        if (piece.empty()) continue;
        if (!text.empty()) text += separator;
        text += piece;
    }
    return text;
}

std::string prefixed(std::string_view label, const std::string& value) {
    return value.empty() ? std::string() : std::string(label) + value;
}

std::string plural(std::size_t n, std::string_view one, std::string_view many) {
    return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

void line(std::ostringstream& out, std::string_view label, const std::string& text) {
    if (text.empty()) return;
    std::string padded(label);
    if (padded.size() < 12) padded.resize(12, ' ');
    out << padded << printable(text) << "\n";
}

// Columns padded to their widest cell.
void table(std::ostringstream& out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string text = "  ";
        for (std::size_t i = 0; i < row.size(); ++i) {
            text += row[i];
            if (i + 1 < row.size()) text += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out << printable(text) << "\n";
    }
}

std::string percentUsed(const VolumeSummary& volume) {
    if (!volume.sizeBytes || !volume.freeBytes || *volume.sizeBytes == 0 ||
        *volume.freeBytes > *volume.sizeBytes)
        return {};
    const auto used = *volume.sizeBytes - *volume.freeBytes;
    // Never negative: adding 0.5 rounds half up.
    const auto percent = static_cast<unsigned>(
        // NOLINTNEXTLINE(bugprone-incorrect-roundings)
        static_cast<double>(used) * 100.0 / static_cast<double>(*volume.sizeBytes) + 0.5);
    return std::to_string(percent) + " % used";
}

// A number as plain text shows it.
std::string numberText(std::uint64_t value, fields::Unit unit, const char* title) {
    switch (unit) {
        case fields::Unit::BinaryBytes: return humanSize(value);
        case fields::Unit::DecimalBytes: return humanSize(value, SizeUnits::Decimal);
        case fields::Unit::MHz: return std::to_string(value) + " MHz";
        case fields::Unit::MTs: return std::to_string(value) + " MT/s";
        case fields::Unit::Count: {
            std::string many(title);
            for (char& c : many) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return plural(value, many.substr(0, many.size() - 1), many);
        }
        case fields::Unit::None: break;
    }
    return std::to_string(value);
}

// The cells of one part's row, from its table.
template <typename Part, std::size_t N>
std::vector<std::string> cells(const Part& part, const std::array<fields::Field<Part>, N>& table) {
    std::vector<std::string> row;
    for (const auto& field : table) {
        if (!field.text) continue;
        std::string value = fields::text(part, field.member);
        if (const auto n = fields::number(part, field.member)) {
            value = numberText(*n, field.unit, field.title);
        }
        row.push_back(value.empty() ? value : field.text + value + field.textAfter);
    }
    return row;
}

// Machine, board and enclosure: one line each.
void machineLines(std::ostringstream& out, const Summary& s) {
    line(out, "Machine",
         joined({joined({s.maker, s.model}, " "), prefixed("serial ", s.serialNumber),
                 prefixed("UUID ", s.uuid)}));
    line(out, "Board",
         joined({joined({s.boardMaker, s.boardProduct}, " "), prefixed("version ", s.boardVersion),
                 prefixed("serial ", s.boardSerial)}));
    line(out, "Enclosure",
         joined({joined({s.enclosureMaker, s.enclosureType}, " "),
                 prefixed("serial ", s.enclosureSerial),
                 prefixed("asset tag ", s.enclosureAssetTag)}));
}

// The processors: a count line and one row per socket.
void processorLines(std::ostringstream& out, const Summary& s) {
    if (!s.processors.empty()) {
        line(out, "Processors",
             joined({plural(s.processors.size(), "processor", "processors"),
                     s.cores ? plural(s.cores, "core", "cores") : "",
                     s.threads ? plural(s.threads, "thread", "threads") : ""}));
        std::vector<std::vector<std::string>> rows;
        for (const auto& p : s.processors) {
            rows.push_back(cells(p, fields::kProcessor));
            if (rows.back()[0].empty()) rows.back()[0] = "-";  // the socket
        }
        table(out, rows);
    }
}

// Memory: the total and one row per slot, empty slots included.
void memoryLines(std::ostringstream& out, const Summary& s) {
    if (!s.memory.empty() || s.memoryBytes != 0) {
        std::string total = s.memoryBytes ? humanSize(s.memoryBytes) : "size unknown";
        if (!s.memory.empty()) {
            total += " in " + std::to_string(s.memoryModules) + " of " +
                     plural(s.memory.size(), "slot", "slots");
        } else {
            total += " visible to the OS";
        }
        line(out, "Memory", total);
        std::vector<std::vector<std::string>> rows;
        for (const auto& m : s.memory) {
            const std::string place = slotName(m);
            if (m.empty) {
                rows.push_back({place, "empty"});
                continue;
            }
            auto row = cells(m, fields::kMemorySlot);
            if (!m.sizeBytes) row[0] = "size unknown";
            row.insert(row.begin(), place);
            rows.push_back(std::move(row));
        }
        table(out, rows);
    }
}

// Disks and volumes: a count line and one row each.
void storageLines(std::ostringstream& out, const Summary& s) {
    if (!s.disks.empty()) {
        line(out, "Disks",
             joined({plural(s.disks.size(), "disk", "disks"),
                     s.diskBytes ? humanSize(s.diskBytes, SizeUnits::Decimal) : ""}));
        std::vector<std::vector<std::string>> rows;
        for (const auto& d : s.disks) rows.push_back(cells(d, fields::kDisk));
        table(out, rows);
    }

    if (!s.volumes.empty()) {
        line(out, "Volumes", plural(s.volumes.size(), "volume", "volumes"));
        std::vector<std::vector<std::string>> rows;
        for (const auto& v : s.volumes) {
            auto row = cells(v, fields::kVolume);
            row.insert(row.end() - 1, percentUsed(v));  // before the drive type
            rows.push_back(std::move(row));
        }
        table(out, rows);
    }
}

// Expansion slots and controllers.
void expansionLines(std::ostringstream& out, const Summary& s) {
    if (!s.slots.empty()) {
        const auto inUse =
            std::count_if(s.slots.begin(), s.slots.end(),
                          [](const ExpansionSlotSummary& e) { return e.usage == "In use"; });
        line(out, "Slots",
             plural(s.slots.size(), "expansion slot", "expansion slots") + ", " +
                 std::to_string(inUse) + " in use");
        std::vector<std::vector<std::string>> rows;
        for (const auto& e : s.slots) rows.push_back(cells(e, fields::kExpansionSlot));
        table(out, rows);
    }

    if (!s.controllers.empty()) {
        line(out, "Controllers", plural(s.controllers.size(), "controller", "controllers"));
        std::vector<std::vector<std::string>> rows;
        for (const auto& c : s.controllers) rows.push_back(cells(c, fields::kController));
        table(out, rows);
    }
}

// The operating system, the program that scanned, and the errors it noted.
void systemLines(std::ostringstream& out, const Summary& s) {
    line(out, "OS",
         joined({s.os, prefixed("version ", s.osVersion),
                 s.osBuild.empty() || s.osBuild == s.osVersion ? "" : "build " + s.osBuild,
                 s.osArchitecture}));
    line(
        out, "Program",
        joined({joined({s.programName, s.programVersion}, " "), prefixed("on ", s.osDescription)}));
    if (!s.errorsExplained.empty()) {
        line(out, "Errors", std::to_string(s.errorsExplained.size()) + " noted");
        for (const auto& error : s.errorsExplained) out << "  - " << printable(error) << "\n";
    }
}

}  // namespace

std::string summaryText(const Summary& s) {
    std::ostringstream out;
    machineLines(out, s);
    processorLines(out, s);
    memoryLines(out, s);
    storageLines(out, s);
    expansionLines(out, s);
    systemLines(out, s);
    return out.str();
}

std::string diffText(const std::vector<Change>& changes) {
    if (changes.empty()) return "No changes.\n";
    std::ostringstream out;
    out << plural(changes.size(), "change", "changes") << ":\n";
    for (const auto& change : changes) {
        const char* kind = change.kind == Change::Kind::Added     ? "Added  "
                           : change.kind == Change::Kind::Removed ? "Removed"
                                                                  : "Changed";
        std::string head = std::string(kind) + "  " + change.component;
        if (!change.key.empty()) head += " " + change.key;
        if (!change.note.empty()) head += " (" + change.note + ")";
        out << printable(head);
        if (change.kind == Change::Kind::Added) {
            out << ": " << printable(change.after) << "\n";
        } else if (change.kind == Change::Kind::Removed) {
            out << ": " << printable(change.before) << "\n";
        } else {
            out << "\n";
            for (const auto& field : change.fields) {
                out << "    " << printable(field.name) << ": "
                    << printable(field.before.empty() ? "(none)" : field.before) << " -> "
                    << printable(field.after.empty() ? "(none)" : field.after) << "\n";
            }
        }
    }
    return out.str();
}

}  // namespace gravelin::report
