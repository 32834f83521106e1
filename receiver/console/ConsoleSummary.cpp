// A summary as the rows of the machine page: each part of the machine (board, processors,
// memory, disks, volumes, expansion slots, controllers, system, errors) in the fields its
// template reads.

#include <algorithm>

#include "reading/SummaryFields.h"
#include "receiver/console/ConsoleInternal.h"

namespace gravelin::console::detail {

namespace {

// Text order with runs of digits compared as numbers: "DIMM 2" < "DIMM 10".
bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] == '0') ++ei;
            while (ej < b.size() && b[ej] == '0') ++ej;
            std::size_t ni = ei, nj = ej;
            while (ni < a.size() && a[ni] >= '0' && a[ni] <= '9') ++ni;
            while (nj < b.size() && b[nj] >= '0' && b[nj] <= '9') ++nj;
            if (ni - ei != nj - ej) return ni - ei < nj - ej;
            const int c = a.compare(ei, ni - ei, b, ej, nj - ej);
            if (c != 0) return c < 0;
            i = ni;
            j = nj;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

namespace fields = report::fields;

// How the page shows sizes: memory in binary units, disks and volumes in decimal ones.
using SizeText = std::string (*)(std::uint64_t);

// A number as the page shows it.
std::string numberText(std::uint64_t value, fields::Unit unit, SizeText sizeText) {
    switch (unit) {
        case fields::Unit::BinaryBytes:
        case fields::Unit::DecimalBytes: return sizeText(value);
        case fields::Unit::MHz: return std::to_string(value) + " MHz";
        case fields::Unit::MTs: return std::to_string(value) + " MT/s";
        case fields::Unit::Count:
        case fields::Unit::None: break;
    }
    return std::to_string(value);
}

// One part's row: every field the page shows, under its key; "—" for no value.
template <typename Part, std::size_t N>
Data row(const Part& part, const std::array<fields::Field<Part>, N>& table,
         SizeText sizeText = diskSize) {
    Data out = objectData();
    for (const auto& field : table) {
        if (!field.console) continue;
        const auto n = fields::number(part, field.member);
        out.set(field.console, n ? numberText(*n, field.unit, sizeText)
                                 : orDash(fields::text(part, field.member)));
    }
    return out;
}

// A label and its value, "—" for none.
Data pair(const std::string& label, const std::string& value) {
    Data p = objectData();
    p.set("label", label);
    p.set("value", orDash(value));
    return p;
}

// Adds pairs of the summary's own fields, labelled with their titles.
void addPairs(Data& list, const report::Summary& s, std::initializer_list<std::string_view> names) {
    for (const auto name : names) {
        for (const auto& field : fields::kSummary) {
            if (name == field.name)
                list.push_back(pair(field.title, fields::text(s, field.member)));
        }
    }
}

Data boardData(const report::Summary& s) {
    Data board = listData();
    addPairs(board, s, {"maker", "model", "productVersion", "serialNumber", "uuid"});
    board.push_back(
        pair("Board", s.boardMaker + (s.boardProduct.empty() ? "" : " " + s.boardProduct)));
    addPairs(board, s, {"boardVersion", "boardSerial"});
    board.push_back(
        pair("Enclosure",
             s.enclosureMaker + (s.enclosureType.empty() ? "" : " (" + s.enclosureType + ")")));
    addPairs(board, s, {"enclosureSerial", "enclosureAssetTag"});
    return board;
}

void setMemory(Data& d, const report::Summary& s) {
    // Slots in the order people count them (DIMM_2 before DIMM_10), not report order.
    std::vector<const report::MemorySlotSummary*> slotsInOrder;
    for (const auto& m : s.memory) slotsInOrder.push_back(&m);
    std::stable_sort(slotsInOrder.begin(), slotsInOrder.end(), [](const auto* a, const auto* b) {
        return naturalLess(a->bankLocator + " " + a->locator, b->bankLocator + " " + b->locator);
    });
    Data memory = listData();
    std::size_t used = 0;
    for (const auto* slot : slotsInOrder) {
        const auto& m = *slot;
        const bool empty = m.empty || !m.sizeBytes || *m.sizeBytes == 0;
        Data r = objectData();
        if (empty) {
            r.set("locator", orDash(m.locator));
            r.set("bank", orDash(m.bankLocator));
        } else {
            ++used;
            r = row(m, fields::kMemorySlot, memorySize);
        }
        r.set("empty", empty);
        memory.push_back(r);
    }
    d.set("memory", memory);
    d.set("hasMemory", !s.memory.empty());
    d.set("memoryTotal", s.memoryBytes ? memorySize(s.memoryBytes) : "—");
    d.set("slotsUsed",
          std::to_string(used) + " of " + std::to_string(s.memory.size()) + " slots in use");
}

// The used share of a volume, as a bar.
std::optional<Data> usageBar(const report::VolumeSummary& v) {
    if (!v.sizeBytes || *v.sizeBytes == 0 || !v.freeBytes || *v.freeBytes > *v.sizeBytes)
        return std::nullopt;
    const auto usedBytes = *v.sizeBytes - *v.freeBytes;
    const auto percent = static_cast<unsigned>(
        // NOLINTNEXTLINE(bugprone-integer-division): half the size, whole bytes
        (static_cast<long double>(usedBytes) * 100 + *v.sizeBytes / 2) / *v.sizeBytes);
    Data bar = objectData();
    bar.set("percent", std::to_string(percent));
    bar.set("level", percent >= 90 ? "full" : percent >= 75 ? "high" : "ok");
    return bar;
}

// A list of parts as rows under `name`, and whether there is any under "has" + Name.
template <typename Part, std::size_t N, typename Extra>
void setRows(Data& d, const char* name, const char* hasName, const std::vector<Part>& parts,
             const std::array<fields::Field<Part>, N>& table, Extra extra) {
    Data rows = listData();
    for (const auto& part : parts) {
        Data r = row(part, table);
        extra(r, part);
        rows.push_back(r);
    }
    d.set(name, rows);
    d.set(hasName, !parts.empty());
}

void setErrors(Data& d, const report::Summary& s) {
    Data explained = listData();
    for (const auto& e : s.errorsExplained) explained.push_back(Data(e));
    d.set("errorsExplained", explained);
    d.set("hasExplained", !s.errorsExplained.empty());
    d.set("hasErrors", !s.errors.empty() || !s.errorsExplained.empty());
    d.set("errorsRaw", s.errors);
    d.set("hasErrorsRaw", !s.errors.empty());
}

}  // namespace

Data summaryData(const report::Summary& s) {
    Data d = objectData();
    d.set("board", boardData(s));
    const auto nothing = [](Data&, const auto&) {};
    setRows(d, "processors", "hasProcessors", s.processors, fields::kProcessor, nothing);
    setMemory(d, s);
    setRows(d, "disks", "hasDisks", s.disks, fields::kDisk, nothing);
    setRows(d, "volumes", "hasVolumes", s.volumes, fields::kVolume,
            [](Data& r, const report::VolumeSummary& v) {
                if (auto bar = usageBar(v)) r.set("usage", *bar);
            });
    setRows(d, "slots", "hasSlots", s.slots, fields::kExpansionSlot,
            [](Data& r, const report::ExpansionSlotSummary& slot) {
                r.set("inUse", lowerCase(slot.usage).find("in use") != std::string::npos);
            });
    setRows(d, "controllers", "hasControllers", s.controllers, fields::kController, nothing);
    Data system = listData();
    addPairs(system, s, {"os", "osVersion", "osDescription", "programName", "programVersion"});
    d.set("system", system);
    setErrors(d, s);
    return d;
}

}  // namespace gravelin::console::detail
