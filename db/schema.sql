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
--
-- The service passes a row around as its columns joined by ";" and trimmed of white space, so
-- the texts must read back as themselves: a name is not empty, neither text holds ";" or begins
-- or ends with white space, and each holds at most 254 characters.
CREATE TABLE counters (
  countername TEXT NOT NULL UNIQUE
              CONSTRAINT countername_reads_back CHECK (countername <> '' AND instr(countername, ';') = 0
                     AND countername = trim(countername, ' ' || char(9, 10, 11, 12, 13))
                     AND length(countername) <= 254),
  packets     INTEGER NOT NULL DEFAULT 0,
  bytes       INTEGER NOT NULL DEFAULT 0,
  state       INTEGER NOT NULL DEFAULT 0     -- 2: stopped, counts nothing; anything else counts
              CHECK (state BETWEEN 0 AND 255),
  timecreate  INTEGER NOT NULL DEFAULT (CAST(strftime('%s', 'now') AS INTEGER)),
  -- Start of the current period: the local midnight of its day, in seconds since 1970-01-01
  -- UTC. Left NULL (the default), it is the period of the day of timecreate, which the service
  -- computes and fills in at its next start: SQLite's own local midnight differs from the
  -- service's on days whose midnight is skipped or repeated by a clock change.
  timecount   INTEGER DEFAULT NULL,
  parameters  TEXT NOT NULL DEFAULT ''       -- match parameters
              CONSTRAINT parameters_reads_back CHECK (instr(parameters, ';') = 0
                     AND parameters = trim(parameters, ' ' || char(9, 10, 11, 12, 13))
                     AND length(parameters) <= 254)
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

-- At most one row per counter and period (same counter, creation time and period start); the
-- service's test for a row the archive already holds uses it too.
CREATE UNIQUE INDEX countersstat_period ON countersstat (countername, timecreate, timecount);
