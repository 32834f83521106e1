// The fleet survey: which scan of a machine counts, the top values with "other" and
// "unknown" adding up to all machines, the change from the period before, the days of the
// command line, and the survey of a store on both engines (conflicting scans left out).
#include "receiver/survey/Survey.h"
#include "receiver/survey/Publishable.h"
#include "receiver/survey/Trend.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "reading/Fingerprint.h"
#include "reading/SummaryJson.h"
#include "receiver/http/Time.h"

namespace gravelin::survey {
namespace {

using report::survey::Dimension;
using server::utcDayStartMs;

constexpr std::int64_t kDay = 24LL * 60 * 60 * 1000;

Facets facetsWith(std::map<Dimension, std::string> values) {
    Facets f;
    f.fill(std::string(report::survey::kUnknown));
    for (auto& [dimension, value] : values) f[static_cast<std::size_t>(dimension)] = value;
    return f;
}

ScanFacets machine(std::int64_t id, const std::string& memoryType,
                   const std::string& diskKind = "SSD") {
    return {id, id, 0,
            facetsWith({{Dimension::MemoryType, memoryType}, {Dimension::DiskKind, diskKind}})};
}

const std::vector<ValueCount>& of(const Survey& survey, Dimension dimension) {
    return survey.dimensions[static_cast<std::size_t>(dimension)];
}

std::map<std::string, std::uint64_t> machinesByValue(const std::vector<ValueCount>& values) {
    std::map<std::string, std::uint64_t> out;
    for (const auto& v : values) out[v.value] = v.machines;
    return out;
}

void expectEveryDimensionAddsUp(const Survey& survey) {
    for (std::size_t d = 0; d < kDimensionCount; ++d) {
        std::uint64_t sum = 0;
        double shares = 0;
        for (const auto& v : survey.dimensions[d]) {
            sum += v.machines;
            shares += v.share;
        }
        EXPECT_EQ(sum, survey.machines) << report::survey::kDimensionNames[d];
        if (survey.machines > 0) {
            EXPECT_NEAR(shares, 1.0, 1e-9);
        }
    }
}

TEST(SurveyTally, TopValuesThenOtherThenUnknownAddUpToAllMachines) {
    const std::vector<ScanFacets> now{
        machine(1, "DDR4"),           machine(2, "DDR4"),          machine(3, "DDR4"),
        machine(4, "DDR5", "NVMe"),   machine(5, "DDR5", "other"), machine(6, "DDR3", "other"),
        machine(7, "unknown", "HDD"),
    };
    const std::vector<ScanFacets> before{machine(1, "DDR4"), machine(9, "DDR3")};
    const Survey s = tally(now, before, {10 * kDay, 20 * kDay}, 2);
    EXPECT_EQ(s.machines, 7u);
    EXPECT_EQ(s.previousMachines, 2u);
    expectEveryDimensionAddsUp(s);

    const auto& types = of(s, Dimension::MemoryType);
    ASSERT_EQ(types.size(), 4u);
    const std::vector<std::string> order{"DDR4", "DDR5", "other", "unknown"};
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(types[i].value, order[i]);
    EXPECT_EQ(types[0].machines, 3u);
    EXPECT_DOUBLE_EQ(types[0].share, 3.0 / 7);
    EXPECT_DOUBLE_EQ(*types[0].change, 3.0 / 7 - 1.0 / 2);
    EXPECT_DOUBLE_EQ(*types[1].change, 2.0 / 7);  // absent before: share 0 then
    // "other" now is DDR3; before it was DDR3 too (not shown now), so the change compares
    // like with like.
    EXPECT_EQ(types[2].machines, 1u);
    EXPECT_DOUBLE_EQ(*types[2].change, 1.0 / 7 - 1.0 / 2);
    EXPECT_DOUBLE_EQ(*types[3].change, 1.0 / 7);

    // A value that is itself called "other" joins the rest instead of standing twice; ties
    // go by value (HDD before NVMe).
    const auto kinds = machinesByValue(of(s, Dimension::DiskKind));
    EXPECT_EQ(kinds, (std::map<std::string, std::uint64_t>{{"SSD", 3}, {"HDD", 1}, {"other", 3}}))
        << "top 2 of SSD 3, other 2, HDD 1, NVMe 1";
    // Dimensions no report spoke of are all unknown.
    EXPECT_EQ(machinesByValue(of(s, Dimension::Os)),
              (std::map<std::string, std::uint64_t>{{"unknown", 7}}));
}

TEST(SurveyTally, NoPreviousMachinesMeansNoChange) {
    const Survey s = tally({machine(1, "DDR4")}, {}, {0, kDay}, 10);
    ASSERT_EQ(of(s, Dimension::MemoryType).size(), 1u);
    EXPECT_FALSE(of(s, Dimension::MemoryType)[0].change);
    EXPECT_TRUE(toJson(s)["dimensions"]["memory_type"][0]["change"].is_null());
    const Survey empty = tally({}, {}, {0, kDay}, 10);
    expectEveryDimensionAddsUp(empty);
    EXPECT_TRUE(of(empty, Dimension::Os).empty());
}

TEST(SurveyTally, EachMachineCountsByItsLatestScanInThePeriod) {
    const Period period{10 * kDay, 20 * kDay};
    const auto scan = [](std::int64_t machineId, std::int64_t scanId, std::int64_t at,
                         const char* type) {
        return ScanFacets{machineId, scanId, at, facetsWith({{Dimension::MemoryType, type}})};
    };
    const std::vector<ScanFacets> scans{
        scan(1, 1, 11 * kDay, "DDR3"),
        scan(1, 2, 15 * kDay, "DDR4"),    // machine 1's latest in the period
        scan(1, 3, 20 * kDay, "DDR5"),    // at `until`: outside
        scan(2, 4, 10 * kDay, "DDR4"),    // at `since`: inside
        scan(2, 5, 9 * kDay, "DDR5"),     // before
        scan(3, 7, 12 * kDay, "LPDDR5"),  // the same time twice: the later scan
        scan(3, 6, 12 * kDay, "LPDDR4"),
    };
    std::map<std::int64_t, std::string> chosen;
    for (const auto& m : latestPerMachine(scans, period))
        chosen[m.machineId] = facet(m.facets, Dimension::MemoryType);
    EXPECT_EQ(chosen,
              (std::map<std::int64_t, std::string>{{1, "DDR4"}, {2, "DDR4"}, {3, "LPDDR5"}}));
}

TEST(SurveyDays, CommandLineDaysAreUtcDayStarts) {
    EXPECT_EQ(utcDayStartMs("2026-12-01"), 1796083200000);
    EXPECT_EQ(utcDayStartMs("1970-01-01"), 0);
    EXPECT_EQ(utcDayStartMs("2024-02-29"), *utcDayStartMs("2024-02-28") + kDay);
    for (const char* bad : {"2026-02-29", "2026-13-01", "2026-1-01", "2026/12/01", "2026-12-01T",
                            "", "20261201", "2026-12-0x"})
        EXPECT_FALSE(utcDayStartMs(bad)) << bad;
    EXPECT_EQ(dayText(1796083200000), "2026-12-01");
    EXPECT_EQ(dayText(1796083200000 + kDay - 1), "2026-12-01");
    // A calendar month is compared with the month before, whatever their lengths; any other
    // period with the one of its length before it.
    struct Case {
        const char *since, *until, *previousSince, *previousUntil;
        bool month;
    };
    for (const Case& c : {Case{"2026-12-01", "2027-01-01", "2026-11-01", "2026-12-01", true},
                          Case{"2026-03-01", "2026-04-01", "2026-02-01", "2026-03-01", true},
                          Case{"2026-01-01", "2026-02-01", "2025-12-01", "2026-01-01", true},
                          Case{"2026-12-01", "2026-12-31", "2026-11-01", "2026-12-01", false},
                          Case{"2026-12-02", "2027-01-02", "2026-11-01", "2026-12-02", false},
                          Case{"2026-11-01", "2027-01-01", "2026-09-01", "2026-11-01", false}}) {
        const Period period{*utcDayStartMs(c.since), *utcDayStartMs(c.until)};
        EXPECT_EQ(isMonth(period), c.month) << c.since << " " << c.until;
        const Period p = previousPeriod(period);
        EXPECT_EQ(dayText(p.sinceMs), c.previousSince) << c.since << " " << c.until;
        EXPECT_EQ(dayText(p.untilMs), c.previousUntil) << c.since << " " << c.until;
    }
    const auto december = monthNamed("2026-12");
    ASSERT_TRUE(december);
    EXPECT_EQ(dayText(december->sinceMs), "2026-12-01");
    EXPECT_EQ(dayText(december->untilMs), "2027-01-01");
    for (const char* bad : {"2026-13", "2026-1", "2026-12-01", "202612", ""})
        EXPECT_FALSE(monthNamed(bad)) << bad;
}

// ---- Over a store, on both engines -------------------------------------------------------

TEST(SurveyMonths, MonthsAreNamedAndBoundedInUtc) {
    const std::pair<const char*, bool> names[] = {
        {"2026-12", true},  {"2028-02", true},  {"2026-13", false}, {"2026-00", false},
        {"0000-05", false}, {"2026-1", false},  {"2026/12", false}, {"2026-12-01", false},
        {"", false},        {"2026-1a", false}, {" 2026-12", false}};
    for (const auto& [name, valid] : names) {
        const auto month = calendarMonth(name);
        EXPECT_EQ(month.has_value(), valid) << name;
        if (month) {
            EXPECT_EQ(monthText(*month), name);
        }
    }
    const Period december = monthPeriod(*calendarMonth("2026-12"));
    EXPECT_EQ(december.sinceMs, *utcDayStartMs("2026-12-01"));
    EXPECT_EQ(december.untilMs, *utcDayStartMs("2027-01-01"));
    const Period leap = monthPeriod(*calendarMonth("2028-02"));
    EXPECT_EQ(leap.untilMs - leap.sinceMs, 29 * kDay);
    // A month holds its first and last millisecond, and no other month's.
    EXPECT_EQ(monthText(calendarMonthOf(december.sinceMs)), "2026-12");
    EXPECT_EQ(monthText(calendarMonthOf(december.untilMs - 1)), "2026-12");
    EXPECT_EQ(monthText(calendarMonthOf(december.untilMs)), "2027-01");
    EXPECT_EQ(monthText(calendarMonthOf(december.sinceMs - 1)), "2026-11");
}

// Machines 1..n, each with the memory type given, in the period; the same before.
std::vector<ScanFacets> fleet(const std::vector<std::pair<std::string, int>>& types) {
    std::vector<ScanFacets> machines;
    std::int64_t id = 0;
    for (const auto& [type, count] : types) {
        for (int i = 0; i < count; ++i) {
            ++id;
            machines.push_back({id, id, 0, facetsWith({{Dimension::MemoryType, type}})});
        }
    }
    return machines;
}

TEST(SurveyPublishable, ValuesOfFewerThanFiveMachinesGoToOther) {
    const Period period{0, kDay};
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, int>> now, before;
        std::map<std::string, std::uint64_t> published;
        std::vector<std::string> order;
    };
    const Case cases[] = {
        {"four is merged, five stays; unknown below five is merged too",
         {{"DDR5", 5}, {"DDR4", 4}, {"unknown", 3}, {"DDR3", 1}},
         {{"DDR4", 10}},
         {{"DDR5", 5}, {"other", 8}},
         {"DDR5", "other"}},
        {"an unknown of five stays, after other",
         {{"DDR5", 6}, {"DDR4", 2}, {"unknown", 5}},
         {},
         {{"DDR5", 6}, {"other", 2}, {"unknown", 5}},
         {"DDR5", "other", "unknown"}},
        {"the survey's own other joins the merged values",
         {{"DDR5", 7}, {"DDR4", 6}, {"DDR3", 5}, {"DDR2", 4}},
         {},
         {{"DDR5", 7}, {"DDR4", 6}, {"other", 9}},
         {"DDR5", "DDR4", "other"}},
        {"nothing rare: nothing changes", {{"DDR5", 5}}, {}, {{"DDR5", 5}}, {"DDR5"}},
    };
    for (const auto& c : cases) {
        // Two named values before "other": the survey's own "other" then holds the rest.
        const Survey full = tally(fleet(c.now), fleet(c.before), period, 2);
        const Survey published = publishable(full);
        const auto& values = of(published, Dimension::MemoryType);
        EXPECT_EQ(machinesByValue(values), c.published) << c.name;
        std::vector<std::string> order;
        for (const auto& v : values) order.push_back(v.value);
        EXPECT_EQ(order, c.order) << c.name;
        expectEveryDimensionAddsUp(published);
        // The merged values' changes add up: shares still add to the whole fleet's.
        if (!c.before.empty()) {
            double changes = 0;
            for (const auto& v : values) changes += v.change.value_or(0);
            EXPECT_NEAR(changes, 0.0, 1e-9) << c.name;
        }
    }
    // The changes of what merged: DDR4 went from all machines to 4 of 13.
    const Survey published = publishable(tally(fleet(cases[0].now), fleet(cases[0].before), period, 10));
    const auto& other = of(published, Dimension::MemoryType).back();
    ASSERT_TRUE(other.change);
    EXPECT_NEAR(*other.change, 8.0 / 13.0 - 1.0, 1e-9);
}

namespace fs = std::filesystem;

std::string postgresUri() {
    const char* uri = std::getenv("GRAVELIN_TEST_POSTGRES_URI");
    return uri ? uri : "";
}

report::Summary hardware(const std::string& board, const std::string& memoryType, std::uint64_t gib,
                         const std::string& os) {
    report::Summary s;
    s.maker = "Maker";
    s.model = "Model " + board;
    s.boardSerial = board;
    report::ProcessorSummary cpu;
    cpu.model = board == "FORGED" ? "AMD EPYC 7763 64-Core Processor"
                                  : "Intel(R) Core(TM) i5-8500 CPU @ 3.00GHz";
    cpu.maker = "GenuineIntel";
    s.processors = {cpu};
    report::MemorySlotSummary module;
    module.empty = false;
    module.type = memoryType;
    module.sizeBytes = gib << 30;
    module.serialNumber = board + "-M1";
    s.memory = {module};
    s.memoryBytes = gib << 30;
    s.memoryModules = 1;
    s.os = os;
    s.programName = "gravelin-scanner";
    s.programVersion = "1.0.0.0";
    return s;
}

class SurveyOfStore : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "PostgreSQL") {
            ASSERT_FALSE(postgresUri().empty())
                << "run through tests/receiver/storage/with-postgres.sh (ctest does)";
            location_.databaseUri = postgresUri();
            // A clean database for every test: the store makes its tables again.
            PGconn* c = PQconnectdb(postgresUri().c_str());
            ASSERT_EQ(PQstatus(c), CONNECTION_OK) << PQerrorMessage(c);
            PGresult* r = PQexec(c, "DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
            const bool dropped = PQresultStatus(r) == PGRES_COMMAND_OK;
            PQclear(r);
            PQfinish(c);
            ASSERT_TRUE(dropped);
        } else {
            std::string pattern = (fs::temp_directory_path() / "gravelin-survey.XXXXXX").string();
            ASSERT_TRUE(mkdtemp(pattern.data()));
            dir_ = pattern;
            location_.dataDirectory = dir_.string();
        }
        store_ = storage::openStore(location_);
    }
    void TearDown() override {
        store_.reset();
        std::error_code ignored;
        if (!dir_.empty()) fs::remove_all(dir_, ignored);
    }

    storage::AddResult add(const std::string& key, std::int64_t at, const report::Summary& s) {
        storage::NewScan scan;
        scan.receivedAtMs = at;
        scan.sealedDigest = key + "@" + std::to_string(at) + "#" + std::to_string(++count_);
        scan.receipt = "R" + std::to_string(count_);
        scan.reportBytes = "<HWInfo/>";
        scan.encoding = "utf-8";
        scan.identityKey = key;
        scan.identityRule = "uuid+serial";
        scan.columns.maker = s.maker;
        scan.summaryJson = report::toJsonText(s);
        scan.fingerprint = identity::encodeFingerprint(identity::fingerprintOf(s));
        return store_->addScan(scan);
    }

    // SQL on the store's database, outside the store.
    void exec(const std::string& sql) {
        if (!location_.databaseUri.empty()) {
            PGconn* c = PQconnectdb(location_.databaseUri.c_str());
            PGresult* r = PQexec(c, sql.c_str());
            EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQresultErrorMessage(r);
            PQclear(r);
            PQfinish(c);
            return;
        }
        sqlite3* db = nullptr;
        sqlite3_open((dir_ / "receiver.sqlite3").c_str(), &db);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }

    storage::StoreLocation location_;
    fs::path dir_;
    std::unique_ptr<storage::Store> store_;
    int count_ = 0;
};

TEST_P(SurveyOfStore, LatestScanPerMachineOfEachPeriod) {
    const std::int64_t since = *utcDayStartMs("2026-11-01");
    const std::int64_t until = *utcDayStartMs("2026-12-01");
    const Period period{since, until};
    const std::int64_t hour = kDay / 24;
    // A: upgraded to DDR5 within the period; its latest scan counts, once.
    add("A", since + 1 * kDay, hardware("A", "DDR4", 16, "Microsoft Windows 10 Pro"));
    add("A", since + 5 * kDay, hardware("A", "DDR5", 32, "Microsoft Windows 11 Pro"));
    // B: then a report of other hardware under B's identity: conflicting, not counted.
    add("B", since + 2 * kDay, hardware("B", "DDR4", 16, "Microsoft Windows 11 Pro"));
    ASSERT_TRUE(
        add("B", since + 6 * kDay, hardware("FORGED", "DDR3", 2, "Windows XP")).conflicting);
    // C: only in the period before; D: only after the period.
    add("C", since - 3 * kDay, hardware("C", "DDR3", 4, "Microsoft Windows 10 Pro"));
    add("D", until + hour, hardware("D", "DDR5", 64, "Microsoft Windows 11 Pro"));
    // A was also seen in the period before, with its old memory.
    add("A", since - 10 * kDay, hardware("A", "DDR4", 16, "Microsoft Windows 10 Pro"));
    // E: at the very last millisecond of the period, with nothing said of its memory.
    report::Summary e = hardware("E", "DDR4", 8, "Microsoft Windows 11 Pro");
    e.memory.clear();
    e.memoryBytes = 0;
    add("E", until - 1, e);

    const Survey s = surveyOfStore(*store_, period, 10);
    EXPECT_EQ(s.machines, 3u);          // A, B, E
    EXPECT_EQ(s.previousMachines, 2u);  // A, C
    expectEveryDimensionAddsUp(s);
    EXPECT_EQ(machinesByValue(of(s, Dimension::MemoryType)),
              (std::map<std::string, std::uint64_t>{{"DDR5", 1}, {"DDR4", 1}, {"unknown", 1}}));
    EXPECT_EQ(machinesByValue(of(s, Dimension::MemoryTotal)),
              (std::map<std::string, std::uint64_t>{{"32 GiB", 1}, {"16 GiB", 1}, {"unknown", 1}}));
    const auto& os = of(s, Dimension::Os);
    ASSERT_FALSE(os.empty());
    EXPECT_EQ(os[0].value, "Windows 11 Pro");
    EXPECT_EQ(os[0].machines, 3u);
    EXPECT_DOUBLE_EQ(*os[0].change, 1.0);  // before: A and C on Windows 10
    EXPECT_EQ(machinesByValue(of(s, Dimension::ProcessorModel)),
              (std::map<std::string, std::uint64_t>{{"Intel Core i5-8500", 3}}));

    // The JSON the command prints.
    const auto json = toJson(s);
    EXPECT_EQ(json["machines"], 3);
    EXPECT_EQ(json["since"], "2026-11-01");
    EXPECT_EQ(json["until"], "2026-12-01");
    EXPECT_EQ(json["previous"]["since"], "2026-10-01");
    EXPECT_EQ(json["dimensions"].size(), kDimensionCount);
    EXPECT_EQ(json["dimensions"].begin().key(), "os");
    EXPECT_EQ(json["dimensions"]["os"][0]["share"], 1.0);

    // Accepted, the forged scan becomes B's latest and counts.
    const auto history = store_->scans(std::nullopt, 100, 0);
    for (const auto& row : history) {
        if (row.conflict == storage::ScanConflict::Conflicting) store_->acceptScan(row.id);
    }
    const Survey accepted = surveyOfStore(*store_, period, 10);
    EXPECT_EQ(machinesByValue(of(accepted, Dimension::MemoryType)),
              (std::map<std::string, std::uint64_t>{{"DDR5", 1}, {"DDR3", 1}, {"unknown", 1}}));
    // A calendar month comes from the counts kept at intake; they say what the scans say,
    // for the month, the one before and the one after.
    for (const Period month : {period, previousPeriod(period), Period{until, *utcDayStartMs("2027-01-01")}}) {
        SCOPED_TRACE(dayText(month.sinceMs));
        ASSERT_TRUE(isMonth(month));
        EXPECT_EQ(toJson(surveyOfStore(*store_, month, 2)), toJson(surveyOfScans(*store_, month, 2)));
    }
    EXPECT_EQ(surveyOfStore(*store_, Period{until, *utcDayStartMs("2027-01-01")}, 10).machines, 1u);
}

TEST_P(SurveyOfStore, AMonthNotCountedYetIsReadFromTheScans) {
    const std::int64_t since = *utcDayStartMs("2026-11-01");
    const Period month{since, *utcDayStartMs("2026-12-01")};
    add("A", since + kDay, hardware("A", "DDR4", 16, "Microsoft Windows 10 Pro"));
    // Counts that say something else, and a database marked as not counted (an upgrade).
    store_->recountSurvey();
    exec("UPDATE survey_counts SET value = 'DDR9' WHERE value = 'DDR4'");
    EXPECT_EQ(machinesByValue(of(surveyOfStore(*store_, month, 10), Dimension::MemoryType)),
              (std::map<std::string, std::uint64_t>{{"DDR9", 1}}))
        << "a month is read from the counts";
    exec("UPDATE survey_state SET counted = 0");
    EXPECT_EQ(machinesByValue(of(surveyOfStore(*store_, month, 10), Dimension::MemoryType)),
              (std::map<std::string, std::uint64_t>{{"DDR4", 1}}));
}

TEST_P(SurveyOfStore, TrendsFollowTheLatestMonthsLeadingValuesBack) {
    const auto at = [](const char* day) { return *utcDayStartMs(day) + kDay / 2; };
    // October: A and B on DDR4. November: A upgraded to DDR5, C new on DDR5, B still on DDR4.
    // December: A and C on DDR5, D new on DDR3; B not seen.
    add("A", at("2026-10-03"), hardware("A", "DDR4", 16, "Microsoft Windows 10 Pro"));
    add("B", at("2026-10-04"), hardware("B", "DDR4", 16, "Microsoft Windows 10 Pro"));
    add("A", at("2026-11-02"), hardware("A", "DDR5", 32, "Microsoft Windows 11 Pro"));
    add("B", at("2026-11-30"), hardware("B", "DDR4", 16, "Microsoft Windows 10 Pro"));
    add("C", at("2026-11-15"), hardware("C", "DDR5", 32, "Microsoft Windows 11 Pro"));
    add("A", at("2026-12-01"), hardware("A", "DDR5", 32, "Microsoft Windows 11 Pro"));
    add("C", at("2026-12-31"), hardware("C", "DDR5", 32, "Microsoft Windows 11 Pro"));
    add("D", at("2026-12-09"), hardware("D", "DDR3", 4, "Microsoft Windows 11 Pro"));

    const Trends trends = trendsOfStore(*store_, *calendarMonth("2026-12"), 4,
                                        {Dimension::MemoryType, Dimension::Os}, 5);
    std::vector<std::string> months;
    for (const auto month : trends.months) months.push_back(monthText(month));
    EXPECT_EQ(months, (std::vector<std::string>{"2026-09", "2026-10", "2026-11", "2026-12"}));
    EXPECT_EQ(trends.machines, (std::vector<std::uint64_t>{0, 2, 3, 3}));
    ASSERT_EQ(trends.dimensions.size(), 2u);
    const auto& memory = trends.dimensions[0];
    EXPECT_EQ(memory.dimension, Dimension::MemoryType);
    // December's values, most machines first; DDR4, gone by December, is no line.
    ASSERT_EQ(memory.lines.size(), 2u);
    EXPECT_EQ(memory.lines[0].value, "DDR5");
    EXPECT_EQ(memory.lines[0].machines, (std::vector<std::uint64_t>{0, 0, 2, 2}));
    EXPECT_EQ(memory.lines[1].value, "DDR3");
    EXPECT_EQ(memory.lines[1].machines, (std::vector<std::uint64_t>{0, 0, 0, 1}));
    const std::vector<double> shares = memory.lines[0].shares;
    ASSERT_EQ(shares.size(), 4u);
    EXPECT_DOUBLE_EQ(shares[0], 0.0);  // a month without machines
    EXPECT_DOUBLE_EQ(shares[2], 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(shares[3], 2.0 / 3.0);
    const auto& os = trends.dimensions[1];
    ASSERT_EQ(os.lines.size(), 1u);
    EXPECT_EQ(os.lines[0].value, "Windows 11 Pro");
    EXPECT_EQ(os.lines[0].machines, (std::vector<std::uint64_t>{0, 0, 2, 3}));

    // Only the leading value when one is asked for.
    const Trends one = trendsOfStore(*store_, *calendarMonth("2026-12"), 2, {Dimension::MemoryType}, 1);
    ASSERT_EQ(one.dimensions[0].lines.size(), 1u);
    EXPECT_EQ(one.dimensions[0].lines[0].value, "DDR5");
}

INSTANTIATE_TEST_SUITE_P(Engines, SurveyOfStore, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<std::string>& param) {
                             return param.param;
                         });

}  // namespace
}  // namespace gravelin::survey
