// The console's hardware changes: the fleet-wide feed (/changes), newest first, filtered by
// machine, component, kind of change and period (UTC days) and paged by key; its exports as
// CSV and JSON (written to the audit log before they are given); and the timeline on a
// machine's page.
#include <charconv>

#include "receiver/console/ChangeFeed.h"
#include "receiver/console/ConsoleInternal.h"
#include "receiver/console/Csv.h"
#include "receiver/http/Time.h"

namespace gravelin::console::detail {

namespace {

constexpr std::uint32_t kChangesPageSize = 100;
// What a cell shows at most of a value firmware chose: enough to read, never a page of it.
constexpr std::size_t kShownValue = 300;

std::string shownValue(const std::string& text) {
    if (text.size() <= kShownValue) return text;
    std::size_t end = kShownValue;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end) + "…";
}

// The page's cursor: "AT.ID" of the last row shown.
std::optional<std::pair<std::int64_t, std::int64_t>> cursorOf(const std::string& text) {
    const auto dot = text.find('.');
    if (dot == std::string::npos) return std::nullopt;
    std::int64_t at = 0, id = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    const auto a = std::from_chars(begin, begin + dot, at);
    const auto b = std::from_chars(begin + dot + 1, end, id);
    if (a.ec != std::errc() || a.ptr != begin + dot || b.ec != std::errc() || b.ptr != end ||
        id <= 0)
        return std::nullopt;
    return std::make_pair(at, id);
}

struct FeedFilters {
    storage::ChangeQuery query;
    Fields fields;  // as given, for the links
    std::string error;
    bool filtered = false;
};

FeedFilters feedFilters(const Fields& fields) {
    FeedFilters f;
    const std::string machine = field(fields, "machine").substr(0, 20);
    const std::string component = field(fields, "component").substr(0, 32);
    const std::string change = field(fields, "change").substr(0, 16);
    const std::string since = field(fields, "since").substr(0, 32);
    const std::string until = field(fields, "until").substr(0, 32);
    f.fields = {{"machine", machine},
                {"component", component},
                {"change", change},
                {"since", since},
                {"until", until}};
    f.filtered = !machine.empty() || !component.empty() || !change.empty() || !since.empty() ||
                 !until.empty();
    if (!machine.empty()) {
        if (const auto id = parseId(machine))
            f.query.machineId = *id;
        else
            f.error = "A machine is given by its number.";
    }
    if (!component.empty()) {
        const auto& known = storage::kChangeComponents;
        if (std::find(known.begin(), known.end(), component) == known.end())
            f.error = "There is no component of that kind: pick one from the list.";
        f.query.component = component;
    }
    if (!change.empty()) {
        f.query.kind = storage::changeKindNamed(change);
        if (!f.query.kind) f.error = "There is no change of that kind: pick one from the list.";
    }
    if (!since.empty()) {
        if (const auto ms = server::utcDayStartMs(since))
            f.query.sinceMs = *ms;
        else
            f.error = "Dates are days as YYYY-MM-DD (UTC), such as 2026-12-10.";
    }
    if (!until.empty()) {
        if (const auto ms = server::utcDayStartMs(until))
            f.query.untilMs = *ms + server::kDayMs;  // the day named is included
        else
            f.error = "Dates are days as YYYY-MM-DD (UTC), such as 2026-12-10.";
    }
    if (f.error.empty() && f.query.untilMs <= f.query.sinceMs)
        f.error = "The period ends before it starts.";
    return f;
}

std::string feedHref(const std::string& path, const Fields& filters,
                     const std::string& after = {}) {
    std::string href = path + "?";
    for (const auto& [name, value] : filters)
        if (!value.empty()) href += name + "=" + urlEncode(value) + "&";
    if (!after.empty()) href += "after=" + after;
    if (href.back() == '&' || href.back() == '?') href.pop_back();
    return href;
}

// One change as a row of the feed or of a machine's timeline.
Data changeRow(const storage::HardwareChange& c) {
    Data row = objectData();
    row.set("time", displayTime(c.atMs, true));
    row.set("timeIso", server::isoTime(c.atMs));
    row.set("machineId", std::to_string(c.machineId));
    row.set("machineHref", "/machines/" + std::to_string(c.machineId));
    row.set("scanHref", "/scans/" + std::to_string(c.scanId));
    if (c.previousScanId != 0)
        row.set("diffHref",
                "/diff?a=" + std::to_string(c.previousScanId) + "&b=" + std::to_string(c.scanId));
    row.set("component", storage::componentLabel(c.component));
    row.set("change", storage::changeKindName(c.kind));
    row.set("note", c.note);
    row.set("key", orDash(shownValue(c.key)));
    row.set("before", shownValue(c.before));
    row.set("after", shownValue(c.after));
    Data fields = listData();
    for (const auto& f : c.fields) {
        Data one = objectData();
        one.set("name", f.name);
        one.set("before", orDash(shownValue(f.before)));
        one.set("after", orDash(shownValue(f.after)));
        fields.push_back(one);
    }
    row.set("fields", fields);
    row.set("hasFields", !c.fields.empty() && (c.kind == storage::ChangeKind::Changed ||
                                               c.kind == storage::ChangeKind::Moved));
    row.set("added", c.kind == storage::ChangeKind::Added);
    row.set("removed", c.kind == storage::ChangeKind::Removed);
    return row;
}

}  // namespace

Response ConsoleImpl::changesPage(const Fields& fields, const Authenticated& auth) {
    FeedFilters f = feedFilters(fields);
    const std::string afterText = field(fields, "after").substr(0, 48);
    if (!afterText.empty()) {
        f.query.after = cursorOf(afterText);
        if (!f.query.after) f.error = "That page does not exist: start from the newest.";
    }
    f.query.limit = kChangesPageSize + 1;  // one more tells whether there are older ones
    std::vector<storage::HardwareChange> changes;
    if (f.error.empty()) changes = store_.changes(f.query);
    const bool older = changes.size() > kChangesPageSize;
    if (older) changes.resize(kChangesPageSize);

    Data rows = listData();
    for (const auto& c : changes) rows.push_back(changeRow(c));
    Data components = listData();
    for (const auto name : storage::kChangeComponents) {
        Data choice = objectData();
        choice.set("name", std::string(name));
        choice.set("label", storage::componentLabel(name));
        choice.set("selected", name == f.query.component);
        components.push_back(choice);
    }
    Data kinds = listData();
    for (const auto kind : storage::kChangeKinds) {
        Data choice = objectData();
        choice.set("name", storage::changeKindName(kind));
        choice.set("selected", f.query.kind == kind);
        kinds.push_back(choice);
    }
    Data context = objectData();
    context.set("components", components);
    context.set("kinds", kinds);
    context.set("machine", field(f.fields, "machine"));
    context.set("since", field(f.fields, "since"));
    context.set("until", field(f.fields, "until"));
    context.set("filtered", f.filtered);
    if (f.query.machineId) {
        context.set("oneMachine", std::to_string(*f.query.machineId));
        context.set("oneMachineHref", "/machines/" + std::to_string(*f.query.machineId));
    }
    if (!f.error.empty()) context.set("error", f.error);
    context.set("changes", rows);
    context.set("hasChanges", !changes.empty());
    context.set("csvHref", feedHref("/changes.csv", f.fields));
    context.set("jsonHref", feedHref("/changes.json", f.fields));
    if (older)
        context.set("olderHref", feedHref("/changes", f.fields,
                                          std::to_string(changes.back().atMs) + "." +
                                              std::to_string(changes.back().id)));
    if (f.query.after) context.set("newestHref", feedHref("/changes", f.fields));
    return page(f.error.empty() ? 200 : 400, "Hardware changes", "changes", context, &auth);
}

Response ConsoleImpl::changesExport(const Request& request, const Fields& fields, bool json,
                                    const Authenticated& auth) {
    FeedFilters f = feedFilters(fields);
    if (!f.error.empty()) return plain(400, f.error);
    std::string what;
    for (const auto& [name, value] : f.fields)
        if (!value.empty()) what += (what.empty() ? "" : ", ") + name + " " + value;
    const std::string name = f.query.machineId
                                 ? "machine-" + std::to_string(*f.query.machineId) + "-changes"
                                 : std::string("changes");
    audit(request, auth, storage::audit::kExport, name + (json ? ".json" : ".csv"),
          what.empty() ? "every change" : what);
    f.query.limit = 1000;
    std::string out;
    nlohmann::json list = nlohmann::json::array();
    if (!json) {
        out = "\xEF\xBB\xBF";
        appendCsvRecord(out, changeCsvHeader());
    }
    for (std::uint64_t rows = 0; rows < kMaxCsvRows;) {
        const auto page = store_.changes(f.query);
        for (const auto& c : page) {
            if (json)
                list.push_back(changeJson(c));
            else
                appendChangeCsv(out, c);
        }
        rows += page.size();
        if (page.size() < f.query.limit) break;
        f.query.after = std::make_pair(page.back().atMs, page.back().id);
    }
    if (json)
        return download("application/json; charset=utf-8", name + ".json",
                        list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    return download("text/csv; charset=utf-8; header=present", name + ".csv", std::move(out));
}

Data ConsoleImpl::machineChangesData(std::int64_t machineId, std::size_t limit, bool& more) {
    storage::ChangeQuery query;
    query.machineId = machineId;
    query.limit = static_cast<std::uint32_t>(limit + 1);
    auto changes = store_.changes(query);
    more = changes.size() > limit;
    if (more) changes.resize(limit);
    // One entry per scan, its changes under it, newest first.
    Data scans = listData();
    Data current = objectData();
    Data rows = listData();
    std::int64_t scan = 0;
    const auto flush = [&] {
        if (scan == 0) return;
        current.set("changes", rows);
        scans.push_back(current);
    };
    for (const auto& c : changes) {
        if (c.scanId != scan) {
            flush();
            scan = c.scanId;
            current = objectData();
            current.set("time", displayTime(c.atMs, true));
            current.set("timeIso", server::isoTime(c.atMs));
            current.set("scanHref", "/scans/" + std::to_string(c.scanId));
            current.set("scanId", std::to_string(c.scanId));
            if (c.previousScanId != 0)
                current.set("diffHref", "/diff?a=" + std::to_string(c.previousScanId) +
                                            "&b=" + std::to_string(c.scanId));
            rows = listData();
        }
        rows.push_back(changeRow(c));
    }
    flush();
    return scans;
}

}  // namespace gravelin::console::detail
