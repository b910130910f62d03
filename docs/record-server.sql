-- The fleet's record server (PostgreSQL 12 or later): run once by the
-- database's owner, e.g. psql -d records -f record-server.sql
-- Workstations log in as members of mirdal_writer, which may add sessions and
-- read them, and nothing else: no update, no delete, no change of schema.
-- Times are ISO 8601 UTC texts ("2026-12-07T09:12:03.120Z"), which sort as
-- the times they name; digests are lower-case hex.

CREATE TABLE schema_version (version INTEGER NOT NULL);
INSERT INTO schema_version VALUES (2);

CREATE TABLE sessions (
  id TEXT PRIMARY KEY,              -- a UUID made by the workstation: a push sent twice adds nothing
  started TEXT NOT NULL, ended TEXT NOT NULL, duration_ms BIGINT NOT NULL,
  host TEXT, os_user TEXT,          -- the workstation's host name and OS user (personal data in some places)
  program_version TEXT, key_fingerprint TEXT, -- SHA-256 of the public key the program trusts
  config_title TEXT, config_sha256 TEXT,      -- SHA-256 of configuration.xml
  port_device TEXT, port_label TEXT, usb_vendor INTEGER, usb_product INTEGER, usb_serial TEXT,
  hardware_id TEXT,                 -- bytes 10..12 of the terminal's hardware record, hex
  hardware_record TEXT,             -- the whole record, hex
  accepted_entry INTEGER,           -- the accepted hardware entry it matched (0-based); NULL when none
  applications TEXT,                -- the terminal's applications before the update, one per line
  success INTEGER NOT NULL,         -- 1 or 0
  title TEXT, text TEXT,            -- the French result the user read
  stage TEXT, cause TEXT,           -- where and why it failed; empty after a success
  transcript TEXT                   -- the transcript's path on the workstation, when one was written
);
CREATE TABLE files (
  session_id TEXT NOT NULL REFERENCES sessions(id),
  position INTEGER NOT NULL,        -- in the order of the run
  batch INTEGER, name TEXT NOT NULL,
  plain_size BIGINT, sha256 TEXT,   -- of the plain package; never its content
  advertised INTEGER, skipped INTEGER, attempts INTEGER, resends INTEGER, downloaded INTEGER, installed INTEGER,
  PRIMARY KEY (session_id, position)
);
CREATE INDEX sessions_started ON sessions (started);
CREATE INDEX sessions_usb_serial ON sessions (usb_serial, started);
CREATE INDEX sessions_hardware_id ON sessions (hardware_id, started);
CREATE INDEX sessions_port ON sessions (port_device, started);
CREATE INDEX files_name ON files (name);

CREATE ROLE mirdal_writer NOLOGIN;
GRANT USAGE ON SCHEMA public TO mirdal_writer;
GRANT SELECT, INSERT ON sessions, files, schema_version TO mirdal_writer;
-- One login per workstation (or per site), its password in the workstation's
-- ~/.pgpass, never in Mirdal's settings:
--   CREATE ROLE workstation_12 LOGIN PASSWORD '...' IN ROLE mirdal_writer;
