// The fleet survey of one calendar month over a large fleet, on each engine:
//
//   SurveyMonth/<engine>      surveyOfStore for a calendar month (and the month before, which
//                             it compares with) out of the counts the store keeps per month
//
// The fleet is generated straight into the count tables, not through addScan: one member per
// machine and month with 17 values of realistic variety (5 processor makers, 1,500 processor
// models, 5,000 models...), then the counters summed from the members as intake keeps them.
// Intake of a million full reports would take hours and measure intake, not the survey.
//
// SQLite runs in a temporary directory; PostgreSQL when GRAVELIN_TEST_POSTGRES_URI names a
// throw-away server (its public schema is emptied first):
//   tests/receiver/storage/with-postgres.sh build/bench/bench_survey_month
// GRAVELIN_BENCH_MACHINES sets the number of machines (1,000,000).
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "reading/SurveyFacets.h"
#include "receiver/survey/Survey.h"

namespace {

namespace fs = std::filesystem;
using namespace gravelin;

constexpr std::int64_t kNovember = 1'793'491'200'000;  // 2026-11-01, UTC
constexpr std::int64_t kDecember = 1'796'083'200'000;  // 2026-12-01
constexpr std::int64_t kJanuary = 1'798'761'600'000;   // 2027-01-01

// Distinct values per dimension, in Dimension order.
constexpr std::size_t kVariety[report::survey::kDimensionCount] = {
    40, 5, 1500, 20, 30, 9, 8, 20, 5, 6, 10, 4, 200, 5000, 7, 30, 15};

// One member per machine n in [1, machines] of `month`; `shift` varies the values from month
// to month. `numbers` is the engine's row source of n.
std::string membersSql(const std::string& numbers, std::int64_t month, int shift, bool latest) {
    std::string sql = "INSERT INTO survey_members (machine_id, month, scan_id, received_at, latest";
    for (const auto name : report::survey::kDimensionNames) sql += ", " + std::string(name);
    sql += ") SELECT n, " + std::to_string(month) + ", n, " + std::to_string(month) + " + n, " +
           (latest ? "1" : "0");
    for (std::size_t d = 0; d < report::survey::kDimensionCount; ++d) {
        // Skewed: the square of a spread number favours the low values, as fleets favour a
        // few makers and models.
        const std::string spread = "((n * 2654435761 + " + std::to_string(d * 97 + shift) + ") % 1000003)";
        sql += ", '" + std::string(report::survey::kDimensionNames[d]) + " ' || ((" + spread + " * " +
               spread + ") % " + std::to_string(kVariety[d] * kVariety[d]) + " / " +
               std::to_string(kVariety[d]) + ")";
    }
    return sql + " FROM " + numbers;
}

std::string countsSql() {
    std::string sql;
    for (const auto name : report::survey::kDimensionNames) {
        sql += "INSERT INTO survey_counts (month, dimension, value, machines) SELECT month, '" +
               std::string(name) + "', " + std::string(name) +
               ", count(*) FROM survey_members GROUP BY month, " + std::string(name) + ";\n";
    }
    return sql;
}

struct Engine {
    std::string name;
    std::unique_ptr<storage::Store> store;
};

std::vector<Engine*> engines;
std::string temporary;

void SurveyMonth(benchmark::State& state, Engine* engine) {
    const survey::Period december{kDecember, kJanuary};
    std::uint64_t machines = 0;
    for (auto _ : state) {
        const survey::Survey s = survey::surveyOfStore(*engine->store, december, 10);
        machines = s.machines;
        benchmark::DoNotOptimize(s.dimensions.data());
    }
    state.counters["machines"] = static_cast<double>(machines);
}

double timed(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void sqliteRun(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "SQLite: %s\n", error ? error : "?");
        std::exit(1);
    }
    sqlite3_close(db);
}

void postgresRun(const std::string& uri, const std::string& sql) {
    PGconn* c = PQconnectdb(uri.c_str());
    PGresult* r = PQexec(c, sql.c_str());
    if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK) {
        std::fprintf(stderr, "PostgreSQL: %s\n", PQresultErrorMessage(r));
        std::exit(1);
    }
    PQclear(r);
    PQfinish(c);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const char* configured = std::getenv("GRAVELIN_BENCH_MACHINES");
    const std::uint64_t count = configured ? std::strtoull(configured, nullptr, 10) : 1'000'000;
    const std::string n = std::to_string(count);

    std::string pattern = (fs::temp_directory_path() / "gravelin-bench.XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    temporary = pattern;
    {
        storage::StoreLocation sqlite;
        sqlite.dataDirectory = temporary + "/data";
        openStore(sqlite);  // the schema
        const std::string file = temporary + "/data/receiver.sqlite3";
        const std::string numbers = "(WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g "
                                    "WHERE n < " + n + ") SELECT n FROM g)";
        const double seconds = timed([&] {
            sqliteRun(file, "BEGIN; " + membersSql(numbers, kNovember, 1, false) + "; " +
                                membersSql(numbers, kDecember, 2, true) + "; " + countsSql() + "COMMIT;");
        });
        std::fprintf(stderr, "SQLite: %s machines in two months generated in %.1f s\n", n.c_str(), seconds);
        engines.push_back(new Engine{"SQLite", openStore(sqlite)});
    }
    if (const char* uri = std::getenv("GRAVELIN_TEST_POSTGRES_URI")) {
        postgresRun(uri, "DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
        storage::StoreLocation postgres;
        postgres.databaseUri = uri;
        openStore(postgres);
        const std::string numbers = "generate_series(1, " + n + ") AS n";
        const double seconds = timed([&] {
            postgresRun(uri, "BEGIN; " + membersSql(numbers, kNovember, 1, false) + "; " +
                                 membersSql(numbers, kDecember, 2, true) + "; " + countsSql() +
                                 "COMMIT;");
            postgresRun(uri, "VACUUM ANALYZE");
        });
        std::fprintf(stderr, "PostgreSQL: %s machines in two months generated in %.1f s\n", n.c_str(),
                     seconds);
        engines.push_back(new Engine{"PostgreSQL", openStore(postgres)});
    } else {
        std::fprintf(stderr, "GRAVELIN_TEST_POSTGRES_URI not set: SQLite only\n");
    }
    for (Engine* e : engines)
        benchmark::RegisterBenchmark(("SurveyMonth/" + e->name).c_str(), SurveyMonth, e)
            ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (Engine* e : engines) delete e;
    fs::remove_all(temporary);
    return 0;
}
