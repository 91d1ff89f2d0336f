-- The counters database of FlowSentry on a PostgreSQL server: the same two tables, columns and
-- checks as schema.sql, created in the current schema of the session, so that one server holds
-- one schema per host. Prepare a host as the operator (the schema must exist):
--
--   PGOPTIONS='-c search_path=host17' psql -d flowsentry -f db/schema.pgsql
--
-- and point the host's COUNTERSCONNECT at it, e.g.
-- "Provider=PostgreSQL;Data Source=db.example;Initial Catalog=flowsentry;User ID=host17;
-- Password=...;Schema=host17". The service never creates the tables.
\set ON_ERROR_STOP on

-- One row per counter, created and edited by the operator. The service adds to packets and
-- bytes and starts a new period each day by setting both to 0 and timecount to the local
-- midnight of the day (seconds since 1970-01-01 UTC).
--
-- The service passes a row around as its columns joined by ";" and trimmed of white space, so
-- the texts must read back as themselves: a name is not empty, neither text holds ";" or begins
-- or ends with white space, and each holds at most 254 characters.
CREATE TABLE counters (
  countername text NOT NULL UNIQUE
              CONSTRAINT countername_reads_back CHECK (countername <> ''
                     AND strpos(countername, ';') = 0
                     AND countername = btrim(countername, E' \t\n\v\f\r')
                     AND char_length(countername) <= 254),
  packets     bigint NOT NULL DEFAULT 0,
  bytes       bigint NOT NULL DEFAULT 0,
  state       integer NOT NULL DEFAULT 0     -- 2: stopped, counts nothing; anything else counts
              CHECK (state BETWEEN 0 AND 255),
  timecreate  bigint NOT NULL DEFAULT (floor(extract(epoch FROM now()))::bigint),
  -- Start of the current period. Left NULL (the default), it is the period of the day of
  -- timecreate, which the service computes and fills in at its next start, in its own time zone.
  timecount   bigint DEFAULT NULL,
  parameters  text NOT NULL DEFAULT ''       -- match parameters
              CONSTRAINT parameters_reads_back CHECK (strpos(parameters, ';') = 0
                     AND parameters = btrim(parameters, E' \t\n\v\f\r')
                     AND char_length(parameters) <= 254)
);

-- One row per counter and ended period: the counters row as it stood when the period ended.
CREATE TABLE countersstat (
  countername text,
  packets     bigint,
  bytes       bigint,
  state       integer,
  timecreate  bigint,
  timecount   bigint,
  parameters  text
);

-- At most one row per counter and period (same counter, creation time and period start); the
-- service's test for a row the archive already holds uses it too.
CREATE UNIQUE INDEX countersstat_period ON countersstat (countername, timecreate, timecount);
