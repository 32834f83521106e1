// The hardware change records as text, JSON and CSV.
#include "receiver/console/ChangeFeed.h"

#include "receiver/console/Csv.h"
#include "receiver/http/Time.h"

namespace gravelin::console {

std::string fieldsText(const std::vector<storage::ChangeField>& fields) {
    std::string text;
    for (const auto& f : fields) {
        if (!text.empty()) text += "; ";
        text += f.name + " " + (f.before.empty() ? "(none)" : f.before) + " → " +
                (f.after.empty() ? "(none)" : f.after);
    }
    return text;
}

std::string changeSummary(const storage::HardwareChange& change) {
    switch (change.kind) {
        case storage::ChangeKind::Added: return change.after;
        case storage::ChangeKind::Removed: return change.before;
        case storage::ChangeKind::Changed:
        case storage::ChangeKind::Moved: break;
    }
    return fieldsText(change.fields);
}

nlohmann::json changeJson(const storage::HardwareChange& c) {
    nlohmann::json fields = nlohmann::json::array();
    for (const auto& f : c.fields)
        fields.push_back({{"name", f.name}, {"before", f.before}, {"after", f.after}});
    return {{"id", c.id},
            {"machineId", c.machineId},
            {"scanId", c.scanId},
            {"previousScanId", c.previousScanId == 0 ? nlohmann::json(nullptr)
                                                     : nlohmann::json(c.previousScanId)},
            {"at", server::isoTime(c.atMs)},
            {"atMs", c.atMs},
            {"component", c.component},
            {"change", storage::changeKindName(c.kind)},
            {"note", c.note},
            {"key", c.key},
            {"before", c.before},
            {"after", c.after},
            {"fields", fields}};
}

std::vector<std::string> changeCsvHeader() {
    return {"id",  "at",  "machine", "scan",   "previous_scan", "component", "change",
            "note", "key", "before",  "after", "fields"};
}

void appendChangeCsv(std::string& out, const storage::HardwareChange& c) {
    appendCsvRecord(out, {std::to_string(c.id), server::isoTime(c.atMs), std::to_string(c.machineId),
                          std::to_string(c.scanId),
                          c.previousScanId == 0 ? std::string() : std::to_string(c.previousScanId),
                          c.component, storage::changeKindName(c.kind), c.note, c.key, c.before,
                          c.after, fieldsText(c.fields)});
}

}  // namespace gravelin::console
