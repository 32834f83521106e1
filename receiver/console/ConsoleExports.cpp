// The console's exports, for programs and spreadsheets: the machine list as CSV, one scan
// as JSON, and the stored report as sent or as UTF-8. Each is written to the audit log before
// it is given.

#include <nlohmann/json.hpp>

#include "reading/SummaryJson.h"
#include "receiver/console/ConsoleInternal.h"
#include "receiver/console/Csv.h"
#include "receiver/console/ScanJson.h"

namespace gravelin::console::detail {

Response ConsoleImpl::machineCsv(const Request& request, const Fields& fields,
                                 const Authenticated& auth) {
    ListQuery list = listQuery(fields);
    if (!list.parsed.problem.empty())
        return message(400, "Machines", "The search cannot be read: " + list.parsed.problem + ".",
                       &auth);
    audit(request, auth, storage::audit::kExport, "machines.csv",
          (list.query.search.empty() ? std::string("every machine")
                                     : "search \"" + list.query.search + "\"") +
              ", sorted by " + list.sortKey + (list.query.descending ? " descending" : ""));
    list.query.from = storage::PageFrom::Start;
    list.query.limit = 1000;
    std::string out = "\xEF\xBB\xBF";
    appendCsvRecord(out, {"id", "maker", "model", "processor", "cores", "threads", "memory_bytes",
                          "memory_modules", "disks", "disk_bytes", "os", "serial_numbers", "uuid",
                          "first_seen", "last_seen", "scans"});
    for (std::uint64_t rows = 0; rows < kMaxCsvRows;) {
        const storage::MachinePage result = store_.machines(list.storeQuery());
        for (const auto& m : result.machines) {
            const auto& c = m.latest;
            appendCsvRecord(
                out, {std::to_string(m.id), c.maker, c.model, c.processor, std::to_string(c.cores),
                      std::to_string(c.threads), std::to_string(c.memoryBytes),
                      std::to_string(c.memoryModules), c.disks, std::to_string(c.diskBytes), c.os,
                      c.serialNumbers, c.uuid, isoTime(m.firstSeenMs), isoTime(m.lastSeenMs),
                      std::to_string(m.scanCount)});
        }
        rows += result.machines.size();
        if (!result.moreAfter || result.machines.empty()) break;
        // On from the last row's place: machines coming and going meanwhile move nothing.
        list.query.from = storage::PageFrom::After;
        list.query.key = storage::keyOf(result.machines.back(), list.query.sort);
    }
    return download("text/csv; charset=utf-8; header=present", "machines.csv", std::move(out));
}

Response ConsoleImpl::rawReport(const Request& request, std::int64_t scanId, bool utf8,
                                const Authenticated& auth) {
    const auto record = store_.scan(scanId);
    if (!record) return plain(404, "no such scan");
    audit(request, auth, storage::audit::kExport,
          "scan " + std::to_string(scanId) + ", machine " + std::to_string(record->row.machineId),
          utf8 ? "report as UTF-8 XML" : "report as sent");
    const std::string name = "scan-" + std::to_string(scanId);
    if (!utf8) {
        return download("application/octet-stream", name + "-as-sent.xml", record->reportBytes);
    }
    return download("application/xml; charset=utf-8", name + "-utf8.xml", reportUtf8(*record));
}

Response ConsoleImpl::scanJson(const Request& request, std::int64_t scanId,
                               const Authenticated& auth) {
    const auto record = store_.scan(scanId);
    if (!record) return plain(404, "no such scan");
    audit(request, auth, storage::audit::kExport,
          "scan " + std::to_string(scanId) + ", machine " + std::to_string(record->row.machineId),
          "JSON");
    const auto& r = record->row;
    const nlohmann::json scan = scanFieldsJson<nlohmann::json>(r);
    // The summary stored with the scan (made again from the report when an older version
    // stored it without some fields); what was stored, as it is, when the report itself
    // cannot be read.
    nlohmann::json summary;
    if (const SummaryOrProblem fresh = summaryOf(*record); fresh.summary) {
        summary = report::toJson(*fresh.summary);
    } else {
        summary = nlohmann::json::parse(record->summaryJson, nullptr, false);
        if (summary.is_discarded()) summary = nullptr;
    }
    const nlohmann::json document = {{"scan", scan}, {"summary", summary}};
    return download("application/json; charset=utf-8", "scan-" + std::to_string(scanId) + ".json",
                    document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

}  // namespace gravelin::console::detail
