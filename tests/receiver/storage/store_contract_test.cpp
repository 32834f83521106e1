// The store's contract, one suite run against both engines: SQLite in a temporary
// directory, PostgreSQL on the server that tests/receiver/storage/with-postgres.sh starts (the
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
#include <condition_variable>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <random>
#include <signal.h>
#include <sstream>
#include <set>
#include <thread>
#include <tuple>

#include "reading/Fingerprint.h"
#include "reading/SummaryJson.h"
#include "reading/SurveyFacets.h"
#include "receiver/storage/FailureLog.h"
#include "receiver/storage/Retention.h"
#include "receiver/storage/Store.h"
#include "receiver/storage/StoreInternal.h"

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

std::int64_t rawSqliteInteger(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    const std::int64_t value = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
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
                   "tests/receiver/storage/with-postgres.sh (ctest does)";
            // A clean database for every test.
            postgresExec("DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
        }
    }

    StoreLocation location() const {
        StoreLocation l;
        if (postgres())
            l.databaseUri = postgresUri();
        else
            l.dataDirectory = (dir_.path() / data_).string();
        return l;
    }

    std::unique_ptr<Store> open() const { return openStore(location()); }

    void rawExec(const std::string& sql) const {
        if (postgres())
            postgresExec(sql);
        else
            sqliteExec(dir_.path() / data_ / "receiver.sqlite3", sql);
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
        sqlite3_open((dir_.path() / data_ / "receiver.sqlite3").c_str(), &db);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
        const std::int64_t value = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return value;
    }

    TempDir dir_;
    std::string data_ = "data";  // the SQLite data directory under dir_
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

// The hardware of a scan, in the stored form.
std::string hardware(const std::string& board, const std::string& processor, std::uint64_t memoryGiB,
                     std::set<std::string> modules, std::set<std::string> disks) {
    identity::Fingerprint f;
    f.boardSerial = board;
    f.processors = {processor};
    f.memoryBytes = memoryGiB << 30;
    f.moduleSerials = std::move(modules);
    f.diskSerials = std::move(disks);
    return identity::encodeFingerprint(f);
}

// A report of other hardware claiming a machine's identity is stored, in the machine's
// history, but takes nothing of the machine until accepted.
TEST_P(StoreContract, AScanOfOtherHardwareIsKeptApartUntilAccepted) {
    auto store = open();
    const std::string real = hardware("BOARD-1", "Xeon E5-2699", 64, {"M1", "M2"}, {"D1"});
    const std::string other = hardware("BOARD-X", "Core i3", 4, {"MX"}, {"DX"});
    NewScan first = makeScan("real-1", "K", 1000, columns("Dell Inc.", "PowerEdge R630", "Xeon E5-2699"));
    first.fingerprint = real;
    const AddResult a = store->addScan(first);
    EXPECT_FALSE(a.conflicting);
    // The same hardware again, one module and the disk replaced: the same machine.
    NewScan again = makeScan("real-2", "K", 2000, columns("Dell Inc.", "PowerEdge R630", "Xeon E5-2699"));
    again.fingerprint = hardware("BOARD-1", "Xeon E5-2699", 64, {"M1", "M3"}, {"D2"});
    const AddResult b = store->addScan(again);
    EXPECT_FALSE(b.conflicting);

    NewScan forged = makeScan("forged", "K", 3000, columns("Forger", "Laptop", "Core i3", 2));
    forged.remoteAddress = "203.0.113.66";
    forged.fingerprint = other;
    const AddResult f = store->addScan(forged);
    EXPECT_TRUE(f.conflicting);
    EXPECT_FALSE(f.duplicate);
    EXPECT_EQ(f.machineId, a.machineId) << "in the machine's history";
    EXPECT_TRUE(store->addScan(forged).duplicate) << "posting it again stores nothing new";

    auto machine = store->machine(a.machineId);
    ASSERT_TRUE(machine);
    EXPECT_EQ(machine->latestScanId, b.scanId);
    EXPECT_EQ(machine->latest.maker, "Dell Inc.");
    EXPECT_EQ(machine->latest.processor, "Xeon E5-2699");
    EXPECT_EQ(machine->lastSeenMs, 2000);
    EXPECT_EQ(machine->scanCount, 3u);
    EXPECT_EQ(store->machines({"forger"}).total, 0u) << "the claim's columns are searchable";
    const auto history = store->scans(a.machineId);
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0].id, f.scanId);
    EXPECT_EQ(history[0].conflict, ScanConflict::Conflicting);
    EXPECT_EQ(history[0].remoteAddress, "203.0.113.66");
    EXPECT_EQ(history[1].conflict, ScanConflict::None);
    EXPECT_EQ(store->scan(f.scanId)->row.conflict, ScanConflict::Conflicting);

    // The real machine posts again: compared with its own latest scan, not with the claim.
    NewScan later = makeScan("real-3", "K", 4000, columns("Dell Inc.", "PowerEdge R630", "Xeon E5-2699"));
    later.fingerprint = real;
    EXPECT_FALSE(store->addScan(later).conflicting);
    // An older conflicting scan accepted: it is the machine's, the newer stays shown.
    EXPECT_EQ(store->acceptScan(f.scanId), Acceptance::Accepted);
    EXPECT_EQ(store->scan(f.scanId)->row.conflict, ScanConflict::Accepted);
    EXPECT_EQ(store->machine(a.machineId)->latest.maker, "Dell Inc.");
    EXPECT_EQ(store->acceptScan(f.scanId), Acceptance::NothingToAccept);
    EXPECT_EQ(store->acceptScan(a.scanId), Acceptance::NothingToAccept);
    EXPECT_EQ(store->acceptScan(999999), Acceptance::NoSuchScan);

    // The machine was rebuilt: its newest scan, once accepted, is what it shows.
    NewScan rebuilt = makeScan("rebuilt", "K", 5000, columns("Dell Inc.", "PowerEdge R640", "Xeon Silver 4114", 10));
    rebuilt.fingerprint = other;
    const AddResult r = store->addScan(rebuilt);
    ASSERT_TRUE(r.conflicting);
    EXPECT_EQ(store->acceptScan(r.scanId), Acceptance::AcceptedAsLatest);
    machine = store->machine(a.machineId);
    EXPECT_EQ(machine->latestScanId, r.scanId);
    EXPECT_EQ(machine->latest.model, "PowerEdge R640");
    EXPECT_EQ(machine->latest.cores, 10u);
    EXPECT_EQ(machine->lastSeenMs, 5000);
    EXPECT_EQ(store->machines({"silver"}).total, 1u) << "the search follows the accepted scan";
    // From now on the rebuilt hardware is the machine's.
    NewScan next = makeScan("rebuilt-2", "K", 6000);
    next.fingerprint = other;
    EXPECT_FALSE(store->addScan(next).conflicting);
}

AuditEntry entry(std::string_view action, std::string target) {
    return {0, nowMs(), "cli:test", std::string(action), std::move(target), "", ""};
}

std::size_t auditCount(Store& store, std::string_view action) {
    AuditQuery q;
    q.action = std::string(action);
    return store.auditEntries(q).size();
}

// Merging: every scan, note and alias of the machine merged away goes to the one kept, whose
// fields are made again from all its scans; the keys of both (and of what was merged into
// the one merged away) lead to it from then on.
TEST_P(StoreContract, MergingMovesEveryScanAndLeadsTheKeysToTheMachineKept) {
    auto store = open();
    const AddResult a1 = store->addScan(makeScan("a1", "KA", 1000, columns("Acme", "Old", "P1")));
    store->addScan(makeScan("a2", "KA", 3000, columns("Acme", "Old", "P1")));
    const AddResult b1 = store->addScan(makeScan("b1", "KB", 500, columns("Bolt", "Older", "P2")));
    const AddResult b2 = store->addScan(makeScan("b2", "KB", 4000, columns("Bolt", "Newest", "P2")));
    const AddResult c1 = store->addScan(makeScan("c1", "KC", 2000, columns("Coil", "Mid", "P3")));
    ASSERT_TRUE(store->addNote({0, b1.machineId, 10, "ann", "moved to room 4", ""},
                               entry(audit::kNoteAdded, "machine b")));

    ASSERT_EQ(store->mergeMachines(b1.machineId, c1.machineId, entry(audit::kMachinesMerged, "b<-c")).result,
              MergeResult::Merged);
    const Merge merge = store->mergeMachines(a1.machineId, b1.machineId, entry(audit::kMachinesMerged, "a<-b"));
    EXPECT_EQ(merge.result, MergeResult::Merged);
    EXPECT_EQ(merge.scansMoved, 3u) << "b's two scans and the one c brought";
    EXPECT_FALSE(store->machine(b1.machineId));
    EXPECT_FALSE(store->machine(c1.machineId));
    auto kept = store->machine(a1.machineId);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->scanCount, 5u);
    EXPECT_EQ(kept->firstSeenMs, 500);
    EXPECT_EQ(kept->lastSeenMs, 4000);
    EXPECT_EQ(kept->latestScanId, b2.scanId);
    EXPECT_EQ(kept->latest.model, "Newest");
    EXPECT_EQ(kept->identityKey, "KA");
    EXPECT_EQ(store->machines({}).total, 1u) << "the count follows the machines deleted";
    EXPECT_EQ(store->machines({"newest"}).total, 1u) << "the search follows the new latest";
    EXPECT_EQ(store->machines({"old"}).total, 0u);
    EXPECT_EQ(store->scans(a1.machineId).size(), 5u);
    ASSERT_EQ(store->notes(a1.machineId).size(), 1u);
    EXPECT_EQ(store->notes(a1.machineId)[0].text, "moved to room 4");

    // Later scans claiming either key merged away land on the machine kept.
    for (const char* key : {"KB", "KC"}) {
        SCOPED_TRACE(key);
        const AddResult later = store->addScan(makeScan(std::string("late-") + key, key, 9000));
        EXPECT_EQ(later.machineId, a1.machineId);
        EXPECT_EQ(store->scan(later.scanId)->row.identityKey, key) << "the scan keeps its claim";
        EXPECT_EQ(store->machineForKey(key), a1.machineId);
    }
    EXPECT_EQ(store->machines({}).total, 1u);
    EXPECT_EQ(store->machine(a1.machineId)->scanCount, 7u);

    // Refusals change nothing and record nothing.
    EXPECT_EQ(store->mergeMachines(a1.machineId, a1.machineId, entry(audit::kMachinesMerged, "x")).result,
              MergeResult::SameMachine);
    EXPECT_EQ(store->mergeMachines(a1.machineId, 999999, entry(audit::kMachinesMerged, "x")).result,
              MergeResult::NoSuchMachine);
    EXPECT_EQ(store->mergeMachines(999999, a1.machineId, entry(audit::kMachinesMerged, "x")).result,
              MergeResult::NoSuchMachine);
    EXPECT_EQ(auditCount(*store, audit::kMachinesMerged), 2u);
    EXPECT_EQ(store->machine(a1.machineId)->scanCount, 7u);

    // A machine without a key takes the key of the one merged into it.
    const AddResult loose = store->addScan(makeScan("loose", "", 100));
    const AddResult keyed = store->addScan(makeScan("keyed", "KY", 200));
    ASSERT_EQ(store->mergeMachines(loose.machineId, keyed.machineId, entry(audit::kMachinesMerged, "l<-y")).result,
              MergeResult::Merged);
    EXPECT_EQ(store->machine(loose.machineId)->identityKey, "KY");
    EXPECT_EQ(store->addScan(makeScan("keyed-2", "KY", 300)).machineId, loose.machineId);
}

// Receivers storing scans of a machine while it is merged away: each scan lands on a machine
// that exists, and those after the merge on the machine kept.
TEST_P(StoreContract, ScansOfAMachineBeingMergedAwayNeverLandOnItDeleted) {
    auto store = open();
    auto other = open();  // PostgreSQL: another receiver's connections
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const std::string r = std::to_string(round);
        const AddResult kept = store->addScan(makeScan("kept-" + r, "KEEP" + r, 1));
        const AddResult away = store->addScan(makeScan("away-" + r, "AWAY" + r, 1));
        std::vector<std::thread> posters;
        std::vector<std::vector<AddResult>> results(4);
        for (int t = 0; t < 4; ++t) {
            posters.emplace_back([&, t] {
                for (int i = 0; i < 25; ++i) {
                    Store& target = t % 2 ? *other : *store;
                    results[static_cast<std::size_t>(t)].push_back(target.addScan(makeScan(
                        "p" + r + "-" + std::to_string(t) + "-" + std::to_string(i), "AWAY" + r, 10 + i)));
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(other->mergeMachines(kept.machineId, away.machineId, entry(audit::kMachinesMerged, "m")).result,
                  MergeResult::Merged);
        for (auto& p : posters) p.join();
        EXPECT_FALSE(store->machine(away.machineId));
        for (const auto& list : results)
            for (const AddResult& added : list) {
                const auto row = store->scan(added.scanId);
                ASSERT_TRUE(row);
                EXPECT_EQ(row->row.machineId, kept.machineId) << "scan " << added.scanId;
            }
        EXPECT_EQ(store->machine(kept.machineId)->scanCount, 102u);
        EXPECT_EQ(rawInteger("SELECT count(*) FROM scans WHERE machine_id NOT IN (SELECT id FROM machines)"), 0);
    }
}

// Splitting a scan off: it becomes a machine of its own with its columns and no key; its
// machine is made again from the scans it keeps. The conflicting list shows what differs.
TEST_P(StoreContract, ASplitScanGetsAMachineOfItsOwnAndItsMachineIsMadeAgain) {
    auto store = open();
    const std::string real = hardware("BOARD-1", "Xeon", 64, {"M1"}, {"D1"});
    const std::string other = hardware("BOARD-X", "Core i3", 4, {"MX"}, {"DX"});
    NewScan s1 = makeScan("s1", "K", 1000, columns("Dell", "R630", "Xeon"));
    NewScan s2 = makeScan("s2", "K", 2000, columns("Dell", "R640", "Xeon"));
    NewScan forged = makeScan("forged", "K", 3000, columns("Forger", "Laptop", "Core i3"));
    s1.fingerprint = s2.fingerprint = real;
    forged.fingerprint = other;
    const AddResult a = store->addScan(s1);
    const AddResult b = store->addScan(s2);
    const AddResult f = store->addScan(forged);
    ASSERT_TRUE(f.conflicting);

    const auto conflicting = store->conflictingScans(10);
    ASSERT_EQ(conflicting.size(), 1u);
    EXPECT_EQ(conflicting[0].row.id, f.scanId);
    EXPECT_EQ(conflicting[0].row.machineId, a.machineId);
    EXPECT_EQ(conflicting[0].fingerprint, other);
    EXPECT_EQ(conflicting[0].machineFingerprint, real);

    // The machine's latest scan split off: the one before takes its place.
    const Split latest = store->splitScan(b.scanId, entry(audit::kScanSplit, "s2"));
    ASSERT_EQ(latest.result, SplitResult::Split);
    const auto own = store->machine(latest.machineId);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->identityKey, "");
    EXPECT_EQ(own->scanCount, 1u);
    EXPECT_EQ(own->latestScanId, b.scanId);
    EXPECT_EQ(own->latest.model, "R640");
    EXPECT_EQ(own->firstSeenMs, 2000);
    EXPECT_EQ(own->lastSeenMs, 2000);
    auto left = store->machine(a.machineId);
    EXPECT_EQ(left->scanCount, 2u);
    EXPECT_EQ(left->latestScanId, a.scanId) << "not the conflicting scan";
    EXPECT_EQ(left->latest.model, "R630");
    EXPECT_EQ(left->lastSeenMs, 1000);
    EXPECT_EQ(store->machines({"r640"}).total, 1u);

    // The conflicting scan split off is no longer conflicting.
    const Split claim = store->splitScan(f.scanId, entry(audit::kScanSplit, "forged"));
    ASSERT_EQ(claim.result, SplitResult::Split);
    EXPECT_EQ(store->scan(f.scanId)->row.conflict, ScanConflict::None);
    EXPECT_EQ(store->machine(claim.machineId)->latest.maker, "Forger");
    EXPECT_TRUE(store->conflictingScans(10).empty());

    EXPECT_EQ(store->splitScan(a.scanId, entry(audit::kScanSplit, "x")).result, SplitResult::AloneAlready);
    EXPECT_EQ(store->splitScan(999999, entry(audit::kScanSplit, "x")).result, SplitResult::NoSuchScan);
    EXPECT_EQ(auditCount(*store, audit::kScanSplit), 2u);
    EXPECT_EQ(store->machines({}).total, 3u);
    // The key stays with the history: the next scan claiming it goes there.
    NewScan next = makeScan("s3", "K", 4000, columns("Dell", "R630", "Xeon"));
    next.fingerprint = real;
    const AddResult n = store->addScan(next);
    EXPECT_EQ(n.machineId, a.machineId);
    EXPECT_FALSE(n.conflicting);
}

// A scan stored under a new key: to the machine the key leads to, or a new one; a machine
// left without scans is deleted and its notes follow the scan.
TEST_P(StoreContract, AScanMovedUnderANewKeyFindsItsMachine) {
    auto store = open();
    const AddResult a = store->addScan(makeScan("m1", "OLD", 1000, columns("A", "One")));
    const AddResult b = store->addScan(makeScan("m2", "OLD", 2000, columns("A", "Two")));
    store->addNote({0, a.machineId, 1, "ann", "keep", "https://tickets.example/1"}, entry(audit::kNoteAdded, "n"));

    const Move first = store->moveScan(b.scanId, "NEW", "serial", entry(audit::kScanSplit, "m2"));
    EXPECT_TRUE(first.moved);
    EXPECT_EQ(first.fromMachine, a.machineId);
    EXPECT_NE(first.toMachine, a.machineId);
    EXPECT_EQ(store->machine(first.toMachine)->identityKey, "NEW");
    EXPECT_EQ(store->machine(a.machineId)->latest.model, "One");
    EXPECT_EQ(store->scan(b.scanId)->row.identityKey, "NEW");
    EXPECT_EQ(store->machineForKey("NEW"), first.toMachine);

    const Move second = store->moveScan(a.scanId, "NEW", "serial", entry(audit::kScanSplit, "m1"));
    EXPECT_TRUE(second.moved);
    EXPECT_EQ(second.toMachine, first.toMachine);
    EXPECT_FALSE(store->machine(a.machineId)) << "left without scans";
    const auto target = store->machine(first.toMachine);
    EXPECT_EQ(target->scanCount, 2u);
    EXPECT_EQ(target->firstSeenMs, 1000);
    EXPECT_EQ(target->latest.model, "Two");
    ASSERT_EQ(store->notes(first.toMachine).size(), 1u) << "the notes follow the last scan";

    const Move again = store->moveScan(a.scanId, "NEW", "serial", entry(audit::kScanSplit, "m1"));
    EXPECT_TRUE(again.found);
    EXPECT_FALSE(again.moved) << "already where its key leads";
    // No key: a machine of its own, without one.
    const Move loose = store->moveScan(a.scanId, "", "none", entry(audit::kScanSplit, "m1"));
    EXPECT_TRUE(loose.moved);
    EXPECT_EQ(store->machine(loose.toMachine)->identityKey, "");
    EXPECT_FALSE(store->moveScan(a.scanId, "", "none", entry(audit::kScanSplit, "m1")).moved);
    EXPECT_FALSE(store->moveScan(999999, "X", "serial", entry(audit::kScanSplit, "x")).found);
    EXPECT_EQ(store->scanIds(0, 10), (std::vector<std::int64_t>{a.scanId, b.scanId}));
    EXPECT_EQ(store->scanIds(a.scanId, 10), (std::vector<std::int64_t>{b.scanId}));
}

TEST_P(StoreContract, PlaceholdersAreBoundedAndNotesGoWithTheirMachine) {
    auto store = open();
    EXPECT_EQ(store->addPlaceholder({"ABC123", "ann", 5}, entry(audit::kPlaceholderAdded, "ABC123")),
              PlaceholderChange::Added);
    EXPECT_EQ(store->addPlaceholder({"ABC123", "bob", 6}, entry(audit::kPlaceholderAdded, "ABC123")),
              PlaceholderChange::AlreadyThere);
    auto listed = store->placeholders();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].value, "ABC123");
    EXPECT_EQ(listed[0].addedBy, "ann");
    EXPECT_EQ(listed[0].addedAtMs, 5);
    EXPECT_TRUE(store->deletePlaceholder("ABC123", entry(audit::kPlaceholderDeleted, "ABC123")));
    EXPECT_FALSE(store->deletePlaceholder("ABC123", entry(audit::kPlaceholderDeleted, "ABC123")));
    EXPECT_EQ(auditCount(*store, audit::kPlaceholderAdded), 1u);
    EXPECT_EQ(auditCount(*store, audit::kPlaceholderDeleted), 1u);
    for (std::size_t i = 0; i < kMaxPlaceholders; ++i)
        ASSERT_EQ(store->addPlaceholder({"V" + std::to_string(i), "ann", 1}, entry(audit::kPlaceholderAdded, "v")),
                  PlaceholderChange::Added);
    EXPECT_EQ(store->addPlaceholder({"ONE-TOO-MANY", "ann", 1}, entry(audit::kPlaceholderAdded, "v")),
              PlaceholderChange::Full);
    EXPECT_EQ(store->placeholders().size(), kMaxPlaceholders);

    const AddResult m = store->addScan(makeScan("n1", "K", 1));
    EXPECT_TRUE(store->addNote({0, m.machineId, 7, "ann", "<b>disk swapped</b>", "https://t.example/9"},
                               entry(audit::kNoteAdded, "n")));
    EXPECT_FALSE(store->addNote({0, 999999, 7, "ann", "lost", ""}, entry(audit::kNoteAdded, "n")));
    for (const char* link : {"javascript:alert(1)", "http://t.example/1", "https://", "https://a b"})
        EXPECT_THROW(store->addNote({0, m.machineId, 7, "ann", "x", link}, entry(audit::kNoteAdded, "n")),
                     std::invalid_argument)
            << link;
    EXPECT_THROW(store->addNote({0, m.machineId, 7, "ann", std::string(kMaxNoteBytes + 1, 'x'), ""},
                                entry(audit::kNoteAdded, "n")),
                 std::invalid_argument);
    const auto notes = store->notes(m.machineId);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].text, "<b>disk swapped</b>");
    EXPECT_EQ(notes[0].link, "https://t.example/9");
    EXPECT_EQ(notes[0].author, "ann");
    EXPECT_EQ(notes[0].atMs, 7);
    EXPECT_EQ(auditCount(*store, audit::kNoteAdded), 1u) << "refused notes are not recorded";
    // Deleting a machine deletes its notes and the keys merged into it.
    rawExec(std::string(postgres() ? "" : "PRAGMA foreign_keys = ON; ") +
            "DELETE FROM scans; DELETE FROM machines");
    EXPECT_EQ(rawInteger("SELECT count(*) FROM machine_notes"), 0);
}

TEST_P(StoreContract, ApiTokensAreFoundByHashRevokedOnceAndKeepTheirNames) {
    auto store = open();
    ApiToken ci{0, "ci", std::string(64, 'a'), Role::Viewer, "cli:root", 1000, 5000, 0, 0};
    ASSERT_TRUE(store->addApiToken(ci, entry(audit::kTokenAdded, "token ci")));
    ApiToken again = ci;
    again.tokenHash = std::string(64, 'b');
    EXPECT_FALSE(store->addApiToken(again, entry(audit::kTokenAdded, "token ci")))
        << "a name is one token's";
    ApiToken ops{0, "ops", std::string(64, 'c'), Role::Admin, "ann", 2000, 0, 0, 0};
    ASSERT_TRUE(store->addApiToken(ops, entry(audit::kTokenAdded, "token ops")));
    EXPECT_EQ(auditCount(*store, audit::kTokenAdded), 2u) << "a refused token is not recorded";

    const auto found = store->apiTokenWithHash(std::string(64, 'a'));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->name, "ci");
    EXPECT_EQ(found->role, Role::Viewer);
    EXPECT_EQ(found->createdBy, "cli:root");
    EXPECT_EQ(found->createdAtMs, 1000);
    EXPECT_EQ(found->expiresAtMs, 5000);
    EXPECT_EQ(found->lastUsedMs, 0);
    EXPECT_FALSE(store->apiTokenWithHash(std::string(64, 'b')));

    // Uses only move the last use forward, each with its entry.
    store->noteApiTokenUse(found->id, 9000, entry(audit::kApiUsed, "GET /api/v1/machines"));
    store->noteApiTokenUse(found->id, 8000, entry(audit::kApiUsed, "GET /api/v1/machines"));
    EXPECT_EQ(store->apiTokenWithHash(std::string(64, 'a'))->lastUsedMs, 9000);
    EXPECT_EQ(store->apiTokenWithHash(std::string(64, 'c'))->lastUsedMs, 0) << "the other token";
    EXPECT_EQ(auditCount(*store, audit::kApiUsed), 2u);

    EXPECT_EQ(store->revokeApiToken("ci", 10000, entry(audit::kTokenRevoked, "token ci")),
              TokenRevocation::Revoked);
    EXPECT_EQ(store->revokeApiToken("ci", 11000, entry(audit::kTokenRevoked, "token ci")),
              TokenRevocation::AlreadyRevoked);
    EXPECT_EQ(store->revokeApiToken("nobody", 11000, entry(audit::kTokenRevoked, "x")),
              TokenRevocation::NoSuchToken);
    EXPECT_EQ(auditCount(*store, audit::kTokenRevoked), 1u);
    const auto listed = store->apiTokens();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, "ci");
    EXPECT_EQ(listed[0].revokedAtMs, 10000) << "revoked once, at the first time";
    EXPECT_EQ(listed[1].name, "ops");
    EXPECT_EQ(listed[1].role, Role::Admin);
    EXPECT_EQ(listed[1].revokedAtMs, 0);
    EXPECT_FALSE(store->addApiToken(again, entry(audit::kTokenAdded, "token ci")))
        << "a revoked token keeps its name";
}

// What the list must show for each sort, computed here from what was stored.
struct Expected {
    std::int64_t id = 0;
    ScanColumns c;
    std::int64_t lastSeen = 0;
    std::uint64_t scans = 0;
};

// Machines with small value sets, so that ties (broken by id) are common, and empty
// makers; what the list must show of each.
std::map<std::int64_t, Expected> addSortFixture(Store& store) {
    std::mt19937 random(7);
    const std::vector<std::string> makers = {"Dell Inc.", "HP", "LENOVO", "ASUSTeK", "Acer", ""};
    std::map<std::int64_t, Expected> expected;
    for (int i = 0; i < 23; ++i) {
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
            r = store.addScan(makeScan(key + "-" + std::to_string(s), key, seen - s, c));
        expected[r.machineId] = Expected{r.machineId, c, seen, static_cast<std::uint64_t>(scans)};
    }
    return expected;
}

using SortKey = std::variant<std::int64_t, std::string>;
// Each sort the list offers and the value it orders by, as the store was given it.
const std::vector<std::pair<MachineSort, std::function<SortKey(const Expected&)>>>& sortKeys() {
    using Key = SortKey;
    static const std::vector<std::pair<MachineSort, std::function<Key(const Expected&)>>> sorts = {
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
    return sorts;
}

// The ids in the list's order for a sort, of the machines `keep` lets through.
std::vector<std::int64_t> listOrder(const std::map<std::int64_t, Expected>& expected,
                                    const std::function<SortKey(const Expected&)>& key, bool descending,
                                    const std::function<bool(const Expected&)>& keep) {
    std::vector<Expected> order;
    for (const auto& [id, e] : expected)
        if (keep(e)) order.push_back(e);
    std::sort(order.begin(), order.end(), [&](const Expected& a, const Expected& b) {
        const auto ka = std::make_pair(key(a), a.id), kb = std::make_pair(key(b), b.id);
        return descending ? kb < ka : ka < kb;
    });
    std::vector<std::int64_t> ids;
    for (const Expected& e : order) ids.push_back(e.id);
    return ids;
}

TEST_P(StoreContract, PagesThroughEverySortInBothDirections) {
    auto store = open();
    const std::map<std::int64_t, Expected> expected = addSortFixture(*store);
    const auto& sorts = sortKeys();
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

// Keyset pages: walking forward from the start after each page's last row, and backward
// from the end before each page's first row, gives every machine exactly once and in the
// list's order, for every sort, both directions, with and without a search.
TEST_P(StoreContract, KeysetPagesWalkEverySortBothWays) {
    auto store = open();
    const std::map<std::int64_t, Expected> expected = addSortFixture(*store);
    for (const std::string search : {"", "model", "WINDOWS"})
    for (const auto& [sort, key] : sortKeys())
    for (const bool descending : {false, true}) {
        const std::vector<std::int64_t> want = listOrder(expected, key, descending, [&](const Expected& e) {
            return search != "WINDOWS" || e.c.os == "Windows 11";
        });
        const std::string what = "sort " + std::to_string(static_cast<int>(sort)) +
                                 (descending ? " desc" : " asc") + " search \"" + search + "\"";
        MachineQuery q;
        q.search = search;
        q.sort = sort;
        q.descending = descending;
        q.limit = 5;
        std::vector<std::int64_t> forward;
        for (int pages = 0; pages < 10; ++pages) {
            const MachinePage page = store->machines(q);
            EXPECT_EQ(page.total, want.size()) << what;
            EXPECT_EQ(page.moreBefore, q.from != PageFrom::Start) << what;
            for (const MachineRow& m : page.machines) forward.push_back(m.id);
            if (!page.moreAfter) break;
            ASSERT_EQ(page.machines.size(), 5u) << what;
            q.from = PageFrom::After;
            q.key = keyOf(page.machines.back(), sort);
        }
        EXPECT_EQ(forward, want) << what << " forward";

        q.from = PageFrom::End;
        std::vector<std::int64_t> backward;
        for (int pages = 0; pages < 10; ++pages) {
            const MachinePage page = store->machines(q);
            EXPECT_EQ(page.moreAfter, q.from != PageFrom::End) << what;
            std::vector<std::int64_t> ids;
            for (const MachineRow& m : page.machines) ids.push_back(m.id);
            if (q.from == PageFrom::End) {
                // The last page holds the last rows, in the list's order.
                const std::size_t n = std::min<std::size_t>(5, want.size());
                EXPECT_EQ(ids, std::vector<std::int64_t>(want.end() - static_cast<std::ptrdiff_t>(n), want.end()))
                    << what;
            }
            backward.insert(backward.begin(), ids.begin(), ids.end());
            if (!page.moreBefore) break;
            ASSERT_EQ(page.machines.size(), 5u) << what;
            q.from = PageFrom::Before;
            q.key = keyOf(page.machines.front(), sort);
        }
        EXPECT_EQ(backward, want) << what << " backward";
    }
}

// A machine's number is its name in links, the audit log, the API and webhooks: deleting the
// newest machine must not hand its number to the next one (nor may a reopened store).
TEST_P(StoreContract, ADeletedMachinesNumberIsNeverGivenAgain) {
    std::int64_t newest = 0;
    {
        auto store = open();
        store->addScan(makeScan("n1", "number-1", 1));
        newest = store->addScan(makeScan("n2", "number-2", 2)).machineId;
        ASSERT_TRUE(store->deleteMachine(newest, entry(audit::kMachineDeleted, "machine")));
        const std::int64_t next = store->addScan(makeScan("n3", "number-3", 3)).machineId;
        EXPECT_GT(next, newest);
        ASSERT_TRUE(store->deleteMachine(next, entry(audit::kMachineDeleted, "machine")));
        newest = next;
    }
    auto reopened = open();
    EXPECT_GT(reopened->addScan(makeScan("n4", "number-4", 4)).machineId, newest);
}

// A page read from a row's place is the same whatever happened elsewhere in the list: a
// machine added or deleted between two pages neither repeats a row already shown nor skips
// one not yet shown, even when the row the place was taken from is itself deleted.
TEST_P(StoreContract, KeysetPagesNeitherRepeatNorSkipWhenMachinesComeAndGo) {
    auto store = open();
    std::map<std::int64_t, Expected> expected = addSortFixture(*store);
    for (const bool descending : {false, true}) {
        for (const auto& [sort, key] : sortKeys()) {
            const std::string what = "sort " + std::to_string(static_cast<int>(sort)) +
                                     (descending ? " desc" : " asc");
            const auto everyone = [](const Expected&) { return true; };
            const std::vector<std::int64_t> before = listOrder(expected, key, descending, everyone);
            MachineQuery q;
            q.sort = sort;
            q.descending = descending;
            q.limit = 5;
            const MachinePage first = store->machines(q);
            ASSERT_EQ(first.machines.size(), 5u) << what;
            // Between the pages: the page's last row is deleted, so is a row further on, and
            // two machines arrive, one sorting like a row shown and one like the row deleted
            // further on (which the next pages must show once).
            const std::int64_t gone = first.machines.back().id, later = before.at(12);
            const Expected shownLike = expected.at(first.machines.front().id);
            const Expected laterLike = expected.at(later);
            ASSERT_TRUE(store->deleteMachine(gone, entry(audit::kMachineDeleted, "m")));
            ASSERT_TRUE(store->deleteMachine(later, entry(audit::kMachineDeleted, "m")));
            expected.erase(gone);
            expected.erase(later);
            for (const Expected& like : {shownLike, laterLike}) {
                const std::string newKey = "newcomer-" + std::to_string(expected.size()) + what;
                const AddResult added = store->addScan(makeScan(newKey, newKey, like.lastSeen, like.c));
                expected[added.machineId] = Expected{added.machineId, like.c, like.lastSeen, 1};
            }

            q.from = PageFrom::After;
            q.key = keyOf(first.machines.back(), sort);
            std::vector<std::int64_t> rest;
            for (int pages = 0; pages < 10; ++pages) {
                const MachinePage page = store->machines(q);
                for (const MachineRow& m : page.machines) rest.push_back(m.id);
                if (!page.moreAfter) break;
                q.key = keyOf(page.machines.back(), sort);
            }
            // Exactly the machines there now that come after the first page's last place.
            const std::vector<std::int64_t> now = listOrder(expected, key, descending, everyone);
            std::vector<std::int64_t> want;
            const auto place = std::make_pair(key(Expected{gone, first.machines.back().latest,
                                                           first.machines.back().lastSeenMs,
                                                           first.machines.back().scanCount}),
                                              gone);
            for (const std::int64_t id : now) {
                const auto k = std::make_pair(key(expected.at(id)), id);
                if (descending ? k < place : place < k) want.push_back(id);
            }
            EXPECT_EQ(rest, want) << what;
            for (const MachineRow& m : first.machines)
                EXPECT_EQ(std::count(rest.begin(), rest.end(), m.id), 0) << what << ": shown twice";
            for (const std::int64_t id : before) {
                if (id == gone || id == later) continue;
                const bool shown = std::any_of(first.machines.begin(), first.machines.end(),
                                               [&](const MachineRow& m) { return m.id == id; });
                EXPECT_EQ(shown + std::count(rest.begin(), rest.end(), id), 1) << what << ": machine " << id;
            }
        }
    }
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
    store->putAccount("ann", "$argon2id$one", Role::Admin);
    const auto ann = store->account("ann");
    ASSERT_TRUE(ann);
    EXPECT_EQ(ann->name, "ann");
    EXPECT_EQ(ann->passwordHash, "$argon2id$one");
    store->putAccount("ann", "$argon2id$two", Role::Admin);  // a new password
    const auto changed = store->account("ann");
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->id, ann->id);
    EXPECT_EQ(changed->passwordHash, "$argon2id$two");
    store->putAccount("bob", "$argon2id$bob", Role::Admin);
    EXPECT_NE(store->account("bob")->id, ann->id);
    EXPECT_FALSE(store->account("Ann"));

    const std::int64_t later = nowMs() + 3'600'000;
    store->putSession({"token-a", ann->id, later, "form-a", ""});
    store->putSession({"token-old", ann->id, nowMs() - 1, "form-old", ""});
    const auto s = store->session("token-a");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->tokenHash, "token-a");
    EXPECT_EQ(s->accountId, ann->id);
    EXPECT_EQ(s->expiresAtMs, later);
    EXPECT_EQ(s->formToken, "form-a");
    EXPECT_EQ(s->accountName, "ann");
    EXPECT_FALSE(store->session("token-old")) << "an expired session";
    EXPECT_FALSE(store->session("token-b"));
    store->putSession({"token-a", ann->id, later + 1, "form-renewed", ""});
    EXPECT_EQ(store->session("token-a")->formToken, "form-renewed");
    store->dropSession("token-a");
    EXPECT_FALSE(store->session("token-a"));
    store->dropSession("token-a");  // signing out twice is harmless
}

// Roles and states: a new account gets the role it is made with and keeps it when its
// password changes; disabling or deleting an account ends its sessions on every receiver
// sharing the database, and a disabled account's session is never returned.
TEST_P(StoreContract, AccountRolesAndStatesEndSessionsAtOnce) {
    auto store = open();
    auto other = open();
    store->putAccount("ann", "$argon2id$a", Role::Viewer);
    store->putAccount("bob", "$argon2id$b", Role::Admin);
    store->putAccount("ann", "$argon2id$a2", Role::Admin);  // a new password, not a new role
    EXPECT_EQ(store->account("ann")->role, Role::Viewer);
    EXPECT_EQ(store->account("bob")->role, Role::Admin);
    EXPECT_EQ(store->account("ann")->lastSignInMs, 0);

    const auto ann = store->account("ann")->id, bob = store->account("bob")->id;
    const std::int64_t later = nowMs() + 3'600'000;
    store->putSession({"ann-1", ann, later, "f", ""});
    store->putSession({"bob-1", bob, later, "f", ""});
    EXPECT_EQ(store->session("ann-1")->role, Role::Viewer);
    EXPECT_EQ(store->session("bob-1")->role, Role::Admin);

    EXPECT_TRUE(other->setAccountRole("ann", Role::Admin));
    EXPECT_EQ(store->session("ann-1")->role, Role::Admin) << "a role change applies at once";
    EXPECT_TRUE(other->setAccountDisabled("ann", true));
    EXPECT_FALSE(store->session("ann-1"));
    EXPECT_TRUE(store->account("ann")->disabled);
    store->putSession({"ann-2", ann, later, "f", ""});
    EXPECT_FALSE(store->session("ann-2")) << "a disabled account has no sessions";
    EXPECT_TRUE(other->setAccountDisabled("ann", false));
    EXPECT_TRUE(store->session("ann-2"));

    store->noteSignIn(bob, 1234567);
    EXPECT_EQ(store->account("bob")->lastSignInMs, 1234567);
    EXPECT_TRUE(other->deleteAccount("bob"));
    EXPECT_FALSE(store->session("bob-1"));
    EXPECT_FALSE(store->account("bob"));

    for (const char* nobody : {"bob", "nobody"}) {
        SCOPED_TRACE(nobody);
        EXPECT_FALSE(store->setAccountRole(nobody, Role::Admin));
        EXPECT_FALSE(store->setAccountDisabled(nobody, true));
        EXPECT_FALSE(store->deleteAccount(nobody));
    }
    store->putAccount("carl", "$argon2id$c", Role::Viewer);
    std::vector<std::string> names;
    for (const Account& a : store->accounts()) names.push_back(a.name);
    EXPECT_EQ(names, (std::vector<std::string>{"ann", "carl"}));
}

// The audit log answers newest first, filtered and paged by id; its texts are bounded; it
// is never rewritten; only its retention removes entries.
TEST_P(StoreContract, TheAuditLogIsAppendedFilteredPagedAndPruned) {
    auto store = open();
    for (int i = 0; i < 30; ++i) {
        const std::string_view action = i % 3 == 0 ? audit::kSignIn : audit::kMachineViewed;
        store->appendAudit({0, 1000 + i, i % 2 == 0 ? "ann" : "bob", std::string(action),
                            "machine " + std::to_string(i), "192.0.2.1", ""});
    }
    const auto all = store->auditEntries({});
    ASSERT_EQ(all.size(), 30u);
    EXPECT_EQ(all.front().atMs, 1029) << "newest first";
    EXPECT_EQ(all.back().target, "machine 0");
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i].id, all[i - 1].id);

    AuditQuery q;
    q.action = std::string(audit::kSignIn);
    q.actor = "ann";
    q.sinceMs = 1006;
    q.untilMs = 1024;
    std::vector<std::int64_t> times;
    for (const AuditEntry& e : store->auditEntries(q)) times.push_back(e.atMs);
    EXPECT_EQ(times, (std::vector<std::int64_t>{1018, 1012, 1006}));

    // Paging by the last id seen visits every entry once, in order.
    AuditQuery page;
    page.limit = 7;
    std::vector<std::int64_t> seen;
    for (;;) {
        const auto entries = store->auditEntries(page);
        for (const AuditEntry& e : entries) seen.push_back(e.atMs);
        if (entries.size() < page.limit) break;
        page.beforeId = entries.back().id;
    }
    ASSERT_EQ(seen.size(), 30u);
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], 1029 - static_cast<std::int64_t>(i));

    // A hostile name from the sign-in form: cut, cleaned, stored.
    store->appendAudit({0, 5000, std::string(100000, 'x') + "\xff", std::string(audit::kSignInFailed),
                        std::string(10000, 't'), std::string(1000, 'a'), std::string(1 << 20, 'd')});
    AuditQuery newest;
    newest.limit = 1;
    const AuditEntry hostile = store->auditEntries(newest).front();
    EXPECT_EQ(hostile.actor.size(), audit::kMaxActor);
    EXPECT_EQ(hostile.target.size(), audit::kMaxTarget);
    EXPECT_EQ(hostile.address.size(), audit::kMaxAddress);
    EXPECT_EQ(hostile.detail.size(), audit::kMaxDetail);

    EXPECT_THROW(rawExec("UPDATE audit SET actor = 'someone else'"), std::runtime_error)
        << "the log is append-only";
    EXPECT_EQ(store->pruneAudit(1015, 10), 10u) << "at most the limit at once, oldest first";
    EXPECT_EQ(store->auditEntries({}).back().atMs, 1010);
    EXPECT_EQ(store->pruneAudit(1015), 5u);
    EXPECT_EQ(store->auditEntries({}).size(), 16u);
    EXPECT_EQ(store->pruneAudit(1015), 0u);
}

// Deleting a machine takes every scan of it; the audit entry, written with it, says who,
// when, which machine and how many scans, and nothing of what was deleted. Another machine
// keeps everything; the same hardware posting again becomes a new machine.
TEST_P(StoreContract, DeletingAMachineTakesItsScansAndRecordsTheCountsOnly) {
    auto store = open();
    ScanColumns doomed = columns("Doomed Maker", "Doomed Model");
    doomed.serialNumbers = "DOOMED-SERIAL-1";
    doomed.uuid = "0DD0DD0D-0000-4000-8000-000000000001";
    const AddResult first = store->addScan(makeScan("del-1", "key-doomed", 1000, doomed));
    store->addScan(makeScan("del-2", "key-doomed", 2000, doomed));
    store->addScan(makeScan("del-3", "key-doomed", 3000, doomed));
    ScanColumns kept = columns("Kept Maker", "Kept Model");
    kept.serialNumbers = "KEPT-SERIAL-1";
    const AddResult other = store->addScan(makeScan("kept-1", "key-kept", 1500, kept));

    AuditEntry who{0, 4242, "ann", std::string(audit::kMachineDeleted),
                   "machine " + std::to_string(first.machineId), "192.0.2.9", "ignored"};
    const auto removed = store->deleteMachine(first.machineId, who);
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->machines, 1u);
    EXPECT_EQ(removed->scans, 3u);
    EXPECT_FALSE(store->machine(first.machineId));
    EXPECT_FALSE(store->scan(first.scanId));
    EXPECT_TRUE(store->scans(first.machineId).empty());
    for (const ScanRow& row : store->scans(std::nullopt))
        EXPECT_THAT(row.receipt, ::testing::Not(HasSubstr("del-"))) << "its receipts find nothing";
    for (const char* q : {"doomed-serial", "0DD0DD0D", "Doomed"}) {
        MachineQuery search;
        search.search = q;
        EXPECT_EQ(store->machines(search).total, 0u) << q;
    }
    EXPECT_EQ(store->machines({}).total, 1u);
    EXPECT_EQ(store->machine(other.machineId)->scanCount, 1u);
    EXPECT_EQ(rawInteger("SELECT count(*) FROM scans"), 1);

    const auto entries = store->auditEntries({});
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].actor, "ann");
    EXPECT_EQ(entries[0].atMs, 4242);
    EXPECT_EQ(entries[0].action, audit::kMachineDeleted);
    EXPECT_EQ(entries[0].target, "machine " + std::to_string(first.machineId));
    EXPECT_EQ(entries[0].address, "192.0.2.9");
    EXPECT_EQ(entries[0].detail, "machines=1 scans=3");

    EXPECT_FALSE(store->deleteMachine(first.machineId, who)) << "already gone";
    EXPECT_EQ(store->auditEntries({}).size(), 1u) << "nothing deleted, nothing recorded";
    const AddResult again = store->addScan(makeScan("del-4", "key-doomed", 5000, doomed));
    EXPECT_FALSE(again.duplicate);
    EXPECT_NE(again.machineId, first.machineId);
    EXPECT_EQ(store->machine(again.machineId)->scanCount, 1u);
}

// Retention: older scans go except each machine's latest, machines not seen since the
// cutoff go with their scans, a step at a time; the dry run counts exactly what then goes,
// and the machines that stay keep a right count and latest scan.
TEST_P(StoreContract, RetentionRemovesOldScansAndUnseenMachinesInBoundedSteps) {
    auto store = open();
    // Machine "busy": scans at 100..900 and 5000; "stale": scans at 100..300 only;
    // "single": one old scan (its latest, kept); "conflicted": an accepted claim in between.
    std::vector<AddResult> busy;
    for (int t = 100; t <= 900; t += 100) busy.push_back(store->addScan(makeScan("b" + std::to_string(t), "busy", t)));
    busy.push_back(store->addScan(makeScan("b5000", "busy", 5000)));
    AddResult stale;
    for (int t = 100; t <= 300; t += 100) stale = store->addScan(makeScan("s" + std::to_string(t), "stale", t));
    const AddResult single = store->addScan(makeScan("single", "single", 200));
    for (int i = 0; i < 5; ++i)
        store->appendAudit({0, 100 * i, "ann", std::string(audit::kSignIn), "", "", ""});

    PruneCutoffs cutoffs;
    cutoffs.scansBeforeMs = 1000;
    cutoffs.machinesBeforeMs = 400;
    cutoffs.auditBeforeMs = 250;
    const Removed dry = store->prunable(cutoffs);
    EXPECT_EQ(dry.machines, 2u) << "stale and single";
    EXPECT_EQ(dry.scans, 9u + 3u + 1u) << "busy's nine older scans, stale's three, single's one";
    EXPECT_EQ(dry.auditEntries, 3u);
    EXPECT_EQ(store->scans(std::nullopt).size(), 14u) << "a dry run removes nothing";
    const Removed onlyScans = store->prunable({1000, std::nullopt, std::nullopt});
    EXPECT_EQ(onlyScans.scans, 9u + 2u) << "each machine's latest stays";
    EXPECT_EQ(onlyScans.machines, 0u);

    Removed total;
    for (int step = 0;; ++step) {
        ASSERT_LT(step, 20);
        const Removed r = store->pruneMachines(400, 2);
        EXPECT_LE(r.scans + r.machines, 2u) << "bounded";
        if (!r.any()) break;
        total.machines += r.machines;
        total.scans += r.scans;
    }
    for (std::uint64_t n; (n = store->pruneScans(1000, 4)) > 0;) {
        EXPECT_LE(n, 4u);
        total.scans += n;
    }
    for (std::uint64_t n; (n = store->pruneAudit(250, 2)) > 0;) total.auditEntries += n;
    EXPECT_EQ(total.machines, dry.machines);
    EXPECT_EQ(total.scans, dry.scans);
    EXPECT_EQ(total.auditEntries, dry.auditEntries);
    EXPECT_FALSE(store->prunable(cutoffs).any());

    EXPECT_FALSE(store->machine(stale.machineId));
    EXPECT_FALSE(store->machine(single.machineId));
    const auto kept = store->machine(busy.back().machineId);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->scanCount, 1u);
    EXPECT_EQ(kept->latestScanId, busy.back().scanId);
    EXPECT_EQ(kept->lastSeenMs, 5000);
    EXPECT_EQ(store->machines({}).total, 1u);
    const auto left = store->scans(std::nullopt);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, busy.back().scanId);

    // A machine whose latest scan is old keeps it however old it is.
    const AddResult lone = store->addScan(makeScan("lone-1", "lone", 10));
    store->addScan(makeScan("lone-0", "lone", 5));  // an older one, imported late
    EXPECT_EQ(store->pruneScans(100000, 100), 1u);
    EXPECT_EQ(store->machine(lone.machineId)->latestScanId, lone.scanId);
    EXPECT_EQ(store->machine(lone.machineId)->scanCount, 1u);
}

// Receivers sharing a database prune at the same time: nothing fails, and the counts they
// report add up to what there was, each row counted once.
TEST_P(StoreContract, PrunesRunningAtOnceNeitherFailNorCountTwice) {
    {
        auto store = open();
        std::vector<NewScan> scans;
        for (int i = 0; i < 400; ++i)
            scans.push_back(makeScan("p" + std::to_string(i), "m" + std::to_string(i % 40), 1000 + i));
        store->addScans(scans);
    }
    constexpr int kReceivers = 3;
    std::vector<std::unique_ptr<Store>> stores;
    for (int i = 0; i < kReceivers; ++i) stores.push_back(open());
    std::vector<std::uint64_t> machines(kReceivers), scans(kReceivers);
    std::vector<std::string> errors(kReceivers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kReceivers; ++i)
        threads.emplace_back([&, i] {
            try {
                // Machines 0..19 were last seen before 1380; of the rest, every scan but the latest goes.
                for (Removed r; (r = stores[i]->pruneMachines(1380, 7)).any();) {
                    machines[i] += r.machines;
                    scans[i] += r.scans;
                }
                for (std::uint64_t n; (n = stores[i]->pruneScans(2000, 9)) > 0;) scans[i] += n;
            } catch (const std::exception& e) {
                errors[i] = e.what();
            }
        });
    for (auto& t : threads) t.join();
    std::uint64_t allMachines = 0, allScans = 0;
    for (int i = 0; i < kReceivers; ++i) {
        EXPECT_EQ(errors[i], "") << "receiver " << i;
        allMachines += machines[i];
        allScans += scans[i];
    }
    EXPECT_EQ(allMachines, 20u);
    EXPECT_EQ(allScans, 400u - 20u);
    EXPECT_EQ(stores[0]->machines({}).total, 20u);
    EXPECT_EQ(rawInteger("SELECT count(*) FROM scans"), 20);
    EXPECT_EQ(rawInteger("SELECT sum(scan_count) FROM machines"), 20);
}

// Machines not seen since a time: a filter of the list, with its search, sorts and pages.
TEST_P(StoreContract, ListsMachinesNotSeenSinceATime) {
    auto store = open();
    for (int i = 0; i < 30; ++i) {
        ScanColumns c = columns(i % 2 ? "Odd" : "Even", "Model " + std::to_string(100 + i));
        store->addScan(makeScan("n" + std::to_string(i), "k" + std::to_string(i), 1000 * (i + 1), c));
    }
    MachineQuery q;
    q.lastSeenBeforeMs = 10500;  // machines seen at 1000..10000
    q.sort = MachineSort::Model;
    q.descending = false;
    q.limit = 4;
    std::vector<std::string> models;
    for (q.offset = 0;; q.offset += q.limit) {
        const MachinePage page = store->machines(q);
        EXPECT_EQ(page.total, 10u);
        for (const MachineRow& m : page.machines) {
            EXPECT_LT(m.lastSeenMs, 10500);
            models.push_back(m.latest.model);
        }
        if (page.machines.size() < q.limit) break;
    }
    ASSERT_EQ(models.size(), 10u);
    EXPECT_EQ(models.front(), "Model 100");
    EXPECT_EQ(models.back(), "Model 109");
    EXPECT_TRUE(std::is_sorted(models.begin(), models.end()));
    q.offset = 0;
    q.limit = 50;
    for (const std::string search : {"odd", "dd", "model 10"}) {
        q.search = search;
        const MachinePage page = store->machines(q);
        const std::uint64_t expected = search == "model 10" ? 10u : 5u;
        EXPECT_EQ(page.total, expected) << search;
        EXPECT_EQ(page.machines.size(), expected) << search;
    }
}

// `user add` for an existing name replaces the password: whoever signed in with the old one
// is signed out, on every receiver sharing the database; other accounts keep their sessions.
TEST_P(StoreContract, ANewPasswordEndsThatAccountsSessionsOnly) {
    auto store = open();
    auto other = open();
    store->putAccount("ann", "$argon2id$one", Role::Admin);
    store->putAccount("bob", "$argon2id$bob", Role::Admin);
    const std::int64_t later = nowMs() + 3'600'000;
    const auto ann = store->account("ann")->id, bob = store->account("bob")->id;
    store->putSession({"ann-1", ann, later, "f1", ""});
    store->putSession({"ann-2", ann, later, "f2", ""});
    store->putSession({"bob-1", bob, later, "f3", ""});
    store->putAccount("ann", "$argon2id$one", Role::Admin);  // the same hash: nothing changed
    EXPECT_TRUE(store->session("ann-1"));
    other->putAccount("ann", "$argon2id$two", Role::Admin);
    EXPECT_FALSE(store->session("ann-1"));
    EXPECT_FALSE(store->session("ann-2"));
    ASSERT_TRUE(store->session("bob-1"));
    EXPECT_EQ(store->session("bob-1")->accountName, "bob");
    store->putSession({"ann-3", ann, later, "f4", ""});  // signing in again works
    EXPECT_TRUE(store->session("ann-3"));
}

// Receivers on one database share the console's cookie key: the first one to start makes
// it, every later one (and every restart) reads the same key.
TEST_P(StoreContract, ConsoleKeyIsMadeOnceAndSharedByEveryReceiver) {
    constexpr int kReceivers = 6;
    std::vector<std::unique_ptr<Store>> stores;
    for (int i = 0; i < kReceivers; ++i) stores.push_back(open());
    std::vector<std::string> keys(kReceivers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kReceivers; ++i)
        threads.emplace_back([&, i] { keys[i] = stores[i]->consoleKey("key-of-" + std::to_string(i)); });
    for (auto& t : threads) t.join();
    EXPECT_THAT(keys[0], ::testing::StartsWith("key-of-"));
    for (int i = 1; i < kReceivers; ++i) EXPECT_EQ(keys[i], keys[0]) << "receiver " << i;
    stores.clear();
    EXPECT_EQ(open()->consoleKey("after-a-restart"), keys[0]);
    if (postgres()) {
        // Only the receiver's role reads it: another role of the server is refused.
        postgresExec("DROP ROLE IF EXISTS gravelin_reader; CREATE ROLE gravelin_reader; "
                     "GRANT USAGE ON SCHEMA public TO gravelin_reader");
        try {
            postgresExec("SET ROLE gravelin_reader; SELECT key FROM console_key");
            ADD_FAILURE() << "another role read the console key";
        } catch (const std::runtime_error& e) {
            EXPECT_THAT(e.what(), HasSubstr("permission denied for table console_key"));
        }
        postgresExec("DROP OWNED BY gravelin_reader; DROP ROLE gravelin_reader");
    }
}

TEST_P(StoreContract, MigratesOnceAndKeepsDataAcrossReopening) {
    std::int64_t scanId = 0;
    {
        auto store = open();
        scanId = store->addScan(makeScan("kept", "K", 1000)).scanId;
        store->putAccount("ann", "hash", Role::Admin);
    }
    const std::string rows = "SELECT count(*) FROM schema_version";
    const std::int64_t versions = rawInteger(rows);
    EXPECT_GE(versions, 1);
    EXPECT_EQ(rawInteger("SELECT count(DISTINCT version) FROM schema_version"), versions);
    EXPECT_EQ(rawInteger("SELECT min(version) FROM schema_version"), 1);
    // Every step the program knows, each once (its numbers need not be consecutive).
    std::int64_t steps = 0;
    for (const auto* m = detail::migrationAfter(0); m != nullptr; m = detail::migrationAfter(m->version))
        ++steps;
    EXPECT_EQ(versions, steps) << "a step was skipped";
    EXPECT_EQ(rawInteger("SELECT max(version) FROM schema_version"), detail::currentSchemaVersion());
    auto store = open();
    EXPECT_EQ(rawInteger(rows), versions) << "reopening applied a migration again";
    EXPECT_TRUE(store->scan(scanId));
    EXPECT_TRUE(store->account("ann"));
}

Webhook hookFor(std::string url, std::vector<std::string> events);

TEST_P(StoreContract, UpgradesADatabaseFromTheVersionsBefore) {
    // Each case takes a current database back to what an older program wrote.
    const std::string undoMark = postgres() ? "ALTER TABLE scans DROP COLUMN fingerprint, DROP COLUMN conflict; "
                                              "DELETE FROM schema_version WHERE version = 4; "
                                            : "ALTER TABLE scans DROP COLUMN fingerprint; "
                                              "ALTER TABLE scans DROP COLUMN conflict; "
                                              "DELETE FROM schema_version WHERE version = 4; ";
    const std::string undoCount =
        postgres() ? "DROP TRIGGER machine_count_change ON machines; DROP FUNCTION machine_count_change(); "
                     "DROP TABLE machine_count; DELETE FROM schema_version WHERE version = 3"
                   : "DROP TRIGGER machine_count_insert; DROP TRIGGER machine_count_delete; "
                     "DROP TABLE machine_count; DELETE FROM schema_version WHERE version = 3";
    const std::string undoKey =
        postgres() ? "DROP TRIGGER accounts_password_changed ON accounts; "
                     "DROP FUNCTION accounts_password_changed(); DROP TABLE console_key; "
                     "DELETE FROM schema_version WHERE version = 5; "
                   : "DROP TRIGGER accounts_password_changed; DROP TABLE console_key; "
                     "DELETE FROM schema_version WHERE version = 5; ";
    const std::string undoRoles =
        postgres() ? "DROP TRIGGER accounts_disabled ON accounts; DROP FUNCTION accounts_disabled(); "
                     "DROP TABLE audit; DROP FUNCTION audit_append_only(); "
                     "ALTER TABLE accounts DROP COLUMN role, DROP COLUMN disabled, "
                     "DROP COLUMN last_sign_in; DELETE FROM schema_version WHERE version = 6; "
                   : "DROP TRIGGER accounts_disabled; DROP TABLE audit; "
                     "ALTER TABLE accounts DROP COLUMN role; ALTER TABLE accounts DROP COLUMN disabled; "
                     "ALTER TABLE accounts DROP COLUMN last_sign_in; "
                     "DELETE FROM schema_version WHERE version = 6; ";
    const std::string undoProduct =
        "ALTER TABLE machines DROP COLUMN product; ALTER TABLE scans DROP COLUMN product; "
        "DELETE FROM schema_version WHERE version = 7; ";
    const std::string undoIdentity =
        "DROP TABLE machine_aliases; DROP TABLE placeholders; DROP TABLE machine_notes; "
        "DROP INDEX scans_conflicting; DELETE FROM schema_version WHERE version = 8; ";
    // SQLite's trigger goes with its table (PostgreSQL has neither).
    const std::string undoIds =
        std::string(postgres() ? "" : "DROP TRIGGER machines_id_high; DROP TABLE machine_id_high; ") +
        "DELETE FROM schema_version WHERE version = 13; ";
    const std::string undoHooks = undoIds + "DROP TABLE webhook_deliveries; DROP TABLE webhooks; "
                                  "DELETE FROM schema_version WHERE version = 12; ";
    const std::string undoTokens = undoHooks + "DROP TABLE api_tokens; DELETE FROM schema_version WHERE version = 11; ";
    const std::string undoChanges =
        undoTokens + "DROP TABLE hardware_changes; DELETE FROM schema_version WHERE version = 10; ";
    const std::string undoSurvey =
        undoChanges +
        "DROP TABLE survey_members; DROP TABLE survey_counts; DROP TABLE survey_state; "
        "DELETE FROM schema_version WHERE version = 9; ";
    const std::pair<const char*, std::string> cases[] = {
        {"version 12, before machine numbers were kept", undoIds},
        {"version 11, before webhooks", undoHooks},
        {"version 10, before API tokens", undoTokens},
        {"version 9, before hardware changes", undoChanges},
        {"version 8, before the survey's counts", undoSurvey},
        {"version 7, before aliases, placeholders and notes", undoSurvey + undoIdentity},
        {"version 6, before the product", undoSurvey + undoIdentity + undoProduct},
        {"version 5, before roles and the audit log",
         undoSurvey + undoIdentity + undoProduct + undoRoles},
        {"version 4, before the console key",
         undoSurvey + undoIdentity + undoProduct + undoRoles + undoKey},
        {"version 3, before the conflict mark",
         undoSurvey + undoIdentity + undoProduct + undoRoles + undoKey + undoMark},
        {"version 2, before the machine count",
         undoSurvey + undoIdentity + undoProduct + undoRoles + undoKey + undoMark + undoCount},
    };
    for (const auto& [name, undo] : cases) {
        SCOPED_TRACE(name);
        SetUp();  // PostgreSQL: a clean database
        const int version = std::atoi(name + 8);
        data_ = "data-" + std::to_string(version);  // SQLite: a directory of its own
        {
            auto store = open();
            for (int i = 0; i < 5; ++i) store->addScan(makeScan("u" + std::to_string(i), "k" + std::to_string(i % 3), i));
            store->putAccount("ann", "hash", Role::Viewer);
        }
        rawExec(undo);
        auto store = open();
        EXPECT_EQ(rawInteger("SELECT max(version) FROM schema_version"), detail::currentSchemaVersion());
        // Scans stored before the counts were kept: the survey has none to read until a
        // recount, which then finds every machine's month missing. Upgraded from a version
        // that kept them, the counts stay good.
        EXPECT_EQ(store->surveyCounts(0).has_value(), version >= 9);
        // Before roles every account could do everything: it keeps that as an admin.
        ASSERT_TRUE(store->account("ann"));
        EXPECT_EQ(store->account("ann")->role, version >= 6 ? Role::Viewer : Role::Admin);
        EXPECT_FALSE(store->account("ann")->disabled);
        EXPECT_EQ(store->machines({}).total, 3u) << "the count starts from the machines there are";
        for (const ScanRow& row : store->scans(std::nullopt)) EXPECT_EQ(row.columns.product, "");
        for (const ScanRow& row : store->scans(std::nullopt)) EXPECT_EQ(row.conflict, ScanConflict::None);
        store->addScan(makeScan("u-new", "", 10));
        EXPECT_EQ(store->machines({}).total, 4u);
        EXPECT_EQ(store->scans(std::nullopt).size(), 6u);
        // The tables the upgrade made work: a merge leaves its alias, a note is kept.
        const auto k0 = store->machineForKey("k0"), k1 = store->machineForKey("k1");
        ASSERT_TRUE(k0 && k1);
        EXPECT_EQ(store->mergeMachines(*k0, *k1, entry(audit::kMachinesMerged, "m")).result, MergeResult::Merged);
        EXPECT_EQ(store->addScan(makeScan("u-k1", "k1", 11)).machineId, *k0);
        EXPECT_TRUE(store->addNote({0, *k0, 1, "ann", "n", ""}, entry(audit::kNoteAdded, "n")));
        EXPECT_TRUE(store->placeholders().empty());
        EXPECT_TRUE(store->addApiToken({0, "t", "h", Role::Viewer, "ann", 1, 0, 0, 0},
                                       entry(audit::kTokenAdded, "t")));
        const SurveyRecount recount = store->recountSurvey();
        // k2 alone: the merge counted k0 again, and the scans since were counted at intake.
        EXPECT_EQ(recount.membersDiffering, version >= 9 ? 0u : 1u);
        EXPECT_TRUE(store->recountSurvey().agreed());
        const auto counted = store->surveyCounts(0);
        ASSERT_TRUE(counted);
        EXPECT_FALSE(counted->empty());
        // And the outbox: a hook hears of the next scan.
        const auto hook = store->addWebhook(hookFor("https://a.example/", {"new-scan"}),
                                            entry(audit::kWebhookAdded, "w"));
        store->addScan(makeScan("u-hook", "k2", 12));
        EXPECT_EQ(store->webhookDeliveries(hook, 10).size(), 1u);
    }
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

// A summary made again from its report replaces the stored one of that scan only, cleaned
// as every text is; the report and columns stay as they were.
TEST_P(StoreContract, ASummaryMadeAgainReplacesThatScansOnly) {
    auto store = open();
    const AddResult first = store->addScan(makeScan("sum-1", "key-s", 1000));
    const AddResult second = store->addScan(makeScan("sum-2", "key-s", 2000));
    EXPECT_TRUE(store->putSummary(first.scanId, std::string("{\"maker\":\"Fa\xE7" "ade\"}")));
    EXPECT_FALSE(store->putSummary(second.scanId + 100, "{}"));

    const auto record = store->scan(first.scanId);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->summaryJson, "{\"maker\":\"Fa\xEF\xBF\xBD" "ade\"}");
    EXPECT_EQ(record->reportBytes, makeScan("sum-1", "key-s", 1000).reportBytes);
    EXPECT_EQ(record->row.columns.maker, "Maker");
    EXPECT_EQ(store->scan(second.scanId)->summaryJson, makeScan("sum-2", "", 0).summaryJson);
}

TEST_P(StoreContract, TheProductIsStoredSearchedAndRefreshedForTheLatestScanOnly) {
    auto store = open();
    ScanColumns thinkpad = columns("LENOVO", "2347A49");
    thinkpad.product = "ThinkPad T430";
    const AddResult first = store->addScan(makeScan("p-1", "key-p", 1000, thinkpad));
    ASSERT_EQ(store->scan(first.scanId)->row.columns.product, "ThinkPad T430");
    ASSERT_EQ(store->machine(first.machineId)->latest.product, "ThinkPad T430");
    const auto found = [&](const std::string& search) {
        MachineQuery q;
        q.search = search;
        return store->machines(q).total;
    };
    EXPECT_EQ(found("thinkpad"), 1u);
    EXPECT_EQ(found("T430 2347"), 1u);

    // A scan stored before the column existed: nothing until its columns are made again.
    ScanColumns older = columns("LENOVO", "20L8S07A14");
    const AddResult earlier = store->addScan(makeScan("p-2", "key-q", 500, older));
    const AddResult latest = store->addScan(makeScan("p-3", "key-q", 2000, older));
    EXPECT_EQ(found("T480s"), 0u);
    older.product = "ThinkPad T480s";
    // The machine's earlier scan takes it; the machine keeps its latest scan's columns.
    EXPECT_TRUE(store->refreshColumns(earlier.scanId, older));
    EXPECT_EQ(store->scan(earlier.scanId)->row.columns.product, "ThinkPad T480s");
    EXPECT_EQ(store->machine(latest.machineId)->latest.product, "");
    EXPECT_EQ(found("T480s"), 0u);
    // Its latest scan's columns are the machine's, search text included.
    EXPECT_TRUE(store->refreshColumns(latest.scanId, older));
    EXPECT_EQ(store->machine(latest.machineId)->latest.product, "ThinkPad T480s");
    EXPECT_EQ(found("T480s"), 1u);
    EXPECT_EQ(found("thinkpad"), 2u);
    EXPECT_EQ(store->machine(first.machineId)->latest.product, "ThinkPad T430");
    EXPECT_FALSE(store->refreshColumns(latest.scanId + 100, older));
}

TEST_P(StoreContract, FindsEveryScanWithAReceiptNewestFirst) {
    auto store = open();
    NewScan a = makeScan("r-1", "key-a", 1000);
    a.receipt = "1B3F-ADE0-098A";
    NewScan b = makeScan("r-2", "key-b", 3000);
    b.receipt = "1B3F-ADE0-098A";  // another digest that begins alike
    NewScan c = makeScan("r-3", "key-a", 2000);
    c.receipt = "1B3F-ADE0-098B";
    const AddResult ra = store->addScan(a), rb = store->addScan(b), rc = store->addScan(c);
    const auto shared = store->scansWithReceipt("1B3F-ADE0-098A");
    ASSERT_EQ(shared.size(), 2u);
    EXPECT_EQ(shared[0].id, rb.scanId);
    EXPECT_EQ(shared[0].machineId, rb.machineId);
    EXPECT_EQ(shared[1].id, ra.scanId);
    EXPECT_EQ(shared[1].receipt, "1B3F-ADE0-098A");
    const auto one = store->scansWithReceipt("1B3F-ADE0-098B");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].id, rc.scanId);
    EXPECT_TRUE(store->scansWithReceipt("1B3F-ADE0-098C").empty());
    EXPECT_TRUE(store->scansWithReceipt("1b3f-ade0-098a").empty()) << "the caller writes it as stored";
}

TEST(MachineSearches, SurveyFiltersAreReadOutOfTheText) {
    using report::survey::Dimension;
    using Facets = std::vector<std::pair<Dimension, std::string>>;
    struct Case {
        const char* search;
        std::string text;
        Facets facets;
    };
    const Case cases[] = {
        {"dell  latitude", "dell latitude", {}},
        {"memory_type:DDR5 maker:dell", "", {{Dimension::MemoryType, "DDR5"}, {Dimension::Maker, "dell"}}},
        {"OS:\"Windows 11 Pro\" t480", "t480", {{Dimension::Os, "Windows 11 Pro"}}},
        {"disk_total:\"1 TB\"", "", {{Dimension::DiskTotal, "1 TB"}}},
        // Words with a colon that do not start with a name stay words of the text.
        {"00:1A:2B 10.0.0.1:80 :x", "00:1A:2B 10.0.0.1:80 :x", {}},
        {"cores:8 \"a b\"", "\"a b\"", {{Dimension::Cores, "8"}}},
        {"model:\"say \\\"hi\\\" \\\\ bye\"", "", {{Dimension::Model, "say \"hi\" \\ bye"}}},
    };
    for (const Case& c : cases) {
        const MachineSearch parsed = parseMachineSearch(c.search);
        EXPECT_EQ(parsed.problem, "") << c.search;
        EXPECT_EQ(parsed.text, c.text) << c.search;
        EXPECT_EQ(parsed.facets, c.facets) << c.search;
    }
    for (const auto& [search, problem] :
         {std::pair{"memory:DDR5", "no survey dimension is called \"memory\""},
          std::pair{"maker:", "maker: needs a value"},
          std::pair{"maker:\"Dell", "has no closing quote"}}) {
        EXPECT_THAT(parseMachineSearch(search).problem, HasSubstr(problem)) << search;
    }
}

TEST(Receipts, AreReadInEitherCaseWithOrWithoutDashesAndBlanksAround) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"1B3F-ADE0-098A", "1B3F-ADE0-098A"},
        {"1b3f-ade0-098a", "1B3F-ADE0-098A"},
        {"1B3FADE0098A", "1B3F-ADE0-098A"},
        {"  1b3fade0098a\t\r\n", "1B3F-ADE0-098A"},
        {"1B3F-ADE0098A", "1B3F-ADE0-098A"},
        {"1B3F ADE0 098A", std::nullopt},   // blanks inside: words of a search
        {"1B3F-ADE0-098", std::nullopt},    // a digit short
        {"1B3F-ADE0-098AB", std::nullopt},  // a digit over
        {"1B3G-ADE0-098A", std::nullopt},   // not hex
        {"", std::nullopt},
        {"------------", std::nullopt},
        {"ThinkPad T430", std::nullopt},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(receiptOf(text), want) << '"' << text << '"';
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

// --- Webhooks ---

Webhook hookFor(std::string url, std::vector<std::string> events) {
    Webhook h;
    h.url = std::move(url);
    h.events = std::move(events);
    h.secret = "s3cret";
    h.createdBy = "cli:test";
    h.createdAtMs = 1000;
    return h;
}

AuditEntry hookAudit(std::string_view action) {
    AuditEntry a;
    a.atMs = 1000;
    a.actor = "cli:test";
    a.action = std::string(action);
    return a;
}

// The events of the deliveries for `hook`, oldest first.
std::vector<std::string> eventsOf(Store& store, std::int64_t hook) {
    std::vector<std::string> out;
    for (const auto& d : store.webhookDeliveries(hook, 1000)) out.insert(out.begin(), d.event);
    return out;
}

TEST_P(StoreContract, IntakeEnqueuesEachEventForItsSubscribersOnly) {
    auto store = open();
    const auto machines = store->addWebhook(hookFor("https://a.example/", {"new-machine"}),
                                            hookAudit(audit::kWebhookAdded));
    const auto everything = store->addWebhook(
        hookFor("https://b.example/", {"new-scan", "new-machine", "conflicting-scan"}),
        hookAudit(audit::kWebhookAdded));
    const auto changes = store->addWebhook(hookFor("https://c.example/", {"hardware-changed"}),
                                           hookAudit(audit::kWebhookAdded));

    NewScan first = makeScan("wh-1", "key-wh", 5000, columns("Dell Inc.", "Latitude 5490"));
    first.fingerprint = hardware("BOARD-1", "Core i5", 16, {"M1"}, {"D1"});
    const AddResult a = store->addScan(first);
    NewScan again = makeScan("wh-2", "key-wh", 6000);
    again.fingerprint = first.fingerprint;
    store->addScan(again);
    store->addScan(again);  // a duplicate: nothing new, no event
    NewScan other = makeScan("wh-3", "key-wh", 7000);
    other.fingerprint = hardware("BOARD-9", "Core i3", 4, {"M9"}, {"D9"});
    EXPECT_TRUE(store->addScan(other).conflicting);

    EXPECT_EQ(eventsOf(*store, machines), std::vector<std::string>{"new-machine"});
    EXPECT_EQ(eventsOf(*store, everything),
              (std::vector<std::string>{"new-machine", "new-scan", "new-scan", "new-scan",
                                        "conflicting-scan"}));
    EXPECT_TRUE(eventsOf(*store, changes).empty());

    // One event, one id, in every subscriber's delivery; the payload names machine and scan.
    const auto d = store->webhookDeliveries(machines, 10).at(0);
    const auto sameEvent = store->webhookDeliveries(everything, 10).back();
    EXPECT_EQ(d.eventId, sameEvent.eventId);
    EXPECT_EQ(d.eventId.size(), 32u);
    EXPECT_EQ(d.state, DeliveryState::Pending);
    EXPECT_EQ(d.attempts, 0u);
    EXPECT_EQ(d.nextAttemptAtMs, 5000);
    EXPECT_EQ(d.payload, "{\"id\":\"" + d.eventId +
                             "\",\"event\":\"new-machine\",\"at\":\"1970-01-01T00:00:05.000Z\","
                             "\"machine\":{\"id\":" + std::to_string(a.machineId) +
                             ",\"maker\":\"Dell Inc.\",\"model\":\"Latitude 5490\",\"product\":\"\"},"
                             "\"scan\":{\"id\":" + std::to_string(a.scanId) +
                             ",\"receipt\":\"R-wh-1\",\"received_at\":\"1970-01-01T00:00:05.000Z\"}}");
}

// The outbox commits or rolls back with the scan: a scan whose transaction fails (here the
// last statement of it, the outbox insert, is refused) leaves neither scan nor delivery.
TEST_P(StoreContract, AScanRolledBackEnqueuesNothing) {
    auto store = open();
    const auto hook = store->addWebhook(hookFor("https://a.example/", {"new-scan", "new-machine"}),
                                        hookAudit(audit::kWebhookAdded));
    if (postgres())
        rawExec("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
                "$$ BEGIN RAISE EXCEPTION 'refused'; END $$; "
                "CREATE TRIGGER refuse AFTER INSERT ON webhook_deliveries FOR EACH ROW "
                "WHEN (NEW.payload LIKE '%R-poisoned%') EXECUTE FUNCTION refuse()");
    else
        rawExec("CREATE TRIGGER refuse AFTER INSERT ON webhook_deliveries "
                "WHEN NEW.payload LIKE '%R-poisoned%' BEGIN SELECT RAISE(ABORT, 'refused'); END");
    store->addScan(makeScan("fine", "key-a", 1000));
    EXPECT_ANY_THROW(store->addScan(makeScan("poisoned", "key-b", 2000)));
    EXPECT_EQ(store->scans(std::nullopt).size(), 1u);
    EXPECT_EQ(store->machines({}).total, 1u);
    EXPECT_EQ(eventsOf(*store, hook), (std::vector<std::string>{"new-machine", "new-scan"}));
    // In a group or an import, the others still go through with their events.
    if (!postgres()) {
        const auto results = [&] {
            try {
                return store->addScans({makeScan("fine-2", "key-c", 3000)});
            } catch (...) {
                return std::vector<AddResult>{};
            }
        }();
        EXPECT_EQ(results.size(), 1u);
    }
    EXPECT_EQ(rawInteger("SELECT count(*) FROM webhook_deliveries WHERE payload LIKE '%R-poisoned%'"), 0);
}

// What another part of intake (the hardware changes of a machine's new latest scan) calls:
// one enqueue, a delivery per subscribed, enabled hook, none for the others.
TEST_P(StoreContract, EnqueuesAnEventForEachSubscribedHook) {
    auto store = open();
    EXPECT_EQ(store->enqueueEvent({newEventId(), "hardware-changed", 10, "{}"}), 0u);
    const auto one = store->addWebhook(hookFor("https://a.example/", {"hardware-changed"}),
                                       hookAudit(audit::kWebhookAdded));
    const auto two = store->addWebhook(hookFor("https://b.example/", {"new-scan", "hardware-changed"}),
                                       hookAudit(audit::kWebhookAdded));
    const auto none = store->addWebhook(hookFor("https://c.example/", {"new-scan"}),
                                        hookAudit(audit::kWebhookAdded));
    // A name that only contains another's is not that one.
    EXPECT_EQ(store->enqueueEvent({newEventId(), "hardware", 10, "{}"}), 0u);
    const std::string id = newEventId();
    const std::string body = webhookPayload(id, kEventHardwareChanged, 20, {7, "HP", "Elite", ""},
                                            {9, "R-1", 20});
    EXPECT_EQ(store->enqueueEvent({id, "hardware-changed", 20, body}), 2u);
    for (const auto hook : {one, two}) {
        const auto d = store->webhookDeliveries(hook, 10);
        ASSERT_EQ(d.size(), 1u);
        EXPECT_EQ(d[0].eventId, id);
        EXPECT_EQ(d[0].payload, body);
        EXPECT_EQ(d[0].createdAtMs, 20);
    }
    EXPECT_TRUE(store->webhookDeliveries(none, 10).empty());
    EXPECT_EQ(store->webhookDeliveries(std::nullopt, 10).size(), 2u);
}

TEST_P(StoreContract, HooksAreListedAndDeletedWithTheirDeliveriesAndAudited) {
    auto store = open();
    const auto a = store->addWebhook(hookFor("https://a.example/x?y=1", {"new-scan", "new-machine"}),
                                     hookAudit(audit::kWebhookAdded));
    const auto b = store->addWebhook(hookFor("https://b.example/", {"new-scan"}),
                                     hookAudit(audit::kWebhookAdded));
    store->addScan(makeScan("h1", "k", 1000));
    const auto hooks = store->webhooks();
    ASSERT_EQ(hooks.size(), 2u);
    EXPECT_EQ(hooks[0].id, a);
    EXPECT_EQ(hooks[0].url, "https://a.example/x?y=1");
    EXPECT_EQ(hooks[0].events, (std::vector<std::string>{"new-scan", "new-machine"}));
    EXPECT_EQ(hooks[0].secret, "s3cret");
    EXPECT_EQ(hooks[0].createdBy, "cli:test");
    EXPECT_TRUE(hooks[0].enabled);
    EXPECT_TRUE(store->deleteWebhook(a, hookAudit(audit::kWebhookDeleted)));
    EXPECT_FALSE(store->deleteWebhook(a, hookAudit(audit::kWebhookDeleted)));
    EXPECT_EQ(store->webhooks().size(), 1u);
    EXPECT_TRUE(store->webhookDeliveries(a, 10).empty());
    EXPECT_EQ(store->webhookDeliveries(std::nullopt, 10).size(), 1u);
    EXPECT_EQ(store->webhookDeliveries(std::nullopt, 10)[0].hookId, b);
    AuditQuery q;
    const auto log = store->auditEntries(q);
    ASSERT_EQ(log.size(), 3u);  // two added, one deleted (the failed delete writes nothing)
    EXPECT_EQ(log[0].action, "webhook-deleted");
    EXPECT_EQ(log[2].action, "webhook-added");
    EXPECT_EQ(log[2].target, "webhook " + std::to_string(a));
}

TEST(WebhookRetries, BackOffTenSecondsDoublingToAnHourForADay) {
    constexpr std::int64_t start = 1'000'000;
    const std::pair<std::uint32_t, std::int64_t> waits[] = {
        {1, 10'000}, {2, 20'000}, {3, 40'000}, {4, 80'000}, {9, 2'560'000},
        {10, 3'600'000}, {11, 3'600'000}, {200, 3'600'000}};
    for (const auto& [attempts, wait] : waits)
        EXPECT_EQ(nextAttemptAt(start, attempts, start + 5), start + 5 + wait) << attempts;
    // The last attempt falls within the day; one that would fall after it is not made.
    EXPECT_EQ(nextAttemptAt(start, 30, start + kGiveUpAfterMs - 3'600'000),
              start + kGiveUpAfterMs);
    EXPECT_EQ(nextAttemptAt(start, 30, start + kGiveUpAfterMs - 3'599'999), std::nullopt);
    EXPECT_EQ(nextAttemptAt(start, 1, start + kGiveUpAfterMs), std::nullopt);
}

TEST(WebhookProblems, RefusesWhatCannotBeAHook) {
    const std::string longUrl = "https://example.com/" + std::string(kMaxWebhookUrlBytes, 'a');
    const struct {
        std::string url;
        std::vector<std::string> events;
        bool allowHttp;
        std::string problem;  // a part of it; empty: accepted
    } cases[] = {
        {"https://hooks.example/in", {"new-scan"}, false, ""},
        {"HTTPS://hooks.example/in", {"new-scan", "new-machine"}, false, ""},
        {"http://hooks.example/in", {"new-scan"}, true, ""},
        {"http://hooks.example/in", {"new-scan"}, false, "--allow-http-webhooks"},
        {"ftp://hooks.example/in", {"new-scan"}, true, "https://"},
        {"javascript:alert(1)", {"new-scan"}, true, "https://"},
        {"https://", {"new-scan"}, false, "https://"},
        {"https://a.example/ b", {"new-scan"}, false, "blanks"},
        {"https://a.example/\nb", {"new-scan"}, false, "control"},
        {longUrl, {"new-scan"}, false, "at most"},
        {"https://a.example/", {}, false, "at least one event"},
        {"https://a.example/", {"new-scans"}, false, "unknown event"},
        {"https://a.example/", {"new-scan", "new-scan"}, false, "twice"},
    };
    for (const auto& c : cases) {
        const std::string problem = webhookProblem(c.url, c.events, c.allowHttp);
        if (c.problem.empty())
            EXPECT_EQ(problem, "") << c.url;
        else
            EXPECT_THAT(problem, HasSubstr(c.problem)) << c.url;
    }
    EXPECT_EQ(eventList(" new-scan, ,new-machine "),
              (std::vector<std::string>{"new-scan", "new-machine"}));
}

// Claims, outcomes and the backoff as the store keeps them.
TEST_P(StoreContract, ADeliveryIsRetriedWithBackoffThenFailsAndCanBeRetriedByHand) {
    auto store = open();
    const auto hook = store->addWebhook(hookFor("https://a.example/", {"new-scan"}),
                                        hookAudit(audit::kWebhookAdded));
    store->enqueueEvent({newEventId(), "new-scan", 1000, "{\"n\":1}"});
    constexpr std::int64_t lease = 60'000;

    auto claimed = store->claimDeliveries(1000, lease, 10);
    ASSERT_EQ(claimed.size(), 1u);
    const WebhookDelivery d = claimed[0];
    EXPECT_EQ(d.url, "https://a.example/");
    EXPECT_EQ(d.secret, "s3cret");
    EXPECT_EQ(d.attempts, 1u);
    EXPECT_EQ(d.leaseUntilMs, 1000 + lease);
    // Held: no one else takes it, even when it is due.
    EXPECT_TRUE(store->claimDeliveries(2000, lease, 10).empty());
    EXPECT_TRUE(store->finishDelivery({d.id, d.leaseUntilMs, 2000, 500, "HTTP 500"}));
    // Not a second time with the same lease.
    EXPECT_FALSE(store->finishDelivery({d.id, d.leaseUntilMs, 2000, 200, ""}));
    auto now = store->webhookDeliveries(hook, 10).at(0);
    EXPECT_EQ(now.state, DeliveryState::Pending);
    EXPECT_EQ(now.lastStatus, 500);
    EXPECT_EQ(now.lastError, "HTTP 500");
    EXPECT_EQ(now.nextAttemptAtMs, 12'000);
    EXPECT_TRUE(store->claimDeliveries(11'999, lease, 10).empty());

    // Every attempt fails at once: 10 s, 20 s, 40 s ... capped at an hour, for a day.
    std::int64_t at = 12'000;
    std::uint32_t attempts = 1;
    for (;;) {
        claimed = store->claimDeliveries(at, lease, 10);
        ASSERT_EQ(claimed.size(), 1u) << "attempt " << attempts + 1 << " at " << at;
        ++attempts;
        EXPECT_EQ(claimed[0].attempts, attempts);
        ASSERT_TRUE(store->finishDelivery({d.id, claimed[0].leaseUntilMs, at, 0, "refused"}));
        now = store->webhookDeliveries(hook, 10).at(0);
        if (now.state != DeliveryState::Pending) break;
        ASSERT_EQ(now.nextAttemptAtMs, *nextAttemptAt(1000, attempts, at));
        at = now.nextAttemptAtMs;
        ASSERT_LT(attempts, 100u);
    }
    EXPECT_EQ(now.state, DeliveryState::Failed);
    EXPECT_LE(at - 1000, kGiveUpAfterMs);
    EXPECT_GT(at - 1000, kGiveUpAfterMs - 2 * kLongestRetryMs);
    // 1 + nine waits of 10 s ... 2560 s (5110 s) + 22 hourly ones within the remaining day.
    EXPECT_EQ(attempts, 32u);
    EXPECT_TRUE(store->claimDeliveries(at + kGiveUpAfterMs, lease, 10).empty());

    // By hand: pending again, due now, with a day of retries again; audited.
    const std::int64_t later = at + 5 * kGiveUpAfterMs;
    EXPECT_TRUE(store->retryDelivery(d.id, later, hookAudit(audit::kDeliveryRetried)));
    EXPECT_FALSE(store->retryDelivery(d.id, later, hookAudit(audit::kDeliveryRetried)));
    claimed = store->claimDeliveries(later, lease, 10);
    ASSERT_EQ(claimed.size(), 1u);
    EXPECT_EQ(claimed[0].attempts, 1u);
    EXPECT_TRUE(store->finishDelivery({d.id, claimed[0].leaseUntilMs, later + 5, 404, ""}));
    now = store->webhookDeliveries(hook, 10).at(0);
    EXPECT_EQ(now.state, DeliveryState::Pending);
    EXPECT_EQ(now.nextAttemptAtMs, later + 5 + 10'000);
    claimed = store->claimDeliveries(later + 20'000, lease, 10);
    ASSERT_EQ(claimed.size(), 1u);
    EXPECT_TRUE(store->finishDelivery({d.id, claimed[0].leaseUntilMs, later + 20'001, 204, ""}));
    now = store->webhookDeliveries(hook, 10).at(0);
    EXPECT_EQ(now.state, DeliveryState::Delivered);
    EXPECT_EQ(now.deliveredAtMs, later + 20'001);
    EXPECT_EQ(now.lastStatus, 204);
    EXPECT_FALSE(store->retryDelivery(d.id, later, hookAudit(audit::kDeliveryRetried)));
    AuditQuery q;
    q.action = std::string(audit::kDeliveryRetried);
    EXPECT_EQ(store->auditEntries(q).size(), 1u);
}

// A worker that outlived its lease (stalled, killed) loses the delivery to the next claim,
// and its late outcome changes nothing.
TEST_P(StoreContract, ALapsedLeaseIsClaimedAgainAndTheLateOutcomeIgnored) {
    auto store = open();
    store->addWebhook(hookFor("https://a.example/", {"new-scan"}), hookAudit(audit::kWebhookAdded));
    store->enqueueEvent({newEventId(), "new-scan", 1000, "{}"});
    const auto first = store->claimDeliveries(1000, 30'000, 10);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(store->claimDeliveries(30'999, 30'000, 10).empty());
    const auto second = store->claimDeliveries(31'000, 30'000, 10);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].attempts, 2u);
    EXPECT_FALSE(store->finishDelivery({first[0].id, first[0].leaseUntilMs, 31'500, 200, ""}));
    EXPECT_EQ(store->webhookDeliveries(std::nullopt, 10)[0].state, DeliveryState::Pending);
    EXPECT_TRUE(store->finishDelivery({second[0].id, second[0].leaseUntilMs, 31'600, 200, ""}));
    EXPECT_EQ(store->webhookDeliveries(std::nullopt, 10)[0].state, DeliveryState::Delivered);
}

// Several receivers on one database, several workers each: every delivery is claimed once.
TEST_P(StoreContract, EachDeliveryIsClaimedByOneWorkerOnly) {
    auto one = open();
    auto two = open();
    one->addWebhook(hookFor("https://a.example/", {"new-scan"}), hookAudit(audit::kWebhookAdded));
    one->addWebhook(hookFor("https://b.example/", {"new-scan"}), hookAudit(audit::kWebhookAdded));
    constexpr int kEvents = 60;
    for (int i = 0; i < kEvents; ++i) one->enqueueEvent({newEventId(), "new-scan", 1000 + i, "{}"});
    std::mutex mutex;
    std::map<std::int64_t, int> claims;
    std::atomic<int> failures{0};
    const auto work = [&](Store& store) {
        for (int idle = 0; idle < 3;) {
            std::vector<WebhookDelivery> got;
            try {
                got = store.claimDeliveries(10'000, 60'000, 3);
            } catch (const StorageUnavailable&) {
                ++failures;  // SQLite: the other receiver held the file past the timeout
                continue;
            }
            idle = got.empty() ? idle + 1 : 0;
            std::lock_guard lock(mutex);
            for (const auto& d : got) ++claims[d.id];
        }
    };
    std::vector<std::thread> workers;
    for (Store* store : {one.get(), two.get(), one.get(), two.get()})
        workers.emplace_back([&work, store] { work(*store); });
    for (auto& w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(claims.size(), 2u * kEvents);
    for (const auto& [id, n] : claims) EXPECT_EQ(n, 1) << "delivery " << id;
}

// The worker sleeps until a commit that enqueued: intake rings, a scan with no subscriber
// does not.
TEST_P(StoreContract, RingsTheDoorbellOnlyAfterCommittingDeliveries) {
    auto doorbell = std::make_shared<WebhookDoorbell>();
    auto store = openStore(location(), doorbell);
    store->addScan(makeScan("b1", "k1", 1000));
    EXPECT_EQ(doorbell->rings(), 0u);
    store->addWebhook(hookFor("https://a.example/", {"new-machine"}), hookAudit(audit::kWebhookAdded));
    store->addScan(makeScan("b2", "k1", 2000));  // no new machine: nothing for the hook
    EXPECT_EQ(doorbell->rings(), 0u);
    store->addScan(makeScan("b3", "k2", 3000));
    EXPECT_EQ(doorbell->rings(), 1u);
    store->addScans({makeScan("b4", "k3", 4000), makeScan("b5", "k4", 4000)});
    EXPECT_GE(doorbell->rings(), 2u);
}

// --- Hardware changes ---

// A small machine: two memory modules, one disk, one processor, an OS and the scanner.
report::Summary machineSummary() {
    report::Summary s;
    s.maker = "Dell Inc.";
    s.model = "OptiPlex 7070";
    s.serialNumber = "SYS-1";
    s.boardSerial = "BOARD-1";
    s.processors.push_back({"Intel Core i7-9700", "Intel", "CPU1", 8u, 8u, 4700u});
    const auto module = [](std::string locator, std::string serial, std::uint64_t gib) {
        report::MemorySlotSummary slot;
        slot.locator = std::move(locator);
        slot.sizeBytes = gib << 30;
        slot.type = "DDR4";
        slot.maker = "Samsung";
        slot.partNumber = "M378A1K43CB2";
        slot.serialNumber = std::move(serial);
        slot.empty = false;
        return slot;
    };
    s.memory = {module("DIMM_A", "MOD-1", 8), module("DIMM_B", "MOD-2", 8)};
    report::MemorySlotSummary emptySlot;
    emptySlot.locator = "DIMM_C";
    s.memory.push_back(emptySlot);
    report::DiskSummary disk;
    disk.model = "Samsung SSD 860";
    disk.serialNumber = "DISK-1";
    disk.deviceId = "\\\\.\\PHYSICALDRIVE0";
    disk.sizeBytes = 500'000'000'000ull;
    s.disks = {disk};
    s.os = "Windows 10 Pro";
    s.osVersion = "10.0.19045";
    s.programName = "scanner";
    s.programVersion = "1.0.0.0";
    return s;
}

NewScan summaryScan(const std::string& digest, const std::string& key, std::int64_t at,
                    const report::Summary& summary) {
    NewScan scan = makeScan(digest, key, at);
    scan.summaryJson = report::toJsonText(summary);
    return scan;
}

using ChangeShape = std::tuple<std::string, ChangeKind, std::string>;  // component, kind, note
std::multiset<ChangeShape> shapes(const std::vector<HardwareChange>& changes) {
    std::multiset<ChangeShape> out;
    for (const auto& c : changes) out.emplace(c.component, c.kind, c.note);
    return out;
}

// Each kind of change is recorded at the scan that shows it, once, against the scan before.
TEST_P(StoreContract, RecordsEachKindOfHardwareChangeAtTheScanThatShowsIt) {
    auto store = open();
    using Edit = std::function<void(report::Summary&)>;
    const struct {
        const char* name;
        Edit edit;
        std::multiset<ChangeShape> expected;
    } cases[] = {
        {"a module added", [](report::Summary& s) {
             s.memory[2].empty = false;
             s.memory[2].serialNumber = "MOD-3";
             s.memory[2].sizeBytes = 8ull << 30;
         }, {{"memory", ChangeKind::Added, ""}}},
        {"a module removed", [](report::Summary& s) { s.memory.erase(s.memory.begin() + 1); },
         {{"memory", ChangeKind::Removed, ""}}},
        {"a module moved to another slot", [](report::Summary& s) {
             std::swap(s.memory[1], s.memory[2]);
             s.memory[1].locator = "DIMM_B";
             s.memory[2].locator = "DIMM_C";
         }, {{"memory", ChangeKind::Moved, ""}}},
        {"a disk swapped", [](report::Summary& s) {
             s.disks[0].serialNumber = "DISK-2";
             s.disks[0].model = "WDC WD10EZEX";
         }, {{"disk", ChangeKind::Changed, "replaced"}}},
        {"a processor replaced", [](report::Summary& s) {
             s.processors[0].model = "Intel Core i9-9900";
             s.processors[0].threads = 16u;
         }, {{"processor", ChangeKind::Changed, ""}}},
        {"the board replaced", [](report::Summary& s) { s.boardSerial = "BOARD-2"; },
         {{"board", ChangeKind::Changed, "replaced"}}},
        {"the OS updated", [](report::Summary& s) { s.osVersion = "10.0.22631"; },
         {{"os", ChangeKind::Changed, "updated"}}},
        {"the scanner updated", [](report::Summary& s) { s.programVersion = "1.1.0.0"; },
         {{"scanner", ChangeKind::Changed, "updated"}}},
        {"nothing but what moves by itself", [](report::Summary& s) {
             s.processors[0].maxClockMHz = 3100u;
         }, {}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string key = "changes-" + std::to_string(++n);
        report::Summary after = machineSummary();
        c.edit(after);
        const AddResult first = store->addScan(summaryScan(key + "-a", key, 1000, machineSummary()));
        const AddResult second = store->addScan(summaryScan(key + "-b", key, 2000, after));
        EXPECT_TRUE(store->scanChanges(first.scanId).empty()) << "a first scan has nothing to compare with";
        const auto changes = store->scanChanges(second.scanId);
        EXPECT_EQ(shapes(changes), c.expected);
        for (const auto& change : changes) {
            EXPECT_EQ(change.machineId, second.machineId);
            EXPECT_EQ(change.previousScanId, first.scanId);
            EXPECT_EQ(change.atMs, 2000);
        }
        ChangeQuery history;
        history.machineId = second.machineId;
        EXPECT_EQ(store->changes(history).size(), c.expected.size());
    }
    // What a move and a replacement say: the part and both places, both parts.
    ChangeQuery moved;
    moved.kind = ChangeKind::Moved;
    const auto m = store->changes(moved);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_THAT(m[0].before, HasSubstr("in DIMM_B"));
    EXPECT_THAT(m[0].after, HasSubstr("in DIMM_C"));
    ASSERT_FALSE(m[0].fields.empty());
    EXPECT_EQ(m[0].fields[0].name, "Slot");
    ChangeQuery disks;
    disks.component = "disk";
    const auto d = store->changes(disks);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_THAT(d[0].before, HasSubstr("DISK-1"));
    EXPECT_THAT(d[0].after, HasSubstr("DISK-2"));
}

// Only a scan that becomes the machine's latest records anything: one stored late (older
// than the latest) changes nothing, a conflicting one waits until accepted and is then
// compared with the latest before it. Several scans of one machine in one import are each
// compared with the one before.
TEST_P(StoreContract, OnlyTheNewLatestScanRecordsChanges) {
    auto store = open();
    report::Summary base = machineSummary(), bigger = machineSummary(), other = machineSummary();
    bigger.memory[0].sizeBytes = 16ull << 30;
    other.model = "Forged";
    other.memory.clear();
    const AddResult a = store->addScan(summaryScan("late-a", "K", 1000, base));
    const AddResult b = store->addScan(summaryScan("late-b", "K", 3000, bigger));
    ASSERT_EQ(store->scanChanges(b.scanId).size(), 1u);
    const AddResult late = store->addScan(summaryScan("late-late", "K", 2000, other));
    EXPECT_FALSE(late.conflicting);
    EXPECT_TRUE(store->scanChanges(late.scanId).empty()) << "older than the latest";
    EXPECT_EQ(store->scanChanges(b.scanId).size(), 1u) << "the latest's records stay";
    ChangeQuery all;
    EXPECT_EQ(store->changes(all).size(), 1u);

    NewScan forged = summaryScan("forged", "K", 4000, other);
    forged.fingerprint = hardware("BOARD-X", "Core i3", 4, {"MX"}, {"DX"});
    NewScan real = summaryScan("real", "K2", 1000, base);
    real.fingerprint = hardware("BOARD-1", "Core i7", 16, {"MOD-1", "MOD-2"}, {"DISK-1"});
    const AddResult r = store->addScan(real);
    forged.identityKey = "K2";
    const AddResult f = store->addScan(forged);
    ASSERT_TRUE(f.conflicting);
    EXPECT_TRUE(store->scanChanges(f.scanId).empty()) << "a conflicting scan records nothing";
    ASSERT_EQ(store->acceptScan(f.scanId), Acceptance::AcceptedAsLatest);
    const auto accepted = store->scanChanges(f.scanId);
    EXPECT_FALSE(accepted.empty());
    for (const auto& c : accepted) EXPECT_EQ(c.previousScanId, r.scanId);

    // An import: both scans in one call (SQLite commits them as one group).
    const auto results = store->addScans({summaryScan("group-a", "G", 1000, base),
                                          summaryScan("group-b", "G", 2000, bigger),
                                          summaryScan("group-c", "G", 3000, base)});
    ASSERT_EQ(results.size(), 3u);
    EXPECT_TRUE(store->scanChanges(results[0].scanId).empty());
    ASSERT_EQ(store->scanChanges(results[1].scanId).size(), 1u);
    EXPECT_EQ(store->scanChanges(results[1].scanId)[0].previousScanId, results[0].scanId);
    ASSERT_EQ(store->scanChanges(results[2].scanId).size(), 1u);
    EXPECT_EQ(store->scanChanges(results[2].scanId)[0].previousScanId, results[1].scanId);
    EXPECT_TRUE(store->addScan(summaryScan("group-c", "G", 3000, base)).duplicate);
    EXPECT_EQ(store->scanChanges(results[2].scanId).size(), 1u) << "a duplicate records nothing";
    (void)a;
}

// The feed: newest first, filtered, paged by key so that a change recorded between two pages
// neither repeats a row nor skips one.
TEST_P(StoreContract, TheChangeFeedFiltersAndPagesByKey) {
    auto store = open();
    report::Summary s = machineSummary();
    std::vector<std::int64_t> machines;
    for (int m = 0; m < 3; ++m) {
        const std::string key = "feed-" + std::to_string(m);
        report::Summary now = s;
        machines.push_back(store->addScan(summaryScan(key + "-0", key, 1000, now)).machineId);
        for (int i = 1; i <= 4; ++i) {
            now.programVersion = "1." + std::to_string(i);
            if (i == 2) now.memory[2].empty = false, now.memory[2].serialNumber = "NEW-" + key;
            store->addScan(summaryScan(key + "-" + std::to_string(i), key, 1000 + i * 100 + m, now));
        }
    }
    ChangeQuery q;
    const auto all = store->changes(q);
    ASSERT_EQ(all.size(), 15u);  // per machine: 4 scanner updates, 1 module added
    for (std::size_t i = 1; i < all.size(); ++i)
        EXPECT_TRUE(std::make_pair(all[i - 1].atMs, all[i - 1].id) > std::make_pair(all[i].atMs, all[i].id));

    q.limit = 4;
    std::vector<std::int64_t> paged;
    for (;;) {
        const auto page = store->changes(q);
        for (const auto& c : page) paged.push_back(c.id);
        if (page.size() < q.limit) break;
        q.after = std::make_pair(page.back().atMs, page.back().id);
        if (paged.size() == 4)  // a scan arriving between pages lands before the cursor
            store->addScan(summaryScan("feed-late", "feed-0", 9000, machineSummary()));
    }
    std::vector<std::int64_t> expected;
    for (const auto& c : all) expected.push_back(c.id);
    EXPECT_EQ(paged, expected);

    ChangeQuery added;
    added.kind = ChangeKind::Added;
    added.component = "memory";
    EXPECT_EQ(store->changes(added).size(), 3u);
    ChangeQuery period;
    period.sinceMs = 1200;
    period.untilMs = 1300;
    const auto inPeriod = store->changes(period);
    EXPECT_EQ(inPeriod.size(), 6u);  // the second scans: an update and a module each
    ChangeQuery one;
    one.machineId = machines[1];
    one.component = "scanner";
    EXPECT_EQ(store->changes(one).size(), 4u);
}

// Records go with their machine and their scan; merging remakes them as one history, and a
// rebuild writes the same records again however often it runs.
TEST_P(StoreContract, ChangeRecordsFollowTheirMachineAndRebuildTheSame) {
    auto store = open();
    report::Summary base = machineSummary(), bigger = machineSummary();
    bigger.memory[0].sizeBytes = 16ull << 30;
    const AddResult a1 = store->addScan(summaryScan("m-a1", "A", 1000, base));
    const AddResult a2 = store->addScan(summaryScan("m-a2", "A", 3000, bigger));
    const AddResult b1 = store->addScan(summaryScan("m-b1", "B", 2000, base));
    const AddResult b2 = store->addScan(summaryScan("m-b2", "B", 4000, base));
    EXPECT_EQ(store->scanChanges(a2.scanId).size(), 1u);
    EXPECT_TRUE(store->scanChanges(b2.scanId).empty());

    // A and B merged: one chain a1, b1, a2, b2 (bigger memory at a2, back at b2).
    ASSERT_EQ(store->mergeMachines(a1.machineId, b1.machineId, entry(audit::kMachinesMerged, "m")).result,
              MergeResult::Merged);
    ChangeQuery history;
    history.machineId = a1.machineId;
    const auto merged = store->changes(history);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].scanId, b2.scanId);
    EXPECT_EQ(merged[0].previousScanId, a2.scanId);
    EXPECT_EQ(merged[1].scanId, a2.scanId);
    EXPECT_EQ(merged[1].previousScanId, b1.scanId);

    // A rebuild, twice, in steps of one machine: the same records.
    const AddResult c1 = store->addScan(summaryScan("m-c1", "C", 5000, base));
    store->addScan(summaryScan("m-c2", "C", 6000, bigger));
    const auto before = store->changes(ChangeQuery{});
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::int64_t after = 0;
        std::uint64_t machines = 0, changes = 0;
        for (;;) {
            const ChangeRebuild step = store->rebuildChanges(after, 1);
            if (step.machines == 0) break;
            EXPECT_EQ(step.machines, 1u);
            machines += step.machines;
            changes += step.changes;
            after = step.lastMachineId;
        }
        EXPECT_EQ(machines, 2u);
        EXPECT_EQ(changes, 3u);
        EXPECT_EQ(shapes(store->changes(ChangeQuery{})), shapes(before));
        EXPECT_EQ(store->changes(ChangeQuery{}).size(), before.size());
    }

    // Retention: the scan compared with goes, the record stays and forgets it; the scan
    // itself goes, its records go.
    EXPECT_EQ(store->pruneScans(2500, 100), 2u);  // a1 and b1 (a2 is not before 2500)
    const auto kept = store->changes(history);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].scanId, a2.scanId);
    EXPECT_EQ(kept[1].previousScanId, 0);
    EXPECT_EQ(store->pruneScans(3500, 100), 1u);  // a2
    EXPECT_EQ(store->changes(history).size(), 1u);

    ASSERT_TRUE(store->deleteMachine(c1.machineId, entry(audit::kMachineDeleted, "c")));
    ChangeQuery ofC;
    ofC.machineId = c1.machineId;
    EXPECT_TRUE(store->changes(ofC).empty());
    EXPECT_EQ(rawInteger("SELECT count(*) FROM hardware_changes WHERE machine_id = " +
                         std::to_string(c1.machineId)),
              0);
}

// ---- The survey's counts ------------------------------------------------------------------

// A scan of a machine by its board serial, with the memory type the survey counts.
NewScan surveyScan(const std::string& digest, const std::string& board, std::int64_t at,
                   const std::string& memoryType, const std::string& os = "Windows 11 Pro") {
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
    module.sizeBytes = 16ull << 30;
    module.serialNumber = board + "-M1";
    s.memory = {module};
    s.memoryBytes = 16ull << 30;
    s.memoryModules = 1;
    s.os = os;
    NewScan scan = makeScan(digest, board, at);
    scan.summaryJson = report::toJsonText(s);
    scan.fingerprint = identity::encodeFingerprint(identity::fingerprintOf(s));
    return scan;
}

std::map<std::string, std::uint64_t> countsOf(Store& store, std::int64_t month,
                                              report::survey::Dimension dimension) {
    std::map<std::string, std::uint64_t> out;
    const auto counts = store.surveyCounts(month);
    EXPECT_TRUE(counts) << "a new database is counted";
    if (!counts) return out;
    for (const SurveyCount& c : *counts)
        if (c.dimension == dimension) out[c.value] += c.machines;
    return out;
}

// The machines of every dimension of the month add up to the same number.
void expectDimensionsAddUp(Store& store, std::int64_t month) {
    std::array<std::uint64_t, report::survey::kDimensionCount> sums{};
    for (const SurveyCount& c : store.surveyCounts(month).value_or(std::vector<SurveyCount>{}))
        sums[static_cast<std::size_t>(c.dimension)] += c.machines;
    for (std::size_t d = 1; d < sums.size(); ++d)
        EXPECT_EQ(sums[d], sums[0]) << report::survey::kDimensionNames[d];
}

constexpr std::int64_t kNovember = 1'793'491'200'000;  // 2026-11-01, UTC
constexpr std::int64_t kDecember = 1'796'083'200'000;  // 2026-12-01
constexpr std::int64_t kSurveyDay = 24LL * 3600 * 1000;

// A: DDR4 on the 5th, DDR5 from the 20th (and in December); B: DDR4, then a report of other
// hardware under its identity (conflicting, DDR3); C: LPDDR4.
struct SurveyFleet {
    AddResult a5, a20, aDec, b10, bForged, c12;
    explicit SurveyFleet(Store& store) {
        a5 = store.addScan(surveyScan("a5", "A", kNovember + 4 * kSurveyDay, "DDR4"));
        a20 = store.addScan(surveyScan("a20", "A", kNovember + 19 * kSurveyDay, "DDR5"));
        aDec = store.addScan(surveyScan("aDec", "A", kDecember + 2 * kSurveyDay, "DDR5"));
        b10 = store.addScan(surveyScan("b10", "B", kNovember + 9 * kSurveyDay, "DDR4"));
        NewScan forged = surveyScan("bForged", "FORGED", kNovember + 24 * kSurveyDay, "DDR3", "Windows XP");
        forged.identityKey = "B";
        bForged = store.addScan(forged);
        c12 = store.addScan(surveyScan("c12", "C", kNovember + 11 * kSurveyDay, "LPDDR4"));
    }
};

TEST_P(StoreContract, TheSurveysCountsFollowEveryChangeOfScans) {
    using Counts = std::map<std::string, std::uint64_t>;
    struct Case {
        const char* name;
        std::function<void(Store&, const SurveyFleet&)> change;
        Counts november, december;
    };
    const auto drain = [](const std::function<bool()>& step) {
        for (int i = 0; i < 100 && step(); ++i) {
        }
    };
    const Case cases[] = {
        {"as stored", [](Store&, const SurveyFleet&) {},
         {{"DDR5", 1}, {"DDR4", 1}, {"LPDDR4", 1}}, {{"DDR5", 1}}},
        {"a conflicting scan accepted",
         [](Store& s, const SurveyFleet& f) { s.acceptScan(f.bForged.scanId); },
         {{"DDR5", 1}, {"DDR3", 1}, {"LPDDR4", 1}}, {{"DDR5", 1}}},
        {"older scans imported late: one the latest of its month, one not",
         [](Store& s, const SurveyFleet&) {
             s.addScans({surveyScan("a1", "A", kNovember, "DDR3"),
                         surveyScan("c28", "C", kNovember + 27 * kSurveyDay, "DDR5")});
         },
         {{"DDR5", 2}, {"DDR4", 1}}, {{"DDR5", 1}}},
        {"C merged into A",
         [](Store& s, const SurveyFleet& f) {
             s.mergeMachines(f.a5.machineId, f.c12.machineId, entry(audit::kMachinesMerged, "m"));
         },
         {{"DDR5", 1}, {"DDR4", 1}}, {{"DDR5", 1}}},
        {"A's DDR5 scan of November split off",
         [](Store& s, const SurveyFleet& f) {
             s.splitScan(f.a20.scanId, entry(audit::kMachinesMerged, "s"));
         },
         {{"DDR5", 1}, {"DDR4", 2}, {"LPDDR4", 1}}, {{"DDR5", 1}}},
        {"C's scan moved under A's key",
         [](Store& s, const SurveyFleet& f) {
             EXPECT_TRUE(s.moveScan(f.c12.scanId, "A", "uuid+serial", entry(audit::kMachinesMerged, "mv")).moved);
         },
         {{"DDR5", 1}, {"DDR4", 1}}, {{"DDR5", 1}}},
        {"A deleted",
         [](Store& s, const SurveyFleet& f) {
             EXPECT_TRUE(s.deleteMachine(f.a5.machineId, entry(audit::kMachinesMerged, "d")));
         },
         {{"DDR4", 1}, {"LPDDR4", 1}}, {}},
        {"scans before the 21st pruned, never a machine's latest",
         [&](Store& s, const SurveyFleet&) {
             drain([&] { return s.pruneScans(kNovember + 20 * kSurveyDay, 2) > 0; });
         },
         {{"DDR4", 1}, {"LPDDR4", 1}}, {{"DDR5", 1}}},
        {"machines not seen in December pruned",
         [&](Store& s, const SurveyFleet&) {
             drain([&] { return s.pruneMachines(kDecember, 2).any(); });
         },
         {{"DDR5", 1}}, {{"DDR5", 1}}},
        {"a summary made again",
         [](Store& s, const SurveyFleet& f) {
             const NewScan again = surveyScan("c12", "C", kNovember, "LPDDR5");
             EXPECT_TRUE(s.putSummary(f.c12.scanId, again.summaryJson));
         },
         {{"DDR5", 1}, {"DDR4", 1}, {"LPDDR5", 1}}, {{"DDR5", 1}}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        data_ = "survey-" + std::to_string(++n);
        auto store = open();
        const SurveyFleet fleet(*store);
        ASSERT_TRUE(fleet.bForged.conflicting);
        c.change(*store, fleet);
        EXPECT_EQ(countsOf(*store, kNovember, report::survey::Dimension::MemoryType), c.november);
        EXPECT_EQ(countsOf(*store, kDecember, report::survey::Dimension::MemoryType), c.december);
        expectDimensionsAddUp(*store, kNovember);
        // The counts kept agree with the scans counted anew; a recount that found them right
        // changes nothing.
        const SurveyRecount recount = store->recountSurvey();
        EXPECT_TRUE(recount.agreed()) << recount.membersDiffering << " " << recount.countsDiffering;
        EXPECT_EQ(countsOf(*store, kNovember, report::survey::Dimension::MemoryType), c.november);
    }
}

TEST_P(StoreContract, ARecountPutsRightCountsThatWentWrong) {
    auto store = open();
    const SurveyFleet fleet(*store);
    const auto november = countsOf(*store, kNovember, report::survey::Dimension::MemoryType);
    // A counter off by some, a count of a value no machine has, a member with a stale value.
    rawExec("UPDATE survey_counts SET machines = machines + 3 WHERE dimension = 'os'");
    rawExec("INSERT INTO survey_counts (month, dimension, value, machines) VALUES (" +
            std::to_string(kNovember) + ", 'maker', 'Nobody', 7)");
    rawExec("UPDATE survey_members SET memory_type = 'DDR2' WHERE memory_type = 'LPDDR4'");
    const SurveyRecount recount = store->recountSurvey();
    EXPECT_FALSE(recount.agreed());
    EXPECT_EQ(recount.membersDiffering, 1u);
    // os in both months, and "Nobody"; the stale member's counters were right all along.
    EXPECT_EQ(recount.countsDiffering, 3u);
    EXPECT_EQ(countsOf(*store, kNovember, report::survey::Dimension::MemoryType), november);
    EXPECT_TRUE(store->recountSurvey().agreed());
}

TEST_P(StoreContract, ReceiversAddingScansOfTheSameMachinesAtOnceKeepTheCountsRight) {
    // Several stores on one database (receivers), each adding scans of the same machines,
    // months and values from threads of its own: every counter row is wanted by all at once.
    constexpr int kWriters = 4, kScansEach = 30;
    std::vector<std::unique_ptr<Store>> stores;
    for (int w = 0; w < kWriters; ++w) stores.push_back(open());
    const char* types[] = {"DDR3", "DDR4", "DDR5", "LPDDR5"};
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kScansEach; ++i) {
                const int machine = (i + w) % 6;
                const std::string board = "M" + std::to_string(machine);
                const std::int64_t at = (i % 2 ? kNovember : kDecember) + (w * kScansEach + i) * 60'000;
                try {
                    NewScan scan = surveyScan("w" + std::to_string(w) + "-" + std::to_string(i), board,
                                              at, types[(i + w) % 4]);
                    scan.fingerprint.clear();  // the same machine whatever the values
                    if (i % 5 == 4)
                        stores[w]->addScans({scan, surveyScan("w" + std::to_string(w) + "-b" + std::to_string(i),
                                                              "M" + std::to_string((machine + 1) % 6), at + 1,
                                                              types[w % 4])});
                    else
                        stores[w]->addScan(scan);
                } catch (const std::exception& e) {
                    ++failures;
                    ADD_FAILURE() << e.what();
                }
            }
        });
    }
    for (auto& t : writers) t.join();
    EXPECT_EQ(failures.load(), 0);
    const auto december = countsOf(*stores[0], kDecember, report::survey::Dimension::MemoryType);
    std::uint64_t machines = 0;
    for (const auto& [value, n] : december) machines += n;
    EXPECT_EQ(machines, 6u);
    expectDimensionsAddUp(*stores[0], kNovember);
    const SurveyRecount recount = stores[0]->recountSurvey();
    EXPECT_TRUE(recount.agreed()) << recount.membersDiffering << " " << recount.countsDiffering;
}

TEST_P(StoreContract, SurveyFiltersFindMachinesByTheirCurrentValues) {
    auto store = open();
    const SurveyFleet fleet(*store);
    store->addScan(surveyScan("d", "D", kDecember + kSurveyDay, "DDR4", "Windows 10 Pro"));
    const auto ids = [&](const std::string& search) {
        const MachineSearch parsed = parseMachineSearch(search);
        EXPECT_EQ(parsed.problem, "") << search;
        MachineQuery q;
        q.search = parsed.text;
        q.facets = parsed.facets;
        const MachinePage page = store->machines(q);
        std::set<std::int64_t> out;
        for (const MachineRow& m : page.machines) out.insert(m.id);
        EXPECT_EQ(page.total, out.size()) << search;
        return out;
    };
    const std::int64_t a = fleet.a5.machineId, b = fleet.b10.machineId, c = fleet.c12.machineId;
    const std::int64_t d = *store->machineForKey("D");
    const std::pair<const char*, std::set<std::int64_t>> cases[] = {
        // A was DDR4 early in November: its current value is December's.
        {"memory_type:DDR5", {a}},
        {"memory_type:ddr4", {b, d}},
        {"memory_type:DDR3", {}},  // B's conflicting scan counts not
        {"os:\"Windows 10 Pro\"", {d}},
        {"memory_type:DDR4 os:\"windows 11 pro\"", {b}},
        {"Memory_Type:LPDDR4 Model", {c}},  // a text word next to the filter
        {"memory_type:DDR4 maker", {b, d}},
        {"memory_type:DDR4 nothing-matches", {}},
        {"memory_type:DDR", {}},  // the whole value, not a part
    };
    for (const auto& [search, expected] : cases) EXPECT_EQ(ids(search), expected) << search;
    // Accepted, the other hardware becomes B's current values.
    store->acceptScan(fleet.bForged.scanId);
    EXPECT_EQ(ids("memory_type:DDR3"), (std::set<std::int64_t>{b}));
}

// hardware-changed goes out with the scan whose change records it has, once, and never for
// a scan that changed nothing but what moves by itself.
TEST_P(StoreContract, HardwareChangedGoesWithTheScanThatRecordedChanges) {
    auto store = open();
    const auto hook = store->addWebhook(hookFor("https://c.example/", {"hardware-changed"}),
                                        hookAudit(audit::kWebhookAdded));
    report::Summary bigger = machineSummary(), clocks = machineSummary();
    bigger.memory[0].sizeBytes = 16ull << 30;
    clocks.processors[0].maxClockMHz = 3100u;
    store->addScan(summaryScan("hc-1", "HC", 1000, machineSummary()));
    store->addScan(summaryScan("hc-2", "HC", 2000, clocks));
    EXPECT_TRUE(eventsOf(*store, hook).empty());
    const AddResult changed = store->addScan(summaryScan("hc-3", "HC", 3000, bigger));
    ASSERT_EQ(store->scanChanges(changed.scanId).size(), 1u);
    EXPECT_EQ(eventsOf(*store, hook), std::vector<std::string>{"hardware-changed"});
    EXPECT_NE(store->webhookDeliveries(hook, 10).at(0).payload.find(
                  "\"id\":" + std::to_string(changed.scanId)),
              std::string::npos);
    store->addScan(summaryScan("hc-late", "HC", 1500, bigger));  // older: records nothing
    EXPECT_EQ(eventsOf(*store, hook).size(), 1u);
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

// A report of `bytes` pseudo-random words (they compress to bytes nothing else has).
std::string wordyReport(std::uint32_t seed, std::size_t bytes) {
    std::mt19937 random(seed);
    std::string xml = "<HWInfo>";
    while (xml.size() < bytes) xml += "<W>" + std::to_string(random()) + "</W>";
    return xml + "</HWInfo>";
}

std::string fileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string sqliteBlob(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    std::string out;
    if (sqlite3_step(stmt) == SQLITE_ROW)
        out.assign(static_cast<const char*>(sqlite3_column_blob(stmt, 0)),
                   static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
}

// After a machine is deleted, none of its data is left in any file of the database while
// the receiver runs on: not in the rows, their indexes or the freed pages (overwritten with
// zeros), not in the log (copied back and truncated), not in its index. Another machine's
// serial number still is: the search finds what is there.
TEST(SqliteStore, ADeletedMachineLeavesNoneOfItsBytesInAnyFile) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    auto store = openStore({data.string(), ""});
    const fs::path file = data / "receiver.sqlite3";
    const auto withSerial = [](const std::string& maker, const std::string& serial, const std::string& uuid) {
        ScanColumns c = columns(maker, maker + " Model");
        c.serialNumbers = serial + " BOARD-" + serial;
        c.uuid = uuid;
        return c;
    };
    const std::string doomedSerial = "DOOMSN7731XQ", doomedUuid = "D00D5EED-7731-4ABC-9DEF-0123456789AB";
    const std::string keptSerial = "KEEPSN4410ZP";
    std::vector<std::string> receipts;
    std::int64_t doomedMachine = 0;
    for (int i = 0; i < 40; ++i) {  // machines around it share its pages
        const std::string n = std::to_string(i);
        store->addScan(makeScan("other-" + n, "other-" + n, 100 + i,
                                withSerial("Other", "OTHSN" + n + "Q", "")));
        if (i % 10 == 0) {
            NewScan doomed = makeScan("doomed-digest-" + n, "uuid:" + doomedUuid, 200 + i,
                                      withSerial("Doomed", doomedSerial, doomedUuid));
            doomed.reportBytes = wordyReport(static_cast<std::uint32_t>(i), 40'000);
            doomed.summaryJson = "{\"serialNumber\":\"" + doomedSerial + "\"}";
            doomedMachine = store->addScan(doomed).machineId;
            receipts.push_back(doomed.receipt);
        }
    }
    store->addScan(makeScan("kept", "kept", 500, withSerial("Kept", keptSerial, "")));
    std::vector<std::string> compressed;
    for (const std::string& receipt : receipts) {
        const std::string blob = sqliteBlob(file, "SELECT report FROM scans WHERE receipt = '" + receipt + "'");
        ASSERT_GT(blob.size(), 10'000u);
        compressed.push_back(blob.substr(blob.size() / 2, 48));
    }
    const auto everyFile = [&] {
        std::string bytes;
        for (const char* suffix : {"", "-wal", "-shm"}) bytes += fileBytes(file.string() + suffix);
        return bytes;
    };
    std::vector<std::string> needles = {doomedSerial, "doomsn7731xq", doomedUuid, "d00d5eed-7731"};
    needles.insert(needles.end(), receipts.begin(), receipts.end());
    needles.insert(needles.end(), compressed.begin(), compressed.end());
    {
        const std::string before = everyFile();
        for (const std::string& needle : needles)
            ASSERT_NE(before.find(needle), std::string::npos) << "the check would find it";
    }

    // As on a receiver that has run a while: the pages are in the database file already,
    // where deleting leaves them unless they are overwritten.
    sqliteExec(file, "PRAGMA wal_checkpoint(TRUNCATE)");
    AuditEntry who{0, 1, "ann", std::string(audit::kMachineDeleted), "machine", "", ""};
    ASSERT_TRUE(store->deleteMachine(doomedMachine, who));
    const std::string after = everyFile();
    for (std::size_t i = 0; i < needles.size(); ++i)
        EXPECT_EQ(after.find(needles[i]), std::string::npos) << "needle " << i << " is still there";
    EXPECT_NE(after.find(keptSerial), std::string::npos);
    EXPECT_EQ(fs::file_size(file.string() + "-wal"), 0u) << "the log is truncated";
    EXPECT_EQ(store->machines({}).total, 41u);
}

// The search index keeps a deleted machine's terms in its older segments until they are
// merged: right after the deletion it is larger than an index of the machines that are
// left; after scrub() it is exactly that size.
TEST(SqliteStore, ScrubLeavesTheSearchIndexAsIfRebuiltFromTheMachinesLeft) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    const fs::path file = data / "receiver.sqlite3";
    const std::string indexSize = "SELECT sum(length(block)) FROM machines_search_data";
    std::int64_t scrubbed = 0, unmerged = 0;
    {
        auto store = openStore({data.string(), ""});
        std::mt19937 random(5);
        std::vector<NewScan> scans;
        for (int i = 0; i < 60; ++i) {
            ScanColumns c = columns("Maker", "Model");
            for (int w = 0; w < 40; ++w) c.disks += std::to_string(random()) + " ";
            scans.push_back(makeScan("fts-" + std::to_string(i), "k" + std::to_string(i), i < 20 ? 10 : 1000, c));
        }
        store->addScans(scans);  // one transaction: one segment
        // Retention deletes without merging (a machine a transaction here); the merge is
        // scrub()'s.
        for (Removed r; (r = store->pruneMachines(100, 1)).any();) {
        }
        ASSERT_EQ(store->machines({}).total, 40u);
        unmerged = rawSqliteInteger(file, indexSize);
        store->scrub();
        scrubbed = rawSqliteInteger(file, indexSize);
    }
    sqliteExec(file, "INSERT INTO machines_search (machines_search) VALUES ('rebuild'); "
                     "INSERT INTO machines_search (machines_search) VALUES ('optimize')");
    const std::int64_t rebuilt = rawSqliteInteger(file, indexSize);
    EXPECT_GT(unmerged, rebuilt + 1000) << "the deleted terms were still indexed";
    // The same terms and rows; only the segment's number in the index's header differs.
    EXPECT_NEAR(static_cast<double>(scrubbed), static_cast<double>(rebuilt), 64.0);
}

// The worker prunes by its own clock, at start and then at each interval; a run that
// removed something is one audit entry by the receiver with the counts; one that removed
// nothing leaves none. It stops at once, whatever its interval.
TEST(Retention, TheWorkerPrunesByItsClockAndRecordsRunsThatRemovedSomething) {
    TempDir dir;
    auto store = openStore({(dir.path() / "data").string(), ""});
    constexpr std::int64_t kDay = 24LL * 3600 * 1000;
    const std::int64_t start = 1'700'000'000'000;
    for (int day : {0, 1, 10}) store->addScan(makeScan("a" + std::to_string(day), "A", start + day * kDay));
    const AddResult b = store->addScan(makeScan("b0", "B", start));
    store->appendAudit({0, start - 500 * kDay, "ann", std::string(audit::kSignIn), "", "", ""});
    store->appendAudit({0, start, "ann", std::string(audit::kSignIn), "", "", ""});

    std::atomic<std::int64_t> now{start + 12 * kDay};
    RetentionPolicy policy;
    policy.scanDays = 5;
    policy.machineDays = 11;
    policy.auditDays = 400;
    std::ostringstream log;
    const auto began = std::chrono::steady_clock::now();
    {
        RetentionWorker worker(*store, policy, [&] { return now.load(); }, std::chrono::hours(1), log);
        while (worker.status().runs == 0 && std::chrono::steady_clock::now() - began < std::chrono::seconds(20))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto status = worker.status();
        ASSERT_EQ(status.runs, 1u) << log.str();
        EXPECT_EQ(status.failures, 0u);
        EXPECT_EQ(status.lastRunMs, now.load());
        EXPECT_EQ(status.last.machines, 1u);
        EXPECT_EQ(status.last.scans, 3u) << "B's one, and A's two older than five days";
        EXPECT_EQ(status.last.auditEntries, 1u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20)) << "stopped at once";
    EXPECT_FALSE(store->machine(b.machineId));
    const auto scans = store->scans(std::nullopt);
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].receivedAtMs, start + 10 * kDay);
    AuditQuery pruned;
    pruned.action = std::string(audit::kPruned);
    auto entries = store->auditEntries(pruned);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].actor, audit::kReceiver);
    EXPECT_EQ(entries[0].atMs, now.load());
    EXPECT_EQ(entries[0].detail, "machines=1 scans=3 audit=1");

    EXPECT_FALSE(pruneAll(*store, cutoffsAt(policy, now.load()), "cli:root", now.load()).any());
    EXPECT_EQ(store->auditEntries(pruned).size(), 1u) << "a run that removed nothing is not recorded";
    now += 30 * kDay;  // the machine's latest scan stays, however old
    EXPECT_EQ(pruneAll(*store, cutoffsAt({5, std::nullopt, std::nullopt}, now.load()), "cli:root", now.load()).scans, 0u);
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

// --- Storage failures: one line per kind, at most one per kind per interval ---

TEST(FailureLog, OneLinePerKindAtMostOncePerIntervalWithTheCountLeftOut) {
    std::ostringstream out;
    FailureLog::Clock::time_point now{};
    FailureLog log(out, std::chrono::seconds(60), [&] { return now; });
    const auto failure = [](FailureKind kind, const std::string& text) { return StorageUnavailable(text, kind); };
    struct Step {
        int atSeconds;
        FailureKind kind;
        const char* message;
        const char* line;  // the line written, or "" for none
    };
    const Step steps[] = {
        {0, FailureKind::Timeout, "no answer", "gravelin-receiver: storage failure (timeout): no answer"},
        {1, FailureKind::Timeout, "no answer", ""},
        {2, FailureKind::DiskFull, "database or disk is full\nsecond line",
         "gravelin-receiver: storage failure (disk_full): database or disk is full second line"},
        {30, FailureKind::Timeout, "no answer", ""},
        {59, FailureKind::Timeout, "no answer", ""},
        {60, FailureKind::Timeout, "still nothing",
         "gravelin-receiver: storage failure (timeout): still nothing (3 more of this kind since the last line)"},
        {61, FailureKind::Unreachable, "connection refused",
         "gravelin-receiver: storage failure (unreachable): connection refused"},
        {200, FailureKind::Timeout, "later", "gravelin-receiver: storage failure (timeout): later"},
    };
    for (const Step& step : steps) {
        now = FailureLog::Clock::time_point{} + std::chrono::seconds(step.atSeconds);
        out.str("");
        log.record(failure(step.kind, step.message));
        EXPECT_EQ(out.str(), *step.line ? std::string(step.line) + "\n" : "") << "at " << step.atSeconds << " s";
    }
    EXPECT_EQ(log.counts(), (std::map<std::string, std::uint64_t>{{"timeout", 6}, {"disk_full", 1}, {"unreachable", 1}}));
}

// A damaged index answers 503 like any failure; it must also say so, and say what it is.
TEST(SqliteStore, ADamagedIndexIsLoggedAsDamaged) {
    TempDir dir;
    const fs::path data = dir.path() / "data";
    {
        auto store = openStore({data.string(), ""});
        std::vector<NewScan> scans;
        for (int i = 0; i < 2000; ++i)
            scans.push_back(makeScan("d" + std::to_string(i), "k" + std::to_string(i), i,
                                     columns("Maker " + std::to_string(i % 97), "Model")));
        store->addScans(scans);
    }
    const fs::path file = data / "receiver.sqlite3";
    sqliteExec(file, "PRAGMA wal_checkpoint(TRUNCATE)");
    std::int64_t root = 0, pageSize = 0;
    {
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT rootpage, (SELECT page_size FROM pragma_page_size) FROM sqlite_schema "
                               "WHERE name = 'machines_by_maker'", -1, &stmt, nullptr);
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            root = sqlite3_column_int64(stmt, 0);
            pageSize = sqlite3_column_int64(stmt, 1);
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }
    ASSERT_GT(root, 1);
    {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp((root - 1) * pageSize);
        const std::string garbage(static_cast<std::size_t>(pageSize), '\x5a');
        f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    std::ostringstream out;
    FailureLog log(out);
    auto store = withFailureLog(openStore({data.string(), ""}), log);
    MachineQuery bySort;
    bySort.sort = MachineSort::Maker;
    try {
        store->machines(bySort);
        FAIL() << "read a damaged index";
    } catch (const StorageUnavailable& e) {
        EXPECT_EQ(e.kind(), FailureKind::Damaged) << e.what();
    }
    EXPECT_THAT(out.str(), HasSubstr("storage failure (damaged): "));
    EXPECT_EQ(log.counts(), (std::map<std::string, std::uint64_t>{{"damaged", 1}}));
}

// --- PostgreSQL only: the server stops under the receiver and comes back ---

TEST(PostgresStore, AStoppedServerIsUnavailableThenUsedAgainWhenItReturns) {
    const char* control = std::getenv("GRAVELIN_TEST_POSTGRES_CTL");
    ASSERT_FALSE(postgresUri().empty() || !control)
        << "run through tests/receiver/storage/with-postgres.sh (ctest does)";
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

// A server whose processes are stopped (SIGSTOP): connections are accepted by the kernel and
// never answered. Every call must fail within the deadline, and the store work again once
// the server goes on.
class StoppedServer {
public:
    explicit StoppedServer(const std::string& dataDir) {
        std::ifstream pidFile(dataDir + "/postmaster.pid");
        pid_t postmaster = 0;
        pidFile >> postmaster;
        if (postmaster <= 0) throw std::runtime_error("no postmaster.pid in " + dataDir);
        pids_.push_back(postmaster);
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line)) continue;
            const auto close = line.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream rest(line.substr(close + 2));
            char state = 0;
            pid_t parent = 0;
            rest >> state >> parent;
            if (parent == postmaster) pids_.push_back(static_cast<pid_t>(std::stol(entry.path().filename())));
        }
        for (pid_t pid : pids_) ::kill(pid, SIGSTOP);
    }
    ~StoppedServer() { resume(); }
    void resume() {
        for (pid_t pid : pids_) ::kill(pid, SIGCONT);
        pids_.clear();
    }

private:
    std::vector<pid_t> pids_;
};

TEST(PostgresStore, AStalledServerFailsEveryCallWithinTheDeadline) {
    const char* control = std::getenv("GRAVELIN_TEST_POSTGRES_CTL");
    ASSERT_FALSE(postgresUri().empty() || !control)
        << "run through tests/receiver/storage/with-postgres.sh (ctest does)";
    const std::string ctl = control;
    const std::string dataDir = ctl.substr(ctl.rfind(' ') + 1) + "/data";
    postgresExec("DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
    StoreLocation location{"", postgresUri()};
    location.deadline = std::chrono::milliseconds(1000);
    std::ostringstream out;
    FailureLog log(out);
    auto store = withFailureLog(openStore(location), log);
    std::vector<std::thread> threads;  // several pooled connections, all of which stall
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] { store->addScan(makeScan("before-" + std::to_string(t), "k", 1)); });
    for (auto& t : threads) t.join();

    StoppedServer stopped(dataDir);
    // Without a deadline a call would wait for the server for ever: this lets it go on after
    // 20 s so that the test ends (and fails) instead of hanging.
    std::mutex mutex;
    std::condition_variable doneSignal;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!doneSignal.wait_for(lock, std::chrono::seconds(20), [&] { return done; })) stopped.resume();
    });
    struct Call {
        const char* name;
        std::function<void()> run;
    };
    const std::vector<Call> calls = {
        {"addScan on a pooled connection", [&] { store->addScan(makeScan("during", "k", 2)); }},
        {"addScan on a new connection", [&] { store->addScan(makeScan("during", "k", 2)); }},
        {"machines", [&] { store->machines({}); }},
        {"scan", [&] { store->scan(1); }},
        {"acceptScan", [&] { store->acceptScan(1); }},
        {"session", [&] { store->session("x"); }},
        {"probe", [&] { store->probe(); }},
    };
    for (const Call& call : calls) {
        const auto start = std::chrono::steady_clock::now();
        try {
            call.run();
            ADD_FAILURE() << call.name << " answered while the server was stopped";
        } catch (const StorageUnavailable& e) {
            EXPECT_EQ(e.kind(), FailureKind::Timeout) << call.name << ": " << e.what();
        }
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(1000 + 750)) << call.name;
        EXPECT_GE(took, std::chrono::milliseconds(900)) << call.name << ": gave up before the deadline";
    }
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    doneSignal.notify_all();
    watchdog.join();
    stopped.resume();
    EXPECT_THAT(out.str(), HasSubstr("storage failure (timeout): "));
    EXPECT_EQ(log.counts().at("timeout"), calls.size());

    const AddResult after = store->addScan(makeScan("after", "k", 3));
    const auto machine = store->machine(after.machineId);
    ASSERT_TRUE(machine);
    // The stalled addScans may have committed on the server once it went on (the post was
    // refused; the digest recognises the report when it is posted again).
    EXPECT_TRUE(machine->scanCount == 4u || machine->scanCount == 5u) << machine->scanCount;
    EXPECT_TRUE(store->addScan(makeScan("during", "k", 2)).scanId > 0);
    store->probe();
}

}  // namespace
}  // namespace gravelin::storage
