// The console's pages: the machine list (searched, sorted, a page at a time), one machine
// with one of its scans and its history, taking a conflicting scan as its machine's, and
// the changes between two scans.

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <variant>

#include "reading/Identity.h"
#include "reading/Intake.h"
#include "reading/SummaryJson.h"
#include "receiver/http/Time.h"
#include "receiver/console/ConsoleInternal.h"
#include "shared/Text.h"

namespace gravelin::console::detail {

namespace {

// Where a page of the list starts, as the link says it: nothing for the first page, "end"
// for the last, else after or before a row's place (its id and sort value).
std::string placeOf(const char* side, const storage::MachineRow& machine, storage::MachineSort sort) {
    const storage::MachineKey key = storage::keyOf(machine, sort);
    const std::string value = std::visit(
        [](const auto& v) {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>)
                return urlEncode(v);
            else
                return std::to_string(v);
        },
        key.value);
    return std::string(side) + "=" + std::to_string(key.id) + "&key=" + value;
}

std::string listHref(const std::string& search, const std::string& unseen, const std::string& sort,
                     bool descending, const std::string& place = {}) {
    std::string href = "/machines?";
    if (!search.empty()) href += "q=" + urlEncode(search) + "&";
    if (!unseen.empty()) href += "unseen=" + unseen + "&";
    href += "sort=" + sort + "&dir=" + (descending ? "desc" : "asc");
    if (!place.empty()) href += "&" + place;
    return href;
}

std::string coresThreads(const storage::ScanColumns& c) {
    if (c.cores == 0 && c.threads == 0) return "—";
    return std::to_string(c.cores) + " / " + std::to_string(c.threads);
}

// The search split as the store splits it: blank-separated terms, ASCII-lower-cased.
std::vector<std::string> lowerTerms(std::string_view search) {
    std::vector<std::string> terms;
    std::string term;
    for (const char c : search) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            if (!term.empty()) terms.push_back(std::move(term));
            term.clear();
        } else {
            term += asciiLower(c);
        }
    }
    if (!term.empty()) terms.push_back(std::move(term));
    return terms;
}

bool holdsTerm(std::string_view text, const std::string& term) {
    return asciiLowerCased(text).find(term) != std::string::npos;
}

// One line under a row of the list: which value a search matched when the row does not
// show it. `what` and `field` are ours; `name` and `value` come from the report.
Data matchLine(const std::string& what, const std::string& name, const std::string& field,
               const std::string& value) {
    Data line = objectData();
    if (!what.empty()) line.set("what", what);
    if (!name.empty()) line.set("name", name);
    line.set("field", field);
    line.set("value", value);
    return line;
}

std::vector<storage::ScanRow> newestFirst(std::vector<storage::ScanRow> scans) {
    std::sort(scans.begin(), scans.end(), [](const auto& a, const auto& b) {
        return a.receivedAtMs != b.receivedAtMs ? a.receivedAtMs > b.receivedAtMs : a.id > b.id;
    });
    return scans;
}

}  // namespace

const SortColumn kSortColumns[9] = {
    {"maker", "Maker", storage::MachineSort::Maker, false},
    {"model", "Model", storage::MachineSort::Model, false},
    {"processor", "Processor", storage::MachineSort::Processor, false},
    {"cores", "Cores / threads", storage::MachineSort::Cores, true},
    {"memory", "Memory", storage::MachineSort::Memory, true},
    {"disks", "Disks", storage::MachineSort::Disks, false},
    {"os", "Operating system", storage::MachineSort::Os, false},
    {"seen", "Last seen", storage::MachineSort::LastSeen, true},
    {"scans", "Scans", storage::MachineSort::Scans, true},
};

const SortColumn& sortColumn(const std::string& key) {
    for (const auto& column : kSortColumns) {
        if (key == column.key) return column;
    }
    return kSortColumns[7];  // last seen
}

SummaryOrProblem ConsoleImpl::summaryOf(const storage::ScanRecord& record) {
    const auto stored = nlohmann::json::parse(record.summaryJson, nullptr, false);
    if (report::holdsEveryField(stored)) return {report::summaryFromJson(stored), {}};
    const report::IntakeResult parsed = report::receiveText(reportUtf8(record));
    if (parsed.rejection != report::Rejection::None || !parsed.report.document) {
        return {std::nullopt, std::string("the stored report cannot be read: ") +
                                  report::rejectionReason(parsed.rejection)};
    }
    report::Summary summary = report::summarise(*parsed.report.document);
    store_.putSummary(record.row.id, report::toJsonText(summary));
    // Columns that came after the scan was stored, taken from the summary made again.
    storage::ScanColumns columns = record.row.columns;
    columns.product = report::productName(summary);
    if (columns.product != record.row.columns.product)
        store_.refreshColumns(record.row.id, columns);
    return {std::move(summary), {}};
}

std::vector<Data> ConsoleImpl::matchLines(const storage::MachineRow& machine,
                                          const std::vector<std::string>& terms) {
    const auto& c = machine.latest;
    // Terms the row shows itself need no line.
    const std::string shown = asciiLowerCased(c.maker + "\n" + c.model + "\n" + c.product + "\n" +
                                              c.processor + "\n" + c.disks + "\n" + c.os);
    std::vector<std::string> hidden;
    for (const auto& term : terms) {
        if (shown.find(term) == std::string::npos) hidden.push_back(term);
    }
    std::vector<Data> lines;
    if (hidden.empty()) return lines;
    const auto matches = [&](const std::string& value) {
        return std::any_of(hidden.begin(), hidden.end(),
                           [&](const std::string& term) { return holdsTerm(value, term); });
    };
    if (matches(c.uuid)) lines.push_back(matchLine("", "", "UUID", c.uuid));
    if (!matches(c.serialNumbers)) return lines;
    // Which serial number: the latest scan's summary says whose it is.
    const auto record = store_.scan(machine.latestScanId);
    if (!record) return lines;
    const SummaryOrProblem summary = summaryOf(*record);
    if (!summary.summary) return lines;
    const report::Summary& s = *summary.summary;
    const auto add = [&](const std::string& what, const std::string& name,
                         const std::string& value) {
        if (matches(value)) lines.push_back(matchLine(what, name, "serial number", value));
    };
    add("", "", s.serialNumber);
    add("board", "", s.boardSerial);
    add("enclosure", "", s.enclosureSerial);
    for (const auto& slot : s.memory)
        add("memory module", report::slotName(slot), slot.serialNumber);
    for (const auto& disk : s.disks)
        add("disk", disk.model.empty() ? disk.deviceId : disk.model, disk.serialNumber);
    return lines;
}

Data ConsoleImpl::listRow(const storage::MachineRow& m, const std::string& href) {
    const auto& c = m.latest;
    Data row = objectData();
    row.set("href", href);
    row.set("maker", orDash(c.maker));
    row.set("model", c.model.empty() ? "Unknown model" : c.model);
    if (!c.product.empty()) row.set("product", c.product);
    row.set("processor", orDash(c.processor));
    row.set("coresThreads", coresThreads(c));
    row.set("memory", c.memoryBytes ? memorySize(c.memoryBytes) : "—");
    row.set("disks", orDash(c.disks));
    row.set("os", orDash(c.os));
    row.set("lastSeen", displayTime(m.lastSeenMs));
    row.set("lastSeenIso", server::isoTime(m.lastSeenMs));
    row.set("scans", grouped(m.scanCount));
    return row;
}

// ---- machine list ----

ConsoleImpl::ListQuery ConsoleImpl::listQuery(const Fields& fields) {
    ListQuery list;
    list.query.search = field(fields, "q").substr(0, kMaxSearchBytes);
    list.parsed = storage::parseMachineSearch(list.query.search);
    const SortColumn& column = sortColumn(field(fields, "sort"));
    list.sortKey = column.key;
    list.query.sort = column.sort;
    const std::string dir = field(fields, "dir");
    list.query.descending = dir.empty() ? column.descendingFirst : dir != "asc";
    list.query.limit = kPageSize;
    // A page after or before a row's place, or the last page; anything else is the first.
    const bool after = !field(fields, "after").empty();
    const auto id = parseId(field(fields, after ? "after" : "before"));
    const std::string key = field(fields, "key");
    if (id) {
        list.query.key.id = *id;
        if (storage::sortsByText(column.sort)) {
            list.query.key.value = key;
            list.query.from = after ? storage::PageFrom::After : storage::PageFrom::Before;
        } else {
            std::int64_t number = 0;
            const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), number);
            if (error == std::errc{} && end == key.data() + key.size()) {
                list.query.key.value = number;
                list.query.from = after ? storage::PageFrom::After : storage::PageFrom::Before;
            }
        }
    } else if (field(fields, "end") == "1") {
        list.query.from = storage::PageFrom::End;
    }
    // Not seen since a date: a valid date filters, anything else is ignored.
    const std::string unseen = field(fields, "unseen");
    if (const auto day = server::utcDayStartMs(unseen)) {
        list.unseen = unseen;
        list.query.lastSeenBeforeMs = *day;
    }
    return list;
}

Response ConsoleImpl::machineList(const Fields& fields, const Authenticated& auth) {
    const ListQuery list = listQuery(fields);
    const std::string& search = list.query.search;
    // A receipt opens its scan; a receipt two scans share lists both. A receipt-shaped
    // search no scan has is searched for as any text (it may be part of a serial number).
    std::vector<storage::ScanRow> receipted;
    if (const auto receipt = storage::receiptOf(search))
        receipted = store_.scansWithReceipt(*receipt);
    if (receipted.size() == 1) return redirect("/scans/" + std::to_string(receipted[0].id));
    if (receipted.empty() && !list.parsed.problem.empty())
        return message(400, "Machines", "The search cannot be read: " + list.parsed.problem + ".", &auth);
    storage::MachinePage result;
    std::vector<const storage::ScanRow*> rowScans;  // the scan each row opens, by receipt
    storage::PageFrom from = list.query.from;
    if (receipted.empty()) {
        const storage::MachineQuery asked = list.storeQuery();
        result = store_.machines(asked);
        // Paging back to the start, or forward past the end (its last rows deleted
        // meanwhile): the first or last page in full instead of a short or empty one.
        storage::MachineQuery again = asked;
        if (from == storage::PageFrom::Before && !result.moreBefore &&
            result.machines.size() < asked.limit) {
            again.from = from = storage::PageFrom::Start;
            result = store_.machines(again);
        } else if (from == storage::PageFrom::After && result.machines.empty() && result.total > 0) {
            again.from = from = storage::PageFrom::End;
            result = store_.machines(again);
        }
    } else {
        for (const auto& scan : receipted) {
            if (auto machine = store_.machine(scan.machineId)) {
                result.machines.push_back(std::move(*machine));
                rowScans.push_back(&scan);
            }
        }
        result.total = result.machines.size();
    }

    Data columns = listData();
    for (const auto& column : kSortColumns) {
        Data c = objectData();
        c.set("label", column.label);
        const bool active = list.sortKey == column.key;
        const bool nextDescending = active ? !list.query.descending : column.descendingFirst;
        c.set("href", listHref(search, list.unseen, column.key, nextDescending));
        if (active) c.set("arrow", list.query.descending ? "▼" : "▲");
        c.set("sorted", active ? (list.query.descending ? "descending" : "ascending") : "none");
        columns.push_back(c);
    }

    Data rows = listData();
    const std::vector<std::string> terms = lowerTerms(search);
    for (std::size_t i = 0; i < result.machines.size(); ++i) {
        const auto& m = result.machines[i];
        Data lines = listData();
        Data row;
        if (!rowScans.empty()) {
            const storage::ScanRow& scan = *rowScans[i];
            row = listRow(m, "/scans/" + std::to_string(scan.id));
            lines.push_back(matchLine(
                "", "", "receipt",
                scan.receipt + " (scan received " + displayTime(scan.receivedAtMs, true) + ")"));
        } else {
            row = listRow(m, "/machines/" + std::to_string(m.id));
            if (!terms.empty()) {
                for (auto& line : matchLines(m, terms)) lines.push_back(line);
            }
        }
        row.set("matches", lines);
        rows.push_back(row);
    }

    Data context = objectData();
    context.set("search", search);
    context.set("hasSearch", !search.empty());
    context.set("unseen", list.unseen);
    context.set("hasUnseen", !list.unseen.empty());
    context.set("hasFilter", !search.empty() || !list.unseen.empty());
    context.set("columns", columns);
    context.set("rows", rows);
    context.set("hasRows", !result.machines.empty());
    context.set("total", grouped(result.total));
    // Where the page lies is known at either end of the list; between, the page is read from
    // a row's place, which says nothing of how many rows come before it.
    const std::uint64_t shown = result.machines.size();
    if (!receipted.empty() || from == storage::PageFrom::Start) {
        context.set("first", grouped(shown == 0 ? 0 : list.query.offset + 1));
        context.set("last", grouped(list.query.offset + shown));
    } else if (from == storage::PageFrom::End && !result.moreAfter) {
        context.set("first", grouped(result.total >= shown ? result.total - shown + 1 : 1));
        context.set("last", grouped(result.total));
    }
    context.set("shown", grouped(shown));
    const bool desc = list.query.descending;
    const auto href = [&](const std::string& place) {
        return listHref(search, list.unseen, list.sortKey, desc, place);
    };
    if (receipted.empty() && !result.machines.empty()) {
        if (result.moreBefore) {
            context.set("firstHref", href({}));
            context.set("prevHref", href(placeOf("before", result.machines.front(), list.query.sort)));
        }
        if (result.moreAfter) {
            context.set("nextHref", href(placeOf("after", result.machines.back(), list.query.sort)));
            context.set("lastHref", href("end=1"));
        }
    }
    std::string csv = "/machines.csv?";
    if (!search.empty()) csv += "q=" + urlEncode(search) + "&";
    if (!list.unseen.empty()) csv += "unseen=" + list.unseen + "&";
    csv += std::string("sort=") + list.sortKey + "&dir=" + (desc ? "desc" : "asc");
    context.set("csvHref", csv);
    std::string title = search.empty() ? "Machines" : "Machines: " + (kIsolate + search + kIsolateEnd);
    if (!list.unseen.empty()) title += ", not seen since " + list.unseen;
    return page(200, title, "machines", context, &auth);
}

// ---- one machine ----

Response ConsoleImpl::machinePage(const Request& request, std::optional<std::int64_t> machineId,
                                  std::optional<std::int64_t> scanId, const Authenticated& auth) {
    std::optional<storage::ScanRecord> record;
    if (scanId) {
        record = store_.scan(*scanId);
        if (!record) return notFound(auth);
        machineId = record->row.machineId;
    }
    const auto machine = store_.machine(*machineId);
    if (!machine) return notFound(auth);
    if (!record) record = store_.scan(machine->latestScanId);
    if (!record) return notFound(auth);
    const auto& row = record->row;
    audit(request, auth, storage::audit::kMachineViewed,
          "machine " + std::to_string(machine->id) + ", scan " + std::to_string(row.id));

    Data context = objectData();
    const std::string maker =
        row.columns.maker.empty() ? std::string("Unknown maker") : row.columns.maker;
    const std::string model =
        row.columns.model.empty() ? std::string("unknown model") : row.columns.model;
    // Each shown in an element of its own, which keeps its writing direction to itself.
    context.set("machineMaker", maker);
    context.set("machineModel", model);
    const std::string name = maker + kIsolateEnd + " " + kIsolate + model;
    context.set("machineHref", "/machines/" + std::to_string(machine->id));
    context.set("identityRule", machine->identityRule.empty()
                                    ? std::string("—")
                                    : identity::ruleInWords(machine->identityRule));
    context.set("firstSeen", displayTime(machine->firstSeenMs));
    context.set("firstSeenIso", server::isoTime(machine->firstSeenMs));
    context.set("lastSeen", displayTime(machine->lastSeenMs));
    context.set("lastSeenIso", server::isoTime(machine->lastSeenMs));
    context.set("scanCount", grouped(machine->scanCount));
    context.set("scanTime", displayTime(row.receivedAtMs, true));
    context.set("scanTimeIso", server::isoTime(row.receivedAtMs));
    context.set("scanAddress", orDash(row.remoteAddress));
    context.set("receipt", orDash(row.receipt));
    context.set("encoding", orDash(row.encoding));
    context.set("isLatest", row.id == machine->latestScanId);
    context.set("conflicting", row.conflict == storage::ScanConflict::Conflicting);
    context.set("accepted", row.conflict == storage::ScanConflict::Accepted);
    context.set("mayAccept", isAdmin(auth));
    context.set("mayDelete", isAdmin(auth));
    context.set("deleteHref", "/machines/" + std::to_string(machine->id) + "/delete");
    context.set("acceptHref", "/scans/" + std::to_string(row.id) + "/accept");
    context.set("splitHref", "/scans/" + std::to_string(row.id) + "/split");
    context.set("mayChange", isAdmin(auth));
    context.set("mayAlone", machine->scanCount > 1);
    context.set("mergeHref", "/machines/" + std::to_string(machine->id) + "/merge");
    context.set("notesHref", "/machines/" + std::to_string(machine->id) + "/notes");
    context.set("machineId", std::to_string(machine->id));
    const Data notes = notesData(machine->id);
    context.set("hasNotes", !notes.is_empty_list());
    context.set("notes", notes);
    context.set("maxNote", std::to_string(storage::kMaxNoteBytes));
    const std::string base = "/scans/" + std::to_string(row.id);
    context.set("rawHref", base + "/report");
    context.set("xmlHref", base + "/report.xml");
    context.set("jsonHref", base + ".json");

    const SummaryOrProblem summary = summaryOf(*record);
    if (summary.summary) {
        context.set("summary", summaryData(*summary.summary));
    } else {
        context.set("problem", summary.problem);
    }
    // The product's name next to its model: from the summary, which a scan stored before
    // the column existed has too.
    const std::string product =
        summary.summary ? report::productName(*summary.summary) : row.columns.product;
    if (!product.empty()) context.set("machineProduct", product);

    const auto history = newestFirst(store_.scans(machine->id, 1000, 0));
    Data scans = listData();
    for (std::size_t i = 0; i < history.size(); ++i) {
        const auto& h = history[i];
        Data s = objectData();
        s.set("id", std::to_string(h.id));
        s.set("href", "/scans/" + std::to_string(h.id));
        s.set("time", displayTime(h.receivedAtMs, true));
        s.set("timeIso", server::isoTime(h.receivedAtMs));
        s.set("os", orDash(h.osDescription));
        s.set("version", orDash(h.programVersion));
        s.set("receipt", orDash(h.receipt));
        s.set("current", h.id == row.id);
        // Preselected: the two newest scans, older as "before".
        s.set("checkedBefore", i == 1);
        s.set("checkedAfter", i == 0);
        s.set("hasErrors", !h.errors.empty());
        s.set("conflicting", h.conflict == storage::ScanConflict::Conflicting);
        s.set("accepted", h.conflict == storage::ScanConflict::Accepted);
        s.set("address", orDash(h.remoteAddress));
        scans.push_back(s);
    }
    context.set("history", scans);
    bool moreChanges = false;
    const Data timeline = machineChangesData(machine->id, kTimelineChanges, moreChanges);
    context.set("timeline", timeline);
    context.set("hasTimeline", !timeline.is_empty_list());
    if (moreChanges)
        context.set("moreChangesHref", "/changes?machine=" + std::to_string(machine->id));
    context.set("changesCsvHref", "/changes.csv?machine=" + std::to_string(machine->id));
    context.set("changesJsonHref", "/changes.json?machine=" + std::to_string(machine->id));
    context.set("canCompare", history.size() >= 2);
    return page(200, product.empty() ? name : name + kIsolateEnd + " " + kIsolate + product,
                "machine", context, &auth);
}

// Who may change or delete data: admins (the router keeps viewers from every such page).
bool ConsoleImpl::isAdmin(const Authenticated& auth) {
    return auth.session.role == storage::Role::Admin;
}

// POST /scans/ID/accept (form token checked by the router): the scan becomes its
// machine's, and its latest when it is the newest; back to the scan's page.
// The acceptance is made, then recorded: an entry that cannot be written leaves it made and
// answers 503 (the receiver's log has the failure).
Response ConsoleImpl::acceptScan(const Request& request, std::int64_t scanId,
                                 const Authenticated& auth) {
    if (!isAdmin(auth)) return adminsOnly(auth);
    const storage::Acceptance result = store_.acceptScan(scanId);
    if (result == storage::Acceptance::NoSuchScan) return notFound(auth);
    if (result != storage::Acceptance::NothingToAccept) {
        const auto record = store_.scan(scanId);
        audit(request, auth, storage::audit::kScanAccepted,
              "scan " + std::to_string(scanId) +
                  (record ? ", machine " + std::to_string(record->row.machineId) : std::string{}),
              result == storage::Acceptance::AcceptedAsLatest ? "now the machine's latest scan"
                                                              : "a newer scan stays the latest");
    }
    return redirect("/scans/" + std::to_string(scanId));
}

// GET /machines/ID/delete: what is about to go, named (maker, model, serial numbers, id)
// so that nobody deletes the wrong machine, with the button that posts the form token.
// POST (form token checked by the router): deletes it with every scan, records who did,
// and goes back to the list.
Response ConsoleImpl::deleteMachine(const Request& request, std::int64_t machineId,
                                    const Authenticated& auth) {
    if (!isAdmin(auth))
        return message(403, "Refused", "Your account may not delete machines.", &auth);
    if (request.method == "POST") {
        const std::string target = "machine " + std::to_string(machineId);
        const auto removed = store_.deleteMachine(
            machineId, auditEntry(request, auth.session.accountName,
                                  storage::audit::kMachineDeleted, target));
        if (!removed) return notFound(auth);
        return redirect("/machines?deleted=" + std::to_string(machineId));
    }
    const auto machine = store_.machine(machineId);
    if (!machine) return notFound(auth);
    const auto& c = machine->latest;
    Data context = objectData();
    context.set("machineMaker", c.maker.empty() ? std::string("Unknown maker") : c.maker);
    context.set("machineModel", c.model.empty() ? std::string("unknown model") : c.model);
    context.set("machineHref", "/machines/" + std::to_string(machineId));
    context.set("machineId", std::to_string(machineId));
    context.set("serials", orDash(c.serialNumbers));
    context.set("uuid", orDash(c.uuid));
    context.set("scanCount", grouped(machine->scanCount));
    context.set("lastSeen", displayTime(machine->lastSeenMs));
    context.set("deleteHref", "/machines/" + std::to_string(machineId) + "/delete");
    return page(200, "Delete machine " + std::to_string(machineId), "delete", context, &auth);
}

// ---- changes between two scans ----

Response ConsoleImpl::diffPage(const Request& request, const Fields& fields,
                               const Authenticated& auth) {
    const auto a = parseId(field(fields, "a"));
    const auto b = parseId(field(fields, "b"));
    if (!a || !b)
        return message(400, "Pick two scans", "Choose two scans of one machine to compare.", &auth);
    auto first = store_.scan(*a);
    auto second = store_.scan(*b);
    if (!first || !second) return notFound(auth);
    if (first->row.machineId != second->row.machineId) {
        return message(400, "Different machines",
                       "These two scans are of different machines; changes are shown only "
                       "between scans of one machine.",
                       &auth);
    }
    // Before is the older scan, whichever order they were picked in.
    if (std::make_pair(first->row.receivedAtMs, first->row.id) >
        std::make_pair(second->row.receivedAtMs, second->row.id)) {
        std::swap(first, second);
    }
    audit(request, auth, storage::audit::kMachineViewed,
          "machine " + std::to_string(first->row.machineId) + ", scans " +
              std::to_string(first->row.id) + " and " + std::to_string(second->row.id),
          "changes between two scans");
    const SummaryOrProblem before = summaryOf(*first);
    const SummaryOrProblem after = summaryOf(*second);
    if (!before.summary || !after.summary) {
        return message(422, "Cannot compare", before.summary ? after.problem : before.problem,
                       &auth);
    }
    const auto changes = report::diff(*before.summary, *after.summary);

    Data rows = listData();
    for (const auto& change : changes) {
        Data c = objectData();
        const char* kind = change.kind == report::Change::Kind::Added     ? "Added"
                           : change.kind == report::Change::Kind::Removed ? "Removed"
                                                                          : "Changed";
        c.set("kind", kind);
        c.set("kindClass", lowerCase(kind));
        c.set("component", orDash(change.component));
        c.set("key", orDash(change.key));
        // Added: what is there now; removed: what was there; changed: the fields.
        c.set("description",
              orDash(change.kind == report::Change::Kind::Added ? change.after
                     : change.kind == report::Change::Kind::Removed
                         ? change.before
                         : (change.before.empty() ? change.after
                                                  : change.before + " → " + change.after)));
        Data changedFields = listData();
        for (const auto& f : change.fields) {
            Data fd = objectData();
            fd.set("name", f.name);
            fd.set("was", orDash(f.before));
            fd.set("now", orDash(f.after));
            changedFields.push_back(fd);
        }
        c.set("fields", changedFields);
        c.set("hasFields", !change.fields.empty());
        rows.push_back(c);
    }
    const auto machine = store_.machine(first->row.machineId);
    Data context = objectData();
    const auto& cols = second->row.columns;
    context.set("machineMaker", cols.maker.empty() ? std::string("Unknown maker") : cols.maker);
    context.set("machineModel", cols.model.empty() ? std::string("unknown model") : cols.model);
    context.set("machineHref", "/machines/" + std::to_string(first->row.machineId));
    context.set("beforeHref", "/scans/" + std::to_string(first->row.id));
    context.set("afterHref", "/scans/" + std::to_string(second->row.id));
    context.set("beforeTime", displayTime(first->row.receivedAtMs, true));
    context.set("afterTime", displayTime(second->row.receivedAtMs, true));
    context.set("changes", rows);
    context.set("hasChanges", !changes.empty());
    context.set("changeCount",
                std::to_string(changes.size()) + (changes.size() == 1 ? " change" : " changes"));
    (void)machine;
    return page(200, "Changes", "diff", context, &auth);
}

}  // namespace gravelin::console::detail
