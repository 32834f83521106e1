// The store's contract, one suite run against both engines: SQLite in a temporary
// directory, PostgreSQL on the server that tests/storage/with-postgres.sh starts (the
// PostgreSQL instances fail, not skip, without it). Followed by what only one engine has:
// the data directory, files that are not databases, a server that stops and comes back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "storage/Store.h"

namespace gravelin::storage {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string postgresUri() {
    const char* uri = std::getenv("GRAVELIN_TEST_POSTGRES_URI");
    return uri ? uri : "";
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "gravelin-store.XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs SQL on the PostgreSQL test server outside the store.
void postgresExec(const std::string& sql) {
    PGconn* c = PQconnectdb(postgresUri().c_str());
    std::string error;
    if (PQstatus(c) != CONNECTION_OK) {
        error = PQerrorMessage(c);
    } else {
        PGresult* r = PQexec(c, sql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
            error = PQresultErrorMessage(r);
        PQclear(r);
    }
    PQfinish(c);
    if (!error.empty()) throw std::runtime_error("PostgreSQL: " + error);
}

void sqliteExec(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("SQLite: " + message);
}

ScanColumns columns(std::string maker, std::string model, std::string processor = "CPU",
                    std::uint32_t cores = 4, std::uint64_t memoryBytes = 8ull << 30) {
    ScanColumns c;
    c.maker = std::move(maker);
    c.model = std::move(model);
    c.processor = std::move(processor);
    c.cores = cores;
    c.threads = cores * 2;
    c.memoryBytes = memoryBytes;
    c.memoryModules = 2;
    c.disks = "Disk (512 GB)";
    c.diskBytes = 512'000'000'000ull;
    c.os = "Windows 10";
    return c;
}

NewScan makeScan(const std::string& digest, const std::string& key, std::int64_t receivedAt,
                 ScanColumns c = columns("Maker", "Model")) {
    NewScan s;
    s.receivedAtMs = receivedAt;
    s.remoteAddress = "192.0.2.7";
    s.sealedDigest = digest;
    s.receipt = "R-" + digest;
    s.reportBytes = "<HWInfo><Application><Name>scanner</Name></Application><!--" + digest + "--></HWInfo>";
    s.encoding = "utf-8";
    s.osDescription = "Windows 10";
    s.programName = "scanner";
    s.programVersion = "1.0.0.0";
    s.identityKey = key;
    s.identityRule = key.empty() ? "none" : "uuid+serial";
    s.columns = std::move(c);
    s.summaryJson = "{\"digest\":\"" + digest + "\"}";
    return s;
}

class StoreContract : public ::testing::TestWithParam<std::string> {
protected:
    bool postgres() const { return GetParam() == "PostgreSQL"; }

    void SetUp() override {
        if (postgres()) {
            ASSERT_FALSE(postgresUri().empty())
                << "GRAVELIN_TEST_POSTGRES_URI is not set: run this suite through "
                   "tests/storage/with-postgres.sh (ctest does)";
            // A clean database for every test.
            postgresExec("DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
        }
    }

    StoreLocation location() const {
        StoreLocation l;
        if (postgres())
            l.databaseUri = postgresUri();
        else
            l.dataDirectory = (dir_.path() / "data").string();
        return l;
    }

    std::unique_ptr<Store> open() const { return openStore(location()); }

    void rawExec(const std::string& sql) const {
        if (postgres())
            postgresExec(sql);
        else
            sqliteExec(dir_.path() / "data" / "receiver.sqlite3", sql);
    }

    std::int64_t rawInteger(const std::string& sql) const {
        if (postgres()) {
            PGconn* c = PQconnectdb(postgresUri().c_str());
            PGresult* r = PQexec(c, sql.c_str());
            const std::int64_t value =
                PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? std::atoll(PQgetvalue(r, 0, 0)) : -1;
            PQclear(r);
            PQfinish(c);
            return value;
        }
        sqlite3* db = nullptr;
        sqlite3_open((dir_.path() / "data" / "receiver.sqlite3").c_str(), &db);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
        const std::int64_t value = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return value;
    }

    TempDir dir_;
};

TEST_P(StoreContract, StoresAScanWithItsMachineAndReadsBothBack) {
    auto store = open();
    NewScan in = makeScan("d1", "key-1", 1'700'000'000'123,
                          columns("Dell Inc.", "OptiPlex 7070", "Intel Core i7-9700", 8, 32ull << 30));
    in.columns.serialNumbers = "CN0ABC123 7XYZ89";
    in.columns.uuid = "4C4C4544-0042-3510-8052-B7C04F4D4D32";
    in.columns.memoryModules = 4;
    in.columns.disks = "Samsung SSD 860 (500 GB); WDC (1 TB)";
    in.columns.diskBytes = 1'500'000'000'000ull;
    in.errors = "no SMBIOS table";
    in.encoding = "windows-1252";
    const AddResult added = store->addScan(in);
    EXPECT_FALSE(added.duplicate);
    EXPECT_GT(added.scanId, 0);
    EXPECT_GT(added.machineId, 0);
    EXPECT_EQ(added.receipt, "R-d1");

    const auto record = store->scan(added.scanId);
    ASSERT_TRUE(record);
    const ScanRow& row = record->row;
    EXPECT_EQ(row.id, added.scanId);
    EXPECT_EQ(row.machineId, added.machineId);
    EXPECT_EQ(row.receivedAtMs, in.receivedAtMs);
    EXPECT_EQ(row.remoteAddress, "192.0.2.7");
    EXPECT_EQ(row.receipt, "R-d1");
    EXPECT_EQ(row.encoding, "windows-1252");
    EXPECT_EQ(row.identityKey, "key-1");
    EXPECT_EQ(row.identityRule, "uuid+serial");
    EXPECT_EQ(row.osDescription, "Windows 10");
    EXPECT_EQ(row.programName, "scanner");
    EXPECT_EQ(row.programVersion, "1.0.0.0");
    EXPECT_EQ(row.errors, "no SMBIOS table");
    EXPECT_GT(row.storedBytes, 0u);
    const ScanColumns& c = row.columns;
    EXPECT_EQ(c.maker, "Dell Inc.");
    EXPECT_EQ(c.model, "OptiPlex 7070");
    EXPECT_EQ(c.processor, "Intel Core i7-9700");
    EXPECT_EQ(c.cores, 8u);
    EXPECT_EQ(c.threads, 16u);
    EXPECT_EQ(c.memoryBytes, 32ull << 30);
    EXPECT_EQ(c.memoryModules, 4u);
    EXPECT_EQ(c.disks, "Samsung SSD 860 (500 GB); WDC (1 TB)");
    EXPECT_EQ(c.diskBytes, 1'500'000'000'000ull);
    EXPECT_EQ(c.os, "Windows 10");
    EXPECT_EQ(c.serialNumbers, "CN0ABC123 7XYZ89");
    EXPECT_EQ(c.uuid, "4C4C4544-0042-3510-8052-B7C04F4D4D32");
    EXPECT_EQ(record->reportBytes, in.reportBytes);
    EXPECT_EQ(record->summaryJson, in.summaryJson);

    const auto machine = store->machine(added.machineId);
    ASSERT_TRUE(machine);
    EXPECT_EQ(machine->identityKey, "key-1");
    EXPECT_EQ(machine->identityRule, "uuid+serial");
    EXPECT_EQ(machine->firstSeenMs, in.receivedAtMs);
    EXPECT_EQ(machine->lastSeenMs, in.receivedAtMs);
    EXPECT_EQ(machine->latestScanId, added.scanId);
    EXPECT_EQ(machine->scanCount, 1u);
    EXPECT_EQ(machine->latest.model, "OptiPlex 7070");
    EXPECT_EQ(machine->latest.uuid, in.columns.uuid);
    EXPECT_EQ(machine->latest.diskBytes, in.columns.diskBytes);

    ASSERT_EQ(store->scans(added.machineId).size(), 1u);
    ASSERT_EQ(store->scans(std::nullopt).size(), 1u);
    EXPECT_FALSE(store->scan(added.scanId + 1000));
    EXPECT_FALSE(store->machine(added.machineId + 1000));
    EXPECT_TRUE(store->scans(added.machineId + 1000).empty());
    store->probe();
}

TEST_P(StoreContract, TheSameSealedTextIsStoredOnceAndKeepsItsReceipt) {
    auto store = open();
    const AddResult first = store->addScan(makeScan("same", "key-1", 1000));
    // A reload of the page: the same text, later, even if what was derived from it differs.
    NewScan again = makeScan("same", "key-2", 5000, columns("Other", "Other"));
    again.receipt = "R-different";
    const AddResult second = store->addScan(again);
    EXPECT_TRUE(second.duplicate);
    EXPECT_EQ(second.scanId, first.scanId);
    EXPECT_EQ(second.machineId, first.machineId);
    EXPECT_EQ(second.receipt, "R-same");
    EXPECT_EQ(store->scans(std::nullopt).size(), 1u);
    const auto machine = store->machine(first.machineId);
    ASSERT_TRUE(machine);
    EXPECT_EQ(machine->scanCount, 1u);
    EXPECT_EQ(machine->lastSeenMs, 1000);
    EXPECT_EQ(store->machines({}).total, 1u);
}

TEST_P(StoreContract, ConcurrentPostsAreStoredOnceEachAndCountedOnce) {
    auto store = open();
    constexpr int kThreads = 8, kRounds = 15;
    // Every round, all threads post the same text at once, then each its own text of the
    // same machine.
    std::vector<std::vector<AddResult>> same(kRounds, std::vector<AddResult>(kThreads));
    std::atomic<int> failures{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int r = 0; r < kRounds; ++r) {
                try {
                    same[r][t] = store->addScan(makeScan("same-" + std::to_string(r), "shared", 1000 + r));
                    store->addScan(makeScan("own-" + std::to_string(t) + "-" + std::to_string(r),
                                            "shared", 2000 + r));
                    store->machines({});
                } catch (const std::exception& e) {
                    failures.fetch_add(1);
                    ADD_FAILURE() << e.what();
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(failures.load(), 0);
    for (int r = 0; r < kRounds; ++r) {
        int stored = 0;
        for (int t = 0; t < kThreads; ++t) {
            stored += !same[r][t].duplicate;
            EXPECT_EQ(same[r][t].scanId, same[r][0].scanId) << "round " << r;
            EXPECT_EQ(same[r][t].receipt, "R-same-" + std::to_string(r));
        }
        EXPECT_EQ(stored, 1) << "round " << r;
    }
    const MachinePage page = store->machines({});
    ASSERT_EQ(page.total, 1u);
    EXPECT_EQ(page.machines.at(0).scanCount, static_cast<std::uint64_t>(kRounds + kThreads * kRounds));
    EXPECT_EQ(store->scans(std::nullopt, 10'000).size(), static_cast<std::size_t>(kRounds + kThreads * kRounds));
}

TEST_P(StoreContract, AMachineIsKeyedByIdentityAndShowsItsNewestScan) {
    auto store = open();
    const AddResult middle = store->addScan(makeScan("b", "K", 2000, columns("Maker", "Before")));
    NewScan newest = makeScan("c", "K", 3000, columns("Maker", "After", "CPU", 16));
    newest.identityRule = "baseboard-serial";
    const AddResult latest = store->addScan(newest);
    // A backlog scan from before both: counted, moves first_seen, replaces nothing newer.
    const AddResult backlog = store->addScan(makeScan("a", "K", 1000, columns("Maker", "Backlog")));
    EXPECT_EQ(middle.machineId, latest.machineId);
    EXPECT_EQ(backlog.machineId, latest.machineId);
    const AddResult other = store->addScan(makeScan("d", "K2", 1500));
    EXPECT_NE(other.machineId, latest.machineId);

    const auto machine = store->machine(latest.machineId);
    ASSERT_TRUE(machine);
    EXPECT_EQ(machine->scanCount, 3u);
    EXPECT_EQ(machine->firstSeenMs, 1000);
    EXPECT_EQ(machine->lastSeenMs, 3000);
    EXPECT_EQ(machine->latestScanId, latest.scanId);
    EXPECT_EQ(machine->latest.model, "After");
    EXPECT_EQ(machine->latest.cores, 16u);
    EXPECT_EQ(machine->identityRule, "baseboard-serial");

    const auto history = store->scans(latest.machineId);
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0].id, latest.scanId);
    EXPECT_EQ(history[1].id, middle.scanId);
    EXPECT_EQ(history[2].id, backlog.scanId);
    const auto paged = store->scans(latest.machineId, 1, 1);
    ASSERT_EQ(paged.size(), 1u);
    EXPECT_EQ(paged[0].id, middle.scanId);
    EXPECT_EQ(store->machines({}).total, 2u);
}

TEST_P(StoreContract, ScansWithoutIdentityAreNeverMerged) {
    auto store = open();
    const AddResult a = store->addScan(makeScan("x1", "", 1000));
    const AddResult b = store->addScan(makeScan("x2", "", 1000));
    EXPECT_NE(a.machineId, b.machineId);
    for (const AddResult& r : {a, b}) {
        const auto m = store->machine(r.machineId);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->scanCount, 1u);
        EXPECT_EQ(m->identityKey, "");
        EXPECT_EQ(m->identityRule, "none");
        EXPECT_EQ(m->latestScanId, r.scanId);
    }
    EXPECT_EQ(store->machines({}).total, 2u);
}

// What the list must show for each sort, computed here from what was stored.
struct Expected {
    std::int64_t id = 0;
    ScanColumns c;
    std::int64_t lastSeen = 0;
    std::uint64_t scans = 0;
};

TEST_P(StoreContract, PagesThroughEverySortInBothDirections) {
    auto store = open();
    std::mt19937 random(7);
    const std::vector<std::string> makers = {"Dell Inc.", "HP", "LENOVO", "ASUSTeK", "Acer", ""};
    std::map<std::int64_t, Expected> expected;
    for (int i = 0; i < 23; ++i) {
        // Small value sets, so that ties (broken by id) are common.
        ScanColumns c = columns(makers[random() % makers.size()], "Model " + std::to_string(random() % 5),
                                "CPU " + std::to_string(random() % 4), 2u << (random() % 3),
                                (4ull << 30) * (1 + random() % 3));
        c.diskBytes = 256'000'000'000ull * (random() % 3);
        c.os = random() % 2 ? "Windows 11" : "Debian 12";
        const std::string key = "machine-" + std::to_string(i);
        const int scans = 1 + static_cast<int>(random() % 3);
        const std::int64_t seen = 10'000 + static_cast<std::int64_t>(random() % 7) * 100;
        AddResult r;
        for (int s = 0; s < scans; ++s)
            r = store->addScan(makeScan(key + "-" + std::to_string(s), key, seen - s, c));
        expected[r.machineId] = Expected{r.machineId, c, seen, static_cast<std::uint64_t>(scans)};
    }
    using Key = std::variant<std::int64_t, std::string>;
    const std::vector<std::pair<MachineSort, std::function<Key(const Expected&)>>> sorts = {
        {MachineSort::LastSeen, [](const Expected& e) { return Key(e.lastSeen); }},
        {MachineSort::Maker, [](const Expected& e) { return Key(e.c.maker); }},
        {MachineSort::Model, [](const Expected& e) { return Key(e.c.model); }},
        {MachineSort::Processor, [](const Expected& e) { return Key(e.c.processor); }},
        {MachineSort::Cores, [](const Expected& e) { return Key(std::int64_t(e.c.cores)); }},
        {MachineSort::Memory, [](const Expected& e) { return Key(std::int64_t(e.c.memoryBytes)); }},
        {MachineSort::Disks, [](const Expected& e) { return Key(std::int64_t(e.c.diskBytes)); }},
        {MachineSort::Os, [](const Expected& e) { return Key(e.c.os); }},
        {MachineSort::Scans, [](const Expected& e) { return Key(std::int64_t(e.scans)); }},
    };
    // Unfiltered, and through a search that matches every machine or about half of them
    // (an engine may reach a page in more than one way; each must give the same rows).
    for (const std::string search : {"", "model", "WINDOWS"})
    for (const auto& entry : sorts) {
        const MachineSort sort = entry.first;
        const auto& key = entry.second;
        for (bool descending : {false, true}) {
            std::vector<Expected> order;
            for (const auto& [id, e] : expected)
                if (search != "WINDOWS" || e.c.os == "Windows 11") order.push_back(e);
            std::sort(order.begin(), order.end(), [&](const Expected& a, const Expected& b) {
                const auto ka = std::make_pair(key(a), a.id), kb = std::make_pair(key(b), b.id);
                return descending ? kb < ka : ka < kb;
            });
            std::vector<std::int64_t> want, got;
            for (const Expected& e : order) want.push_back(e.id);
            for (std::uint64_t offset = 0; offset < 30; offset += 5) {
                MachineQuery q;
                q.search = search;
                q.sort = sort;
                q.descending = descending;
                q.limit = 5;
                q.offset = offset;
                const MachinePage page = store->machines(q);
                EXPECT_EQ(page.total, order.size());
                EXPECT_LE(page.machines.size(), 5u);
                for (const MachineRow& m : page.machines) got.push_back(m.id);
            }
            EXPECT_EQ(got, want) << "sort " << static_cast<int>(sort) << (descending ? " desc" : " asc")
                                 << " search \"" << search << "\"";
        }
    }
    MachineQuery beyond;
    beyond.offset = 1000;
    const MachinePage empty = store->machines(beyond);
    EXPECT_TRUE(empty.machines.empty());
    EXPECT_EQ(empty.total, 23u);
    // The list's rows carry what the machine page needs.
    const MachineRow first = store->machines({}).machines.at(0);
    const Expected& e = expected.at(first.id);
    EXPECT_EQ(first.latest.model, e.c.model);
    EXPECT_EQ(first.scanCount, e.scans);
    EXPECT_EQ(first.lastSeenMs, e.lastSeen);
}

TEST_P(StoreContract, SearchFindsMachinesByAnyColumnSerialNumberAndUuid) {
    auto store = open();
    std::map<std::string, std::int64_t> ids;
    {
        ScanColumns c = columns("Dell Inc.", "OptiPlex 7070", "Intel(R) Core(TM) i7-9700");
        c.serialNumbers = "CN0ABC123 7XYZ89";
        c.uuid = "4C4C4544-0042-3510-8052-B7C04F4D4D32";
        c.disks = "Samsung SSD 860 EVO (500 GB)";
        c.os = "Microsoft Windows 10 Enterprise LTSC";
        ids["dell"] = store->addScan(makeScan("s1", "k1", 1000, c)).machineId;
    }
    {
        ScanColumns c = columns("LENOVO", "ThinkPad T14", "AMD Ryzen 7 PRO 4750U");
        c.serialNumbers = "PF2ABCDE";
        c.uuid = "0AB1C2D3-1111-2222-3333-444455556666";
        c.disks = "WDC PC SN730 (512 GB)";
        c.os = "Ubuntu 22.04 LTS";
        ids["lenovo"] = store->addScan(makeScan("s2", "k2", 2000, c)).machineId;
    }
    {
        ScanColumns c = columns("Müller Systeme", "EliteBook 840 G5", "Intel Core i5-8350U");
        c.serialNumbers = "5CG1234XYZ";
        c.disks = "Disk 100%_x \"quoted\" (1 TB)";
        c.os = "Windows 11";
        ids["muller"] = store->addScan(makeScan("s3", "k3", 3000, c)).machineId;
    }
    // The Dell machine's newer scan replaces its searchable text: the old OS is not found.
    {
        ScanColumns c = columns("Dell Inc.", "OptiPlex 7070", "Intel(R) Core(TM) i7-9700");
        c.serialNumbers = "CN0ABC123 7XYZ89";
        c.uuid = "4C4C4544-0042-3510-8052-B7C04F4D4D32";
        c.disks = "Samsung SSD 860 EVO (500 GB)";
        c.os = "Microsoft Windows 11 Pro";
        store->addScan(makeScan("s4", "k1", 4000, c));
    }
    const std::vector<std::pair<std::string, std::set<std::string>>> cases = {
        {"", {"dell", "lenovo", "muller"}},
        {"dell", {"dell"}},
        {"DELL optiplex", {"dell"}},
        {"  optiplex   7070 ", {"dell"}},
        {"optiplex lenovo", {}},
        {"cn0abc", {"dell"}},                                   // part of a serial number
        {"7xyz89", {"dell"}},                                   // the second serial
        {"5CG1234XYZ", {"muller"}},
        {"4c4c4544-0042-3510-8052-b7c04f4d4d32", {"dell"}},     // whole UUID, any case
        {"B7C04F4D", {"dell"}},
        {"intel", {"dell", "muller"}},
        {"ryzen", {"lenovo"}},
        {"i7", {"dell"}},                                       // shorter than a trigram
        {"0U", {"lenovo", "muller"}},
        {"sn730", {"lenovo"}},
        {"windows 11", {"dell", "muller"}},
        {"ltsc", {}},                                           // only in the older scan
        {"müller", {"muller"}},
        {"%", {"muller"}},                                      // wildcards are literal
        {"100%_", {"muller"}},
        {"_", {"muller"}},
        {"\"quoted\"", {"muller"}},
        {"\"", {"muller"}},
        {"no-such-thing", {}},
        {"' OR 1=1 --", {}},
    };
    for (const auto& [search, want] : cases) {
        MachineQuery q;
        q.search = search;
        const MachinePage page = store->machines(q);
        std::set<std::string> got;
        for (const MachineRow& m : page.machines)
            for (const auto& [name, id] : ids)
                if (id == m.id) got.insert(name);
        EXPECT_EQ(got, want) << "search \"" << search << "\"";
        EXPECT_EQ(page.total, want.size()) << "search \"" << search << "\"";
    }
    // Search, sort and page together.
    MachineQuery q;
    q.search = "intel";
    q.sort = MachineSort::Maker;
    q.descending = false;
    q.limit = 1;
    q.offset = 1;
    const MachinePage page = store->machines(q);
    EXPECT_EQ(page.total, 2u);
    ASSERT_EQ(page.machines.size(), 1u);
    EXPECT_EQ(page.machines[0].id, ids["muller"]);
}

TEST_P(StoreContract, KeepsAccountsAndSessions) {
    auto store = open();
    EXPECT_FALSE(store->account("ann"));
    store->putAccount("ann", "$argon2id$one");
    const auto ann = store->account("ann");
    ASSERT_TRUE(ann);
    EXPECT_EQ(ann->name, "ann");
    EXPECT_EQ(ann->passwordHash, "$argon2id$one");
    store->putAccount("ann", "$argon2id$two");  // a new password
    const auto changed = store->account("ann");
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->id, ann->id);
    EXPECT_EQ(changed->passwordHash, "$argon2id$two");
    store->putAccount("bob", "$argon2id$bob");
    EXPECT_NE(store->account("bob")->id, ann->id);
    EXPECT_FALSE(store->account("Ann"));

    const std::int64_t later = nowMs() + 3'600'000;
    store->putSession({"token-a", ann->id, later, "form-a"});
    store->putSession({"token-old", ann->id, nowMs() - 1, "form-old"});
    const auto s = store->session("token-a");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->tokenHash, "token-a");
    EXPECT_EQ(s->accountId, ann->id);
    EXPECT_EQ(s->expiresAtMs, later);
    EXPECT_EQ(s->formToken, "form-a");
    EXPECT_FALSE(store->session("token-old")) << "an expired session";
    EXPECT_FALSE(store->session("token-b"));
    store->putSession({"token-a", ann->id, later + 1, "form-renewed"});
    EXPECT_EQ(store->session("token-a")->formToken, "form-renewed");
    store->dropSession("token-a");
    EXPECT_FALSE(store->session("token-a"));
    store->dropSession("token-a");  // signing out twice is harmless
}

TEST_P(StoreContract, MigratesOnceAndKeepsDataAcrossReopening) {
    std::int64_t scanId = 0;
    {
        auto store = open();
        scanId = store->addScan(makeScan("kept", "K", 1000)).scanId;
        store->putAccount("ann", "hash");
    }
    const std::string rows = "SELECT count(*) FROM schema_version";
    const std::int64_t versions = rawInteger(rows);
    EXPECT_GE(versions, 1);
    EXPECT_EQ(rawInteger("SELECT count(DISTINCT version) FROM schema_version"), versions);
    EXPECT_EQ(rawInteger("SELECT min(version) FROM schema_version"), 1);
    EXPECT_EQ(rawInteger("SELECT max(version) FROM schema_version"), versions) << "no gaps";
    auto store = open();
    EXPECT_EQ(rawInteger(rows), versions) << "reopening applied a migration again";
    EXPECT_TRUE(store->scan(scanId));
    EXPECT_TRUE(store->account("ann"));
}

TEST_P(StoreContract, UpgradesADatabaseFromTheVersionBefore) {
    {
        auto store = open();
        for (int i = 0; i < 5; ++i) store->addScan(makeScan("u" + std::to_string(i), "k" + std::to_string(i % 3), i));
    }
    // Back to version 2, as a database written by the program before the machine count.
    rawExec(postgres() ? "DROP TRIGGER machine_count_change ON machines; DROP FUNCTION machine_count_change(); "
                         "DROP TABLE machine_count; DELETE FROM schema_version WHERE version = 3"
                       : "DROP TRIGGER machine_count_insert; DROP TRIGGER machine_count_delete; "
                         "DROP TABLE machine_count; DELETE FROM schema_version WHERE version = 3");
    auto store = open();
    EXPECT_EQ(rawInteger("SELECT max(version) FROM schema_version"), 3);
    EXPECT_EQ(store->machines({}).total, 3u) << "the count starts from the machines there are";
    store->addScan(makeScan("u-new", "", 10));
    EXPECT_EQ(store->machines({}).total, 4u);
    EXPECT_EQ(store->scans(std::nullopt).size(), 6u);
}

TEST_P(StoreContract, ReceiversStartingTogetherMigrateOnce) {
    constexpr int kReceivers = 6;
    std::vector<std::unique_ptr<Store>> stores(kReceivers);
    std::vector<std::string> errors(kReceivers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kReceivers; ++i)
        threads.emplace_back([&, i] {
            try {
                stores[i] = open();
            } catch (const std::exception& e) {
                errors[i] = e.what();
            }
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kReceivers; ++i) {
        EXPECT_EQ(errors[i], "") << "receiver " << i;
        EXPECT_TRUE(stores[i]) << "receiver " << i;
    }
    EXPECT_EQ(rawInteger("SELECT count(*) FROM schema_version"),
              rawInteger("SELECT count(DISTINCT version) FROM schema_version"));
    ASSERT_TRUE(stores[0] && stores[1]);
    const AddResult r = stores[0]->addScan(makeScan("shared", "k", 1));
    EXPECT_TRUE(stores[1]->addScan(makeScan("shared", "k", 1)).duplicate);
    EXPECT_EQ(stores[1]->machine(r.machineId)->scanCount, 1u);
}

TEST_P(StoreContract, RefusesADatabaseWithANewerSchema) {
    { auto store = open(); }
    rawExec("INSERT INTO schema_version (version, description, applied_at) "
            "VALUES (999999, 'from the future', 0)");
    try {
        open();
        FAIL() << "opened a database with a newer schema";
    } catch (const StorageError& e) {
        EXPECT_THAT(e.what(), HasSubstr("999999"));
        EXPECT_THAT(e.what(), HasSubstr("newer"));
    }
}

TEST_P(StoreContract, ReportsComeBackByteForByte) {
    auto store = open();
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?><HWInfo>";
    for (int i = 0; xml.size() < 5'000'000; ++i)
        xml += "<Win32_PhysicalMemory><Capacity>" + std::to_string(i * 7919) +
               "</Capacity><BankLabel>BANK " + std::to_string(i % 4) + "</BankLabel></Win32_PhysicalMemory>";
    xml += "</HWInfo>";
    std::string noise(5'000'000, '\0');
    std::mt19937 random(11);
    for (char& ch : noise) ch = static_cast<char>(random());
    std::string cp1252;  // every byte value, as an 8-bit code page sends them
    for (int b = 0; b < 256; ++b) cp1252 += static_cast<char>(b);
    cp1252 = "<HWInfo><Maker>Soci\xE9t\xE9 \x80 \x9F</Maker>" + cp1252 + "</HWInfo>";
    const std::vector<std::pair<std::string, std::string>> reports = {
        {"5 MB of XML", xml}, {"5 MB that does not compress", noise}, {"Windows-1252", cp1252}, {"empty", ""}};
    int n = 0;
    for (const auto& [name, bytes] : reports) {
        NewScan s = makeScan("r" + std::to_string(n++), "", 1000);
        s.reportBytes = bytes;
        s.encoding = "windows-1252";
        const AddResult r = store->addScan(s);
        const auto record = store->scan(r.scanId);
        ASSERT_TRUE(record) << name;
        EXPECT_TRUE(record->reportBytes == bytes) << name << ": " << record->reportBytes.size()
                                                  << " bytes back of " << bytes.size();
        if (name == "5 MB of XML") {
            EXPECT_LT(record->row.storedBytes, bytes.size() / 5);
        }
    }
}

TEST_P(StoreContract, TextThatIsNotUtf8IsStoredNotRefused) {
    auto store = open();
    NewScan s = makeScan("bad-text", std::string("key\xFF", 4), 1000,
                         columns(std::string("Fa\xE7" "ade\0X\0", 9), "M\xC3"));
    s.errors = std::string("\x80\x81", 2);
    const AddResult r = store->addScan(s);
    const auto record = store->scan(r.scanId);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->row.columns.maker, "Fa\xEF\xBF\xBD" "adeX");
    EXPECT_EQ(record->row.columns.model, "M\xEF\xBF\xBD");
    EXPECT_EQ(record->row.errors, "\xEF\xBF\xBD\xEF\xBF\xBD");
    // The cleaned key still identifies the machine.
    EXPECT_EQ(store->addScan(makeScan("bad-text-2", std::string("key\xFF", 4), 2000)).machineId, r.machineId);
}

TEST_P(StoreContract, ImportsManyScansAtOnce) {
    auto store = open();
    std::vector<NewScan> scans;
    for (int i = 0; i < 600; ++i)
        scans.push_back(makeScan("bulk-" + std::to_string(i), "key-" + std::to_string(i % 200), 1000 + i));
    scans.push_back(makeScan("bulk-7", "key-7", 1));  // a duplicate inside the same import
    const auto results = store->addScans(scans);
    ASSERT_EQ(results.size(), scans.size());
    EXPECT_TRUE(results.back().duplicate);
    EXPECT_EQ(results.back().scanId, results[7].scanId);
    EXPECT_EQ(store->machines({}).total, 200u);
    EXPECT_EQ(store->machine(results[0].machineId)->scanCount, 3u);
    EXPECT_EQ(store->scans(std::nullopt, 10'000).size(), 600u);
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreContract, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<std::string>& param) { return param.param; });

// --- SQLite only ---

TEST(SqliteStore, CreatesTheDataDirectoryForItsOwnerOnlyInWalMode) {
    TempDir dir;
    const fs::path data = dir.path() / "nested" / "data";
    {
        auto store = openStore({data.string(), ""});
        store->addScan(makeScan("d", "k", 1));
        EXPECT_THAT(store->describe(), HasSubstr("receiver.sqlite3"));
    }
    struct stat st {};
    ASSERT_EQ(::stat(data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((data / "receiver.sqlite3").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "wal");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

TEST(SqliteStore, RefusesWhatItCannotOpen) {
    TempDir dir;
    const fs::path file = dir.path() / "a-file";
    std::ofstream(file) << "not a directory";
    const fs::path garbage = dir.path() / "garbage";
    fs::create_directory(garbage);
    std::ofstream(garbage / "receiver.sqlite3") << std::string(8192, 'x');
    std::vector<std::pair<std::string, std::string>> cases = {
        {"a file where the directory should be", file.string()},
        {"a file where a parent should be", (file / "data").string()},
        {"a database file that is not one", garbage.string()},
    };
    if (::geteuid() != 0) {  // root writes anywhere
        const fs::path locked = dir.path() / "locked";
        fs::create_directory(locked);
        fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
        cases.emplace_back("a directory it may not write", locked.string());
    }
    for (const auto& [name, path] : cases)
        EXPECT_THROW(openStore({path, ""}), StorageError) << name;
}

TEST(OpenStore, RefusesLocationsThatNameNoDatabase) {
    EXPECT_THROW(openStore({}), StorageError);
    EXPECT_THROW(openStore({"/tmp/x", "postgresql:///db"}), StorageError);
    EXPECT_THROW(openStore({"", "mysql://host/db"}), StorageError);
    EXPECT_THROW(openStore({"", "postgresql://"
                                "/nowhere?host=/nonexistent-socket-directory&connect_timeout=2"}),
                 StorageError);
}

// --- PostgreSQL only: the server stops under the receiver and comes back ---

TEST(PostgresStore, AStoppedServerIsUnavailableThenUsedAgainWhenItReturns) {
    const char* control = std::getenv("GRAVELIN_TEST_POSTGRES_CTL");
    ASSERT_FALSE(postgresUri().empty() || !control)
        << "run through tests/storage/with-postgres.sh (ctest does)";
    postgresExec("DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
    auto store = openStore({"", postgresUri()});
    // Several pooled connections, all of which the stop breaks.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] { store->addScan(makeScan("before-" + std::to_string(t), "k", 1)); });
    for (auto& t : threads) t.join();

    ASSERT_EQ(std::system((std::string(control) + " stop").c_str()), 0);
    struct Call {
        const char* name;
        std::function<void()> run;
    };
    const std::vector<Call> calls = {
        {"addScan", [&] { store->addScan(makeScan("during", "k", 2)); }},
        {"machines", [&] { store->machines({}); }},
        {"scan", [&] { store->scan(1); }},
        {"session", [&] { store->session("x"); }},
        {"probe", [&] { store->probe(); }},
    };
    for (const Call& call : calls) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(call.run(), StorageUnavailable) << call.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << call.name;
    }

    ASSERT_EQ(std::system((std::string(control) + " start").c_str()), 0);
    const AddResult after = store->addScan(makeScan("after", "k", 3));
    EXPECT_FALSE(after.duplicate);
    const auto machine = store->machine(after.machineId);
    ASSERT_TRUE(machine);
    EXPECT_EQ(machine->scanCount, 5u) << "four before the stop, none during, one after";
    store->probe();
}

}  // namespace
}  // namespace gravelin::storage
