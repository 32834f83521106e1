// The console's machine list over 100,000 machines: the whole handler (session check, the
// store's page query, template rendering), first page, a deep page, the last page, searches
// and a sort on another column; and the survey page of a month. The store is SQLite in
// GRAVELIN_BENCH_DATA (default
// /tmp/gravelin-bench-console) or PostgreSQL at GRAVELIN_BENCH_DATABASE; the machines are
// generated once and kept (bench/console_list.sh runs both engines).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "receiver/console/Accounts.h"
#include "receiver/console/Console.h"
#include "receiver/storage/Store.h"

namespace {

using gravelin::server::Request;
using gravelin::server::Response;
namespace storage = gravelin::storage;
namespace console = gravelin::console;

constexpr int kMachines = 100000;

struct Setup {
    std::unique_ptr<storage::Store> store;
    gravelin::server::Handler handler;
    std::string cookie;
};

storage::NewScan generated(int i) {
    static const char* makers[] = {
        "Dell Inc.", "LENOVO",     "HP",      "ASUSTeK COMPUTER INC.",
        "Acer",      "Supermicro", "FUJITSU", "Quanta Cloud Technology Inc."};
    static const char* models[] = {
        "OptiPlex 7090", "ThinkPad T14 Gen 3", "EliteBook 840 G8", "PRIME B560M-A",
        "Aspire 5",      "SYS-1029P-WTR",      "ESPRIMO D7010",    "D51B-2U"};
    static const char* cpus[] = {
        "Intel(R) Core(TM) i7-11700 CPU @ 2.50GHz", "AMD Ryzen 7 PRO 6850U with Radeon Graphics",
        "Intel(R) Core(TM) i5-1145G7 @ 2.60GHz", "Intel(R) Xeon(R) Silver 4210R CPU @ 2.40GHz"};
    static const char* systems[] = {"Microsoft Windows 10 Pro", "Microsoft Windows 11 Pro",
                                    "Microsoft Windows Server 2019 Standard",
                                    "Debian GNU/Linux 12 (bookworm)"};
    storage::NewScan scan;
    char text[80];
    std::snprintf(text, sizeof text, "%064d", i);
    scan.sealedDigest = text;
    scan.receipt = std::string("B") + std::to_string(i);
    scan.receivedAtMs = 1767225600000LL + static_cast<std::int64_t>(i) * 60000;
    scan.remoteAddress = "192.0.2.1";
    scan.reportBytes = "<HWInfo><Application/></HWInfo>";
    scan.encoding = "utf-8";
    std::snprintf(text, sizeof text, "BENCH%07d", i);
    const std::string serial = text;
    std::snprintf(text, sizeof text, "%08X-1111-2222-3333-%012d",
                  static_cast<unsigned>(i * 2654435761u), i);
    scan.identityKey = std::string("uuid:") + text;
    scan.identityRule = "uuid";
    auto& c = scan.columns;
    c.maker = makers[i % 8];
    c.model = models[(i / 8) % 8];
    c.processor = cpus[i % 4];
    c.cores = 4u << (i % 3);
    c.threads = c.cores * 2;
    c.memoryBytes = (8ULL << (i % 4)) << 30;
    c.memoryModules = 1u + i % 4;
    c.disks = "Samsung SSD 980 PRO " + std::to_string(250 << (i % 4)) + "GB";
    c.diskBytes = (250ULL << (i % 4)) * 1000000000ULL;
    c.os = systems[i % 4];
    c.serialNumbers = serial + " MB" + serial;
    c.uuid = text;
    return scan;
}

std::string signIn(const gravelin::server::Handler& handler) {
    Request form;
    form.method = "GET";
    form.path = "/signin";
    form.remoteAddress = "127.0.0.1";
    const Response page = handler(form);
    std::smatch m;
    std::regex_search(page.body, m, std::regex("name=\"token\" value=\"([^\"]*)\""));
    std::string cookies;
    for (const auto& [name, value] : page.headers) {
        if (name == "Set-Cookie") cookies = value.substr(0, value.find(';'));
    }
    Request post = form;
    post.method = "POST";
    post.headers = {{"cookie", cookies}};
    post.body = "token=" + m[1].str() + "&name=bench&password=bench-password";
    const Response answer = handler(post);
    for (const auto& [name, value] : answer.headers) {
        if (name == "Set-Cookie" && value.find("session=") != std::string::npos) {
            return value.substr(0, value.find(';'));
        }
    }
    throw std::runtime_error("sign-in failed: " + std::to_string(answer.status));
}

Setup& setup() {
    static Setup s = [] {
        Setup made;
        storage::StoreLocation location;
        if (const char* uri = std::getenv("GRAVELIN_BENCH_DATABASE"); uri && *uri) {
            location.databaseUri = uri;
        } else {
            const char* dir = std::getenv("GRAVELIN_BENCH_DATA");
            location.dataDirectory = dir && *dir ? dir : "/tmp/gravelin-bench-console";
        }
        made.store = storage::openStore(location);
        const auto have = made.store->machines({}).total;
        if (have < static_cast<std::uint64_t>(kMachines)) {
            std::cerr << "generating " << kMachines << " machines in " << made.store->describe()
                      << "\n";
            std::vector<storage::NewScan> batch;
            for (int i = 0; i < kMachines; ++i) {
                batch.push_back(generated(i));
                if (batch.size() == 1000) {
                    made.store->addScans(batch);
                    batch.clear();
                }
            }
            if (!batch.empty()) made.store->addScans(batch);
        }
        console::addUser(*made.store, "bench", "bench-password", storage::Role::Viewer,
                         console::PasswordCost::Interactive);
        console::ConsoleOptions options;
        options.passwordCost = console::PasswordCost::Interactive;
        options.secureCookies = false;
        made.handler = console::makeConsole(*made.store, options);
        made.cookie = signIn(made.handler);
        return made;
    }();
    return s;
}

void consolePage(benchmark::State& state, const std::string& path, const std::string& query) {
    Setup& s = setup();
    Request request;
    request.method = "GET";
    request.path = path;
    request.query = query;
    request.headers = {{"cookie", s.cookie}};
    request.remoteAddress = "127.0.0.1";
    std::size_t bytes = 0;
    for (auto _ : state) {
        const Response r = s.handler(request);
        if (r.status != 200) {
            state.SkipWithError("the page did not answer 200");
            break;
        }
        bytes = r.body.size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["page_bytes"] = static_cast<double>(bytes);
}

void listPage(benchmark::State& state, const std::string& query) {
    consolePage(state, "/machines", query);
}

// The survey of a month with about 40,000 machines, and its twelve months of trends (the
// generated scans run from January to March 2026).
void surveyPage(benchmark::State& state, const std::string& query) {
    consolePage(state, "/survey", query);
}

}  // namespace

BENCHMARK_CAPTURE(listPage, first_page_last_seen, std::string(""))->Unit(benchmark::kMillisecond);
// A page read from a place in the middle: every machine has one scan, so (1, id 50,000)
// is the middle of the list by scans.
BENCHMARK_CAPTURE(listPage, middle_page_after_key,
                  std::string("sort=scans&dir=asc&after=50000&key=1"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(listPage, last_page, std::string("end=1"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(listPage, sort_memory_last_page, std::string("sort=memory&dir=desc&end=1"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(listPage, sort_model_asc, std::string("sort=model&dir=asc"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(listPage, search_serial, std::string("q=BENCH0054321"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(listPage, search_uuid, std::string("q=1111-2222-3333-000000054321"))
    ->Unit(benchmark::kMillisecond);
// A serial number the rows do not show, on every row of the page: the line under each
// row reads that machine's latest summary.
BENCHMARK_CAPTURE(listPage, search_serial_many, std::string("q=BENCH00"))
    ->Unit(benchmark::kMillisecond);
// Receipt-shaped but no scan's: the receipt lookup, then the search.
BENCHMARK_CAPTURE(listPage, search_receipt_none, std::string("q=0000-0000-0000"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(listPage, search_model_many, std::string("q=ThinkPad"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(listPage, search_model_last_page, std::string("q=ThinkPad&end=1"))
    ->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(surveyPage, survey_month_2026_02, std::string("month=2026-02"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK_CAPTURE(surveyPage, survey_month_2025_06_empty, std::string("month=2025-06"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK_MAIN();
