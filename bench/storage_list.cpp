// The store under the console's list and under the receiver's load, on each engine:
//
//   List/<engine>/...      one page of 50 machines out of 100,000: the first page, a page in
//                          the middle and the last page (by OFFSET, and as the console reads
//                          them: after a row's place, and from the end), searches (a serial
//                          number, part of a UUID, a maker's name that matches thousands),
//                          each sort column
//   AddScan/<engine>       addScan of distinct 80 kB reports (real tables decoded through the
//                          scanner's core, a number varied), one thread and 8
//                          threads (group commit on SQLite, PostgreSQL's own on PostgreSQL)
//
// SQLite runs in a temporary directory; PostgreSQL when GRAVELIN_TEST_POSTGRES_URI names a
// throw-away server (its public schema is emptied first), e.g. with fsync on as deployed:
//   GRAVELIN_TEST_POSTGRES_FSYNC=on tests/receiver/storage/with-postgres.sh
//   build/bench/bench_storage_list
// GRAVELIN_BENCH_MACHINES sets the number of machines (100000),
// GRAVELIN_BENCH_REPORT_BYTES the report's size (80000),
// GRAVELIN_BENCH_DIR a SQLite data directory to keep and reuse,
// GRAVELIN_BENCH_ENGINES=postgresql (or sqlite) one engine only (a million machines take
// minutes to import into each).
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "receiver/storage/Store.h"
#include "scanner/core/Core.h"
#include "tests/FakePlatform.h"

namespace {

namespace fs = std::filesystem;
using namespace gravelin::storage;

// A real table decoded through the scanner's core, every structure type queried.
std::string tableReport(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> value{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
    if (value.size() <= 8) return {};
    gravelin::testing::FakePlatform platform;
    platform.registryValue = std::move(value);
    gravelin::CCore core(platform);
    core.loadSmbios();
    for (const unsigned type : core.smbios().typesPresent()) {
        char line[96];
        std::snprintf(line, sizeof line, "SELECT * FROM SMBIOS_Type%03u_", type);
        std::string query = line;
        for (char c : std::string(gravelin::smbiosTypeName(type))) query += c == ' ' ? '_' : c;
        core.runQuery(query);
    }
    return core.report().xmlText();
}

// The report the load stores: real tables' reports, one after another (in name order),
// until it reaches the size of a whole scan's report (a table alone gives 18-30 kB, a
// Windows scan with its WMI classes about 80 kB).
std::string realReport(std::size_t size) {
    const fs::path tables = GRAVELIN_TABLES_DIR;
    std::vector<fs::path> paths;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(tables, error))
        if (entry.path().extension() == ".rsmb" && entry.path().stem() != "uroot-VMWare")
            paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    std::string text;
    for (const fs::path& path : paths) {
        if (text.size() >= size) break;
        text += tableReport(path);
    }
    return text;
}

const std::vector<std::string> kMakers = {"Dell Inc.",
                                          "HP",
                                          "LENOVO",
                                          "ASUSTeK COMPUTER INC.",
                                          "Acer",
                                          "Micro-Star International Co., Ltd.",
                                          "Gigabyte Technology Co., Ltd.",
                                          "Fujitsu",
                                          "Apple Inc.",
                                          "VMware, Inc.",
                                          "Microsoft Corporation",
                                          "Supermicro",
                                          "Intel Corporation",
                                          "Toshiba",
                                          "Samsung Electronics",
                                          "Medion",
                                          "Packard Bell",
                                          "Sony",
                                          "Panasonic",
                                          "Getac"};
const std::vector<std::string> kOs = {"Microsoft Windows 10 Pro",
                                      "Microsoft Windows 11 Pro",
                                      "Microsoft Windows 10 Enterprise",
                                      "Microsoft Windows Server 2019",
                                      "Microsoft Windows Server 2022",
                                      "Debian GNU/Linux 12",
                                      "Ubuntu 22.04.3 LTS",
                                      "Fedora Linux 39",
                                      "Microsoft Windows 7 Professional",
                                      "Rocky Linux 9.3"};

std::string randomText(std::mt19937_64& random, std::size_t length, const char* alphabet) {
    const std::size_t n = std::char_traits<char>::length(alphabet);
    std::string s;
    for (std::size_t i = 0; i < length; ++i) s += alphabet[random() % n];
    return s;
}

NewScan generatedScan(std::mt19937_64& random, std::size_t i) {
    NewScan s;
    s.receivedAtMs = 1'700'000'000'000 + static_cast<std::int64_t>(random() % 31'536'000'000ull);
    s.remoteAddress = "198.51.100." + std::to_string(i % 250);
    s.sealedDigest = "generated-" + std::to_string(i);
    s.receipt = "G" + std::to_string(i);
    s.reportBytes = "<HWInfo><Application><Name>scanner</Name></Application></HWInfo>";
    s.encoding = "utf-8";
    s.programName = "scanner";
    s.programVersion = "1.0.0.0";
    ScanColumns& c = s.columns;
    c.maker = kMakers[random() % kMakers.size()];
    c.model = "Model " + randomText(random, 1, "ABCDEFGHJKLMNPQRSTUVWXYZ") +
              std::to_string(random() % 900 + 100);
    c.processor = "Intel(R) Core(TM) i" + std::to_string(3 + 2 * (random() % 4)) + "-" +
                  std::to_string(2000 + random() % 12000) + " CPU";
    c.cores = 2u << (random() % 4);
    c.threads = c.cores * 2;
    c.memoryBytes = (4ull << 30) * (1 + random() % 16);
    c.memoryModules = 1 + static_cast<std::uint32_t>(random() % 4);
    c.diskBytes = 128'000'000'000ull * (1 + random() % 16);
    c.disks = "Samsung SSD " + std::to_string(random() % 1000) + " (" +
              std::to_string(c.diskBytes / 1'000'000'000) + " GB)";
    c.os = kOs[random() % kOs.size()];
    c.serialNumbers = randomText(random, 10, "0123456789ABCDEFGHJKLMNPQRSTUVWXYZ") + " " +
                      randomText(random, 12, "0123456789ABCDEF");
    c.uuid = randomText(random, 8, "0123456789ABCDEF") + "-" +
             randomText(random, 4, "0123456789ABCDEF") + "-" +
             randomText(random, 4, "0123456789ABCDEF") + "-" +
             randomText(random, 4, "0123456789ABCDEF") + "-" +
             randomText(random, 12, "0123456789ABCDEF");
    s.identityKey = "uuid:" + c.uuid;
    s.identityRule = "uuid";
    s.summaryJson = "{}";
    return s;
}

struct Engine {
    std::string name;
    std::unique_ptr<Store> store;
    std::string someSerial, someUuidPart;
    std::uint64_t machines = 0;
};

std::vector<Engine*> engines;
std::string report;
std::string temporary;

void List(benchmark::State& state, Engine* engine, const MachineQuery& query) {
    std::uint64_t total = 0;
    for (auto _ : state) {
        const MachinePage page = engine->store->machines(query);
        total = page.total;
        benchmark::DoNotOptimize(page.machines.data());
    }
    state.counters["matching"] = static_cast<double>(total);
}

void AddScan(benchmark::State& state, Engine* engine) {
    static std::atomic<std::uint64_t> sequence{0};
    NewScan scan;
    scan.remoteAddress = "203.0.113.9";
    scan.encoding = "utf-8";
    scan.programName = "scanner";
    scan.programVersion = "1.0.0.0";
    scan.identityRule = "uuid+serial";
    scan.columns.maker = "VMware, Inc.";
    scan.columns.model = "VMware Virtual Platform";
    scan.summaryJson = std::string(2000, ' ');
    std::int64_t stored = 0;
    for (auto _ : state) {
        const std::uint64_t n = sequence.fetch_add(1);
        const std::string varied = std::to_string(1'000'000'000 + n);
        scan.reportBytes = report;
        scan.reportBytes += "<!-- " + varied + " -->";
        scan.sealedDigest = engine->name + "-load-" + varied;
        scan.receipt = varied;
        scan.identityKey = "serial:" + varied;
        scan.columns.serialNumbers = varied;
        scan.receivedAtMs = 1'800'000'000'000 + static_cast<std::int64_t>(n);
        const AddResult r = engine->store->addScan(scan);
        stored += !r.duplicate;
    }
    state.SetItemsProcessed(stored);
    state.SetBytesProcessed(stored * static_cast<std::int64_t>(report.size()));
}

Engine* prepare(const std::string& name, const StoreLocation& location, std::uint64_t count) {
    auto* engine = new Engine{name, openStore(location), {}, {}, count};
    std::mt19937_64 random(42);
    // A kept directory (GRAVELIN_BENCH_DIR) that holds them already: only the search terms.
    const bool generated = engine->store->machines({}).total >= count;
    const auto start = std::chrono::steady_clock::now();
    std::vector<NewScan> batch;
    for (std::uint64_t i = 0; i < count; ++i) {
        batch.push_back(generatedScan(random, i));
        if (i == count / 3) {
            engine->someSerial = batch.back().columns.serialNumbers.substr(0, 10);
            engine->someUuidPart = batch.back().columns.uuid.substr(24, 12);
        }
        if (generated) {
            batch.clear();
            continue;
        }
        if (batch.size() == 5000 || i + 1 == count) {
            engine->store->addScans(batch);
            batch.clear();
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "%s: %llu machines imported in %.1f s (%.0f scans/s through addScans)\n",
                 name.c_str(), static_cast<unsigned long long>(count), seconds,
                 static_cast<double>(count) / seconds);
    return engine;
}

void registerFor(Engine* e) {
    const std::string p = "List/" + e->name + "/";
    const auto add = [&](const std::string& name, const MachineQuery& q) {
        benchmark::RegisterBenchmark((p + name).c_str(), List, e, q)->Unit(benchmark::kMillisecond);
    };
    MachineQuery q;
    add("first_page", q);
    q.offset = e->machines / 2;
    add("middle_page", q);
    // The same page from its place (the row before it), as the console reads it.
    {
        MachineQuery before = q;
        before.offset = e->machines / 2 - 1;
        before.limit = 1;
        const MachinePage row = e->store->machines(before);
        MachineQuery k;
        k.from = PageFrom::After;
        if (!row.machines.empty()) k.key = keyOf(row.machines.front(), k.sort);
        add("middle_page_after_key", k);
    }
    q.offset = e->machines - 50;
    add("last_page", q);
    MachineQuery end;
    end.from = PageFrom::End;
    add("last_page_from_end", end);
    const std::vector<std::pair<std::string, MachineSort>> sorts = {
        {"last_seen", MachineSort::LastSeen}, {"maker", MachineSort::Maker},
        {"model", MachineSort::Model},        {"processor", MachineSort::Processor},
        {"cores", MachineSort::Cores},        {"memory", MachineSort::Memory},
        {"disks", MachineSort::Disks},        {"os", MachineSort::Os},
        {"scans", MachineSort::Scans}};
    for (const auto& [name, sort] : sorts) {
        MachineQuery s;
        s.sort = sort;
        s.descending = false;
        add("sort_" + name, s);
        s.offset = e->machines - 50;
        add("sort_" + name + "_last_page", s);
        s.offset = 0;
        s.from = PageFrom::End;
        add("sort_" + name + "_last_page_from_end", s);
    }
    MachineQuery s;
    s.search = e->someSerial;
    add("search_serial", s);
    s.search = e->someUuidPart;
    add("search_uuid_part", s);
    s.search = "dell";
    add("search_maker", s);
    s.sort = MachineSort::Memory;
    s.offset = 2000;
    add("search_maker_sorted_page_40", s);
    s.offset = 0;
    s.from = PageFrom::End;
    add("search_maker_sorted_last_page_from_end", s);
    s = {};
    s.search = "windows 11";
    add("search_two_terms", s);

    for (int threads : {1, 8, 32})
        benchmark::RegisterBenchmark(("AddScan/" + e->name).c_str(), AddScan, e)
            ->Threads(threads)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const char* reportBytes = std::getenv("GRAVELIN_BENCH_REPORT_BYTES");
    report = realReport(reportBytes ? std::strtoull(reportBytes, nullptr, 10) : 80'000);
    if (report.empty()) {
        std::fprintf(stderr, "no real table under %s\n", GRAVELIN_TABLES_DIR);
        return 1;
    }
    std::fprintf(stderr, "report: %zu bytes\n", report.size());
    const char* configured = std::getenv("GRAVELIN_BENCH_MACHINES");
    const std::uint64_t count = configured ? std::strtoull(configured, nullptr, 10) : 100'000;

    std::string directory;
    if (const char* kept = std::getenv("GRAVELIN_BENCH_DIR")) {
        directory = kept;
    } else {
        std::string pattern = (fs::temp_directory_path() / "gravelin-bench.XXXXXX").string();
        if (!mkdtemp(pattern.data())) return 1;
        directory = temporary = pattern;
    }
    const char* only = std::getenv("GRAVELIN_BENCH_ENGINES");
    const auto wanted = [&](const char* engine) {
        return !only || std::string(only).find(engine) != std::string::npos;
    };
    if (wanted("sqlite")) engines.push_back(prepare("SQLite", {directory + "/data", ""}, count));
    const char* uri = std::getenv("GRAVELIN_TEST_POSTGRES_URI");
    if (uri && wanted("postgresql")) {
        PGconn* c = PQconnectdb(uri);
        PQclear(PQexec(c, "DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public"));
        PQfinish(c);
        engines.push_back(prepare("PostgreSQL", {"", uri}, count));
        // Fresh statistics and visibility map, as autovacuum would give a settled table.
        c = PQconnectdb(uri);
        PQclear(PQexec(c, "VACUUM ANALYZE"));
        PQfinish(c);
    } else if (!uri) {
        std::fprintf(stderr, "GRAVELIN_TEST_POSTGRES_URI not set: SQLite only\n");
    }
    for (Engine* e : engines) registerFor(e);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (Engine* e : engines) delete e;
    if (!temporary.empty()) fs::remove_all(temporary);
    return 0;
}
