#!/usr/bin/env bash
# A record that cannot be written (a full disk, a read-only folder) is said and the update's result stands; a record
# of an older schema is migrated forward. The disks are small tmpfs mounted in a namespace of the test's own.
# Usage: faults-test.sh BIN_DIR
bin=$1
if [ "${MIRDAL_RECORD_IN_NAMESPACE:-}" != 1 ]; then
  MIRDAL_RECORD_IN_NAMESPACE=1 exec unshare -rm "$0" "$@"
fi
. "$(dirname "$0")/lib.sh"
sims 1
mkdir "$work/full" "$work/ro"
unmount() { umount "$work/full" "$work/ro" 2>/dev/null; }
cleanup_hooks+=(unmount)
mount -t tmpfs -o size=64k tmpfs "$work/full"
head -c 1M /dev/zero >"$work/full/filler" 2>/dev/null || true
mount -t tmpfs -o ro tmpfs "$work/ro"
for case in "full/records.sqlite|database or disk is full" "ro/mirdal/records.sqlite|Read-only file system"; do
  install "$work/${case%%|*}" "${devices[0]}"
  [ $status = 4 ] || fail "${case%%|*}: status $status, not 4"
  grep -qx "Installation réalisée avec succès" "$work/install.out" || fail "${case%%|*}: the result is gone"
  grep -q "^mirdal-cli install: the update on ${devices[0]} is not recorded: .*${case#*|}" "$work/install.err" \
    || fail "${case%%|*}: $(cat "$work/install.err")"
done

# A new record that another program is writing (the first writers on a site's record): opening it waits for the
# writer (before: "database is locked" at once, and an update not recorded).
fresh=$work/fresh.sqlite
sql "$fresh" 'CREATE TABLE t (x)'
{ echo 'BEGIN IMMEDIATE; INSERT INTO t VALUES (1);'; echo ".system touch '$work/held'"; sleep 1; echo 'COMMIT;'; } |
  sql "$fresh" &
pids+=($!)
for _ in $(seq 250); do [ -e "$work/held" ] && break; sleep 0.02; done
[ -e "$work/held" ] || fail "sqlite3 did not take the new record"
"$bin/mirdal-cli" history --record-db "$fresh" >"$work/fresh.out" 2>&1 || fail "opening a record being written: $(cat "$work/fresh.out")"

# Version 1, as first shipped (its statements typed from it), with one session of one file.
old=$work/old.sqlite
sql "$old" <<'SQL'
CREATE TABLE sessions (id TEXT PRIMARY KEY, started TEXT NOT NULL, ended TEXT NOT NULL, duration_ms BIGINT NOT NULL,
 host TEXT, os_user TEXT, program_version TEXT, key_fingerprint TEXT, config_title TEXT, config_sha256 TEXT,
 port_device TEXT, port_label TEXT, usb_vendor INTEGER, usb_product INTEGER, usb_serial TEXT, hardware_id TEXT,
 hardware_record TEXT, accepted_entry INTEGER, applications TEXT, success INTEGER NOT NULL, title TEXT, text TEXT,
 stage TEXT, cause TEXT, transcript TEXT);
CREATE TABLE files (session_id TEXT NOT NULL REFERENCES sessions(id), position INTEGER NOT NULL, batch INTEGER,
 name TEXT NOT NULL, plain_size BIGINT, sha256 TEXT, advertised INTEGER, skipped INTEGER, attempts INTEGER,
 resends INTEGER, downloaded INTEGER, installed INTEGER, PRIMARY KEY (session_id, position));
CREATE INDEX sessions_started ON sessions (started);
INSERT INTO sessions (id, started, ended, duration_ms, port_device, usb_serial, success, stage, cause) VALUES
 ('0ld5e551-0000-4000-8000-000000000001', '2026-01-02T03:04:05.000Z', '2026-01-02T03:05:05.000Z', 60000,
  '/dev/ttyUSB0', 'FT01', 0, 'download of APPLI.BIN', 'wrong CRC');
INSERT INTO files VALUES ('0ld5e551-0000-4000-8000-000000000001', 0, 1, 'APPLI.BIN', 3500, NULL, 1, 0, 3, 7, 0, 0);
PRAGMA user_version = 1;
SQL
"$bin/mirdal-cli" history --record-db "$old" --terminal FT01 >"$work/old.out" || fail "history of version 1"
[ "$(tail -n 1 "$work/old.out")" = \
  "0ld5e551  2026-01-02 03:04   1:00  /dev/ttyUSB0    FT01          0/1    FAILED download of APPLI.BIN: wrong CRC" ] \
  || fail "migrated row: $(cat "$work/old.out")"
[ "$(sql "$old" 'PRAGMA user_version; SELECT COUNT(*) FROM outbox')" = "$(printf '2\n1')" ] || fail "not migrated"
install "$old" "${devices[0]}"
[ $status = 0 ] || fail "install on the migrated record: $status"
[ "$(sql "$old" 'SELECT COUNT(*) FROM sessions; SELECT COUNT(*) FROM outbox')" = "$(printf '2\n2')" ] \
  || fail "the new session is missing"
# Where the record is: the option, then the environment, then the settings file.
unset MIRDAL_RECORD_DB
mkdir -p "$work/config/mirdal" && printf '[record]\ndatabase=%s\n' "$old" >"$work/config/mirdal/mirdal.ini"
export XDG_CONFIG_HOME=$work/config
[ "$("$bin/mirdal-cli" history | wc -l)" = 3 ] || fail "the settings file is not read"
[[ $(MIRDAL_RECORD_DB=$work/env.sqlite "$bin/mirdal-cli" history 2>&1) == *"'$work/env.sqlite'"* ]] || fail environment
[[ $(MIRDAL_RECORD_DB=$work/env.sqlite "$bin/mirdal-cli" history --record-db "$work/option.sqlite" 2>&1) == \
  *"'$work/option.sqlite'"* ]] || fail option
echo "record.faults: ok"
