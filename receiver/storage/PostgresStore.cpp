// The shared engine: PostgreSQL through libpq, for several receivers on one server.
//
// libpq rather than libpqxx: Debian 12 has libpqxx 6.4 only, and what this engine needs is
// libpq's own: connection parameters (connect_timeout, keepalives) set before the URI's,
// SQLSTATE codes to tell a lost connection from a conflict, binary parameters and results
// for the compressed report, per-connection prepared statements. A thin RAII layer below.
//
// Durability: every connection sets synchronous_commit=on (the server's default, forced here
// so that a server configured otherwise cannot make a returned commit lose a scan): COMMIT
// returns once the WAL record is flushed to disk on the server.
//
// Threads: a pool of connections, one borrowed per call, so any number of threads may call
// at once. A connection that fails at the connection level (SQLSTATE class 08, a server
// shutdown 57P0x, or a socket libpq finds closed) is thrown away with every idle one (they
// share its fate); the call fails with StorageUnavailable, or is retried once on a fresh
// connection when the failed one had been idle in the pool (a restart in between); the next
// call connects again, so a restarted server is used again without restarting the receiver.
// Retrying addScan is safe: the digest makes it idempotent.
//
// Deadline: every call (connecting included) has the store's deadline, kept on this side:
// libpq runs non-blocking and each wait for the server is a poll() bounded by what is left,
// so a server that is stopped or stalled (its processes suspended, its host gone without a
// reset) costs a call the deadline and no more; the connection is then thrown away with
// every idle one, and the call fails with StorageUnavailable (Timeout). The server is told
// the same deadline as its statement_timeout, so that it does not keep working (or holding
// locks) for a client that left. A statement that was sent may still commit on the server
// after the deadline: the scan was then stored although its post got 503, and posting it
// again finds it by its digest.
#include <arpa/inet.h>
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>

#include "receiver/storage/StoreInternal.h"

namespace gravelin::storage::detail {

namespace {

// pg_advisory_xact_lock key held while migrating: "gravelin" in ASCII.
constexpr long long kMigrationLock = 0x67726176656c696eLL;
// pg_advisory_xact_lock key held by each retention step and machine deletion.
constexpr long long kRetentionLock = kMigrationLock + 1;
constexpr std::size_t kLargestIdlePool = 32;
constexpr std::size_t kImportBatch = 500;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

using Clock = std::chrono::steady_clock;

// The connection is gone: throw it away, maybe retry.
class ConnectionLost : public StorageUnavailable {
public:
    explicit ConnectionLost(const std::string& message, FailureKind kind = FailureKind::Unreachable)
        : StorageUnavailable(message, kind) {}
};

// The call's deadline passed while waiting for the server: the connection is in an unknown
// state (a statement may be running), so it is thrown away; never retried.
class DeadlinePassed : public StorageUnavailable {
public:
    explicit DeadlinePassed(const std::string& message)
        : StorageUnavailable(message, FailureKind::Timeout) {}
};

// A failed statement's kind, by SQLSTATE.
FailureKind failureKind(const std::string& state) {
    if (state == "53100") return FailureKind::DiskFull;
    if (state == "57014") return FailureKind::Timeout;  // statement_timeout on the server
    if (state == "XX001" || state == "XX002") return FailureKind::Damaged;
    if (state == "53300" || state == "53000") return FailureKind::Unreachable;
    if (state == "55P03" || state == "40P01" || state == "40001") return FailureKind::Busy;
    return FailureKind::Other;
}

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct Param {
    std::string value;
    bool binary = false;
    bool null = false;
};
Param text(std::string v) { return Param{std::move(v)}; }
Param integer(std::int64_t v) { return Param{std::to_string(v)}; }
Param bytes(std::string v) { return Param{std::move(v), true}; }
Param null() { return Param{{}, false, true}; }

class ResultRow : public RowReader {
public:
    ResultRow(const PGresult* r, int row) : r_(r), row_(row) {}
    std::string text(int column) const override {
        if (PQgetisnull(r_, row_, column)) return {};
        return std::string(PQgetvalue(r_, row_, column),
                           static_cast<std::size_t>(PQgetlength(r_, row_, column)));
    }
    // Results come in binary: integers in network byte order.
    std::int64_t integer(int column) const override {
        if (PQgetisnull(r_, row_, column)) return 0;
        const auto* p = reinterpret_cast<const unsigned char*>(PQgetvalue(r_, row_, column));
        const int length = PQgetlength(r_, row_, column);
        if (length != 2 && length != 4 && length != 8)
            throw StorageUnavailable("PostgreSQL: unexpected integer width");
        std::uint64_t v = (p[0] & 0x80) ? ~std::uint64_t{0} : 0;  // sign-extend
        for (int i = 0; i < length; ++i) v = (v << 8) | p[i];
        return static_cast<std::int64_t>(v);
    }

private:
    const PGresult* r_;
    int row_;
};

struct Values {
    explicit Values(const std::vector<Param>& params) {
        for (const Param& p : params) {
            values.push_back(p.null ? nullptr : p.value.data());
            lengths.push_back(static_cast<int>(p.value.size()));
            formats.push_back(p.binary ? 1 : 0);
        }
    }
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
};

class Connection {
public:
    // Throws ConnectionLost when the server cannot be reached, DeadlinePassed when it does
    // not answer by the deadline.
    Connection(const std::string& uri, std::chrono::milliseconds budget, Clock::time_point deadline)
        : deadline_(deadline) {
        try {
            open(uri, budget);
        } catch (...) {
            PQfinish(conn_);
            conn_ = nullptr;
            throw;
        }
    }
    ~Connection() { PQfinish(conn_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

private:
    void open(const std::string& uri, std::chrono::milliseconds budget) {
        // Ours first: the URI's own parameters, expanded from dbname, override them.
        const std::string seconds = std::to_string(std::max<std::int64_t>(
            2, std::chrono::duration_cast<std::chrono::seconds>(budget).count() + 1));
        const char* keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval",
                              "keepalives_count", "tcp_user_timeout", "application_name",
                              "client_encoding", "dbname", nullptr};
        const char* values[] = {seconds.c_str(), "10", "5", "3", "30000", "gravelin-receiver",
                                "UTF8", uri.c_str(), nullptr};
        conn_ = PQconnectStartParams(keys, values, 1);
        if (!conn_ || PQstatus(conn_) == CONNECTION_BAD) fail("cannot connect to PostgreSQL");
        // Connecting step by step, each wait bounded by the deadline.
        for (PostgresPollingStatusType state = PGRES_POLLING_WRITING;;) {
            if (state == PGRES_POLLING_OK) break;
            if (state == PGRES_POLLING_FAILED) fail("cannot connect to PostgreSQL");
            wait(state == PGRES_POLLING_READING ? POLLIN : POLLOUT, "connecting to PostgreSQL");
            state = PQconnectPoll(conn_);
        }
        if (PQsetnonblocking(conn_, 1) != 0) fail("cannot connect to PostgreSQL");
        // Notices ("already exists, skipping") are not the receiver's output.
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
        exec("SET synchronous_commit = on; SET statement_timeout = " +
             std::to_string(std::max<std::int64_t>(1, budget.count())));
    }

public:
    // The deadline of the call that uses the connection now (Clock::time_point::max(): none).
    void setDeadline(Clock::time_point deadline) { deadline_ = deadline; }

    // A statement without parameters; several may be given, separated by semicolons.
    Result exec(const std::string& sql) {
        sent(PQsendQuery(conn_, sql.c_str()));
        return check(results());
    }

    // A statement with parameters, prepared once per connection; binary results.
    Result run(const std::string& sql, const std::vector<Param>& params) {
        auto found = prepared_.find(sql);
        if (found == prepared_.end()) {
            const std::string name = "s" + std::to_string(prepared_.size());
            sent(PQsendPrepare(conn_, name.c_str(), sql.c_str(), 0, nullptr));
            check(results());
            found = prepared_.emplace(sql, name).first;
        }
        const Values v(params);
        sent(PQsendQueryPrepared(conn_, found->second.c_str(), static_cast<int>(params.size()),
                                 v.values.data(), v.lengths.data(), v.formats.data(), 1));
        return check(results());
    }

    // The same, planned for these very values: a search, whose plan depends on how common
    // its terms are (a prepared statement's generic plan cannot know).
    Result runPlanned(const std::string& sql, const std::vector<Param>& params) {
        const Values v(params);
        sent(PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                               v.values.data(), v.lengths.data(), v.formats.data(), 1));
        return check(results());
    }

    bool usable() const { return !abandoned_ && PQstatus(conn_) == CONNECTION_OK; }
    bool inTransaction() const { return PQtransactionStatus(conn_) != PQTRANS_IDLE; }
    PGconn* handle() const { return conn_; }

    // The SQLSTATE of the last failure ("" when none or unknown).
    const std::string& lastState() const { return lastState_; }

private:
    static std::string trimmed(const char* message) {
        std::string s = message ? message : "";
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        return s;
    }

    [[noreturn]] void fail(const std::string& what) {
        const std::string message = conn_ ? trimmed(PQerrorMessage(conn_)) : "out of memory";
        PQfinish(conn_);
        conn_ = nullptr;
        // libpq says why it could not make a socket only in its message.
        const bool descriptors = message.find(std::strerror(EMFILE)) != std::string::npos ||
                                 message.find(std::strerror(ENFILE)) != std::string::npos;
        throw ConnectionLost(what + ": " + message,
                             descriptors ? FailureKind::Descriptors : FailureKind::Unreachable);
    }

    // Waits until the socket is ready for `events`, at most until the deadline.
    void wait(short events, const char* what) {
        for (;;) {
            int timeout = -1;
            if (deadline_ != Clock::time_point::max()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline_ - Clock::now());
                if (left.count() <= 0) break;
                timeout = static_cast<int>(std::min<std::int64_t>(left.count() + 1, INT32_MAX));
            }
            pollfd fd{PQsocket(conn_), events, 0};
            if (fd.fd < 0) throw ConnectionLost(std::string("PostgreSQL: ") + what + ": no socket");
            const int ready = ::poll(&fd, 1, timeout);
            if (ready > 0) return;
            if (ready < 0 && errno != EINTR)
                throw ConnectionLost(std::string("PostgreSQL: ") + what + ": " + std::strerror(errno));
        }
        abandoned_ = true;
        throw DeadlinePassed(std::string("PostgreSQL: no answer within the deadline (") + what + ")");
    }

    // The query was handed to libpq: send all of it.
    void sent(int queued) {
        if (!queued) {
            const std::string message = "PostgreSQL: " + trimmed(PQerrorMessage(conn_));
            throw ConnectionLost(message);
        }
        for (;;) {
            const int flushed = PQflush(conn_);
            if (flushed == 0) return;
            if (flushed < 0) throw ConnectionLost("PostgreSQL: " + trimmed(PQerrorMessage(conn_)));
            wait(POLLIN | POLLOUT, "sending");
            if (!PQconsumeInput(conn_)) throw ConnectionLost("PostgreSQL: " + trimmed(PQerrorMessage(conn_)));
        }
    }

    // Every result of the query sent: the first failed one, else the last (as PQexec).
    PGresult* results() {
        Result kept;
        for (;;) {
            while (PQisBusy(conn_)) {
                wait(POLLIN, "waiting for the server");
                if (!PQconsumeInput(conn_)) {
                    if (kept && PQresultStatus(kept.get()) == PGRES_FATAL_ERROR) return kept.release();
                    return nullptr;
                }
            }
            PGresult* next = PQgetResult(conn_);
            if (next == nullptr) break;
            const bool failed = kept && PQresultStatus(kept.get()) == PGRES_FATAL_ERROR;
            if (failed) {
                PQclear(next);
            } else {
                kept.reset(next);
            }
        }
        return kept.release();
    }

    Result check(PGresult* raw) {
        Result r(raw);
        const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            lastState_.clear();
            return r;
        }
        const char* state = r ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
        lastState_ = state ? state : "";
        const std::string message =
            "PostgreSQL: " + trimmed(r ? PQresultErrorMessage(r.get()) : PQerrorMessage(conn_));
        if (PQstatus(conn_) != CONNECTION_OK || lastState_.rfind("08", 0) == 0 ||
            lastState_.rfind("57P", 0) == 0 || (!state && !r))
            throw ConnectionLost(message);
        throw StorageUnavailable(message, failureKind(lastState_));
    }

    PGconn* conn_ = nullptr;
    Clock::time_point deadline_;
    bool abandoned_ = false;
    std::map<std::string, std::string> prepared_;
    std::string lastState_;
};

std::vector<Param> columnParams(const ScanColumns& c) {
    std::vector<Param> params;
    for (const auto& field : kScanColumnFields) {
        std::visit(
            [&](auto member) {
                if constexpr (std::is_same_v<std::remove_cvref_t<decltype(c.*member)>,
                                             std::string>) {
                    params.push_back(text(c.*member));
                } else {
                    params.push_back(integer(static_cast<std::int64_t>(c.*member)));
                }
            },
            field.member);
    }
    return params;
}

std::string likePattern(const std::string& term) {
    std::string out = "%";
    for (char ch : term) {
        if (ch == '\\' || ch == '%' || ch == '_') out += '\\';
        out += ch;
    }
    return out + "%";
}

void migrate(Connection& c) {
    for (;;) {
        c.exec("BEGIN");
        // Receivers starting together: one migrates, the others wait here and then find
        // nothing left to do.
        // Migrating may take long on a large database: no deadline for it.
        c.exec("SET LOCAL statement_timeout = 0");
        c.exec("SELECT pg_advisory_xact_lock(" + std::to_string(kMigrationLock) + ")");
        c.exec("CREATE TABLE IF NOT EXISTS schema_version (version integer PRIMARY KEY,"
               " description text NOT NULL, applied_at bigint NOT NULL)");
        const Result r = c.run("SELECT coalesce(max(version), 0)::bigint FROM schema_version", {});
        const int version = static_cast<int>(ResultRow(r.get(), 0).integer(0));
        if (version > currentSchemaVersion()) {
            c.exec("ROLLBACK");
            throw StorageError(newerSchemaMessage(version));
        }
        const Migration* next = migrationAfter(version);
        if (!next) {
            c.exec("COMMIT");
            return;
        }
        try {
            c.exec(next->postgres);
        } catch (const StorageUnavailable& e) {
            throw StorageError("migration to schema version " + std::to_string(next->version) +
                               " failed: " + e.what());
        }
        c.run("INSERT INTO schema_version (version, description, applied_at) VALUES ($1, $2, $3)",
              {integer(next->version), text(next->description), integer(nowMs())});
        c.exec("COMMIT");
    }
}

// A Transaction over one connection ("?N" parameters become "$N").
class PostgresTransaction final : public Transaction {
public:
    explicit PostgresTransaction(Connection& c) : c_(c) {}
    Dialect dialect() const override { return Dialect::Postgres; }
    std::size_t run(const std::string& sql, const std::vector<SqlValue>& params,
                    const std::function<void(const RowReader&)>& row) override {
        std::string dollar = sql;
        std::replace(dollar.begin(), dollar.end(), '?', '$');
        std::vector<Param> values;
        for (const SqlValue& value : params) {
            if (const auto* n = std::get_if<std::int64_t>(&value))
                values.push_back(integer(*n));
            else
                values.push_back(text(std::get<std::string>(value)));
        }
        const Result r = c_.run(dollar, values);
        const int rows = PQntuples(r.get());
        if (row)
            for (int i = 0; i < rows; ++i) row(ResultRow(r.get(), i));
        return static_cast<std::size_t>(rows);
    }

private:
    Connection& c_;
};

class PostgresStore final : public Store {
public:
    PostgresStore(std::string uri, std::chrono::milliseconds deadline)
        : uri_(std::move(uri)), budget_(deadline) {
        std::unique_ptr<Connection> c;
        try {
            c = std::make_unique<Connection>(uri_, budget_, Clock::now() + budget_);
            c->setDeadline(Clock::time_point::max());
            const Result encoding = c->exec("SHOW server_encoding");
            const std::string name = PQgetvalue(encoding.get(), 0, 0);
            if (name != "UTF8")
                throw StorageError("the database's encoding is " + name +
                                   ", not UTF8: create it with ENCODING 'UTF8'");
            migrate(*c);
        } catch (const StorageUnavailable& e) {
            throw StorageError(e.what());
        }
        const char* host = PQhost(c->handle());
        const std::string where = (host && *host == '/') ? std::string(host)
                                                          : std::string(host ? host : "") + ":" + PQport(c->handle());
        description_ = std::string("PostgreSQL ") + PQdb(c->handle()) + " on " + where;
        release(std::move(c));
    }

    void setDoorbell(std::shared_ptr<WebhookDoorbell> doorbell) { doorbell_ = std::move(doorbell); }

    AddResult addScan(const NewScan& scan) override {
        const PreparedScan p = prepareScan(scan);
        std::size_t queued = 0;
        AddResult added = withConnection([&](Connection& c) {
            queued = 0;
            if (auto existing = findDigest(c, p.scan.sealedDigest)) return *existing;
            c.exec("BEGIN");
            PostgresTransaction t(c);
            SurveyKeeper survey(t);
            std::optional<AddResult> stored = store(c, p, &survey, queued);
            if (!stored) {
                // Another receiver committed the same text since the check above.
                c.exec("ROLLBACK");
                if (auto existing = findDigest(c, p.scan.sealedDigest)) return *existing;
                throw StorageUnavailable("PostgreSQL: a conflicting scan vanished");
            }
            survey.apply();
            c.exec("COMMIT");
            return *stored;
        });
        if (queued > 0 && doorbell_) doorbell_->ring();
        return added;
    }

    std::vector<AddResult> addScans(const std::vector<NewScan>& scans) override {
        std::vector<AddResult> results;
        for (std::size_t first = 0; first < scans.size(); first += kImportBatch) {
            const std::size_t last = std::min(scans.size(), first + kImportBatch);
            std::vector<PreparedScan> prepared;
            for (std::size_t i = first; i < last; ++i) prepared.push_back(prepareScan(scans[i]));
            std::size_t queued = 0;
            auto batch = withConnection([&](Connection& c) {
                queued = 0;
                std::vector<AddResult> out;
                c.exec("BEGIN");
                // The whole batch's counters at the end, in their order: a scan's machine is
                // never locked after a counter row.
                PostgresTransaction t(c);
                SurveyKeeper survey(t);
                for (const PreparedScan& p : prepared) {
                    if (auto existing = findDigest(c, p.scan.sealedDigest)) {
                        out.push_back(*existing);
                        continue;
                    }
                    c.exec("SAVEPOINT scan");
                    std::size_t mine = 0;
                    if (auto stored = store(c, p, &survey, mine)) {
                        queued += mine;
                        c.exec("RELEASE scan");
                        out.push_back(*stored);
                    } else {
                        c.exec("ROLLBACK TO scan");
                        auto existing = findDigest(c, p.scan.sealedDigest);
                        if (!existing) throw StorageUnavailable("PostgreSQL: a conflicting scan vanished");
                        out.push_back(*existing);
                    }
                }
                survey.apply();
                c.exec("COMMIT");
                return out;
            });
            if (queued > 0 && doorbell_) doorbell_->ring();
            results.insert(results.end(), batch.begin(), batch.end());
        }
        return results;
    }

    Acceptance acceptScan(std::int64_t scanId) override {
        return withConnection([&](Connection& c) {
            c.exec("BEGIN");
            const Result r = c.run(acceptReadSql(Dialect::Postgres), {integer(scanId)});
            if (PQntuples(r.get()) == 0) {
                c.exec("ROLLBACK");
                return Acceptance::NoSuchScan;
            }
            const ScanRow row = readScanRow(ResultRow(r.get(), 0));
            if (row.conflict != ScanConflict::Conflicting) {
                c.exec("ROLLBACK");
                return Acceptance::NothingToAccept;
            }
            c.run(std::string(kAcceptMarkSql) + "$1", {integer(scanId)});
            PostgresTransaction t(c);
            SurveyKeeper survey(t);
            survey.scanChanged(row.machineId, row.receivedAtMs);
            std::vector<Param> params = columnParams(row.columns);
            params.push_back(text(row.identityRule));
            params.push_back(text(searchText(row.columns)));
            params.push_back(integer(row.receivedAtMs));
            params.push_back(integer(row.id));
            params.push_back(integer(row.machineId));
            const Result latest = c.run(acceptLatestSql(Dialect::Postgres), params);
            const bool newest = PQntuples(latest.get()) > 0;
            if (newest) recordChangesIn(t, scanId);
            survey.apply();
            c.exec("COMMIT");
            return newest ? Acceptance::AcceptedAsLatest : Acceptance::Accepted;
        });
    }

    // Deleting takes the retention lock first (see lockRetention), then the machine's row:
    // a scan of it arriving meanwhile waits, then makes the machine anew.
    std::optional<Removed> deleteMachine(std::int64_t machineId, const AuditEntry& audit) override {
        auto removed = withConnection([&](Connection& c) -> std::optional<Removed> {
            c.exec("BEGIN");
            lockRetention(c);
            const Result found =
                c.run("SELECT id FROM machines WHERE id = $1 FOR UPDATE", {integer(machineId)});
            if (PQntuples(found.get()) == 0) {
                c.exec("ROLLBACK");
                return std::nullopt;
            }
            Removed r;
            const Result scans = c.run("DELETE FROM scans WHERE machine_id = $1", {integer(machineId)});
            r.scans = std::strtoull(PQcmdTuples(scans.get()), nullptr, 10);
            {
                PostgresTransaction t(c);
                SurveyKeeper survey(t);
                survey.machineChanged(machineId);
                survey.apply();
            }
            c.run("DELETE FROM machines WHERE id = $1", {integer(machineId)});
            r.machines = 1;
            AuditEntry entry = audit;
            entry.detail = detailOf(r);
            insertAudit(c, entry);
            c.exec("COMMIT");
            return r;
        });
        if (removed) scrub();
        return removed;
    }

    Removed pruneMachines(std::int64_t lastSeenBeforeMs, std::uint32_t limit) override {
        return withConnection([&](Connection& c) {
            Removed r;
            c.exec("BEGIN");
            lockRetention(c);
            r.scans = deleteScans(c,
                                  "SELECT s.id, s.machine_id FROM machines m JOIN scans s ON "
                                  "s.machine_id = m.id WHERE m.last_seen < $1 LIMIT $2 "
                                  "FOR UPDATE OF s SKIP LOCKED",
                                  lastSeenBeforeMs, limit);
            if (r.scans < limit) {
                const Result gone = c.run(
                    "DELETE FROM machines WHERE id IN (SELECT id FROM machines m WHERE "
                    "last_seen < $1 AND NOT EXISTS (SELECT 1 FROM scans WHERE machine_id = m.id) "
                    "LIMIT $2 FOR UPDATE SKIP LOCKED)",
                    {integer(lastSeenBeforeMs), integer(limit - static_cast<std::int64_t>(r.scans))});
                r.machines = std::strtoull(PQcmdTuples(gone.get()), nullptr, 10);
            }
            c.exec("COMMIT");
            return r;
        });
    }

    std::uint64_t pruneScans(std::int64_t receivedBeforeMs, std::uint32_t limit) override {
        return withConnection([&](Connection& c) {
            c.exec("BEGIN");
            lockRetention(c);
            const std::uint64_t n =
                deleteScans(c,
                            "SELECT s.id, s.machine_id FROM scans s JOIN machines m ON "
                            "m.id = s.machine_id WHERE s.received_at < $1 AND s.id IS DISTINCT "
                            "FROM m.latest_scan_id ORDER BY s.received_at LIMIT $2 "
                            "FOR UPDATE OF s SKIP LOCKED",
                            receivedBeforeMs, limit);
            c.exec("COMMIT");
            return n;
        });
    }

    Removed prunable(const PruneCutoffs& cutoffs) override {
        return withConnection([&](Connection& c) {
            const Result r = c.run(prunableSql(Dialect::Postgres),
                                   {integer(cutoffs.machinesBeforeMs.value_or(INT64_MIN)),
                                    integer(cutoffs.scansBeforeMs.value_or(INT64_MIN)),
                                    integer(cutoffs.auditBeforeMs.value_or(INT64_MIN))});
            const ResultRow row(r.get(), 0);
            return Removed{static_cast<std::uint64_t>(row.integer(0)),
                           static_cast<std::uint64_t>(row.integer(1)),
                           static_cast<std::uint64_t>(row.integer(2))};
        });
    }

    // A deleted row stays in its page, and its index entries in theirs, until VACUUM: run
    // here on the two tables (and the scans' TOAST table with them), with the index
    // cleanup forced (by default VACUUM may skip the indexes when few rows died). It cannot
    // run inside a transaction and may take longer than a storage call: no deadline.
    void scrub() override {
        withConnection([&](Connection& c) {
            c.setDeadline(Clock::time_point::max());
            const std::string timeout =
                "SET statement_timeout = " + std::to_string(std::max<std::int64_t>(1, budget_.count()));
            c.exec("SET statement_timeout = 0");
            try {
                c.exec("VACUUM (INDEX_CLEANUP ON) scans, machines");
            } catch (...) {
                c.exec(timeout);
                throw;
            }
            c.exec(timeout);
            return 0;
        });
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
        // A read: the rows it would lock are not locked outside a transaction's end.
        return change([&](Transaction& t) { return machineForKeyIn(t, key); });
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

    std::vector<ScanRow> scans(std::optional<std::int64_t> machineId, std::uint32_t limit,
                               std::uint64_t offset) override {
        std::string sql = std::string("SELECT ") + kScanRowSql + " FROM scans";
        std::vector<Param> params = {integer(limit), integer(clamp(offset))};
        if (machineId) {
            sql += " WHERE machine_id = $3";
            params.push_back(integer(*machineId));
        }
        sql += " ORDER BY received_at DESC, id DESC LIMIT $1 OFFSET $2";
        return withConnection([&](Connection& c) {
            const Result r = c.run(sql, params);
            std::vector<ScanRow> rows;
            for (int i = 0; i < PQntuples(r.get()); ++i) rows.push_back(readScanRow(ResultRow(r.get(), i)));
            return rows;
        });
    }

    std::optional<ScanRecord> scan(std::int64_t scanId) override {
        return withConnection([&](Connection& c) -> std::optional<ScanRecord> {
            const Result r = c.run(std::string("SELECT ") + kScanRowSql +
                                       ", report, report_size, summary_json FROM scans WHERE id = $1",
                                   {integer(scanId)});
            if (PQntuples(r.get()) == 0) return std::nullopt;
            const ResultRow row(r.get(), 0);
            ScanRecord record;
            record.row = readScanRow(row);
            record.reportBytes = decompressReport(row.text(kScanRowCount),
                                                  static_cast<std::uint64_t>(row.integer(kScanRowCount + 1)));
            record.summaryJson = row.text(kScanRowCount + 2);
            return record;
        });
    }

    std::vector<ScanRow> scansWithReceipt(const std::string& receipt) override {
        return withConnection([&](Connection& c) {
            const Result r = c.run(receiptSql(Dialect::Postgres), {text(cleanText(receipt))});
            std::vector<ScanRow> rows;
            for (int i = 0; i < PQntuples(r.get()); ++i)
                rows.push_back(readScanRow(ResultRow(r.get(), i)));
            return rows;
        });
    }

    std::optional<MachineRow> machine(std::int64_t machineId) override {
        return withConnection([&](Connection& c) -> std::optional<MachineRow> {
            const Result r = c.run(std::string("SELECT ") + kMachineSql + " FROM machines WHERE id = $1",
                                   {integer(machineId)});
            if (PQntuples(r.get()) == 0) return std::nullopt;
            return readMachine(ResultRow(r.get(), 0));
        });
    }

    MachinePage machines(const MachineQuery& query) override {
        std::vector<Param> search;
        for (const std::string& term : searchTerms(query.search)) search.push_back(text(likePattern(term)));
        // Machines not seen since a time: one more parameter after the terms.
        const bool unseen = query.lastSeenBeforeMs != 0;
        if (unseen) search.push_back(integer(query.lastSeenBeforeMs));
        // Then the survey filters' values.
        const std::size_t filtersAt = search.size();
        for (std::string& value : facetFilterParams(query)) search.push_back(text(std::move(value)));
        const auto where = [&](std::size_t first) {
            std::string sql = " WHERE true";
            for (std::size_t i = 0; i < filtersAt; ++i) {
                const bool last = unseen && i + 1 == filtersAt;
                sql += (last ? " AND last_seen < $" : " AND search_text LIKE $") + std::to_string(first + i);
            }
            std::string filters = facetFilterSql(query, static_cast<int>(first + filtersAt));
            std::replace(filters.begin(), filters.end(), '?', '$');
            return sql + filters;
        };
        const PageReading reading = pageReading(query, std::min<std::uint32_t>(query.limit, 1000));
        const std::string direction = reading.sqlDescending ? " DESC" : " ASC";
        const std::string order =
            std::string(" ORDER BY ") + sortColumn(query.sort) + direction + ", id" + direction;
        std::vector<Param> pageParams = {
            integer(reading.fetch), integer(query.from == PageFrom::Start ? clamp(query.offset) : 0)};
        pageParams.insert(pageParams.end(), search.begin(), search.end());
        // From a key: the rows past it, by a row comparison that is one range of the
        // (sort column, id) index.
        std::string keyed;
        if (reading.keyed) {
            const std::size_t value = pageParams.size() + 1;
            keyed = std::string(" AND (") + sortColumn(query.sort) +
                    ", id) " + reading.keyComparison + " ($" + std::to_string(value) + ", $" +
                    std::to_string(value + 1) + ")";
            if (const auto* t = std::get_if<std::string>(&query.key.value))
                pageParams.push_back(text(cleanText(*t)));
            else
                pageParams.push_back(integer(std::get<std::int64_t>(query.key.value)));
            pageParams.push_back(integer(query.key.id));
        }
        // The inner query reads the (sort column, id) index alone; only the page's rows come
        // from the table.
        const std::string pageSql = std::string("SELECT ") + kMachineSql +
                                    " FROM machines WHERE id IN (SELECT id FROM machines" + where(3) +
                                    keyed + order + " LIMIT $1 OFFSET $2)" + order;
        const std::string countSql =
            search.empty() ? "SELECT sum(n)::bigint FROM machine_count" : "SELECT count(*) FROM machines" + where(1);
        return withConnection([&](Connection& c) {
            MachinePage page;
            const bool planned = !search.empty();
            const Result r = planned ? c.runPlanned(pageSql, pageParams) : c.run(pageSql, pageParams);
            for (int i = 0; i < PQntuples(r.get()); ++i) page.machines.push_back(readMachine(ResultRow(r.get(), i)));
            finishPage(page, query, reading);
            const Result n = planned ? c.runPlanned(countSql, search) : c.run(countSql, search);
            page.total = static_cast<std::uint64_t>(ResultRow(n.get(), 0).integer(0));
            return page;
        });
    }

    void putAccount(const std::string& name, const std::string& passwordHash,
                    Role role) override {
        withConnection([&](Connection& c) {
            c.run("INSERT INTO accounts (name, password_hash, role) VALUES ($1, $2, $3) "
                  "ON CONFLICT (name) DO UPDATE SET password_hash = excluded.password_hash",
                  {text(cleanText(name)), text(cleanText(passwordHash)), text(roleName(role))});
            return 0;
        });
    }

    std::optional<Account> account(const std::string& name) override {
        return withConnection([&](Connection& c) -> std::optional<Account> {
            const Result r = c.run(std::string("SELECT ") + kAccountColumnsSql +
                                       " FROM accounts WHERE name = $1",
                                   {text(cleanText(name))});
            if (PQntuples(r.get()) == 0) return std::nullopt;
            return readAccount(ResultRow(r.get(), 0));
        });
    }

    std::vector<Account> accounts() override {
        return withConnection([&](Connection& c) {
            const Result r = c.run(
                std::string("SELECT ") + kAccountColumnsSql + " FROM accounts ORDER BY name", {});
            std::vector<Account> out;
            for (int i = 0; i < PQntuples(r.get()); ++i) out.push_back(readAccount(ResultRow(r.get(), i)));
            return out;
        });
    }

    bool setAccountRole(const std::string& name, Role role) override {
        return changed("UPDATE accounts SET role = $2 WHERE name = $1 RETURNING id",
                       {text(cleanText(name)), text(roleName(role))});
    }

    bool setAccountDisabled(const std::string& name, bool disabled) override {
        return changed("UPDATE accounts SET disabled = $2 WHERE name = $1 RETURNING id",
                       {text(cleanText(name)), integer(disabled ? 1 : 0)});
    }

    bool deleteAccount(const std::string& name) override {
        return changed("DELETE FROM accounts WHERE name = $1 RETURNING id", {text(cleanText(name))});
    }

    void noteSignIn(std::int64_t accountId, std::int64_t atMs) override {
        withConnection([&](Connection& c) {
            c.run("UPDATE accounts SET last_sign_in = $2 WHERE id = $1",
                  {integer(accountId), integer(atMs)});
            return 0;
        });
    }

    void appendAudit(const AuditEntry& entry) override {
        withConnection([&](Connection& c) {
            insertAudit(c, entry);
            return 0;
        });
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
        return withConnection([&](Connection& c) {
            const Result r = c.run("DELETE FROM audit WHERE id IN (SELECT id FROM audit WHERE "
                                   "at < $1 ORDER BY at LIMIT $2 FOR UPDATE SKIP LOCKED)",
                                   {integer(beforeMs), integer(limit)});
            const char* n = PQcmdTuples(r.get());
            return static_cast<std::uint64_t>(std::strtoull(n, nullptr, 10));
        });
    }

    void putSession(const Session& session) override {
        withConnection([&](Connection& c) {
            c.run("DELETE FROM sessions WHERE expires_at <= $1", {integer(nowMs())});
            c.run("INSERT INTO sessions (token_hash, account_id, expires_at, form_token) "
                  "VALUES ($1, $2, $3, $4) ON CONFLICT (token_hash) DO UPDATE SET "
                  "account_id = excluded.account_id, expires_at = excluded.expires_at, "
                  "form_token = excluded.form_token",
                  {text(cleanText(session.tokenHash)), integer(session.accountId),
                   integer(session.expiresAtMs), text(cleanText(session.formToken))});
            return 0;
        });
    }

    std::optional<Session> session(const std::string& tokenHash) override {
        return withConnection([&](Connection& c) -> std::optional<Session> {
            const Result r =
                c.run("SELECT s.token_hash, s.account_id, s.expires_at, s.form_token, a.name, "
                      "a.role FROM sessions s JOIN accounts a ON a.id = s.account_id "
                      "WHERE s.token_hash = $1 AND s.expires_at > $2 AND a.disabled = 0",
                      {text(cleanText(tokenHash)), integer(nowMs())});
            if (PQntuples(r.get()) == 0) return std::nullopt;
            const ResultRow row(r.get(), 0);
            return Session{row.text(0), row.integer(1), row.integer(2), row.text(3), row.text(4),
                           roleNamed(row.text(5)).value_or(Role::Viewer)};
        });
    }

    bool putSummary(std::int64_t scanId, const std::string& summaryJson) override {
        return change([&](Transaction& t) {
            // The machine's row first, as every change of its scans takes it.
            std::int64_t machineId = 0, receivedAt = 0;
            t.run("SELECT m.id FROM scans s JOIN machines m ON m.id = s.machine_id WHERE s.id = ?1 "
                  "FOR UPDATE OF m",
                  {scanId});
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
        // One snapshot for the month's rows and the state row.
        return change([&](Transaction& t) {
            t.run("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ READ ONLY", {});
            return surveyCountsIn(t, monthOf(monthStartMs));
        });
    }

    SurveyRecount recountSurvey() override {
        return change([&](Transaction& t) { return recountSurveyIn(t); });
    }

    bool refreshColumns(std::int64_t scanId, const ScanColumns& columns) override {
        const PreparedScan prepared = prepareColumns(columns);
        return withConnection([&](Connection& c) {
            c.exec("BEGIN");
            std::vector<Param> scanParams = columnParams(prepared.scan.columns);
            scanParams.push_back(integer(scanId));
            const Result r = c.run(refreshScanSql(Dialect::Postgres), scanParams);
            const bool found = PQntuples(r.get()) > 0;
            if (found) {
                std::vector<Param> machineParams = columnParams(prepared.scan.columns);
                machineParams.push_back(text(prepared.searchText));
                machineParams.push_back(integer(scanId));
                c.run(refreshMachineSql(Dialect::Postgres), machineParams);
            }
            c.exec("COMMIT");
            return found;
        });
    }

    void dropSession(const std::string& tokenHash) override {
        withConnection([&](Connection& c) {
            c.run("DELETE FROM sessions WHERE token_hash = $1", {text(cleanText(tokenHash))});
            return 0;
        });
    }

    std::string consoleKey(const std::string& candidate) override {
        return withConnection([&](Connection& c) {
            // A receiver starting at the same moment may insert first: then its key is read.
            c.run("INSERT INTO console_key (id, key) VALUES (1, $1) ON CONFLICT (id) DO NOTHING",
                  {text(cleanText(candidate))});
            const Result r = c.run("SELECT key FROM console_key WHERE id = 1", {});
            if (PQntuples(r.get()) == 0) throw StorageUnavailable("the console key was not stored");
            return ResultRow(r.get(), 0).text(0);
        });
    }

    void probe() override {
        withConnection([&](Connection& c) {
            c.exec("SELECT 1");
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

    std::string describe() const override { return description_; }

private:
    static std::int64_t clamp(std::uint64_t v) {
        return static_cast<std::int64_t>(std::min<std::uint64_t>(v, INT64_MAX));
    }

    std::optional<AddResult> findDigest(Connection& c, const std::string& digest) {
        const Result r = c.run("SELECT id, machine_id, receipt FROM scans WHERE sealed_digest = $1",
                               {text(digest)});
        if (PQntuples(r.get()) == 0) return std::nullopt;
        const ResultRow row(r.get(), 0);
        return AddResult{row.integer(0), row.integer(1), row.text(2), true};
    }

    // Inside a transaction: the machine, then the scan. Nothing when the digest turned out
    // to be stored by a concurrent transaction (the caller rolls back).
    // The scan's month is handed to `survey` (applied by the caller before it commits).
    std::optional<AddResult> store(Connection& c, const PreparedScan& p, SurveyKeeper* survey,
                                   std::size_t& queued) {
        const NewScan& s = p.scan;
        AddResult result;
        // Compared with the latest scan under the machine row's lock: concurrent scans of one
        // machine are compared one after the other, and a merge of the machine waits for this
        // transaction or this one for the merge. Only when no machine holds the key is the
        // alias a merge left read, after the lock: a merge committed meanwhile is seen.
        std::string key = s.identityKey;
        for (int hop = 0; hop < 4 && !key.empty(); ++hop) {
            const Result latest = c.run(latestFingerprintSql(Dialect::Postgres), {text(key)});
            if (PQntuples(latest.get()) > 0) {
                result.conflicting =
                    conflictsWithLatest(ResultRow(latest.get(), 0).text(1), s.fingerprint);
                break;
            }
            const Result alias = c.run(aliasSql(Dialect::Postgres), {text(key)});
            if (PQntuples(alias.get()) == 0) break;
            key = ResultRow(alias.get(), 0).text(0);
        }
        std::vector<Param> machineParams;
        machineParams.push_back(key.empty() ? null() : text(key));
        machineParams.push_back(text(s.identityRule));
        machineParams.push_back(integer(s.receivedAtMs));
        for (Param& column : columnParams(s.columns)) machineParams.push_back(std::move(column));
        machineParams.push_back(text(p.searchText));
        machineParams.push_back(integer(result.conflicting ? 1 : 0));
        const Result m = c.run(machineUpsertSql(Dialect::Postgres), machineParams);
        result.machineId = ResultRow(m.get(), 0).integer(0);
        const std::int64_t lastSeen = ResultRow(m.get(), 0).integer(1);
        const bool newMachine = ResultRow(m.get(), 0).integer(2) == 1;

        std::vector<Param> scanParams = {integer(result.machineId),
                                         integer(s.receivedAtMs),
                                         text(s.remoteAddress),
                                         text(s.sealedDigest),
                                         text(s.receipt),
                                         bytes(p.compressed),
                                         integer(static_cast<std::int64_t>(p.reportSize)),
                                         integer(static_cast<std::int64_t>(p.compressed.size())),
                                         text(s.encoding),
                                         text(s.osDescription),
                                         text(s.programName),
                                         text(s.programVersion),
                                         text(s.errors),
                                         text(s.identityKey),
                                         text(s.identityRule)};
        for (Param& column : columnParams(s.columns)) scanParams.push_back(std::move(column));
        scanParams.push_back(text(s.summaryJson));
        scanParams.push_back(text(s.fingerprint));
        scanParams.push_back(integer(result.conflicting ? 1 : 0));
        const Result inserted = c.run(scanInsertSql(Dialect::Postgres), scanParams);
        if (PQntuples(inserted.get()) == 0) return std::nullopt;
        result.scanId = ResultRow(inserted.get(), 0).integer(0);
        bool hardwareChanged = false;
        if (lastSeen == s.receivedAtMs && !result.conflicting) {
            c.run("UPDATE machines SET latest_scan_id = $1 WHERE id = $2",
                  {integer(result.scanId), integer(result.machineId)});
            PostgresTransaction t(c);
            hardwareChanged = recordChangesIn(t, result.scanId) > 0;
        }
        if (survey && !result.conflicting)
            survey->scanStored(result.machineId, s.receivedAtMs, result.scanId, s.surveyFacets);
        result.receipt = s.receipt;
        // The events go with the scan: committed or rolled back with it.
        PostgresTransaction t(c);
        queued = enqueueScanEventsIn(t, result, s, newMachine, hardwareChanged);
        return result;
    }

    static void insertAudit(Connection& c, const AuditEntry& entry) {
        const AuditEntry e = boundedAuditEntry(entry);
        c.run(auditInsertSql(Dialect::Postgres),
              {integer(e.atMs), text(e.actor), text(e.action), text(e.target), text(e.address),
               text(e.detail)});
    }

    // Receivers sharing the database prune (and delete machines) one transaction at a time:
    // their batches never wait on each other's row locks in opposite orders (which would
    // deadlock), and rows another one is deleting are not counted twice. Intake takes no
    // part: the batches skip the rows it holds (SKIP LOCKED).
    static void lockRetention(Connection& c) {
        c.exec("SELECT pg_advisory_xact_lock(" + std::to_string(kRetentionLock) + ")");
    }

    // In a transaction: deletes the scans `selectSql` picks (parameters 1 the cutoff, 2 the
    // limit; columns the scan's id and machine's) and takes them off their machines' counts
    // and the survey's.
    static std::uint64_t deleteScans(Connection& c, const char* selectSql, std::int64_t cutoff,
                                     std::uint32_t limit) {
        const std::string sql = std::string("WITH doomed AS (") + selectSql +
                                "), gone AS (DELETE FROM scans WHERE id IN (SELECT id FROM "
                                "doomed) RETURNING machine_id, received_at), counted AS (SELECT "
                                "machine_id, count(*) AS n FROM gone GROUP BY machine_id), "
                                "updated AS (UPDATE machines SET scan_count = scan_count - "
                                "counted.n FROM counted WHERE machines.id = counted.machine_id) "
                                "SELECT machine_id, received_at FROM gone";
        const Result r = c.run(sql, {integer(cutoff), integer(limit)});
        PostgresTransaction t(c);
        SurveyKeeper survey(t);
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            const ResultRow row(r.get(), i);
            survey.scanChanged(row.integer(0), row.integer(1));
        }
        survey.apply();
        return static_cast<std::uint64_t>(PQntuples(r.get()));
    }

    // A change written once for both engines, in one transaction (rolled back by
    // withConnection when it throws).
    template <typename F>
    std::invoke_result_t<F, Transaction&> change(F&& f) {
        return withConnection([&](Connection& c) {
            c.exec("BEGIN");
            PostgresTransaction t(c);
            auto result = f(t);
            c.exec("COMMIT");
            return result;
        });
    }

    template <typename F>
    std::invoke_result_t<F, Transaction&> look(F&& f) {
        return withConnection([&](Connection& c) {
            PostgresTransaction t(c);
            return f(t);
        });
    }

    // One statement with RETURNING: whether it touched a row.
    bool changed(const char* sql, const std::vector<Param>& params) {
        return withConnection([&](Connection& c) { return PQntuples(c.run(sql, params).get()) > 0; });
    }

    // Borrows a connection for one call (see the top for what happens when it is lost).
    template <typename F>
    std::invoke_result_t<F, Connection&> withConnection(F&& f) {
        const Clock::time_point deadline = Clock::now() + budget_;
        for (int attempt = 0;; ++attempt) {
            bool reused = false;
            std::unique_ptr<Connection> c;
            try {
                c = acquire(reused, deadline);
            } catch (const DeadlinePassed&) {
                dropIdle();
                throw;
            }
            try {
                auto result = f(*c);
                release(std::move(c));
                return result;
            } catch (const DeadlinePassed&) {
                // The server did not answer in time: the others wait on it as well.
                dropIdle();
                throw;
            } catch (const ConnectionLost&) {
                dropIdle();
                if (reused && attempt == 0) continue;
                throw;
            } catch (...) {
                // A deadlock or serialisation failure is worth one more try as well.
                const bool retry = (c->lastState() == "40P01" || c->lastState() == "40001") && attempt == 0;
                recover(std::move(c));
                if (retry) continue;
                throw;
            }
        }
    }

    std::unique_ptr<Connection> acquire(bool& reused, Clock::time_point deadline) {
        {
            std::lock_guard lock(poolMutex_);
            if (!idle_.empty()) {
                auto c = std::move(idle_.back());
                idle_.pop_back();
                c->setDeadline(deadline);
                reused = true;
                return c;
            }
        }
        reused = false;
        return std::make_unique<Connection>(uri_, budget_, deadline);
    }

    void release(std::unique_ptr<Connection> c) {
        if (!c->usable() || c->inTransaction()) return;
        std::lock_guard lock(poolMutex_);
        if (idle_.size() < kLargestIdlePool) idle_.push_back(std::move(c));
    }

    // After a failed statement: end the transaction, keep the connection if that works.
    void recover(std::unique_ptr<Connection> c) {
        if (c->usable() && c->inTransaction()) {
            try {
                c->exec("ROLLBACK");
            } catch (const StorageUnavailable&) {
                return;  // not kept: its state is unknown
            }
        }
        release(std::move(c));
    }

    void dropIdle() {
        std::vector<std::unique_ptr<Connection>> dropped;
        std::lock_guard lock(poolMutex_);
        dropped.swap(idle_);
    }

    std::string uri_;
    std::chrono::milliseconds budget_;
    std::shared_ptr<WebhookDoorbell> doorbell_;
    std::string description_;
    std::mutex poolMutex_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace

std::unique_ptr<Store> openPostgresStore(const std::string& uri, std::chrono::milliseconds deadline,
                                         std::shared_ptr<WebhookDoorbell> doorbell) {
    auto store = std::make_unique<PostgresStore>(uri, deadline);
    store->setDoorbell(std::move(doorbell));
    return store;
}

}  // namespace gravelin::storage::detail
