// The console's identity pages, for admins: merging two machines (a confirmation naming
// both), splitting a scan off, the conflicting scans, the placeholders admins add and notes
// on a machine. Every change is written with its audit entry in one store call; a viewer is
// refused with 403.

#include "reading/Fingerprint.h"
#include "reading/Placeholder.h"
#include "receiver/console/ConsoleInternal.h"
#include "receiver/http/Time.h"

namespace gravelin::console::detail {

namespace {

std::string machineLabel(const storage::MachineRow& m) {
    return (m.latest.maker.empty() ? std::string("Unknown maker") : m.latest.maker) + " " +
           (m.latest.model.empty() ? std::string("unknown model") : m.latest.model);
}

Data machineData(const storage::MachineRow& m) {
    Data d = objectData();
    d.set("id", std::to_string(m.id));
    d.set("href", "/machines/" + std::to_string(m.id));
    d.set("label", machineLabel(m));
    d.set("scans", grouped(m.scanCount));
    d.set("lastSeen", displayTime(m.lastSeenMs));
    return d;
}

}  // namespace

Response ConsoleImpl::refusedToViewer(const Authenticated& auth) const {
    return message(403, "Refused", "Only an admin may change what identifies a machine.", &auth);
}

// GET /machines/INTO/merge?from=FROM: what the merge would do, naming both, with the button.
Response ConsoleImpl::mergeConfirmation(std::int64_t into, const Fields& query,
                                        const Authenticated& auth) {
    if (!isAdmin(auth)) return refusedToViewer(auth);
    const auto from = parseId(field(query, "from"));
    const auto kept = store_.machine(into);
    if (!kept) return notFound(auth);
    if (!from)
        return message(400, "Pick a machine", "Give the number of the machine to merge into this one.",
                       &auth);
    if (*from == into)
        return message(400, "Same machine", "A machine cannot be merged into itself.", &auth);
    const auto away = store_.machine(*from);
    if (!away)
        return message(404, "No such machine",
                       "There is no machine " + std::to_string(*from) + " to merge.", &auth);
    Data context = objectData();
    context.set("into", machineData(*kept));
    context.set("from", machineData(*away));
    context.set("action", "/machines/" + std::to_string(into) + "/merge");
    return page(200, "Merge machines", "merge", context, &auth);
}

// POST /machines/INTO/merge (from=FROM): merged; back to the machine kept.
Response ConsoleImpl::mergeMachines(const Request& request, std::int64_t into, const Fields& form,
                                    const Authenticated& auth) {
    if (!isAdmin(auth)) return refusedToViewer(auth);
    const auto from = parseId(field(form, "from"));
    if (!from) return message(400, "Pick a machine", "Give the machine to merge.", &auth);
    const storage::Merge merge = store_.mergeMachines(
        into, *from,
        auditEntry(request, auth.session.accountName, storage::audit::kMachinesMerged,
                   "machine " + std::to_string(into),
                   "machine " + std::to_string(*from) + " merged in"));
    switch (merge.result) {
        case storage::MergeResult::SameMachine:
            return message(400, "Same machine", "A machine cannot be merged into itself.", &auth);
        case storage::MergeResult::NoSuchMachine: return notFound(auth);
        case storage::MergeResult::Merged: break;
    }
    return redirect("/machines/" + std::to_string(into));
}

// POST /scans/ID/split: the scan's own machine.
Response ConsoleImpl::splitScan(const Request& request, std::int64_t scanId,
                                const Authenticated& auth) {
    if (!isAdmin(auth)) return refusedToViewer(auth);
    const storage::Split split = store_.splitScan(
        scanId, auditEntry(request, auth.session.accountName, storage::audit::kScanSplit,
                           "scan " + std::to_string(scanId)));
    switch (split.result) {
        case storage::SplitResult::NoSuchScan: return notFound(auth);
        case storage::SplitResult::AloneAlready:
            return message(409, "Nothing to split",
                           "This scan is its machine's only one: it is a machine of its own "
                           "already.",
                           &auth);
        case storage::SplitResult::Split: break;
    }
    return redirect("/machines/" + std::to_string(split.machineId));
}

// GET /conflicts: every conflicting scan, newest first, with what differs.
Response ConsoleImpl::conflictsPage(const Fields& query, const Authenticated& auth) {
    if (!isAdmin(auth)) return refusedToViewer(auth);
    const auto pageNumber = parseId(field(query, "page"));
    const std::uint64_t pageIndex = pageNumber && *pageNumber >= 1 ? *pageNumber : 1;
    const auto found = store_.conflictingScans(kPageSize + 1, (pageIndex - 1) * kPageSize);
    Data rows = listData();
    for (std::size_t i = 0; i < found.size() && i < kPageSize; ++i) {
        const auto& c = found[i];
        const auto compared = identity::compareFingerprints(
            identity::decodeFingerprint(c.machineFingerprint),
            identity::decodeFingerprint(c.fingerprint));
        std::string differs;
        for (const auto& part : compared.changed) differs += (differs.empty() ? "" : ", ") + part;
        Data row = objectData();
        const std::string scan = "/scans/" + std::to_string(c.row.id);
        row.set("href", scan);
        row.set("machineHref", "/machines/" + std::to_string(c.row.machineId));
        row.set("machine", std::to_string(c.row.machineId));
        row.set("claim", orDash(c.row.columns.maker) + " " + orDash(c.row.columns.model));
        row.set("time", displayTime(c.row.receivedAtMs, true));
        row.set("timeIso", server::isoTime(c.row.receivedAtMs));
        row.set("receipt", orDash(c.row.receipt));
        row.set("address", orDash(c.row.remoteAddress));
        row.set("differs", orDash(differs));
        row.set("acceptHref", scan + "/accept");
        row.set("splitHref", scan + "/split");
        rows.push_back(row);
    }
    Data context = objectData();
    context.set("rows", rows);
    context.set("hasRows", !found.empty());
    if (pageIndex > 1) context.set("prevHref", "/conflicts?page=" + std::to_string(pageIndex - 1));
    if (found.size() > kPageSize)
        context.set("nextHref", "/conflicts?page=" + std::to_string(pageIndex + 1));
    return page(200, "Conflicting scans", "conflicts", context, &auth);
}

// GET /placeholders: the list, a form to add one, a button to delete each.
Response ConsoleImpl::placeholdersPage(const Authenticated& auth, int status,
                                       const std::string& error) {
    if (!isAdmin(auth)) return refusedToViewer(auth);
    Data rows = listData();
    for (const auto& p : store_.placeholders()) {
        Data row = objectData();
        row.set("value", p.value);
        row.set("addedBy", p.addedBy);
        row.set("addedAt", displayTime(p.addedAtMs, true));
        rows.push_back(row);
    }
    Data context = objectData();
    context.set("rows", rows);
    context.set("hasRows", !rows.is_empty_list());
    context.set("max", std::to_string(storage::kMaxPlaceholders));
    context.set("maxBytes", std::to_string(storage::kMaxPlaceholderBytes));
    if (!error.empty()) context.set("error", error);
    return page(status, "Placeholders", "placeholders", context, &auth);
}

// POST /placeholders (value) adds; POST /placeholders/delete (value) deletes.
Response ConsoleImpl::changePlaceholder(const Request& request, bool add, const Fields& form,
                                        const Authenticated& auth) {
    if (!isAdmin(auth)) return refusedToViewer(auth);
    const std::string value = field(form, "value");
    const std::string& who = auth.session.accountName;
    if (!add) {
        store_.deletePlaceholder(value, auditEntry(request, who, storage::audit::kPlaceholderDeleted,
                                                   "placeholder " + value));
        return redirect("/placeholders");
    }
    if (value.size() > storage::kMaxPlaceholderBytes)
        return placeholdersPage(auth, 400,
                                "A placeholder is at most " +
                                    std::to_string(storage::kMaxPlaceholderBytes) + " bytes.");
    if (const std::string problem = report::addedPlaceholderProblem(value); !problem.empty())
        return placeholdersPage(auth, 400, "Not added: " + problem + ".");
    const auto entry =
        auditEntry(request, who, storage::audit::kPlaceholderAdded, "placeholder " + value);
    if (store_.addPlaceholder({value, who, entry.atMs}, entry) == storage::PlaceholderChange::Full)
        return placeholdersPage(auth, 409,
                                "There are " + std::to_string(storage::kMaxPlaceholders) +
                                    " placeholders already: delete one first.");
    return redirect("/placeholders");
}

// POST /machines/ID/notes (text, link).
Response ConsoleImpl::addNote(const Request& request, std::int64_t machineId, const Fields& form,
                              const Authenticated& auth) {
    if (!isAdmin(auth)) return refusedToViewer(auth);
    const std::string text = field(form, "text");
    const std::string link = field(form, "link");
    if (const std::string problem = storage::noteProblem(text, link); !problem.empty())
        return message(400, "Note not added", "Not added: " + problem + ".", &auth);
    const auto entry = auditEntry(request, auth.session.accountName, storage::audit::kNoteAdded,
                                  "machine " + std::to_string(machineId));
    if (!store_.addNote({0, machineId, entry.atMs, auth.session.accountName, text, link}, entry))
        return notFound(auth);
    return redirect("/machines/" + std::to_string(machineId) + "#notes");
}

Data ConsoleImpl::notesData(std::int64_t machineId) {
    Data notes = listData();
    for (const auto& n : store_.notes(machineId)) {
        Data d = objectData();
        d.set("author", n.author);
        d.set("time", displayTime(n.atMs, true));
        d.set("timeIso", server::isoTime(n.atMs));
        d.set("text", n.text);
        if (!n.link.empty()) d.set("link", n.link);
        notes.push_back(d);
    }
    return notes;
}

}  // namespace gravelin::console::detail
