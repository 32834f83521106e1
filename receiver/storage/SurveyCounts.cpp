// The survey's counts kept at intake, written once for both engines over a Transaction.
//
// survey_members holds each machine's latest counted scan of each calendar month (the newest
// that is not conflicting) with its 17 survey values; survey_counts holds, per month,
// dimension and value, how many members have it. Every change of a machine's scans names the
// months it touched (SurveyKeeper); apply() makes those members again from the scans and moves
// the counters by the difference, in the transaction of the change.
//
// Locks (PostgreSQL): the members first, in (machine, month) order, each a row of the machine
// the change already holds locked; then the counters, in (month, dimension, value) order. A
// transaction takes no member after a counter, and every one takes counters in that order:
// receivers adding scans at once wait for one another on a shared counter row (the month's
// "os: Windows 11 Pro", say) until the first commits, but never in a circle.
#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <tuple>

#include "reading/SummaryJson.h"
#include "reading/SurveyFacets.h"
#include "receiver/storage/StoreInternal.h"

namespace gravelin::storage::detail {

namespace {

using report::survey::Dimension;
using report::survey::Facets;
using report::survey::kDimensionCount;
using report::survey::kDimensionNames;

std::string forUpdate(const Transaction& t) {
    return t.dialect() == Dialect::Postgres ? " FOR UPDATE" : "";
}

// "os, processor_maker, ..." in Dimension order.
std::string dimensionColumns() {
    std::string out;
    for (const std::string_view name : kDimensionNames) {
        if (!out.empty()) out += ", ";
        out += name;
    }
    return out;
}

struct Member {
    std::int64_t scanId = 0, receivedAtMs = 0;
    Facets facets;
};

// The machine's latest counted scan of the month, with its values (those of `known` when it
// is one of them).
std::optional<Member> latestCounted(Transaction& t, std::int64_t machineId, std::int64_t month,
                                    const std::map<std::int64_t, Facets>& known) {
    std::optional<Member> found;
    std::string summary;
    t.run("SELECT id, received_at, summary_json FROM scans WHERE machine_id = ?1 AND "
          "received_at >= ?2 AND received_at < ?3 AND conflict <> 1 "
          "ORDER BY received_at DESC, id DESC LIMIT 1",
          {machineId, month, monthAfter(month)}, [&](const RowReader& row) {
              found.emplace();
              found->scanId = row.integer(0);
              found->receivedAtMs = row.integer(1);
              summary = row.text(2);
          });
    if (!found) return found;
    if (const auto it = known.find(found->scanId); it != known.end())
        found->facets = it->second;
    else
        found->facets = report::survey::facetsOf(report::summaryFromJsonText(summary));
    return found;
}

std::optional<Member> storedMember(Transaction& t, std::int64_t machineId, std::int64_t month) {
    static const std::string columns = dimensionColumns();
    std::optional<Member> found;
    t.run("SELECT scan_id, received_at, " + columns +
              " FROM survey_members WHERE machine_id = ?1 AND month = ?2" + forUpdate(t),
          {machineId, month}, [&](const RowReader& row) {
              found.emplace();
              found->scanId = row.integer(0);
              found->receivedAtMs = row.integer(1);
              for (std::size_t d = 0; d < kDimensionCount; ++d)
                  found->facets[d] = row.text(2 + static_cast<int>(d));
          });
    return found;
}

void writeMember(Transaction& t, std::int64_t machineId, std::int64_t month, const Member& m) {
    static const std::string sql = [] {
        std::string s = "INSERT INTO survey_members (machine_id, month, scan_id, received_at, " +
                        dimensionColumns() + ") VALUES (?1, ?2, ?3, ?4";
        for (std::size_t d = 0; d < kDimensionCount; ++d) s += ", ?" + std::to_string(5 + d);
        s += ") ON CONFLICT (machine_id, month) DO UPDATE SET scan_id = excluded.scan_id, "
             "received_at = excluded.received_at";
        for (const std::string_view name : kDimensionNames)
            s += ", " + std::string(name) + " = excluded." + std::string(name);
        return s;
    }();
    std::vector<SqlValue> params = {machineId, month, m.scanId, m.receivedAtMs};
    for (const std::string& value : m.facets) params.emplace_back(value);
    t.run(sql, params);
}

using CounterKey = std::tuple<std::int64_t, std::string, std::string>;  // month, dimension, value
using Deltas = std::map<CounterKey, std::int64_t>;

void addDeltas(Deltas& deltas, std::int64_t month, const Facets& facets, std::int64_t by) {
    for (std::size_t d = 0; d < kDimensionCount; ++d)
        deltas[{month, std::string(kDimensionNames[d]), facets[d]}] += by;
}

// The counters moved, in the map's (month, dimension, value) order; rows down to none go.
void applyDeltas(Transaction& t, const Deltas& deltas) {
    for (const auto& [key, delta] : deltas) {
        if (delta == 0) continue;
        const auto& [month, dimension, value] = key;
        t.run("INSERT INTO survey_counts (month, dimension, value, machines) VALUES (?1, ?2, ?3, ?4) "
              "ON CONFLICT (month, dimension, value) DO UPDATE SET machines = "
              "survey_counts.machines + excluded.machines",
              {month, dimension, value, delta});
        if (delta < 0)
            t.run("DELETE FROM survey_counts WHERE month = ?1 AND dimension = ?2 AND value = ?3 "
                  "AND machines <= 0",
                  {month, dimension, value});
    }
}

}  // namespace

std::int64_t monthOf(std::int64_t unixMs) {
    using namespace std::chrono;
    const auto days = floor<std::chrono::days>(sys_time<milliseconds>{milliseconds{unixMs}});
    const year_month_day date{days};
    const sys_days first{date.year() / date.month() / 1};
    return duration_cast<milliseconds>(first.time_since_epoch()).count();
}

std::int64_t monthAfter(std::int64_t monthMs) {
    using namespace std::chrono;
    const year_month_day date{floor<std::chrono::days>(sys_time<milliseconds>{milliseconds{monthMs}})};
    const year_month next = date.year() / date.month() + months{1};
    return duration_cast<milliseconds>(sys_days{next / 1}.time_since_epoch()).count();
}

void SurveyKeeper::scanChanged(std::int64_t machineId, std::int64_t receivedAtMs) {
    touched_.emplace_back(machineId, monthOf(receivedAtMs));
}

void SurveyKeeper::scanStored(std::int64_t machineId, std::int64_t receivedAtMs,
                              std::int64_t scanId, const std::optional<Facets>& facets) {
    scanChanged(machineId, receivedAtMs);
    if (facets) known_[scanId] = *facets;
}

void SurveyKeeper::machineChanged(std::int64_t machineId) {
    t_.run("SELECT month FROM survey_members WHERE machine_id = ?1", {machineId},
           [&](const RowReader& row) { touched_.emplace_back(machineId, row.integer(0)); });
    std::set<std::int64_t> months;
    t_.run("SELECT received_at FROM scans WHERE machine_id = ?1", {machineId},
           [&](const RowReader& row) { months.insert(monthOf(row.integer(0))); });
    for (const std::int64_t month : months) touched_.emplace_back(machineId, month);
}

std::uint64_t SurveyKeeper::apply(bool counters) {
    std::sort(touched_.begin(), touched_.end());
    touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
    Deltas deltas;
    std::uint64_t written = 0;
    std::set<std::int64_t> machines;
    for (const auto& [machineId, month] : touched_) {
        const std::optional<Member> now = latestCounted(t_, machineId, month, known_);
        const std::optional<Member> before = storedMember(t_, machineId, month);
        if (!now && !before) continue;
        if (now && before && now->scanId == before->scanId &&
            now->receivedAtMs == before->receivedAtMs && now->facets == before->facets)
            continue;
        if (now)
            writeMember(t_, machineId, month, *now);
        else
            t_.run("DELETE FROM survey_members WHERE machine_id = ?1 AND month = ?2",
                   {machineId, month});
        if (before) addDeltas(deltas, month, before->facets, -1);
        if (now) addDeltas(deltas, month, now->facets, +1);
        machines.insert(machineId);
        ++written;
    }
    touched_.clear();
    known_.clear();
    // Each machine's newest month is the one the machine list filters by.
    for (const std::int64_t machineId : machines)
        t_.run("UPDATE survey_members SET latest = CASE WHEN month = (SELECT max(month) FROM "
               "survey_members WHERE machine_id = ?1) THEN 1 ELSE 0 END WHERE machine_id = ?1 "
               "AND latest <> CASE WHEN month = (SELECT max(month) FROM survey_members WHERE "
               "machine_id = ?1) THEN 1 ELSE 0 END",
               {machineId});
    if (counters) applyDeltas(t_, deltas);
    return written;
}

std::optional<std::vector<SurveyCount>> surveyCountsIn(Transaction& t, std::int64_t month) {
    std::int64_t counted = 0;
    t.run("SELECT counted FROM survey_state WHERE id = 1", {},
          [&](const RowReader& row) { counted = row.integer(0); });
    if (counted == 0) return std::nullopt;
    std::vector<SurveyCount> counts;
    t.run("SELECT dimension, value, machines FROM survey_counts WHERE month = ?1 "
          "ORDER BY dimension, value",
          {month}, [&](const RowReader& row) {
              const auto dimension = report::survey::dimensionNamed(row.text(0));
              if (!dimension) return;
              counts.push_back({*dimension, row.text(1), static_cast<std::uint64_t>(row.integer(2))});
          });
    return counts;
}

SurveyRecount recountSurveyIn(Transaction& t) {
    // Intake waits until the recount commits; it never holds a counter row the recount wants
    // while waiting for it (the table lock comes before any row).
    if (t.dialect() == Dialect::Postgres)
        t.run("LOCK TABLE survey_members, survey_counts IN EXCLUSIVE MODE", {});
    SurveyRecount result;
    // Every machine's month that has a member or a counted scan, made again.
    SurveyKeeper keeper(t);
    std::set<std::pair<std::int64_t, std::int64_t>> months;
    t.run("SELECT machine_id, received_at FROM scans WHERE conflict <> 1", {},
          [&](const RowReader& row) { months.emplace(row.integer(0), monthOf(row.integer(1))); });
    t.run("SELECT machine_id, month FROM survey_members", {},
          [&](const RowReader& row) { months.emplace(row.integer(0), row.integer(1)); });
    // A member whose machine and month do not change is still checked (its values may be off).
    for (const auto& [machine, month] : months)
        keeper.scanChanged(machine, month);
    result.membersDiffering = keeper.apply(/*counters=*/false);
    // Then the counters against the members.
    std::map<CounterKey, std::int64_t> expected, kept;
    for (std::size_t d = 0; d < kDimensionCount; ++d) {
        const std::string name(kDimensionNames[d]);
        t.run("SELECT month, " + name + ", count(*) FROM survey_members GROUP BY month, " + name,
              {}, [&](const RowReader& row) {
                  expected[{row.integer(0), name, row.text(1)}] = row.integer(2);
              });
    }
    t.run("SELECT month, dimension, value, machines FROM survey_counts", {},
          [&](const RowReader& row) {
              kept[{row.integer(0), row.text(1), row.text(2)}] = row.integer(3);
          });
    Deltas deltas;
    for (const auto& [key, n] : expected) {
        const auto found = kept.find(key);
        const std::int64_t have = found == kept.end() ? 0 : found->second;
        if (have != n) deltas[key] = n - have;
    }
    for (const auto& [key, n] : kept)
        if (!expected.contains(key)) deltas[key] = -n;
    result.countsDiffering = deltas.size();
    applyDeltas(t, deltas);
    t.run("UPDATE survey_state SET counted = 1 WHERE id = 1", {});
    return result;
}

std::string facetFilterSql(const MachineQuery& query, int first) {
    std::string sql;
    for (std::size_t i = 0; i < query.facets.size(); ++i) {
        sql += " AND id IN (SELECT machine_id FROM survey_members WHERE latest = 1 AND lower(" +
               std::string(report::survey::dimensionName(query.facets[i].first)) + ") = ?" +
               std::to_string(first + static_cast<int>(i)) + ")";
    }
    return sql;
}

std::vector<std::string> facetFilterParams(const MachineQuery& query) {
    std::vector<std::string> params;
    for (const auto& [dimension, value] : query.facets) {
        std::string lower = cleanText(value);
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        params.push_back(std::move(lower));
    }
    return params;
}

}  // namespace gravelin::storage::detail
