// The embedded engine: one SQLite file, <data directory>/receiver.sqlite3.
//
// Durability: WAL journal with synchronous=FULL. In WAL mode FULL syncs the log at every
// commit, so a commit that returned survives a power loss; NORMAL syncs only at checkpoints
// and may lose the last commits on power loss (not on a crash of the process), which would
// break "a 200 only for a stored scan".
//
// Throughput: one fsync costs milliseconds here (about 6 ms on the CI machine's disk), so one
// transaction per report would cap the receiver at a few hundred reports per second. addScan
// therefore commits in groups: concurrent callers queue their scans, one of them (the
// leader) writes every queued scan in one transaction, each in its own savepoint, commits
// once, and wakes the others; each caller returns only after the commit that holds its scan.
// Compression happens in the caller's thread, before it queues.
//
// Checkpoints: SQLite would copy the log into the database file (two more fsyncs and
// megabytes of writes) inside whichever commit crosses wal_autocheckpoint, and every caller
// queued behind that commit would wait for it. The writer therefore never checkpoints
// itself; a thread of its own, on its own connection, runs a passive checkpoint (it never
// blocks the writer) once the log holds kCheckpointPages pages. Under steady load the writer
// appends while that runs, so the log is never wholly copied and never starts over: once it
// holds kLargestLogPages the writer checkpoints after its commit, as SQLite would have, but
// finds most pages copied already; the next transaction then starts the log over (and
// journal_size_limit truncates the file). Checkpoints change nothing about durability: a
// commit is durable once its log frames are synced. A checkpoint copies each page once,
// however often the log holds it, and a stored scan rewrites the same index pages as the
// scans before it: every 8 MB of log it copied about half the pages written, every 32 MB
// a quarter to a third.
//
// Reads use a pool of read-only connections (WAL lets them run next to the writer).
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <type_traits>

#include "receiver/storage/SqliteLogVfs.h"
#include "receiver/storage/StoreInternal.h"

namespace gravelin::storage::detail {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kLargestBatch = 256;
constexpr int kCheckpointPages = 8000;   // 32 MB of log at 4 KiB pages
constexpr int kLargestLogPages = 16000;  // 64 MB: the writer then checkpoints itself

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t clampToInt64(std::uint64_t value) {
    constexpr auto kMax = static_cast<std::uint64_t>(INT64_MAX);
    return static_cast<std::int64_t>(value > kMax ? kMax : value);
}

// What a failed call of this connection was, from SQLite's codes and the system's errno.
FailureKind failureKind(sqlite3* db) {
    if (db == nullptr) return FailureKind::Other;
    const int code = sqlite3_extended_errcode(db) & 0xFF;
    if (code == SQLITE_CANTOPEN || code == SQLITE_IOERR || code == SQLITE_FULL) {
        const int error = sqlite3_system_errno(db);
        if (error == EMFILE || error == ENFILE) return FailureKind::Descriptors;
        if (error == ENOSPC || error == EDQUOT) return FailureKind::DiskFull;
    }
    switch (code) {
    case SQLITE_FULL: return FailureKind::DiskFull;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return FailureKind::Damaged;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return FailureKind::Busy;
    case SQLITE_INTERRUPT: return FailureKind::Timeout;
    default: return FailureKind::Other;
    }
}

// A connection that could not be opened, with what kind of failure it was.
class CannotOpen : public StorageError {
public:
    CannotOpen(const std::string& message, FailureKind kind) : StorageError(message), kind_(kind) {}
    FailureKind kind() const { return kind_; }

private:
    FailureKind kind_;
};

// Settings of the library itself, made once before its first use in the process (SQLite
// refuses them afterwards, and its defaults then stay). Memory statistics off: SQLite would
// otherwise take one process-wide mutex around every allocation and free of every
// connection, the writer's and the readers' alike; nothing here reads those statistics.
void configureLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
}

// One connection and its prepared statements. Used by one thread at a time.
class Connection {
public:
    class Statement {
    public:
        explicit Statement(Connection& c, sqlite3_stmt* s) : connection_(c), stmt_(s) {}
        ~Statement() {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;

        // Text is copied (callers pass temporaries); the blob is not: it must outlive the
        // statement's use (the compressed report, held by the caller until it returns).
        Statement& bind(int i, std::string_view text) {
            check(sqlite3_bind_text64(stmt_, i, text.data(), text.size(), SQLITE_TRANSIENT,
                                      SQLITE_UTF8));
            return *this;
        }
        Statement& bindBlob(int i, std::string_view bytes) {
            check(sqlite3_bind_blob64(stmt_, i, bytes.data(), bytes.size(), SQLITE_STATIC));
            return *this;
        }
        Statement& bind(int i, std::int64_t value) {
            check(sqlite3_bind_int64(stmt_, i, value));
            return *this;
        }
        Statement& bindNull(int i) {
            check(sqlite3_bind_null(stmt_, i));
            return *this;
        }
        // True while there is a row.
        bool step() {
            const int rc = sqlite3_step(stmt_);
            if (rc == SQLITE_ROW) return true;
            if (rc == SQLITE_DONE) return false;
            connection_.fail("step");
        }
        std::string text(int column) const {
            const auto* data = sqlite3_column_blob(stmt_, column);
            const int size = sqlite3_column_bytes(stmt_, column);
            return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                        : std::string();
        }
        std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }

    private:
        void check(int rc) {
            if (rc != SQLITE_OK) connection_.fail("bind");
        }
        Connection& connection_;
        sqlite3_stmt* stmt_;
    };

    // Opening failures are CannotOpen: the database cannot be opened at all. `name` is the
    // file's path, or a "file:" URI with SQLITE_OPEN_URI among the flags. A statement waits
    // at most busyTimeout for a lock another process holds, then fails.
    // `gatherLog`: the connection's log writes are gathered (SqliteLogVfs.h; the connection
    // must then run with synchronous=FULL).
    Connection(const std::string& name, int flags, std::chrono::milliseconds busyTimeout,
               bool gatherLog = false) {
        configureLibrary();
        const int rc = sqlite3_open_v2(name.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX,
                                       gatherLog ? gatheringLogVfs() : nullptr);
        if (rc != SQLITE_OK) {
            std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            const FailureKind kind = failureKind(db_);
            sqlite3_close(db_);
            db_ = nullptr;
            throw CannotOpen("cannot open " + name + ": " + message, kind);
        }
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, static_cast<int>(std::min<std::int64_t>(busyTimeout.count(), INT32_MAX)));
    }
    ~Connection() {
        for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
        sqlite3_close(db_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Statement prepare(const std::string& sql) {
        auto found = statements_.find(sql);
        if (found == statements_.end()) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                   SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
                fail("prepare");
            found = statements_.emplace(sql, stmt).first;
        }
        return Statement(*this, found->second);
    }

    void exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : sqlite3_errmsg(db_);
            sqlite3_free(error);
            throw StorageUnavailable("SQLite: " + message, failureKind(db_));
        }
    }

    [[noreturn]] void fail(const char* what) const {
        throw StorageUnavailable(std::string("SQLite ") + what + ": " + sqlite3_errmsg(db_),
                                 failureKind(db_));
    }

    sqlite3* handle() const { return db_; }

private:
    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*> statements_;
};

class StatementRow : public RowReader {
public:
    explicit StatementRow(const Connection::Statement& s) : s_(s) {}
    std::string text(int column) const override { return s_.text(column); }
    std::int64_t integer(int column) const override { return s_.integer(column); }

private:
    const Connection::Statement& s_;
};

// Receivers opening one file at once take turns at the steps that change it (the switch to
// WAL, the migrations): two connections that both read the file and then both ask for the
// exclusive lock the WAL switch needs would each be told "database is locked" at once, as
// SQLite does rather than wait in a deadlock. An flock on a file beside the database
// ("opening.lock", empty) makes the second wait for the first instead.
class OpeningTurn {
public:
    explicit OpeningTurn(const std::string& path) {
        const std::string lockPath = (fs::path(path).parent_path() / "opening.lock").string();
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0)
            throw StorageError("cannot open " + lockPath + ": " + std::strerror(errno));
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd_);
            throw StorageError("cannot lock " + lockPath + ": " + std::strerror(error));
        }
    }
    ~OpeningTurn() { ::close(fd_); }  // closing releases the lock
    OpeningTurn(const OpeningTurn&) = delete;
    OpeningTurn& operator=(const OpeningTurn&) = delete;

private:
    int fd_ = -1;
};

// A Transaction over one connection: the writer inside BEGIN IMMEDIATE, or a reader.
class SqliteTransaction final : public Transaction {
public:
    explicit SqliteTransaction(Connection& c) : c_(c) {}
    Dialect dialect() const override { return Dialect::Sqlite; }
    std::size_t run(const std::string& sql, const std::vector<SqlValue>& params,
                    const std::function<void(const RowReader&)>& row) override {
        auto s = c_.prepare(sql);
        int i = 0;
        for (const SqlValue& value : params) {
            ++i;
            if (const auto* n = std::get_if<std::int64_t>(&value))
                s.bind(i, *n);
            else
                s.bind(i, std::string_view(std::get<std::string>(value)));
        }
        std::size_t rows = 0;
        while (s.step()) {
            ++rows;
            if (row) row(StatementRow(s));
        }
        return rows;
    }

private:
    Connection& c_;
};

// Runs statements at open time, turning any failure into StorageError.
void openingExec(Connection& c, const char* sql, const std::string& what) {
    try {
        c.exec(sql);
    } catch (const StorageUnavailable& e) {
        throw StorageError(what + ": " + e.what());
    }
}

std::string pragmaText(Connection& c, const char* sql, const std::string& path) {
    try {
        auto s = c.prepare(sql);
        return s.step() ? s.text(0) : std::string();
    } catch (const StorageUnavailable& e) {
        throw StorageError("cannot open " + path + ": " + e.what());
    }
}

void migrate(Connection& c, const std::string& path) {
    for (;;) {
        openingExec(c, "BEGIN IMMEDIATE", "cannot lock " + path + " to migrate it");
        try {
            c.exec("CREATE TABLE IF NOT EXISTS schema_version ("
                   " version INTEGER PRIMARY KEY, description TEXT NOT NULL,"
                   " applied_at INTEGER NOT NULL) STRICT");
            int version = 0;
            {
                auto s = c.prepare("SELECT coalesce(max(version), 0) FROM schema_version");
                if (s.step()) version = static_cast<int>(s.integer(0));
            }
            if (version > currentSchemaVersion()) throw StorageError(newerSchemaMessage(version));
            const Migration* next = migrationAfter(version);
            if (!next) {
                c.exec("COMMIT");
                return;
            }
            try {
                c.exec(next->sqlite);
            } catch (const StorageUnavailable& e) {
                throw StorageError("migration to schema version " + std::to_string(next->version) +
                                   " failed: " + e.what());
            }
            c.prepare("INSERT INTO schema_version (version, description, applied_at) "
                      "VALUES (?1, ?2, ?3)")
                .bind(1, std::int64_t{next->version})
                .bind(2, next->description)
                .bind(3, nowMs())
                .step();
            c.exec("COMMIT");
        } catch (const StorageError&) {
            sqlite3_exec(c.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        } catch (const StorageUnavailable& e) {
            sqlite3_exec(c.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw StorageError("cannot migrate " + path + ": " + e.what());
        }
    }
}

// A store opened for reading only is never migrated: its schema must be the program's.
void checkSchema(Connection& c, const std::string& path) {
    int version = 0;
    try {
        auto table = c.prepare("SELECT count(*) FROM sqlite_master WHERE name = 'schema_version'");
        if (!table.step() || table.integer(0) == 0)
            throw StorageError(path + " holds no receiver database (no schema_version table)");
        auto s = c.prepare("SELECT coalesce(max(version), 0) FROM schema_version");
        if (s.step()) version = static_cast<int>(s.integer(0));
    } catch (const StorageUnavailable& e) {
        throw StorageError("cannot read " + path + ": " + e.what());
    }
    if (version > currentSchemaVersion()) throw StorageError(newerSchemaMessage(version));
    if (version < currentSchemaVersion())
        throw StorageError("the database's schema is at version " + std::to_string(version) +
                           ", older than this program's (" +
                           std::to_string(currentSchemaVersion()) +
                           "); reading it changes nothing: run gravelin-receiver serve or "
                           "import on it once, with write access, to bring it up to date");
}

class SqliteStore final : public Store {
public:
    // readOnlyUri: empty to open the file for writing (created and migrated as needed), or
    // a "file:...?mode=ro" URI to open it for reading only: then nothing is written, no
    // migration runs and no checkpoint thread starts; every write fails.
    SqliteStore(std::string path, std::chrono::milliseconds deadline, std::string readOnlyUri = {})
        : path_(std::move(path)), deadline_(deadline), readOnlyUri_(std::move(readOnlyUri)),
          // The writer's log writes are gathered into one per commit (SqliteLogVfs.h); it
          // runs with synchronous=FULL, which that needs.
          writer_(fileName(), openFlags(true), deadline_, true) {
        if (!readOnlyUri_.empty()) {
            checkSchema(writer_, path_);
            try {
                releaseReader(acquireReader());
            } catch (const StorageUnavailable& e) {
                throw StorageError(e.what());
            }
            return;
        }
        {
            const OpeningTurn turn(path_);
            // WAL is a property of the file and stays; FULL is per connection (see the top).
            if (pragmaText(writer_, "PRAGMA journal_mode=WAL", path_) != "wal")
                throw StorageError("cannot switch " + path_ + " to WAL mode");
            // Deleted content is overwritten with zeros, freed pages included: a deleted
            // machine's serial numbers are not left in the file's free space.
            openingExec(writer_,
                        "PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON; PRAGMA secure_delete=ON",
                        "cannot open " + path_);
            migrate(writer_, path_);
        }
        // The writer's pages stay cached between batches (the machines' indexes, the search
        // index); the log is checkpointed off the commit path (see the top).
        openingExec(writer_, "PRAGMA cache_size=-65536; PRAGMA wal_autocheckpoint=0; "
                    "PRAGMA journal_size_limit=67108864",
                    "cannot open " + path_);
        checkpointer_ = std::make_unique<Connection>(fileName(), openFlags(true), deadline_);
        openingExec(*checkpointer_, "PRAGMA synchronous=FULL", "cannot open " + path_);

        // One reader at once: it proves the file readable now rather than on first use.
        try {
            releaseReader(acquireReader());
        } catch (const StorageUnavailable& e) {
            throw StorageError(e.what());
        }
        // Last: nothing after this may throw, or the thread would outlive the object.
        sqlite3_wal_hook(writer_.handle(), &SqliteStore::walCommitted, this);
        checkpointThread_ = std::thread([this] { checkpointLoop(); });
    }

    ~SqliteStore() override {
        {
            std::lock_guard lock(checkpointMutex_);
            stopping_ = true;
        }
        checkpointWanted_.notify_all();
        if (checkpointThread_.joinable()) checkpointThread_.join();
        sqlite3_wal_hook(writer_.handle(), nullptr, nullptr);
        for (Connection* c : readers_) delete c;
    }

    void setDoorbell(std::shared_ptr<WebhookDoorbell> doorbell) { doorbell_ = std::move(doorbell); }

    AddResult addScan(const NewScan& scan) override {
        Pending pending{prepareScan(scan)};
        std::vector<Pending*> mine{&pending};
        commitInGroup(mine);
        if (pending.error) std::rethrow_exception(pending.error);
        return pending.result;
    }

    std::vector<AddResult> addScans(const std::vector<NewScan>& scans) override {
        std::vector<AddResult> results;
        for (std::size_t first = 0; first < scans.size(); first += kLargestBatch) {
            const std::size_t last = std::min(scans.size(), first + kLargestBatch);
            std::vector<Pending> pendings;
            pendings.reserve(last - first);
            for (std::size_t i = first; i < last; ++i) pendings.push_back(Pending{prepareScan(scans[i])});
            std::vector<Pending*> mine;
            for (Pending& p : pendings) mine.push_back(&p);
            commitInGroup(mine);
            for (Pending& p : pendings) {
                if (p.error) std::rethrow_exception(p.error);
                results.push_back(p.result);
            }
        }
        return results;
    }

    std::vector<ScanRow> scans(std::optional<std::int64_t> machineId, std::uint32_t limit,
                               std::uint64_t offset) override {
        return read([&](Connection& c) {
            std::string sql = std::string("SELECT ") + kScanRowSql + " FROM scans";
            if (machineId) sql += " WHERE machine_id = ?3";
            sql += " ORDER BY received_at DESC, id DESC LIMIT ?1 OFFSET ?2";
            auto s = c.prepare(sql);
            s.bind(1, std::int64_t{limit}).bind(2, clampToInt64(offset));
            if (machineId) s.bind(3, *machineId);
            std::vector<ScanRow> rows;
            while (s.step()) rows.push_back(readScanRow(StatementRow(s)));
            return rows;
        });
    }

    std::optional<ScanRecord> scan(std::int64_t scanId) override {
        return read([&](Connection& c) -> std::optional<ScanRecord> {
            auto s = c.prepare(std::string("SELECT ") + kScanRowSql +
                               ", report, report_size, summary_json FROM scans WHERE id = ?1");
            s.bind(1, scanId);
            if (!s.step()) return std::nullopt;
            ScanRecord record;
            record.row = readScanRow(StatementRow(s));
            record.reportBytes = decompressReport(s.text(kScanRowCount),
                                                  static_cast<std::uint64_t>(s.integer(kScanRowCount + 1)));
            record.summaryJson = s.text(kScanRowCount + 2);
            return record;
        });
    }

    std::vector<ScanRow> scansWithReceipt(const std::string& receipt) override {
        return read([&](Connection& c) {
            static const std::string kSql = receiptSql(Dialect::Sqlite);
            auto s = c.prepare(kSql);
            s.bind(1, cleanText(receipt));
            std::vector<ScanRow> rows;
            while (s.step()) rows.push_back(readScanRow(StatementRow(s)));
            return rows;
        });
    }

    std::optional<MachineRow> machine(std::int64_t machineId) override {
        return read([&](Connection& c) -> std::optional<MachineRow> {
            auto s = c.prepare(std::string("SELECT ") + kMachineSql + " FROM machines WHERE id = ?1");
            s.bind(1, machineId);
            if (!s.step()) return std::nullopt;
            return readMachine(StatementRow(s));
        });
    }

    MachinePage machines(const MachineQuery& query) override {
        // A term matches as a substring of the search text (ASCII letters in any case). Terms
        // of three characters or more are found through the trigram index, which folds case
        // at least as widely; every term that is shorter or not ASCII is also checked with
        // instr() on the rows the index gives, so the result is exactly the substring match.
        const std::vector<std::string> terms = searchTerms(query.search);
        std::string match;
        std::vector<std::string> checked;
        for (const std::string& term : terms) {
            std::size_t characters = 0;
            bool ascii = true;
            for (char ch : term) {
                characters += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
                ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
            }
            if (characters >= 3) {
                if (!match.empty()) match += ' ';
                match += '"';
                for (char ch : term) {
                    if (ch == '"') match += '"';
                    match += ch;
                }
                match += '"';
            }
            if (characters < 3 || !ascii) checked.push_back(term);
        }
        // Parameters: 1 limit, 2 offset, then the match, then the instr() terms.
        const auto instrOf = [](const std::vector<std::string>& list, int first) {
            std::string sql;
            for (std::size_t i = 0; i < list.size(); ++i)
                sql += " AND instr(search_text, ?" + std::to_string(first + static_cast<int>(i)) + ") > 0";
            return sql;
        };
        // Machines not seen since a time: parameter 30, past any term's.
        const bool unseen = query.lastSeenBeforeMs != 0;
        // Survey filters: parameters from 40 on.
        const std::vector<std::string> facets = facetFilterParams(query);
        const std::string since = (unseen ? " AND last_seen < ?30" : "") + facetFilterSql(query, 40);
        const bool filtered = unseen || !facets.empty();
        const auto bindFacets = [&](Connection::Statement& s) {
            for (std::size_t i = 0; i < facets.size(); ++i) s.bind(40 + static_cast<int>(i), facets[i]);
        };
        std::string indexed = " WHERE 1" + since;
        if (!match.empty())
            indexed += " AND id IN (SELECT rowid FROM machines_search WHERE machines_search MATCH ?3)";
        indexed += instrOf(checked, 4);
        const std::string scanned = " WHERE 1" + since + instrOf(terms, 4);

        const std::uint32_t pageLimit = std::min<std::uint32_t>(query.limit, 1000);
        const PageReading reading = pageReading(query, pageLimit);
        const std::string direction = reading.sqlDescending ? " DESC" : " ASC";
        const std::string order =
            std::string(" ORDER BY ") + sortColumn(query.sort) + direction + ", id" + direction;
        // From a key: the rows past it, parameters 20 (its sort value) and 21 (its id). The
        // sort column's index holds the rowid after the value, so the row value comparison
        // is one range of that index.
        const std::string keyed = reading.keyed ? std::string(" AND (") + sortColumn(query.sort) +
                                                      ", id) " + reading.keyComparison + " (?20, ?21)"
                                                : std::string();
        // The inner query gives the page's ids; only the page's rows are read whole. Without
        // a search it walks the sort column's index alone (the index holds the rowid).
        const auto pageSql = [&](const std::string& where) {
            return std::string("SELECT ") + kMachineSql + " FROM machines WHERE id IN (SELECT id FROM machines" +
                   where + keyed + order + " LIMIT ?1 OFFSET ?2)" + order;
        };
        const std::int64_t limit = reading.fetch;
        const std::int64_t offset = query.from == PageFrom::Start ? clampToInt64(query.offset) : 0;
        return read([&](Connection& c) {
            MachinePage page;
            if (terms.empty() && !filtered) {
                auto s = c.prepare("SELECT sum(n) FROM machine_count");
                if (s.step()) page.total = static_cast<std::uint64_t>(s.integer(0));
            } else if (checked.empty() && !filtered) {  // the trigram index alone
                auto s = c.prepare("SELECT count(*) FROM machines_search WHERE machines_search MATCH ?1");
                s.bind(1, match);
                if (s.step()) page.total = static_cast<std::uint64_t>(s.integer(0));
            } else {
                auto s = c.prepare("SELECT count(*) FROM machines" + (match.empty() ? scanned : indexed));
                if (!match.empty()) s.bind(3, match);
                for (std::size_t i = 0; i < checked.size() && !match.empty(); ++i)
                    s.bind(4 + static_cast<int>(i), checked[i]);
                for (std::size_t i = 0; i < terms.size() && match.empty(); ++i)
                    s.bind(4 + static_cast<int>(i), terms[i]);
                if (unseen) s.bind(30, query.lastSeenBeforeMs);
                bindFacets(s);
                if (s.step()) page.total = static_cast<std::uint64_t>(s.integer(0));
            }
            // Two ways to the page, the same rows either way. Walking the sort index and
            // testing each row costs about (offset + limit) * machines / matches rows; going
            // through the trigram index and sorting the matches costs about the matches.
            // A common term takes the first, a rare one the second.
            bool walk = match.empty();
            if (!walk && page.total > 0) {
                auto s = c.prepare("SELECT coalesce(max(id), 0) FROM machines");
                const double machines = s.step() ? static_cast<double>(s.integer(0)) : 0.0;
                const double matches = static_cast<double>(page.total);
                walk = static_cast<double>(offset + limit) * machines / matches < matches;
            }
            if (!match.empty() && page.total == 0) return page;
            auto s = c.prepare(pageSql(walk ? scanned : indexed));
            s.bind(1, limit).bind(2, offset);
            if (reading.keyed) {
                if (const auto* text = std::get_if<std::string>(&query.key.value))
                    s.bind(20, *text);
                else
                    s.bind(20, std::get<std::int64_t>(query.key.value));
                s.bind(21, query.key.id);
            }
            if (unseen) s.bind(30, query.lastSeenBeforeMs);
            bindFacets(s);
            if (walk) {
                for (std::size_t i = 0; i < terms.size(); ++i) s.bind(4 + static_cast<int>(i), terms[i]);
            } else {
                s.bind(3, match);
                for (std::size_t i = 0; i < checked.size(); ++i) s.bind(4 + static_cast<int>(i), checked[i]);
            }
            while (s.step()) page.machines.push_back(readMachine(StatementRow(s)));
            finishPage(page, query, reading);
            return page;
        });
    }

    Acceptance acceptScan(std::int64_t scanId) override {
        std::lock_guard writing(writeMutex_);
        writer_.exec("BEGIN IMMEDIATE");
        try {
            const Acceptance result = accept(scanId);
            writer_.exec("COMMIT");
            return result;
        } catch (...) {
            sqlite3_exec(writer_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    std::optional<Removed> deleteMachine(std::int64_t machineId, const AuditEntry& audit) override {
        std::optional<Removed> removed;
        inTransaction([&] {
            {
                auto s = writer_.prepare("SELECT 1 FROM machines WHERE id = ?1");
                s.bind(1, machineId);
                if (!s.step()) return;
            }
            removed.emplace();
            writer_.prepare("DELETE FROM scans WHERE machine_id = ?1").bind(1, machineId).step();
            removed->scans = static_cast<std::uint64_t>(sqlite3_changes(writer_.handle()));
            SqliteTransaction t(writer_);
            SurveyKeeper survey(t);
            survey.machineChanged(machineId);
            survey.apply();
            writer_.prepare("DELETE FROM machines WHERE id = ?1").bind(1, machineId).step();
            removed->machines = 1;
            AuditEntry entry = audit;
            entry.detail = detailOf(*removed);
            insertAudit(writer_, entry);
            searchDirty_ = true;
        });
        if (removed) scrub();
        return removed;
    }

    Removed pruneMachines(std::int64_t lastSeenBeforeMs, std::uint32_t limit) override {
        Removed removed;
        inTransaction([&] {
            removed.scans = deleteScans(
                "SELECT s.id, s.machine_id, s.received_at FROM machines m JOIN scans s ON s.machine_id = m.id "
                "WHERE m.last_seen < ?1 LIMIT ?2",
                lastSeenBeforeMs, limit);
            if (removed.scans >= limit) return;
            writer_
                .prepare("DELETE FROM machines WHERE id IN (SELECT id FROM machines m "
                         "WHERE last_seen < ?1 AND NOT EXISTS (SELECT 1 FROM scans "
                         "WHERE machine_id = m.id) LIMIT ?2)")
                .bind(1, lastSeenBeforeMs)
                .bind(2, static_cast<std::int64_t>(limit - removed.scans))
                .step();
            removed.machines = static_cast<std::uint64_t>(sqlite3_changes(writer_.handle()));
            if (removed.machines > 0) searchDirty_ = true;
        });
        return removed;
    }

    std::uint64_t pruneScans(std::int64_t receivedBeforeMs, std::uint32_t limit) override {
        std::uint64_t removed = 0;
        inTransaction([&] {
            removed = deleteScans(
                "SELECT s.id, s.machine_id, s.received_at FROM scans s JOIN machines m ON m.id = s.machine_id "
                "WHERE s.received_at < ?1 AND s.id IS NOT m.latest_scan_id "
                "ORDER BY s.received_at LIMIT ?2",
                receivedBeforeMs, limit);
        });
        return removed;
    }

    Removed prunable(const PruneCutoffs& cutoffs) override {
        return read([&](Connection& c) {
            static const std::string kSql = prunableSql(Dialect::Sqlite);
            auto s = c.prepare(kSql);
            s.bind(1, cutoffs.machinesBeforeMs.value_or(INT64_MIN))
                .bind(2, cutoffs.scansBeforeMs.value_or(INT64_MIN))
                .bind(3, cutoffs.auditBeforeMs.value_or(INT64_MIN));
            Removed counts;
            if (s.step()) {
                counts.machines = static_cast<std::uint64_t>(s.integer(0));
                counts.scans = static_cast<std::uint64_t>(s.integer(1));
                counts.auditEntries = static_cast<std::uint64_t>(s.integer(2));
            }
            return counts;
        });
    }

    // Deleted rows are overwritten with zeros as they go (secure_delete, set at open). What
    // is left: the search index keeps a deleted machine's terms in its older segments until
    // they merge, so it is merged into one ('optimize' rewrites the whole index: about
    // docs/data-protection.md's figure per 10,000 machines); and the log still holds the
    // pages as they were before, so it is copied into the database and truncated to nothing.
    void scrub() override {
        std::lock_guard writing(writeMutex_);
        if (searchDirty_) {
            writer_.exec("INSERT INTO machines_search (machines_search) VALUES ('optimize')");
            searchDirty_ = false;
        }
        int logPages = 0, copied = 0;
        // SQLite refuses a checkpoint at once, without waiting, while another connection runs
        // one: the checkpoint thread's are held off for this one.
        std::lock_guard checkpointing(checkpointRunning_);
        if (sqlite3_wal_checkpoint_v2(writer_.handle(), nullptr, SQLITE_CHECKPOINT_TRUNCATE,
                                      &logPages, &copied) != SQLITE_OK)
            writer_.fail("checkpoint");
        logPages_.store(0, std::memory_order_relaxed);
    }

    Merge mergeMachines(std::int64_t into, std::int64_t from, const AuditEntry& audit) override {
        return change([&](Transaction& t) { return mergeMachinesIn(t, into, from, audit); });
    }

    Split splitScan(std::int64_t scanId, const AuditEntry& audit) override {
        return change([&](Transaction& t) { return splitScanIn(t, scanId, audit); });
    }

    std::vector<ConflictingScan> conflictingScans(std::uint32_t limit,
                                                  std::uint64_t offset) override {
        return look([&](Transaction& t) { return conflictingScansIn(t, limit, offset); });
    }

    std::optional<std::int64_t> machineForKey(const std::string& key) override {
        return look([&](Transaction& t) { return machineForKeyIn(t, key); });
    }

    std::vector<std::int64_t> scanIds(std::int64_t afterId, std::uint32_t limit) override {
        return look([&](Transaction& t) { return scanIdsIn(t, afterId, limit); });
    }

    Move moveScan(std::int64_t scanId, const std::string& identityKey,
                  const std::string& identityRule, const AuditEntry& audit) override {
        return change(
            [&](Transaction& t) { return moveScanIn(t, scanId, identityKey, identityRule, audit); });
    }

    PlaceholderChange addPlaceholder(const PlaceholderValue& value,
                                     const AuditEntry& audit) override {
        return change([&](Transaction& t) { return addPlaceholderIn(t, value, audit); });
    }

    bool deletePlaceholder(const std::string& value, const AuditEntry& audit) override {
        return change([&](Transaction& t) { return deletePlaceholderIn(t, value, audit); });
    }

    std::vector<PlaceholderValue> placeholders() override {
        return look([&](Transaction& t) { return placeholdersIn(t); });
    }

    bool addApiToken(const ApiToken& token, const AuditEntry& audit) override {
        return change([&](Transaction& t) { return addApiTokenIn(t, token, audit); });
    }

    std::vector<ApiToken> apiTokens() override {
        return look([&](Transaction& t) { return apiTokensIn(t); });
    }

    std::optional<ApiToken> apiTokenWithHash(const std::string& tokenHash) override {
        return look([&](Transaction& t) { return apiTokenWithHashIn(t, tokenHash); });
    }

    TokenRevocation revokeApiToken(const std::string& name, std::int64_t atMs,
                                   const AuditEntry& audit) override {
        return change([&](Transaction& t) { return revokeApiTokenIn(t, name, atMs, audit); });
    }

    void noteApiTokenUse(std::int64_t tokenId, std::int64_t atMs,
                         const AuditEntry& audit) override {
        change([&](Transaction& t) {
            noteApiTokenUseIn(t, tokenId, atMs, audit);
            return 0;
        });
    }

    bool addNote(const MachineNote& note, const AuditEntry& audit) override {
        return change([&](Transaction& t) { return addNoteIn(t, note, audit); });
    }

    std::vector<MachineNote> notes(std::int64_t machineId) override {
        return look([&](Transaction& t) { return notesIn(t, machineId); });
    }

    std::vector<HardwareChange> changes(const ChangeQuery& query) override {
        return look([&](Transaction& t) { return changesIn(t, query); });
    }

    std::vector<HardwareChange> scanChanges(std::int64_t scanId) override {
        return look([&](Transaction& t) { return scanChangesIn(t, scanId); });
    }

    ChangeRebuild rebuildChanges(std::int64_t afterMachineId, std::uint32_t machines) override {
        return change([&](Transaction& t) { return rebuildChangesIn(t, afterMachineId, machines); });
    }

    bool putSummary(std::int64_t scanId, const std::string& summaryJson) override {
        return change([&](Transaction& t) {
            std::int64_t machineId = 0, receivedAt = 0;
            const std::size_t found =
                t.run("UPDATE scans SET summary_json = ?1 WHERE id = ?2 RETURNING machine_id, received_at",
                      {cleanText(summaryJson), scanId}, [&](const RowReader& row) {
                          machineId = row.integer(0);
                          receivedAt = row.integer(1);
                      });
            if (found == 0) return false;
            SurveyKeeper survey(t);
            survey.scanChanged(machineId, receivedAt);
            survey.apply();
            return true;
        });
    }

    std::optional<std::vector<SurveyCount>> surveyCounts(std::int64_t monthStartMs) override {
        return look([&](Transaction& t) { return surveyCountsIn(t, monthOf(monthStartMs)); });
    }

    SurveyRecount recountSurvey() override {
        return change([&](Transaction& t) { return recountSurveyIn(t); });
    }

    bool refreshColumns(std::int64_t scanId, const ScanColumns& columns) override {
        const PreparedScan prepared = prepareColumns(columns);
        std::lock_guard writing(writeMutex_);
        writer_.exec("BEGIN IMMEDIATE");
        try {
            static const std::string kScanSql = refreshScanSql(Dialect::Sqlite);
            static const std::string kMachineSql = refreshMachineSql(Dialect::Sqlite);
            bool found = false;
            {
                auto scan = writer_.prepare(kScanSql);
                bindColumns(scan, 1, prepared.scan.columns);
                scan.bind(kColumnCount + 1, scanId);
                found = scan.step();
            }
            if (found) {
                auto machine = writer_.prepare(kMachineSql);
                bindColumns(machine, 1, prepared.scan.columns);
                machine.bind(kColumnCount + 1, prepared.searchText).bind(kColumnCount + 2, scanId);
                machine.step();
            }
            writer_.exec("COMMIT");
            return found;
        } catch (...) {
            sqlite3_exec(writer_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void putAccount(const std::string& name, const std::string& passwordHash,
                    Role role) override {
        write([&](Connection& c) {
            c.prepare("INSERT INTO accounts (name, password_hash, role) VALUES (?1, ?2, ?3) "
                      "ON CONFLICT (name) DO UPDATE SET password_hash = excluded.password_hash")
                .bind(1, cleanText(name))
                .bind(2, cleanText(passwordHash))
                .bind(3, std::string_view(roleName(role)))
                .step();
        });
    }

    std::optional<Account> account(const std::string& name) override {
        return read([&](Connection& c) -> std::optional<Account> {
            auto s = c.prepare(std::string("SELECT ") + kAccountColumnsSql +
                               " FROM accounts WHERE name = ?1");
            s.bind(1, cleanText(name));
            if (!s.step()) return std::nullopt;
            return readAccount(StatementRow(s));
        });
    }

    std::vector<Account> accounts() override {
        return read([&](Connection& c) {
            auto s = c.prepare(std::string("SELECT ") + kAccountColumnsSql +
                               " FROM accounts ORDER BY name");
            std::vector<Account> out;
            while (s.step()) out.push_back(readAccount(StatementRow(s)));
            return out;
        });
    }

    bool setAccountRole(const std::string& name, Role role) override {
        return changeAccount("UPDATE accounts SET role = ?2 WHERE name = ?1", name,
                             std::string_view(roleName(role)));
    }

    bool setAccountDisabled(const std::string& name, bool disabled) override {
        return changeAccount("UPDATE accounts SET disabled = ?2 WHERE name = ?1", name,
                             std::int64_t{disabled ? 1 : 0});
    }

    bool deleteAccount(const std::string& name) override {
        bool found = false;
        write([&](Connection& c) {
            c.prepare("DELETE FROM accounts WHERE name = ?1").bind(1, cleanText(name)).step();
            found = sqlite3_changes(c.handle()) > 0;
        });
        return found;
    }

    void noteSignIn(std::int64_t accountId, std::int64_t atMs) override {
        write([&](Connection& c) {
            c.prepare("UPDATE accounts SET last_sign_in = ?2 WHERE id = ?1")
                .bind(1, accountId)
                .bind(2, atMs)
                .step();
        });
    }

    void appendAudit(const AuditEntry& entry) override {
        write([&](Connection& c) { insertAudit(c, entry); });
    }

    std::vector<AuditEntry> auditEntries(const AuditQuery& query) override {
        const SqlStatement q = auditQuery(query);
        return look([&](Transaction& t) {
            std::vector<AuditEntry> out;
            t.run(q.sql, q.params, [&](const RowReader& row) { out.push_back(readAuditEntry(row)); });
            return out;
        });
    }

    std::uint64_t pruneAudit(std::int64_t beforeMs, std::uint32_t limit) override {
        std::uint64_t removed = 0;
        write([&](Connection& c) {
            c.prepare("DELETE FROM audit WHERE id IN (SELECT id FROM audit WHERE at < ?1 "
                      "ORDER BY at LIMIT ?2)")
                .bind(1, beforeMs)
                .bind(2, static_cast<std::int64_t>(limit))
                .step();
            removed = static_cast<std::uint64_t>(sqlite3_changes(c.handle()));
        });
        return removed;
    }

    void putSession(const Session& session) override {
        write([&](Connection& c) {
            c.prepare("DELETE FROM sessions WHERE expires_at <= ?1").bind(1, nowMs()).step();
            c.prepare("INSERT INTO sessions (token_hash, account_id, expires_at, form_token) "
                      "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (token_hash) DO UPDATE SET "
                      "account_id = excluded.account_id, expires_at = excluded.expires_at, "
                      "form_token = excluded.form_token")
                .bind(1, cleanText(session.tokenHash))
                .bind(2, session.accountId)
                .bind(3, session.expiresAtMs)
                .bind(4, cleanText(session.formToken))
                .step();
        });
    }

    std::optional<Session> session(const std::string& tokenHash) override {
        return read([&](Connection& c) -> std::optional<Session> {
            auto s = c.prepare(
                "SELECT s.token_hash, s.account_id, s.expires_at, s.form_token, a.name, a.role "
                "FROM sessions s JOIN accounts a ON a.id = s.account_id "
                "WHERE s.token_hash = ?1 AND s.expires_at > ?2 AND a.disabled = 0");
            s.bind(1, cleanText(tokenHash)).bind(2, nowMs());
            if (!s.step()) return std::nullopt;
            return Session{s.text(0), s.integer(1), s.integer(2), s.text(3), s.text(4),
                           roleNamed(s.text(5)).value_or(Role::Viewer)};
        });
    }

    void dropSession(const std::string& tokenHash) override {
        write([&](Connection& c) {
            c.prepare("DELETE FROM sessions WHERE token_hash = ?1").bind(1, cleanText(tokenHash)).step();
        });
    }

    std::string consoleKey(const std::string& candidate) override {
        write([&](Connection& c) {
            c.prepare("INSERT INTO console_key (id, key) VALUES (1, ?1) ON CONFLICT (id) DO NOTHING")
                .bind(1, cleanText(candidate))
                .step();
        });
        return read([&](Connection& c) {
            auto s = c.prepare("SELECT key FROM console_key WHERE id = 1");
            if (!s.step()) throw StorageUnavailable("the console key was not stored");
            return s.text(0);
        });
    }

    void probe() override {
        read([&](Connection& c) {
            auto s = c.prepare("SELECT max(version) FROM schema_version");
            s.step();
            return 0;
        });
    }

    std::int64_t addWebhook(const Webhook& hook, const AuditEntry& audit) override {
        return change([&](Transaction& t) { return addWebhookIn(t, hook, audit); });
    }
    std::vector<Webhook> webhooks() override {
        return look([&](Transaction& t) { return webhooksIn(t); });
    }
    bool deleteWebhook(std::int64_t id, const AuditEntry& audit) override {
        return change([&](Transaction& t) { return deleteWebhookIn(t, id, audit); });
    }
    std::vector<WebhookDelivery> webhookDeliveries(std::optional<std::int64_t> hookId,
                                                   std::uint32_t limit) override {
        return look([&](Transaction& t) { return webhookDeliveriesIn(t, hookId, limit); });
    }
    bool retryDelivery(std::int64_t id, std::int64_t nowMs, const AuditEntry& audit) override {
        const bool retried =
            change([&](Transaction& t) { return retryDeliveryIn(t, id, nowMs, audit); });
        if (retried && doorbell_) doorbell_->ring();
        return retried;
    }
    std::vector<WebhookDelivery> claimDeliveries(std::int64_t nowMs, std::int64_t leaseMs,
                                                 std::uint32_t limit) override {
        return change([&](Transaction& t) { return claimDeliveriesIn(t, nowMs, leaseMs, limit); });
    }
    bool finishDelivery(const DeliveryAttempt& attempt) override {
        return change([&](Transaction& t) { return finishDeliveryIn(t, attempt); });
    }
    std::size_t enqueueEvent(const WebhookEvent& event) override {
        const std::size_t queued = change([&](Transaction& t) { return enqueueEventIn(t, event); });
        if (queued > 0 && doorbell_) doorbell_->ring();
        return queued;
    }

    std::string describe() const override { return "SQLite " + path_; }

private:
    struct Pending {
        PreparedScan scan;
        AddResult result{};
        std::size_t queued = 0;  // webhook deliveries enqueued with the scan
        std::exception_ptr error{};
        bool done = false;
        std::condition_variable* waiter = nullptr;  // its caller's, woken when done
    };

    // Queues the scans and waits until a commit holds them (or failed): the first caller
    // that finds no leader becomes one and writes everything queued so far. A leader that
    // is done wakes the callers of its batch and the first caller still queued (the next
    // leader), no one else: every other queued caller is in the next batch.
    void commitInGroup(const std::vector<Pending*>& mine) {
        std::condition_variable wake;
        std::unique_lock lock(queueMutex_);
        for (Pending* p : mine) p->waiter = &wake;
        queue_.insert(queue_.end(), mine.begin(), mine.end());
        const auto allDone = [&] {
            for (const Pending* p : mine)
                if (!p->done) return false;
            return true;
        };
        while (!allDone()) {
            if (leading_) {
                wake.wait(lock);
                continue;
            }
            leading_ = true;
            std::vector<Pending*> batch;
            batch.swap(queue_);
            lock.unlock();
            try {
                writeBatch(batch);
            } catch (...) {  // out of memory: fail the batch, never leave the group leaderless
                for (Pending* p : batch)
                    if (!p->error) p->error = std::current_exception();
            }
            lock.lock();
            // The callers cannot return (and drop their condition variables) before this
            // thread lets go of the lock.
            for (Pending* p : batch) p->done = true;
            leading_ = false;
            for (Pending* p : batch)
                if (p->waiter != &wake) p->waiter->notify_one();
            if (!queue_.empty()) queue_.front()->waiter->notify_one();
        }
    }

    // Each scan of a batch is written in a savepoint, and SQLite keeps the original of every
    // page a savepoint changes in a statement journal: in memory only up to 64 KiB, then in
    // a temporary file. A scan changes about 130 KiB of pages (a page in each of some thirty
    // indexes), so every scan was written twice, to that file and to the log. A batch's
    // transaction therefore keeps them in memory (temp_store, which SQLite reads when the
    // transaction begins); a journal never holds more than one scan's pages, since it is
    // emptied when the scan's savepoint is released. Other transactions on the writer (the
    // console's changes, which may touch many rows) keep the default and spill to a file.
    class MemoryJournals {
    public:
        explicit MemoryJournals(Connection& c) : c_(c) { c_.prepare("PRAGMA temp_store=MEMORY").step(); }
        ~MemoryJournals() {
            sqlite3_exec(c_.handle(), "PRAGMA temp_store=DEFAULT", nullptr, nullptr, nullptr);
        }
        MemoryJournals(const MemoryJournals&) = delete;
        MemoryJournals& operator=(const MemoryJournals&) = delete;

    private:
        Connection& c_;
    };

    void writeBatch(const std::vector<Pending*>& batch) {
        std::lock_guard writing(writeMutex_);
        try {
            const MemoryJournals journals(writer_);
            writeBatchInTransaction(batch);
        } catch (...) {  // the pragma could not run: the batch is not written
            for (Pending* p : batch)
                if (!p->error) p->error = std::current_exception();
        }
    }

    void writeBatchInTransaction(const std::vector<Pending*>& batch) {
        try {
            writer_.exec("BEGIN IMMEDIATE");
        } catch (...) {
            for (Pending* p : batch) p->error = std::current_exception();
            return;
        }
        for (Pending* p : batch) {
            try {
                writer_.prepare("SAVEPOINT scan").step();
                p->result = storeOne(p->scan, p->queued);
                writer_.prepare("RELEASE scan").step();
            } catch (...) {
                p->error = std::current_exception();
                p->queued = 0;
                sqlite3_exec(writer_.handle(), "ROLLBACK TO scan; RELEASE scan", nullptr, nullptr, nullptr);
            }
        }
        try {
            writer_.exec("COMMIT");
        } catch (...) {
            const auto error = std::current_exception();
            sqlite3_exec(writer_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            for (Pending* p : batch) p->error = error;
            return;
        }
        if (doorbell_) {
            for (const Pending* p : batch)
                if (p->queued > 0) {
                    doorbell_->ring();
                    break;
                }
        }
        // The commit is durable; a log the checkpointer could not keep small is copied back
        // here, as SQLite itself would (a failure is retried after the next commit).
        if (logPages_.load(std::memory_order_relaxed) >= kLargestLogPages)
            sqlite3_wal_checkpoint_v2(writer_.handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                      nullptr);
    }

    // SQLite calls this on the writer's thread after each commit with the log's size in pages.
    static int walCommitted(void* self, sqlite3*, const char*, int pages) {
        auto* store = static_cast<SqliteStore*>(self);
        store->logPages_.store(pages, std::memory_order_relaxed);
        if (pages >= kCheckpointPages) {
            std::lock_guard lock(store->checkpointMutex_);
            store->checkpointDue_ = true;
            store->checkpointWanted_.notify_one();
        }
        return SQLITE_OK;
    }

    void checkpointLoop() {
        std::unique_lock lock(checkpointMutex_);
        for (;;) {
            checkpointWanted_.wait(lock, [&] { return stopping_ || checkpointDue_; });
            if (stopping_) return;
            checkpointDue_ = false;
            lock.unlock();
            // Passive: copies what no reader still needs, never waits for the writer. A busy
            // or failed checkpoint is tried again after a later commit.
            {
                std::lock_guard checkpointing(checkpointRunning_);
                sqlite3_wal_checkpoint_v2(checkpointer_->handle(), nullptr,
                                          SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            }
            lock.lock();
        }
    }

    AddResult storeOne(const PreparedScan& prepared, std::size_t& queued) {
        const NewScan& s = prepared.scan;
        AddResult result;
        {
            auto existing = writer_.prepare(
                "SELECT id, machine_id, receipt FROM scans WHERE sealed_digest = ?1");
            existing.bind(1, s.sealedDigest);
            if (existing.step()) {
                result.scanId = existing.integer(0);
                result.machineId = existing.integer(1);
                result.receipt = existing.text(2);
                result.duplicate = true;
                return result;
            }
        }
        // The machine the key leads to (its own, or through the alias a merge left), compared
        // with its latest scan: the writer is this store's only one, and another process's
        // writes wait for this transaction (BEGIN IMMEDIATE).
        std::string key = s.identityKey;
        for (int hop = 0; hop < 4 && !key.empty(); ++hop) {
            {
                static const std::string kLatestSql = latestFingerprintSql(Dialect::Sqlite);
                auto latest = writer_.prepare(kLatestSql);
                latest.bind(1, key);
                if (latest.step()) {
                    result.conflicting = conflictsWithLatest(latest.text(1), s.fingerprint);
                    break;
                }
            }
            static const std::string kAlias = aliasSql(Dialect::Sqlite);
            auto alias = writer_.prepare(kAlias);
            alias.bind(1, key);
            if (!alias.step()) break;
            key = alias.text(0);
        }
        std::int64_t lastSeen = 0;
        bool newMachine = false;
        {
            static const std::string kUpsertSql = machineUpsertSql(Dialect::Sqlite);
            auto upsert = writer_.prepare(kUpsertSql);
            // No key: NULL, which never conflicts, so the scan gets a machine of its own.
            if (key.empty())
                upsert.bindNull(1);
            else
                upsert.bind(1, key);
            upsert.bind(2, s.identityRule).bind(3, s.receivedAtMs);
            bindColumns(upsert, kUpsertColumnsParam, s.columns);
            upsert.bind(kUpsertSearchParam, prepared.searchText)
                .bind(kUpsertConflictParam, std::int64_t{result.conflicting ? 1 : 0});
            if (!upsert.step()) writer_.fail("machine upsert");
            result.machineId = upsert.integer(0);
            lastSeen = upsert.integer(1);
            newMachine = upsert.integer(2) == 1;
        }
        {
            static const std::string kInsertSql = scanInsertSql(Dialect::Sqlite);
            auto insert = writer_.prepare(kInsertSql);
            insert.bind(1, result.machineId)
                .bind(2, s.receivedAtMs)
                .bind(3, s.remoteAddress)
                .bind(4, s.sealedDigest)
                .bind(5, s.receipt)
                .bindBlob(6, prepared.compressed)
                .bind(7, static_cast<std::int64_t>(prepared.reportSize))
                .bind(8, static_cast<std::int64_t>(prepared.compressed.size()))
                .bind(9, s.encoding)
                .bind(10, s.osDescription)
                .bind(11, s.programName)
                .bind(12, s.programVersion)
                .bind(13, s.errors)
                .bind(14, s.identityKey)
                .bind(15, s.identityRule);
            bindColumns(insert, kInsertColumnsParam, s.columns);
            insert.bind(kInsertSummaryParam, s.summaryJson)
                .bind(kInsertSummaryParam + 1, s.fingerprint)
                .bind(kInsertSummaryParam + 2, std::int64_t{result.conflicting ? 1 : 0});
            if (!insert.step()) writer_.fail("scan insert");
            result.scanId = insert.integer(0);
        }
        bool hardwareChanged = false;
        if (lastSeen == s.receivedAtMs && !result.conflicting) {
            writer_.prepare("UPDATE machines SET latest_scan_id = ?1 WHERE id = ?2")
                .bind(1, result.scanId)
                .bind(2, result.machineId)
                .step();
            SqliteTransaction t(writer_);
            hardwareChanged = recordChangesIn(t, result.scanId) > 0;
        }
        if (!result.conflicting) {
            SqliteTransaction t(writer_);
            SurveyKeeper survey(t);
            survey.scanStored(result.machineId, s.receivedAtMs, result.scanId, s.surveyFacets);
            survey.apply();
        }
        result.receipt = s.receipt;
        // The events go with the scan: in its savepoint, committed or rolled back with it.
        SqliteTransaction t(writer_);
        queued = enqueueScanEventsIn(t, result, s, newMachine, hardwareChanged);
        return result;
    }

    Acceptance accept(std::int64_t scanId) {
        ScanRow row;
        {
            static const std::string kReadSql = acceptReadSql(Dialect::Sqlite);
            auto read = writer_.prepare(kReadSql);
            read.bind(1, scanId);
            if (!read.step()) return Acceptance::NoSuchScan;
            row = readScanRow(StatementRow(read));
        }
        if (row.conflict != ScanConflict::Conflicting) return Acceptance::NothingToAccept;
        writer_.prepare(std::string(kAcceptMarkSql) + "?1").bind(1, scanId).step();
        {
            SqliteTransaction t(writer_);
            SurveyKeeper survey(t);
            survey.scanChanged(row.machineId, row.receivedAtMs);
            survey.apply();
        }
        bool newest = false;
        {
            static const std::string kLatestSql = acceptLatestSql(Dialect::Sqlite);
            auto latest = writer_.prepare(kLatestSql);
            bindColumns(latest, 1, row.columns);
            latest.bind(kAcceptRuleParam, row.identityRule)
                .bind(kAcceptRuleParam + 1, searchText(row.columns))
                .bind(kAcceptRuleParam + 2, row.receivedAtMs)
                .bind(kAcceptRuleParam + 3, row.id)
                .bind(kAcceptRuleParam + 4, row.machineId);
            newest = latest.step();
        }
        if (!newest) return Acceptance::Accepted;
        SqliteTransaction t(writer_);
        recordChangesIn(t, scanId);
        return Acceptance::AcceptedAsLatest;
    }

    static void insertAudit(Connection& c, const AuditEntry& entry) {
        const AuditEntry e = boundedAuditEntry(entry);
        static const std::string kInsertSql = auditInsertSql(Dialect::Sqlite);
        c.prepare(kInsertSql)
            .bind(1, e.atMs)
            .bind(2, e.actor)
            .bind(3, e.action)
            .bind(4, e.target)
            .bind(5, e.address)
            .bind(6, e.detail)
            .step();
    }

    // One transaction on the writer, next to the group commit's.
    template <typename F>
    void inTransaction(F&& f) {
        std::lock_guard writing(writeMutex_);
        writer_.exec("BEGIN IMMEDIATE");
        try {
            f();
            writer_.exec("COMMIT");
        } catch (...) {
            sqlite3_exec(writer_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    // Deletes the scans `selectSql` picks (parameters 1 the cutoff, 2 the limit; columns the
    // scan's id, its machine's and its time), and takes them off their machines' counts and
    // the survey's.
    std::uint64_t deleteScans(const char* selectSql, std::int64_t cutoff, std::uint32_t limit) {
        std::map<std::int64_t, std::int64_t> perMachine;
        std::vector<std::int64_t> ids;
        SqliteTransaction t(writer_);
        SurveyKeeper survey(t);
        {
            auto s = writer_.prepare(selectSql);
            s.bind(1, cutoff).bind(2, static_cast<std::int64_t>(limit));
            while (s.step()) {
                ids.push_back(s.integer(0));
                ++perMachine[s.integer(1)];
                survey.scanChanged(s.integer(1), s.integer(2));
            }
        }
        for (const std::int64_t id : ids)
            writer_.prepare("DELETE FROM scans WHERE id = ?1").bind(1, id).step();
        for (const auto& [machine, n] : perMachine)
            writer_.prepare("UPDATE machines SET scan_count = scan_count - ?2 WHERE id = ?1")
                .bind(1, machine)
                .bind(2, n)
                .step();
        survey.apply();
        return ids.size();
    }

    static void bindColumns(Connection::Statement& s, int first, const ScanColumns& c) {
        int column = first;
        for (const auto& field : kScanColumnFields) {
            std::visit(
                [&](auto member) {
                    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(c.*member)>,
                                                 std::string>) {
                        s.bind(column, std::string_view(c.*member));
                    } else {
                        s.bind(column, static_cast<std::int64_t>(c.*member));
                    }
                },
                field.member);
            ++column;
        }
    }

    template <typename Value>
    bool changeAccount(const char* sql, const std::string& name, Value value) {
        bool found = false;
        write([&](Connection& c) {
            c.prepare(sql).bind(1, cleanText(name)).bind(2, value).step();
            found = sqlite3_changes(c.handle()) > 0;
        });
        return found;
    }

    // A change written once for both engines, in a transaction of the writer's.
    template <typename F>
    std::invoke_result_t<F, Transaction&> change(F&& f) {
        std::lock_guard writing(writeMutex_);
        writer_.exec("BEGIN IMMEDIATE");
        try {
            SqliteTransaction t(writer_);
            auto result = f(t);
            writer_.exec("COMMIT");
            return result;
        } catch (...) {
            sqlite3_exec(writer_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    // A read written once for both engines, on a reader.
    template <typename F>
    std::invoke_result_t<F, Transaction&> look(F&& f) {
        return read([&](Connection& c) {
            SqliteTransaction t(c);
            return f(t);
        });
    }

    // A statement outside the group commit (accounts, sessions): its own transaction.
    template <typename F>
    void write(F&& f) {
        std::lock_guard writing(writeMutex_);
        f(writer_);
    }

    template <typename F>
    std::invoke_result_t<F, Connection&> read(F&& f) {
        Connection* c = acquireReader();
        try {
            auto result = f(*c);
            releaseReader(c);
            return result;
        } catch (...) {
            releaseReader(c);
            throw;
        }
    }

    Connection* acquireReader() {
        {
            std::lock_guard lock(readersMutex_);
            if (!readers_.empty()) {
                Connection* c = readers_.back();
                readers_.pop_back();
                return c;
            }
        }
        try {
            auto c = std::make_unique<Connection>(fileName(), openFlags(false), deadline_);
            c->exec("PRAGMA query_only=1; PRAGMA mmap_size=268435456");
            return c.release();
        } catch (const CannotOpen& e) {
            throw StorageUnavailable(e.what(), e.kind());
        }
    }

    void releaseReader(Connection* c) {
        std::lock_guard lock(readersMutex_);
        readers_.push_back(c);
    }

    // The readers never create the file, and never write (query_only); in a read-only store
    // no connection can.
    const std::string& fileName() const { return readOnlyUri_.empty() ? path_ : readOnlyUri_; }
    int openFlags(bool create) const {
        if (!readOnlyUri_.empty()) return SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
        return SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    }

    std::string path_;
    std::chrono::milliseconds deadline_;
    std::shared_ptr<WebhookDoorbell> doorbell_;
    std::string readOnlyUri_;  // empty: opened for writing
    std::mutex writeMutex_;
    Connection writer_;

    std::mutex queueMutex_;
    std::vector<Pending*> queue_;
    bool leading_ = false;

    std::mutex readersMutex_;
    std::vector<Connection*> readers_;

    std::unique_ptr<Connection> checkpointer_;
    std::atomic<int> logPages_{0};
    std::mutex checkpointMutex_;
    std::mutex checkpointRunning_;  // one checkpoint of this store at a time (see scrub)
    std::condition_variable checkpointWanted_;
    bool checkpointDue_ = false;
    bool stopping_ = false;
    std::thread checkpointThread_;
    bool searchDirty_ = false;  // machines were deleted since the search index was merged
};

}  // namespace

// The read-only URI of an existing database. In WAL mode a reader needs the -shm index next
// to the file: SQLite creates it where the directory is writable, and reads one a writer
// left (with its -wal) where it is not. A database closed cleanly has neither, and on a
// read-only mount none can be made: there no writer can be at work either (it would need
// its -wal there), the file alone is the database, and it is opened as immutable.
std::string readOnlyUriOf(const fs::path& file) {
    const fs::path absolute = fs::absolute(file);
    std::string uri = "file://";
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : absolute.string()) {
        const auto b = static_cast<unsigned char>(c);
        const bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
                           (b >= '0' && b <= '9') || c == '/' || c == '-' || c == '_' ||
                           c == '.' || c == '~';
        if (plain) {
            uri += c;
        } else {
            uri += '%';
            uri += kHex[b >> 4];
            uri += kHex[b & 0xF];
        }
    }
    uri += "?mode=ro";
    std::error_code error;
    const bool log = fs::exists(fs::path(absolute.string() + "-wal"), error);
    if (!log && ::access(absolute.parent_path().c_str(), W_OK) != 0) uri += "&immutable=1";
    return uri;
}

std::unique_ptr<Store> openSqliteStore(const std::string& dataDirectory,
                                       std::chrono::milliseconds deadline, bool readOnly,
                                       std::shared_ptr<WebhookDoorbell> doorbell) {
    const fs::path directory(dataDirectory);
    std::error_code error;
    if (readOnly && fs::is_regular_file(directory / "receiver.sqlite3", error)) {
        const fs::path file = directory / "receiver.sqlite3";
        return std::make_unique<SqliteStore>(file.string(), deadline, readOnlyUriOf(file));
    }
    const auto status = fs::status(directory, error);
    if (fs::exists(status)) {
        if (!fs::is_directory(status))
            throw StorageError("data directory " + dataDirectory + " is not a directory");
    } else {
        // Parents as the umask says; the data directory itself only for its owner: it holds
        // every report's serial numbers.
        if (directory.has_parent_path()) fs::create_directories(directory.parent_path(), error);
        if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
            throw StorageError("cannot create data directory " + dataDirectory + ": " +
                               std::strerror(errno));
    }
    auto store = std::make_unique<SqliteStore>((directory / "receiver.sqlite3").string(), deadline);
    store->setDoorbell(std::move(doorbell));
    return store;
}

}  // namespace gravelin::storage::detail
