-- The counters database of FlowSentry, DESTPATH/DB/counters.mdb (an SQLite file in spite of its
-- name). Create it once, as the operator:
--
--   sqlite3 DESTPATH/DB/counters.mdb < db/schema.sql
--
-- The service never creates the file or its tables. Both tables hold the same seven columns in
-- the same order; the service reads and copies them by position.

-- The write-ahead log lets the service's connections and an sqlite3 shell read while one of them
-- writes; the setting stays with the file.
PRAGMA journal_mode = WAL;

-- One row per counter, created and edited by the operator. The service adds to packets and
-- bytes (64-bit integers) and starts a new period each day by setting both to 0 and timecount to
-- the local midnight of the day.
CREATE TABLE counters (
  countername TEXT NOT NULL UNIQUE,          -- at most 254 bytes, no ";" and no line break
  packets     INTEGER NOT NULL DEFAULT 0,
  bytes       INTEGER NOT NULL DEFAULT 0,
  state       INTEGER NOT NULL DEFAULT 0,    -- 2: stopped, counts nothing; anything else counts
  timecreate  INTEGER NOT NULL DEFAULT (CAST(strftime('%s', 'now') AS INTEGER)),
  -- Start of the current period: local midnight of today, in seconds since 1970-01-01 UTC.
  timecount   INTEGER NOT NULL
              DEFAULT (CAST(strftime('%s', 'now', 'localtime', 'start of day', 'utc') AS INTEGER)),
  parameters  TEXT NOT NULL DEFAULT ''       -- match parameters, at most 254 bytes, no ";"
);

-- One row per counter and ended period: the counters row as it stood when the period ended.
CREATE TABLE countersstat (
  countername TEXT,
  packets     INTEGER,
  bytes       INTEGER,
  state       INTEGER,
  timecreate  INTEGER,
  timecount   INTEGER,
  parameters  TEXT
);

-- The archive's test for a row it already holds (same counter, creation time and period).
CREATE INDEX countersstat_period ON countersstat (countername, timecreate, timecount);
