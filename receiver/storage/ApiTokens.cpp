// API tokens, written once for both engines over a Transaction (StoreInternal.h): each change
// appends its audit entry in the transaction that makes it.
#include "receiver/storage/StoreInternal.h"

namespace gravelin::storage::detail {

namespace {

constexpr const char* kTokenColumns =
    "id, name, token_hash, role, created_by, created_at, expires_at, last_used, revoked_at";

ApiToken readToken(const RowReader& row) {
    ApiToken token;
    token.id = row.integer(0);
    token.name = row.text(1);
    token.tokenHash = row.text(2);
    // A role this version does not know grants nothing beyond reading.
    token.role = roleNamed(row.text(3)).value_or(Role::Viewer);
    token.createdBy = row.text(4);
    token.createdAtMs = row.integer(5);
    token.expiresAtMs = row.integer(6);
    token.lastUsedMs = row.integer(7);
    token.revokedAtMs = row.integer(8);
    return token;
}

void appendAudit(Transaction& t, const AuditEntry& entry) {
    const AuditEntry e = boundedAuditEntry(entry);
    t.run(auditInsertSql(Dialect::Sqlite),
          {e.atMs, e.actor, e.action, e.target, e.address, e.detail});
}

}  // namespace

bool addApiTokenIn(Transaction& t, const ApiToken& token, const AuditEntry& audit) {
    const std::string name = cleanText(token.name.substr(0, kMaxTokenNameBytes));
    if (t.run("INSERT INTO api_tokens (name, token_hash, role, created_by, created_at, "
              "expires_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO NOTHING RETURNING id",
              {name, cleanText(token.tokenHash), std::string(roleName(token.role)),
               cleanText(token.createdBy), token.createdAtMs, token.expiresAtMs}) == 0)
        return false;
    appendAudit(t, audit);
    return true;
}

std::vector<ApiToken> apiTokensIn(Transaction& t) {
    std::vector<ApiToken> out;
    t.run(std::string("SELECT ") + kTokenColumns + " FROM api_tokens ORDER BY name", {},
          [&](const RowReader& row) { out.push_back(readToken(row)); });
    return out;
}

std::optional<ApiToken> apiTokenWithHashIn(Transaction& t, const std::string& tokenHash) {
    std::optional<ApiToken> found;
    t.run(std::string("SELECT ") + kTokenColumns + " FROM api_tokens WHERE token_hash = ?1",
          {cleanText(tokenHash)}, [&](const RowReader& row) { found = readToken(row); });
    return found;
}

TokenRevocation revokeApiTokenIn(Transaction& t, const std::string& name, std::int64_t atMs,
                                 const AuditEntry& audit) {
    const std::string n = cleanText(name);
    if (t.run("UPDATE api_tokens SET revoked_at = ?2 WHERE name = ?1 AND revoked_at = 0 "
              "RETURNING id",
              {n, atMs}) > 0) {
        appendAudit(t, audit);
        return TokenRevocation::Revoked;
    }
    if (t.run("SELECT id FROM api_tokens WHERE name = ?1", {n}) > 0)
        return TokenRevocation::AlreadyRevoked;
    return TokenRevocation::NoSuchToken;
}

void noteApiTokenUseIn(Transaction& t, std::int64_t tokenId, std::int64_t atMs,
                       const AuditEntry& audit) {
    // Never backwards: two receivers noting uses out of order keep the later.
    t.run("UPDATE api_tokens SET last_used = ?2 WHERE id = ?1 AND last_used < ?2", {tokenId, atMs});
    appendAudit(t, audit);
}

}  // namespace gravelin::storage::detail
