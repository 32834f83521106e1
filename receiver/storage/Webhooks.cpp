// Hooks and their outbox, written once for both engines over a Transaction (StoreInternal.h).
//
// Claiming: a delivery is taken by setting its lease (lease_until) in a short transaction of
// its own; the post happens after it committed, so no transaction stays open during an HTTP
// request. Another receiver's claim skips leased rows (PostgreSQL also skips rows being
// claimed right now: FOR UPDATE SKIP LOCKED, and the UPDATE checks the lease again on the
// row it locks). The outcome is written only while the lease is the one taken: a worker that
// took longer than its lease finds its claim gone to someone else and changes nothing.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>
#include <random>

#include "receiver/storage/StoreInternal.h"

namespace gravelin::storage {

const char* deliveryStateName(DeliveryState state) {
    switch (state) {
    case DeliveryState::Pending: return "pending";
    case DeliveryState::Delivered: return "delivered";
    case DeliveryState::Failed: return "failed";
    }
    return "pending";
}

namespace {

std::string isoTime(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[96];
    const int milli = static_cast<int>(((ms % 1000) + 1000) % 1000);
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, milli);
    return text;
}

}  // namespace

std::string webhookPayload(const std::string& eventId, std::string_view event,
                           std::int64_t atMs, const EventMachine& machine,
                           const EventScan& scan) {
    nlohmann::ordered_json body;
    body["id"] = eventId;
    body["event"] = std::string(event);
    body["at"] = isoTime(atMs);
    body["machine"] = {{"id", machine.id},
                       {"maker", detail::cleanText(machine.maker)},
                       {"model", detail::cleanText(machine.model)},
                       {"product", detail::cleanText(machine.product)}};
    body["scan"] = {{"id", scan.id},
                    {"receipt", detail::cleanText(scan.receipt)},
                    {"received_at", isoTime(scan.receivedAtMs)}};
    return body.dump();
}

std::string newEventId() {
    static thread_local std::random_device device;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t r = device();
        for (int nibble = 0; nibble < 8; ++nibble) id += kHex[(r >> (4 * nibble)) & 0xF];
    }
    return id;
}

std::optional<std::int64_t> nextAttemptAt(std::int64_t windowStartMs, std::uint32_t attempts,
                                          std::int64_t nowMs) {
    std::int64_t wait = kFirstRetryMs;
    for (std::uint32_t i = 1; i < attempts && wait < kLongestRetryMs; ++i) wait *= 2;
    wait = std::min(wait, kLongestRetryMs);
    const std::int64_t next = nowMs + wait;
    if (next - windowStartMs > kGiveUpAfterMs) return std::nullopt;
    return next;
}

std::vector<std::string> eventList(std::string_view text) {
    std::vector<std::string> out;
    while (!text.empty()) {
        const auto comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (!item.empty()) out.emplace_back(item);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return out;
}

std::string webhookProblem(std::string_view url, const std::vector<std::string>& events,
                           bool allowHttp) {
    if (url.size() > kMaxWebhookUrlBytes)
        return "a webhook address is at most " + std::to_string(kMaxWebhookUrlBytes) + " bytes";
    std::string lower(url.substr(0, std::min<std::size_t>(url.size(), 8)));
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    const bool https = lower.starts_with("https://") && url.size() > 8;
    const bool http = lower.starts_with("http://") && url.size() > 7;
    if (!https && !http) return "a webhook address must be an https:// (or http://) address";
    if (http && !allowHttp)
        return "a webhook address must be https:// (serve --allow-http-webhooks allows http://)";
    for (const char c : url) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F) return "a webhook address may not hold blanks or control characters";
    }
    if (events.empty()) return "a webhook needs at least one event";
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (std::find(kWebhookEvents.begin(), kWebhookEvents.end(), events[i]) == kWebhookEvents.end())
            return "unknown event \"" + events[i] + "\" (known: new-machine, new-scan, "
                   "hardware-changed, conflicting-scan)";
        if (std::find(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(i), events[i]) !=
            events.begin() + static_cast<std::ptrdiff_t>(i))
            return "event \"" + events[i] + "\" is named twice";
    }
    return {};
}

namespace detail {

namespace {

constexpr const char* kDeliveryColumns =
    "d.id, d.hook_id, d.event_id, d.event, d.payload, d.created_at, d.attempts, "
    "d.next_attempt_at, d.state, d.last_status, d.last_error, d.delivered_at";

DeliveryState stateNamed(const std::string& name) {
    if (name == "delivered") return DeliveryState::Delivered;
    if (name == "failed") return DeliveryState::Failed;
    return DeliveryState::Pending;
}

WebhookDelivery readDelivery(const RowReader& row) {
    WebhookDelivery d;
    d.id = row.integer(0);
    d.hookId = row.integer(1);
    d.eventId = row.text(2);
    d.event = row.text(3);
    d.payload = row.text(4);
    d.createdAtMs = row.integer(5);
    d.attempts = static_cast<std::uint32_t>(row.integer(6));
    d.nextAttemptAtMs = row.integer(7);
    d.state = stateNamed(row.text(8));
    d.lastStatus = static_cast<int>(row.integer(9));
    d.lastError = row.text(10);
    d.deliveredAtMs = row.integer(11);
    return d;
}

std::string joined(const std::vector<std::string>& events) {
    std::string out;
    for (const std::string& e : events) out += (out.empty() ? "" : ",") + e;
    return out;
}

void appendAuditIn(Transaction& t, const AuditEntry& entry) {
    const AuditEntry e = boundedAuditEntry(entry);
    t.run(auditInsertSql(Dialect::Sqlite),
          {e.atMs, e.actor, e.action, e.target, e.address, e.detail});
}

}  // namespace

std::size_t enqueueEventIn(Transaction& t, const WebhookEvent& event) {
    // One statement, no read first: a row for every enabled hook whose list holds the name.
    return t.run(
        "INSERT INTO webhook_deliveries (hook_id, event_id, event, payload, created_at, "
        "window_start, attempts, next_attempt_at, state, last_status, last_error, "
        "delivered_at, lease_until) SELECT id, CAST(?1 AS TEXT), CAST(?2 AS TEXT), "
        "CAST(?3 AS TEXT), CAST(?4 AS BIGINT), CAST(?4 AS BIGINT), 0, CAST(?4 AS BIGINT), "
        "'pending', 0, '', 0, 0 FROM webhooks WHERE enabled = 1 AND "
        "',' || events || ',' LIKE '%,' || CAST(?2 AS TEXT) || ',%' "
        "RETURNING id",
        {cleanText(event.id), cleanText(event.name), cleanText(event.payload), event.atMs});
}

std::size_t enqueueScanEventsIn(Transaction& t, const AddResult& stored, const NewScan& scan,
                                bool newMachine, bool hardwareChanged) {
    // Most receivers have no hook: one read, in the same transaction, spares building and
    // inserting the events' payloads for nobody.
    if (t.run("SELECT 1 FROM webhooks WHERE enabled = 1 LIMIT 1", {}) == 0) return 0;
    const EventMachine machine{stored.machineId, scan.columns.maker, scan.columns.model,
                               scan.columns.product};
    const EventScan scanInfo{stored.scanId, stored.receipt, scan.receivedAtMs};
    std::size_t queued = 0;
    const auto enqueue = [&](std::string_view name) {
        const std::string id = newEventId();
        queued += enqueueEventIn(
            t, {id, std::string(name), scan.receivedAtMs,
                webhookPayload(id, name, scan.receivedAtMs, machine, scanInfo)});
    };
    if (newMachine) enqueue(kEventNewMachine);
    enqueue(kEventNewScan);
    if (stored.conflicting) enqueue(kEventConflictingScan);
    if (hardwareChanged) enqueue(kEventHardwareChanged);
    return queued;
}

std::int64_t addWebhookIn(Transaction& t, const Webhook& hook, const AuditEntry& audit) {
    std::int64_t id = 0;
    t.run("INSERT INTO webhooks (url, events, secret, created_by, created_at, enabled) "
          "VALUES (?1, ?2, ?3, ?4, ?5, ?6) RETURNING id",
          {cleanText(hook.url), joined(hook.events), hook.secret, cleanText(hook.createdBy),
           hook.createdAtMs, std::int64_t{hook.enabled ? 1 : 0}},
          [&](const RowReader& row) { id = row.integer(0); });
    AuditEntry entry = audit;
    entry.target = "webhook " + std::to_string(id);
    appendAuditIn(t, entry);
    return id;
}

std::vector<Webhook> webhooksIn(Transaction& t) {
    std::vector<Webhook> out;
    t.run("SELECT id, url, events, secret, created_by, created_at, enabled FROM webhooks "
          "ORDER BY id",
          {}, [&](const RowReader& row) {
              out.push_back({row.integer(0), row.text(1), eventList(row.text(2)), row.text(3),
                             row.text(4), row.integer(5), row.integer(6) != 0});
          });
    return out;
}

bool deleteWebhookIn(Transaction& t, std::int64_t id, const AuditEntry& audit) {
    t.run("DELETE FROM webhook_deliveries WHERE hook_id = ?1", {id});
    if (t.run("DELETE FROM webhooks WHERE id = ?1 RETURNING id", {id}) == 0) return false;
    appendAuditIn(t, audit);
    return true;
}

std::vector<WebhookDelivery> webhookDeliveriesIn(Transaction& t, std::optional<std::int64_t> hookId,
                                                 std::uint32_t limit) {
    std::vector<WebhookDelivery> out;
    std::vector<SqlValue> params{static_cast<std::int64_t>(std::min<std::uint32_t>(limit, 10000))};
    std::string sql = std::string("SELECT ") + kDeliveryColumns + " FROM webhook_deliveries d";
    if (hookId) {
        sql += " WHERE d.hook_id = ?2";
        params.emplace_back(*hookId);
    }
    sql += " ORDER BY d.id DESC LIMIT ?1";
    t.run(sql, params, [&](const RowReader& row) { out.push_back(readDelivery(row)); });
    return out;
}

bool retryDeliveryIn(Transaction& t, std::int64_t id, std::int64_t nowMs, const AuditEntry& audit) {
    if (t.run("UPDATE webhook_deliveries SET state = 'pending', attempts = 0, "
              "next_attempt_at = ?2, window_start = ?2, lease_until = 0 "
              "WHERE id = ?1 AND state = 'failed' RETURNING id",
              {id, nowMs}) == 0)
        return false;
    appendAuditIn(t, audit);
    return true;
}

std::vector<WebhookDelivery> claimDeliveriesIn(Transaction& t, std::int64_t nowMs,
                                               std::int64_t leaseMs, std::uint32_t limit) {
    const std::string skip = t.dialect() == Dialect::Postgres ? " FOR UPDATE SKIP LOCKED" : "";
    std::vector<std::int64_t> ids;
    const std::int64_t lease = nowMs + leaseMs;
    t.run("UPDATE webhook_deliveries SET lease_until = ?2, attempts = attempts + 1 "
          "WHERE state = 'pending' AND lease_until <= ?1 AND id IN (SELECT id FROM "
          "webhook_deliveries WHERE state = 'pending' AND next_attempt_at <= ?1 AND "
          "lease_until <= ?1 ORDER BY next_attempt_at, id LIMIT ?3" + skip + ") RETURNING id",
          {nowMs, lease, static_cast<std::int64_t>(limit)},
          [&](const RowReader& row) { ids.push_back(row.integer(0)); });
    std::vector<WebhookDelivery> out;
    for (const std::int64_t id : ids) {
        t.run(std::string("SELECT ") + kDeliveryColumns +
                  ", w.url, w.secret, d.lease_until FROM webhook_deliveries d JOIN webhooks w "
                  "ON w.id = d.hook_id WHERE d.id = ?1",
              {id}, [&](const RowReader& row) {
                  WebhookDelivery d = readDelivery(row);
                  d.url = row.text(12);
                  d.secret = row.text(13);
                  d.leaseUntilMs = row.integer(14);
                  out.push_back(std::move(d));
              });
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    return out;
}

bool finishDeliveryIn(Transaction& t, const DeliveryAttempt& attempt) {
    std::int64_t windowStart = 0, attempts = 0;
    if (t.run("SELECT window_start, attempts FROM webhook_deliveries WHERE id = ?1 AND "
              "state = 'pending' AND lease_until = ?2" +
                  std::string(t.dialect() == Dialect::Postgres ? " FOR UPDATE" : ""),
              {attempt.deliveryId, attempt.leaseUntilMs}, [&](const RowReader& row) {
                  windowStart = row.integer(0);
                  attempts = row.integer(1);
              }) == 0)
        return false;
    const std::string error = cleanText(attempt.error.substr(0, 500));
    if (attempt.delivered()) {
        t.run("UPDATE webhook_deliveries SET state = 'delivered', delivered_at = ?2, "
              "last_status = ?3, last_error = '', lease_until = 0 WHERE id = ?1",
              {attempt.deliveryId, attempt.atMs, std::int64_t{attempt.status}});
        return true;
    }
    const auto next = nextAttemptAt(windowStart, static_cast<std::uint32_t>(attempts), attempt.atMs);
    t.run("UPDATE webhook_deliveries SET state = ?2, next_attempt_at = ?3, last_status = ?4, "
          "last_error = ?5, lease_until = 0 WHERE id = ?1",
          {attempt.deliveryId, std::string(next ? "pending" : "failed"), next.value_or(0),
           std::int64_t{attempt.status}, error});
    return true;
}

}  // namespace detail
}  // namespace gravelin::storage
