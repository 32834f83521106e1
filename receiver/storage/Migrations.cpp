// The schema's history, one entry per version, the two engines' statements side by side.
// Never edit an entry that has shipped: add the next version. Each entry runs in one
// transaction together with its row in schema_version.
//
// machines: one row per machine, the latest scan's searchable columns copied in (the list
//   reads only this table), search_text for the search, an index per sort column.
// scans: every scan, the report compressed (zlib) with its decompressed size, the
//   Application block, the identity and the rule that matched, the columns and the summary.
// accounts, sessions: the console's sign-in.
// machine_count: the number of machines in 16 shards, kept by triggers (the list's total).
// scans.fingerprint, scans.conflict: the scan's hardware fingerprint and whether it claimed
//   a machine whose hardware it does not share (0 no, 1 conflicting, 2 accepted).
// console_key: the console's cookie key, one row, shared by the receivers on the database.
// accounts.role, .disabled, .last_sign_in: what an account may do ('viewer' or 'admin';
//   earlier accounts could do everything and become admins), whether it may sign in (a
//   disabled account loses its sessions), its last sign-in (Unix ms, NULL: never).
// machine_aliases: the identity keys of machines merged into another, and which one; read at
//   intake when no machine holds a scan's key.
// placeholders: values an admin declared as identifying nothing.
// machine_notes: what admins wrote about a machine; they go with it (cascade, moved on merge).
// audit: who did what, when and from where; append-only (updates are refused), pruned by age.
// product (machines, scans): the product version where it names the product. Scans stored
//   before it have it empty until their summary is made again from the report (the console
//   does so when it shows one; `gravelin-receiver scans --refresh` does it for every
//   machine's latest scan).
// survey_members: each machine's latest counted scan (not conflicting) of each calendar month
//   (UTC; month = the Unix ms of its first day), with its survey values, one column per
//   dimension; latest = 1 on the machine's newest month (the machine list's drill-down
//   filters read those rows). survey_counts: machines per month, dimension and value, kept
//   from survey_members in the same transactions (receiver/storage/SurveyCounts.cpp).
//   survey_state.counted: 0 while a database upgraded with scans in it has not been counted
//   yet (`gravelin-receiver survey --recount` counts it; the survey reads the scans till then).
// api_tokens: tokens for the console's API, by their SHA-256 only; times in Unix ms, 0 for
//   none (never expires, never used, not revoked). Revoked tokens stay, with their name.
// hardware_changes: what changed at each scan that became its machine's latest, against the
//   latest before it (HardwareChanges.cpp). They go with their machine and their scan
//   (cascade); the scan compared with is forgotten (NULL) when it is pruned.
#include "receiver/storage/StoreInternal.h"

namespace gravelin::storage::detail {

namespace {

const std::vector<Migration> kMigrations = {
    {1, "machines, scans, accounts and sessions",
     R"sql(
CREATE TABLE machines (
    id             INTEGER PRIMARY KEY,
    identity_key   TEXT UNIQUE,          -- NULL: a machine without identity, never merged
    identity_rule  TEXT NOT NULL,
    first_seen     INTEGER NOT NULL,     -- Unix ms
    last_seen      INTEGER NOT NULL,
    latest_scan_id INTEGER,
    scan_count     INTEGER NOT NULL DEFAULT 0,
    maker          TEXT NOT NULL DEFAULT '',
    model          TEXT NOT NULL DEFAULT '',
    processor      TEXT NOT NULL DEFAULT '',
    cores          INTEGER NOT NULL DEFAULT 0,
    threads        INTEGER NOT NULL DEFAULT 0,
    memory_bytes   INTEGER NOT NULL DEFAULT 0,
    memory_modules INTEGER NOT NULL DEFAULT 0,
    disks          TEXT NOT NULL DEFAULT '',
    disk_bytes     INTEGER NOT NULL DEFAULT 0,
    os             TEXT NOT NULL DEFAULT '',
    serial_numbers TEXT NOT NULL DEFAULT '',
    uuid           TEXT NOT NULL DEFAULT '',
    search_text    TEXT NOT NULL DEFAULT ''
) STRICT;
-- Each index ends in the rowid, which gives the list's tie-break (ORDER BY col, id).
CREATE INDEX machines_by_last_seen ON machines (last_seen);
CREATE INDEX machines_by_maker ON machines (maker);
CREATE INDEX machines_by_model ON machines (model);
CREATE INDEX machines_by_processor ON machines (processor);
CREATE INDEX machines_by_cores ON machines (cores);
CREATE INDEX machines_by_memory ON machines (memory_bytes);
CREATE INDEX machines_by_disks ON machines (disk_bytes);
CREATE INDEX machines_by_os ON machines (os);
CREATE INDEX machines_by_scans ON machines (scan_count);

CREATE TABLE scans (
    id              INTEGER PRIMARY KEY,
    machine_id      INTEGER NOT NULL REFERENCES machines (id),
    received_at     INTEGER NOT NULL,
    remote_address  TEXT NOT NULL,
    sealed_digest   TEXT NOT NULL UNIQUE,
    receipt         TEXT NOT NULL,
    report          BLOB NOT NULL,        -- zlib
    report_size     INTEGER NOT NULL,     -- decompressed
    stored_size     INTEGER NOT NULL,     -- compressed
    encoding        TEXT NOT NULL,
    os_description  TEXT NOT NULL,
    program_name    TEXT NOT NULL,
    program_version TEXT NOT NULL,
    errors          TEXT NOT NULL,
    identity_key    TEXT NOT NULL,
    identity_rule   TEXT NOT NULL,
    maker           TEXT NOT NULL,
    model           TEXT NOT NULL,
    processor       TEXT NOT NULL,
    cores           INTEGER NOT NULL,
    threads         INTEGER NOT NULL,
    memory_bytes    INTEGER NOT NULL,
    memory_modules  INTEGER NOT NULL,
    disks           TEXT NOT NULL,
    disk_bytes      INTEGER NOT NULL,
    os              TEXT NOT NULL,
    serial_numbers  TEXT NOT NULL,
    uuid            TEXT NOT NULL,
    summary_json    TEXT NOT NULL
) STRICT;
CREATE INDEX scans_by_machine ON scans (machine_id, received_at);
CREATE INDEX scans_by_received ON scans (received_at);
CREATE INDEX scans_by_receipt ON scans (receipt);

CREATE TABLE accounts (
    id            INTEGER PRIMARY KEY,
    name          TEXT NOT NULL UNIQUE,
    password_hash TEXT NOT NULL
) STRICT;
CREATE TABLE sessions (
    token_hash TEXT PRIMARY KEY,
    account_id INTEGER NOT NULL REFERENCES accounts (id) ON DELETE CASCADE,
    expires_at INTEGER NOT NULL,
    form_token TEXT NOT NULL
) STRICT;
CREATE INDEX sessions_by_expiry ON sessions (expires_at);
)sql",
     R"sql(
CREATE TABLE machines (
    id             bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    identity_key   text UNIQUE,
    identity_rule  text NOT NULL,
    first_seen     bigint NOT NULL,
    last_seen      bigint NOT NULL,
    latest_scan_id bigint,
    scan_count     bigint NOT NULL DEFAULT 0,
    -- byte order, as SQLite sorts: the same list on both engines, whatever the locale
    maker          text COLLATE "C" NOT NULL DEFAULT '',
    model          text COLLATE "C" NOT NULL DEFAULT '',
    processor      text COLLATE "C" NOT NULL DEFAULT '',
    cores          bigint NOT NULL DEFAULT 0,
    threads        bigint NOT NULL DEFAULT 0,
    memory_bytes   bigint NOT NULL DEFAULT 0,
    memory_modules bigint NOT NULL DEFAULT 0,
    disks          text COLLATE "C" NOT NULL DEFAULT '',
    disk_bytes     bigint NOT NULL DEFAULT 0,
    os             text COLLATE "C" NOT NULL DEFAULT '',
    serial_numbers text NOT NULL DEFAULT '',
    uuid           text NOT NULL DEFAULT '',
    search_text    text NOT NULL DEFAULT ''
);
CREATE INDEX machines_by_last_seen ON machines (last_seen, id);
CREATE INDEX machines_by_maker ON machines (maker, id);
CREATE INDEX machines_by_model ON machines (model, id);
CREATE INDEX machines_by_processor ON machines (processor, id);
CREATE INDEX machines_by_cores ON machines (cores, id);
CREATE INDEX machines_by_memory ON machines (memory_bytes, id);
CREATE INDEX machines_by_disks ON machines (disk_bytes, id);
CREATE INDEX machines_by_os ON machines (os, id);
CREATE INDEX machines_by_scans ON machines (scan_count, id);

CREATE TABLE scans (
    id              bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    machine_id      bigint NOT NULL REFERENCES machines (id),
    received_at     bigint NOT NULL,
    remote_address  text NOT NULL,
    sealed_digest   text NOT NULL UNIQUE,
    receipt         text NOT NULL,
    report          bytea NOT NULL,
    report_size     bigint NOT NULL,
    stored_size     bigint NOT NULL,
    encoding        text NOT NULL,
    os_description  text NOT NULL,
    program_name    text NOT NULL,
    program_version text NOT NULL,
    errors          text NOT NULL,
    identity_key    text NOT NULL,
    identity_rule   text NOT NULL,
    maker           text NOT NULL,
    model           text NOT NULL,
    processor       text NOT NULL,
    cores           bigint NOT NULL,
    threads         bigint NOT NULL,
    memory_bytes    bigint NOT NULL,
    memory_modules  bigint NOT NULL,
    disks           text NOT NULL,
    disk_bytes      bigint NOT NULL,
    os              text NOT NULL,
    serial_numbers  text NOT NULL,
    uuid            text NOT NULL,
    summary_json    text NOT NULL
);
-- Already compressed: stored out of line as it is, without another compression attempt.
ALTER TABLE scans ALTER COLUMN report SET STORAGE EXTERNAL;
CREATE INDEX scans_by_machine ON scans (machine_id, received_at);
CREATE INDEX scans_by_received ON scans (received_at);
CREATE INDEX scans_by_receipt ON scans (receipt);

CREATE TABLE accounts (
    id            bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    name          text NOT NULL UNIQUE,
    password_hash text NOT NULL
);
CREATE TABLE sessions (
    token_hash text PRIMARY KEY,
    account_id bigint NOT NULL REFERENCES accounts (id) ON DELETE CASCADE,
    expires_at bigint NOT NULL,
    form_token text NOT NULL
);
CREATE INDEX sessions_by_expiry ON sessions (expires_at);
)sql"},

    {2, "substring search over the machines' search text",
     // FTS5's trigram tokenizer: any substring of three characters or more is found
     // through the index (case-folded); the table reads its text from machines.
     R"sql(
CREATE VIRTUAL TABLE machines_search USING fts5 (
    search_text, content = 'machines', content_rowid = 'id', tokenize = 'trigram');
INSERT INTO machines_search (machines_search) VALUES ('rebuild');
CREATE TRIGGER machines_search_insert AFTER INSERT ON machines BEGIN
    INSERT INTO machines_search (rowid, search_text) VALUES (new.id, new.search_text);
END;
CREATE TRIGGER machines_search_update AFTER UPDATE OF search_text ON machines
WHEN old.search_text IS NOT new.search_text BEGIN
    INSERT INTO machines_search (machines_search, rowid, search_text)
        VALUES ('delete', old.id, old.search_text);
    INSERT INTO machines_search (rowid, search_text) VALUES (new.id, new.search_text);
END;
CREATE TRIGGER machines_search_delete AFTER DELETE ON machines BEGIN
    INSERT INTO machines_search (machines_search, rowid, search_text)
        VALUES ('delete', old.id, old.search_text);
END;
)sql",
     // pg_trgm (shipped with the server in Debian's postgresql-15 and in PostgreSQL's
     // contrib elsewhere, and a trusted extension since PostgreSQL 13: a database owner may
     // create it) gives LIKE '%term%' a GIN index. Where it cannot be created the search
     // still works, by reading the table.
     R"sql(
DO $$
BEGIN
    BEGIN
        CREATE EXTENSION IF NOT EXISTS pg_trgm;
    EXCEPTION WHEN OTHERS THEN
        RAISE WARNING 'pg_trgm is not available (%): machine search reads the whole table', SQLERRM;
    END;
    IF EXISTS (SELECT 1 FROM pg_extension WHERE extname = 'pg_trgm') THEN
        EXECUTE 'CREATE INDEX machines_search ON machines USING gin (search_text gin_trgm_ops)';
    END IF;
END
$$;
)sql"},

    {3, "the number of machines, kept by triggers in 16 shards",
     // The list shows how many machines there are; counting 100,000 index entries on every
     // page costs PostgreSQL tens of milliseconds. Each new machine adds one to the shard of
     // its id (concurrent inserts take different shards, so they do not wait on one row);
     // the total is the sum of 16 rows.
     R"sql(
CREATE TABLE machine_count (shard INTEGER PRIMARY KEY, n INTEGER NOT NULL) STRICT;
WITH RECURSIVE shards (shard) AS (SELECT 0 UNION ALL SELECT shard + 1 FROM shards WHERE shard < 15)
INSERT INTO machine_count (shard, n) SELECT shard, 0 FROM shards;
UPDATE machine_count SET n = (SELECT count(*) FROM machines) WHERE shard = 0;
CREATE TRIGGER machine_count_insert AFTER INSERT ON machines BEGIN
    UPDATE machine_count SET n = n + 1 WHERE shard = new.id % 16;
END;
CREATE TRIGGER machine_count_delete AFTER DELETE ON machines BEGIN
    UPDATE machine_count SET n = n - 1 WHERE shard = old.id % 16;
END;
)sql",
     R"sql(
CREATE TABLE machine_count (shard integer PRIMARY KEY, n bigint NOT NULL);
INSERT INTO machine_count (shard, n) SELECT shard, 0 FROM generate_series(0, 15) AS shard;
UPDATE machine_count SET n = (SELECT count(*) FROM machines) WHERE shard = 0;
CREATE FUNCTION machine_count_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    IF TG_OP = 'INSERT' THEN
        UPDATE machine_count SET n = n + 1 WHERE shard = NEW.id % 16;
    ELSE
        UPDATE machine_count SET n = n - 1 WHERE shard = OLD.id % 16;
    END IF;
    RETURN NULL;
END
$$;
CREATE TRIGGER machine_count_change AFTER INSERT OR DELETE ON machines
    FOR EACH ROW EXECUTE FUNCTION machine_count_change();
)sql"},

    {4, "the scans' hardware fingerprint and conflict mark",
     R"sql(
ALTER TABLE scans ADD COLUMN fingerprint TEXT NOT NULL DEFAULT '';
ALTER TABLE scans ADD COLUMN conflict INTEGER NOT NULL DEFAULT 0;
)sql",
     R"sql(
ALTER TABLE scans ADD COLUMN fingerprint text NOT NULL DEFAULT '',
                  ADD COLUMN conflict integer NOT NULL DEFAULT 0;
)sql"},

    {5, "the console's cookie key; a new password ends the account's sessions",
     R"sql(
CREATE TABLE console_key (id INTEGER PRIMARY KEY CHECK (id = 1), key TEXT NOT NULL) STRICT;
CREATE TRIGGER accounts_password_changed AFTER UPDATE OF password_hash ON accounts
WHEN old.password_hash IS NOT new.password_hash BEGIN
    DELETE FROM sessions WHERE account_id = new.id;
END;
)sql",
     // Tables are their owner's alone unless granted; the REVOKE says so for this one.
     R"sql(
CREATE TABLE console_key (id integer PRIMARY KEY CHECK (id = 1), key text NOT NULL);
REVOKE ALL ON console_key FROM PUBLIC;
CREATE FUNCTION accounts_password_changed() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    DELETE FROM sessions WHERE account_id = NEW.id;
    RETURN NULL;
END
$$;
CREATE TRIGGER accounts_password_changed AFTER UPDATE OF password_hash ON accounts
    FOR EACH ROW WHEN (OLD.password_hash IS DISTINCT FROM NEW.password_hash)
    EXECUTE FUNCTION accounts_password_changed();
)sql"},

    {6, "account roles and states, the audit log",
     R"sql(
ALTER TABLE accounts ADD COLUMN role TEXT NOT NULL DEFAULT 'admin'
    CHECK (role IN ('viewer', 'admin'));
ALTER TABLE accounts ADD COLUMN disabled INTEGER NOT NULL DEFAULT 0;
ALTER TABLE accounts ADD COLUMN last_sign_in INTEGER;
CREATE TRIGGER accounts_disabled AFTER UPDATE OF disabled ON accounts
WHEN new.disabled <> 0 BEGIN
    DELETE FROM sessions WHERE account_id = new.id;
END;
CREATE TABLE audit (
    id      INTEGER PRIMARY KEY AUTOINCREMENT,
    at      INTEGER NOT NULL,
    actor   TEXT NOT NULL,
    action  TEXT NOT NULL,
    target  TEXT NOT NULL,
    address TEXT NOT NULL,
    detail  TEXT NOT NULL
) STRICT;
CREATE INDEX audit_by_time ON audit (at);
CREATE INDEX audit_by_action ON audit (action, id);
CREATE TRIGGER audit_append_only BEFORE UPDATE ON audit BEGIN
    SELECT RAISE(ABORT, 'the audit log is append-only');
END;
)sql",
     R"sql(
ALTER TABLE accounts ADD COLUMN role text NOT NULL DEFAULT 'admin'
                         CHECK (role IN ('viewer', 'admin')),
                     ADD COLUMN disabled integer NOT NULL DEFAULT 0,
                     ADD COLUMN last_sign_in bigint;
CREATE FUNCTION accounts_disabled() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    DELETE FROM sessions WHERE account_id = NEW.id;
    RETURN NULL;
END
$$;
CREATE TRIGGER accounts_disabled AFTER UPDATE OF disabled ON accounts
    FOR EACH ROW WHEN (NEW.disabled <> 0) EXECUTE FUNCTION accounts_disabled();
CREATE TABLE audit (
    id      bigserial PRIMARY KEY,
    at      bigint NOT NULL,
    actor   text NOT NULL,
    action  text NOT NULL,
    target  text NOT NULL,
    address text NOT NULL,
    detail  text NOT NULL
);
CREATE INDEX audit_by_time ON audit (at);
CREATE INDEX audit_by_action ON audit (action, id);
CREATE FUNCTION audit_append_only() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    RAISE EXCEPTION 'the audit log is append-only';
END
$$;
CREATE TRIGGER audit_append_only BEFORE UPDATE ON audit
    FOR EACH ROW EXECUTE FUNCTION audit_append_only();
)sql"},

    {7, "the product name next to the model",
     R"sql(
ALTER TABLE machines ADD COLUMN product TEXT NOT NULL DEFAULT '';
ALTER TABLE scans ADD COLUMN product TEXT NOT NULL DEFAULT '';
)sql",
     R"sql(
ALTER TABLE machines ADD COLUMN product text COLLATE "C" NOT NULL DEFAULT '';
ALTER TABLE scans ADD COLUMN product text NOT NULL DEFAULT '';
)sql"},

    {8, "merged machines' keys, admins' placeholders, notes on machines",
     R"sql(
CREATE TABLE machine_aliases (
    identity_key TEXT PRIMARY KEY,
    machine_id   INTEGER NOT NULL REFERENCES machines (id) ON DELETE CASCADE,
    merged_at    INTEGER NOT NULL
) STRICT;
CREATE INDEX machine_aliases_by_machine ON machine_aliases (machine_id);
CREATE TABLE placeholders (
    value    TEXT PRIMARY KEY,
    added_by TEXT NOT NULL,
    added_at INTEGER NOT NULL
) STRICT;
CREATE TABLE machine_notes (
    id         INTEGER PRIMARY KEY,
    machine_id INTEGER NOT NULL REFERENCES machines (id) ON DELETE CASCADE,
    at         INTEGER NOT NULL,
    author     TEXT NOT NULL,
    text       TEXT NOT NULL,
    link       TEXT NOT NULL
) STRICT;
CREATE INDEX machine_notes_by_machine ON machine_notes (machine_id, id);
CREATE INDEX scans_conflicting ON scans (received_at, id) WHERE conflict = 1;
)sql",
     R"sql(
CREATE TABLE machine_aliases (
    identity_key text PRIMARY KEY,
    machine_id   bigint NOT NULL REFERENCES machines (id) ON DELETE CASCADE,
    merged_at    bigint NOT NULL
);
CREATE INDEX machine_aliases_by_machine ON machine_aliases (machine_id);
CREATE TABLE placeholders (
    value    text PRIMARY KEY,
    added_by text NOT NULL,
    added_at bigint NOT NULL
);
CREATE TABLE machine_notes (
    id         bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    machine_id bigint NOT NULL REFERENCES machines (id) ON DELETE CASCADE,
    at         bigint NOT NULL,
    author     text NOT NULL,
    text       text NOT NULL,
    link       text NOT NULL
);
CREATE INDEX machine_notes_by_machine ON machine_notes (machine_id, id);
CREATE INDEX scans_conflicting ON scans (received_at, id) WHERE conflict = 1;
)sql"},
    {9, "the survey's counts per month, kept at intake",
     R"sql(
CREATE TABLE survey_members (
    machine_id  INTEGER NOT NULL,
    month       INTEGER NOT NULL,
    scan_id     INTEGER NOT NULL,
    received_at INTEGER NOT NULL,
    latest      INTEGER NOT NULL DEFAULT 0,
    os                TEXT NOT NULL,
    processor_maker   TEXT NOT NULL,
    processor_model   TEXT NOT NULL,
    cores             TEXT NOT NULL,
    threads           TEXT NOT NULL,
    memory_total      TEXT NOT NULL,
    memory_type       TEXT NOT NULL,
    memory_speed      TEXT NOT NULL,
    memory_slots_free TEXT NOT NULL,
    disk_count        TEXT NOT NULL,
    disk_total        TEXT NOT NULL,
    disk_kind         TEXT NOT NULL,
    maker             TEXT NOT NULL,
    model             TEXT NOT NULL,
    enclosure         TEXT NOT NULL,
    scanner_version   TEXT NOT NULL,
    scan_errors       TEXT NOT NULL,
    PRIMARY KEY (machine_id, month)
) STRICT;
CREATE INDEX survey_members_by_month ON survey_members (month);
CREATE INDEX survey_members_os ON survey_members (lower(os)) WHERE latest = 1;
CREATE INDEX survey_members_processor_maker ON survey_members (lower(processor_maker)) WHERE latest = 1;
CREATE INDEX survey_members_processor_model ON survey_members (lower(processor_model)) WHERE latest = 1;
CREATE INDEX survey_members_cores ON survey_members (lower(cores)) WHERE latest = 1;
CREATE INDEX survey_members_threads ON survey_members (lower(threads)) WHERE latest = 1;
CREATE INDEX survey_members_memory_total ON survey_members (lower(memory_total)) WHERE latest = 1;
CREATE INDEX survey_members_memory_type ON survey_members (lower(memory_type)) WHERE latest = 1;
CREATE INDEX survey_members_memory_speed ON survey_members (lower(memory_speed)) WHERE latest = 1;
CREATE INDEX survey_members_memory_slots_free ON survey_members (lower(memory_slots_free)) WHERE latest = 1;
CREATE INDEX survey_members_disk_count ON survey_members (lower(disk_count)) WHERE latest = 1;
CREATE INDEX survey_members_disk_total ON survey_members (lower(disk_total)) WHERE latest = 1;
CREATE INDEX survey_members_disk_kind ON survey_members (lower(disk_kind)) WHERE latest = 1;
CREATE INDEX survey_members_maker ON survey_members (lower(maker)) WHERE latest = 1;
CREATE INDEX survey_members_model ON survey_members (lower(model)) WHERE latest = 1;
CREATE INDEX survey_members_enclosure ON survey_members (lower(enclosure)) WHERE latest = 1;
CREATE INDEX survey_members_scanner_version ON survey_members (lower(scanner_version)) WHERE latest = 1;
CREATE INDEX survey_members_scan_errors ON survey_members (lower(scan_errors)) WHERE latest = 1;
CREATE TABLE survey_counts (
    month     INTEGER NOT NULL,
    dimension TEXT NOT NULL,
    value     TEXT NOT NULL,
    machines  INTEGER NOT NULL,
    PRIMARY KEY (month, dimension, value)
) STRICT;
CREATE TABLE survey_state (
    id      INTEGER PRIMARY KEY CHECK (id = 1),
    counted INTEGER NOT NULL
) STRICT;
INSERT INTO survey_state (id, counted) SELECT 1, CASE WHEN EXISTS (SELECT 1 FROM scans) THEN 0 ELSE 1 END;
)sql",
     R"sql(
CREATE TABLE survey_members (
    machine_id  bigint NOT NULL,
    month       bigint NOT NULL,
    scan_id     bigint NOT NULL,
    received_at bigint NOT NULL,
    latest      bigint NOT NULL DEFAULT 0,
    os                text COLLATE "C" NOT NULL,
    processor_maker   text COLLATE "C" NOT NULL,
    processor_model   text COLLATE "C" NOT NULL,
    cores             text COLLATE "C" NOT NULL,
    threads           text COLLATE "C" NOT NULL,
    memory_total      text COLLATE "C" NOT NULL,
    memory_type       text COLLATE "C" NOT NULL,
    memory_speed      text COLLATE "C" NOT NULL,
    memory_slots_free text COLLATE "C" NOT NULL,
    disk_count        text COLLATE "C" NOT NULL,
    disk_total        text COLLATE "C" NOT NULL,
    disk_kind         text COLLATE "C" NOT NULL,
    maker             text COLLATE "C" NOT NULL,
    model             text COLLATE "C" NOT NULL,
    enclosure         text COLLATE "C" NOT NULL,
    scanner_version   text COLLATE "C" NOT NULL,
    scan_errors       text COLLATE "C" NOT NULL,
    PRIMARY KEY (machine_id, month)
);
CREATE INDEX survey_members_by_month ON survey_members (month);
CREATE INDEX survey_members_os ON survey_members (lower(os)) WHERE latest = 1;
CREATE INDEX survey_members_processor_maker ON survey_members (lower(processor_maker)) WHERE latest = 1;
CREATE INDEX survey_members_processor_model ON survey_members (lower(processor_model)) WHERE latest = 1;
CREATE INDEX survey_members_cores ON survey_members (lower(cores)) WHERE latest = 1;
CREATE INDEX survey_members_threads ON survey_members (lower(threads)) WHERE latest = 1;
CREATE INDEX survey_members_memory_total ON survey_members (lower(memory_total)) WHERE latest = 1;
CREATE INDEX survey_members_memory_type ON survey_members (lower(memory_type)) WHERE latest = 1;
CREATE INDEX survey_members_memory_speed ON survey_members (lower(memory_speed)) WHERE latest = 1;
CREATE INDEX survey_members_memory_slots_free ON survey_members (lower(memory_slots_free)) WHERE latest = 1;
CREATE INDEX survey_members_disk_count ON survey_members (lower(disk_count)) WHERE latest = 1;
CREATE INDEX survey_members_disk_total ON survey_members (lower(disk_total)) WHERE latest = 1;
CREATE INDEX survey_members_disk_kind ON survey_members (lower(disk_kind)) WHERE latest = 1;
CREATE INDEX survey_members_maker ON survey_members (lower(maker)) WHERE latest = 1;
CREATE INDEX survey_members_model ON survey_members (lower(model)) WHERE latest = 1;
CREATE INDEX survey_members_enclosure ON survey_members (lower(enclosure)) WHERE latest = 1;
CREATE INDEX survey_members_scanner_version ON survey_members (lower(scanner_version)) WHERE latest = 1;
CREATE INDEX survey_members_scan_errors ON survey_members (lower(scan_errors)) WHERE latest = 1;
CREATE TABLE survey_counts (
    month     bigint NOT NULL,
    dimension text COLLATE "C" NOT NULL,
    value     text COLLATE "C" NOT NULL,
    machines  bigint NOT NULL,
    PRIMARY KEY (month, dimension, value)
);
CREATE TABLE survey_state (
    id      bigint PRIMARY KEY CHECK (id = 1),
    counted bigint NOT NULL
);
INSERT INTO survey_state (id, counted) SELECT 1, CASE WHEN EXISTS (SELECT 1 FROM scans) THEN 0 ELSE 1 END;
)sql"},
    {10, "hardware changes recorded at intake",
     R"sql(
CREATE TABLE hardware_changes (
    id               INTEGER PRIMARY KEY,
    machine_id       INTEGER NOT NULL REFERENCES machines (id) ON DELETE CASCADE,
    scan_id          INTEGER NOT NULL REFERENCES scans (id) ON DELETE CASCADE,
    previous_scan_id INTEGER REFERENCES scans (id) ON DELETE SET NULL,
    at               INTEGER NOT NULL,
    component        TEXT NOT NULL,
    kind             INTEGER NOT NULL,  -- 0 added, 1 removed, 2 changed, 3 moved
    key              TEXT NOT NULL,
    before_line      TEXT NOT NULL,
    after_line       TEXT NOT NULL,
    fields           TEXT NOT NULL,     -- JSON: [{name, before, after}]
    note             TEXT NOT NULL
) STRICT;
CREATE INDEX hardware_changes_by_time ON hardware_changes (at, id);
CREATE INDEX hardware_changes_by_machine ON hardware_changes (machine_id, at, id);
CREATE INDEX hardware_changes_by_scan ON hardware_changes (scan_id);
CREATE INDEX hardware_changes_by_previous ON hardware_changes (previous_scan_id);
)sql",
     R"sql(
CREATE TABLE hardware_changes (
    id               bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    machine_id       bigint NOT NULL REFERENCES machines (id) ON DELETE CASCADE,
    scan_id          bigint NOT NULL REFERENCES scans (id) ON DELETE CASCADE,
    previous_scan_id bigint REFERENCES scans (id) ON DELETE SET NULL,
    at               bigint NOT NULL,
    component        text NOT NULL,
    kind             integer NOT NULL,
    key              text NOT NULL,
    before_line      text NOT NULL,
    after_line       text NOT NULL,
    fields           text NOT NULL,
    note             text NOT NULL
);
CREATE INDEX hardware_changes_by_time ON hardware_changes (at, id);
CREATE INDEX hardware_changes_by_machine ON hardware_changes (machine_id, at, id);
CREATE INDEX hardware_changes_by_scan ON hardware_changes (scan_id);
CREATE INDEX hardware_changes_by_previous ON hardware_changes (previous_scan_id);
)sql"},
    {11, "tokens for the console's API",
     R"sql(
CREATE TABLE api_tokens (
    id         INTEGER PRIMARY KEY,
    name       TEXT NOT NULL UNIQUE,
    token_hash TEXT NOT NULL UNIQUE,
    role       TEXT NOT NULL CHECK (role IN ('viewer', 'admin')),
    created_by TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    expires_at INTEGER NOT NULL DEFAULT 0,
    last_used  INTEGER NOT NULL DEFAULT 0,
    revoked_at INTEGER NOT NULL DEFAULT 0
) STRICT;
)sql",
     R"sql(
CREATE TABLE api_tokens (
    id         bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    name       text NOT NULL UNIQUE,
    token_hash text NOT NULL UNIQUE,
    role       text NOT NULL CHECK (role IN ('viewer', 'admin')),
    created_by text NOT NULL,
    created_at bigint NOT NULL,
    expires_at bigint NOT NULL DEFAULT 0,
    last_used  bigint NOT NULL DEFAULT 0,
    revoked_at bigint NOT NULL DEFAULT 0
);
)sql"},
    {12, "webhooks and the outbox of their deliveries",
     R"sql(
CREATE TABLE webhooks (
    id         INTEGER PRIMARY KEY,
    url        TEXT NOT NULL,
    events     TEXT NOT NULL,
    secret     TEXT NOT NULL,
    created_by TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    enabled    INTEGER NOT NULL DEFAULT 1
) STRICT;
CREATE TABLE webhook_deliveries (
    id              INTEGER PRIMARY KEY,
    hook_id         INTEGER NOT NULL REFERENCES webhooks (id) ON DELETE CASCADE,
    event_id        TEXT NOT NULL,
    event           TEXT NOT NULL,
    payload         TEXT NOT NULL,
    created_at      INTEGER NOT NULL,
    window_start    INTEGER NOT NULL,
    attempts        INTEGER NOT NULL DEFAULT 0,
    next_attempt_at INTEGER NOT NULL,
    state           TEXT NOT NULL DEFAULT 'pending',
    last_status     INTEGER NOT NULL DEFAULT 0,
    last_error      TEXT NOT NULL DEFAULT '',
    delivered_at    INTEGER NOT NULL DEFAULT 0,
    lease_until     INTEGER NOT NULL DEFAULT 0
) STRICT;
CREATE INDEX webhook_deliveries_due ON webhook_deliveries (next_attempt_at, id)
    WHERE state = 'pending';
CREATE INDEX webhook_deliveries_by_hook ON webhook_deliveries (hook_id, id);
)sql",
     R"sql(
CREATE TABLE webhooks (
    id         bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    url        text NOT NULL,
    events     text NOT NULL,
    secret     text NOT NULL,
    created_by text NOT NULL,
    created_at bigint NOT NULL,
    enabled    bigint NOT NULL DEFAULT 1
);
CREATE TABLE webhook_deliveries (
    id              bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    hook_id         bigint NOT NULL REFERENCES webhooks (id) ON DELETE CASCADE,
    event_id        text NOT NULL,
    event           text NOT NULL,
    payload         text NOT NULL,
    created_at      bigint NOT NULL,
    window_start    bigint NOT NULL,
    attempts        bigint NOT NULL DEFAULT 0,
    next_attempt_at bigint NOT NULL,
    state           text NOT NULL DEFAULT 'pending',
    last_status     bigint NOT NULL DEFAULT 0,
    last_error      text NOT NULL DEFAULT '',
    delivered_at    bigint NOT NULL DEFAULT 0,
    lease_until     bigint NOT NULL DEFAULT 0
);
CREATE INDEX webhook_deliveries_due ON webhook_deliveries (next_attempt_at, id)
    WHERE state = 'pending';
CREATE INDEX webhook_deliveries_by_hook ON webhook_deliveries (hook_id, id);
)sql"},
    // SQLite gives a new row the table's highest id plus one, so the number of the newest
    // machine, once it is deleted, went to the next machine: old links, audit entries, API
    // clients and webhook consumers then meant another machine. The highest number ever
    // given is kept, and a new machine is numbered past it. PostgreSQL's identity never
    // gives a number twice.
    {13, "machine numbers are never given twice",
     R"sql(
CREATE TABLE machine_id_high (high INTEGER NOT NULL) STRICT;
INSERT INTO machine_id_high SELECT coalesce(max(id), 0) FROM machines;
CREATE TRIGGER IF NOT EXISTS machines_id_high AFTER INSERT ON machines BEGIN
    UPDATE machine_id_high SET high = max(high, new.id);
END;
)sql",
     R"sql(
SELECT 1;
)sql"},
};

}  // namespace

int currentSchemaVersion() { return kMigrations.back().version; }

const Migration* migrationAfter(int version) {
    for (const Migration& m : kMigrations)
        if (m.version > version) return &m;
    return nullptr;
}

}  // namespace gravelin::storage::detail
