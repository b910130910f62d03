#!/usr/bin/env bash
# The record's figures beyond an update's own cost (mirdal-bench-record):
#   - `history --terminal` over 1,000,000 recorded updates (goal: 100 ms);
#   - pushing 10,000 queued sessions to a PostgreSQL server (goal: 10 s);
#   - the HTML page of 100,000 sessions written (goal: 5 s) and opened in
#     headless Chromium (goal: 2 s, over the time an empty page takes).
# The records are made by sqlite3 (version 1 of the schema, which the first
# read migrates); the server is a private cluster in a scratch folder.
# Usage: bench/record.sh   (MIRDAL_BUILD_DIR picks the build, default build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${MIRDAL_BUILD_DIR:-$root/build}/bin
work=$(mktemp -d /tmp/mirdal-bench-record.XXXXXX)
chmod 755 "$work"
pg=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
as_owner() { if [ "$(id -u)" = 0 ]; then setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; else "$@"; fi; }
server_up=0
cleanup() {
  [ $server_up = 0 ] || as_owner "$pg/pg_ctl" -D "$work/data" -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
now() { date +%s.%N; }
ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", (b - a) * 1000 }'; }

# make_record FILE N: N sessions of 3 files, one terminal in a thousand failing at its download.
make_record() {
  sqlite3 "$1" >/dev/null <<SQL
$(sed -n '/^CREATE TABLE sessions/,/^CREATE INDEX/p' "$root/tests/record/faults-test.sh")
PRAGMA journal_mode=WAL;
PRAGMA user_version = 1;
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $2)
INSERT INTO sessions SELECT printf('%08x-0000-4000-8000-%012x', i, i),
  strftime('%Y-%m-%dT%H:%M:%fZ', '2026-01-01', '+' || (i * 30) || ' seconds'),
  strftime('%Y-%m-%dT%H:%M:%fZ', '2026-01-01', '+' || (i * 30 + 90) || ' seconds'), 90000,
  'ws' || (i % 7), 'tech', '2.0.3', 'F8:61', 'Mise à jour', 'be60', '/dev/ttyUSB' || (i % 4), '', 1027, 24577,
  'FT' || (i % 1000), '4d3130', '', 0, 'VARLENNE' || char(10) || 'PAYMENT', i % 13 != 0,
  'Installation', 'texte', CASE WHEN i % 13 = 0 THEN 'download of APPLI.BIN' ELSE '' END,
  CASE WHEN i % 13 = 0 THEN 'wrong CRC' ELSE '' END, '' FROM n;
INSERT INTO files SELECT id, p.i, 1, p.name, 100, 'ab', 1, 0, 1, 0, success, success FROM sessions,
  (SELECT 0 AS i, 'PARAM.CFG' AS name UNION ALL SELECT 1, 'FONTS.BIN' UNION ALL SELECT 2, 'APPLI.BIN') p;
COMMIT;
SQL
  "$bin/mirdal-cli" history --record-db "$1" --limit 1 >/dev/null # migrates: the queue, the indexes
}

echo "machine: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), $(nproc) cores"
make_record "$work/million.sqlite" 1000000
best=999999
for _ in 1 2 3 4 5; do
  t0=$(now); "$bin/mirdal-cli" history --record-db "$work/million.sqlite" --terminal FT417 >/dev/null; t1=$(now)
  t=$(ms "$t0" "$t1"); [ "$t" -lt "$best" ] && best=$t
done
echo "history --terminal over 1,000,000 sessions: ${best} ms (best of 5, the whole process; goal 100 ms)"

make_record "$work/page.sqlite" 100000
t0=$(now); "$bin/mirdal-cli" history --record-db "$work/page.sqlite" --html "$work/page.html"; t1=$(now)
echo "HTML page of 100,000 sessions: $(ms "$t0" "$t1") ms, $(($(stat -c %s "$work/page.html") / 1024)) KiB (goal 5000 ms)"
echo '<!DOCTYPE html><html><body></body></html>' >"$work/empty.html"
open_page() {
  local t0 t1
  t0=$(now)
  chromium --headless --no-sandbox --disable-gpu --disable-background-networking --user-data-dir="$work/chromium" \
    --dump-dom "file://$1" >/dev/null 2>&1
  t1=$(now)
  ms "$t0" "$t1"
}
open_page "$work/empty.html" >/dev/null
empty=$(open_page "$work/empty.html")
full=$(open_page "$work/page.html")
echo "page opened in headless Chromium: $((full - empty)) ms over an empty page's $empty ms (goal 2000 ms)"

mkdir -m 700 "$work/data" && mkdir -m 755 "$work/socket"
[ "$(id -u)" != 0 ] || chown nobody:nogroup "$work/data" "$work/socket"
as_owner "$pg/initdb" -D "$work/data" -U admin --auth-local=trust >/dev/null
as_owner "$pg/pg_ctl" -D "$work/data" -l "$work/socket/log" -w -o "-k $work/socket -c listen_addresses=''" start \
  >/dev/null
server_up=1
psql -X -q -h "$work/socket" -U admin -d postgres -c "CREATE DATABASE records"
psql -X -q -h "$work/socket" -U admin -d records -f "$root/docs/record-server.sql" >/dev/null
make_record "$work/queue.sqlite" 10000
t0=$(now)
"$bin/mirdal-cli" history push --record-db "$work/queue.sqlite" \
  --record-server "host=$work/socket dbname=records user=admin" >/dev/null
t1=$(now)
echo "push of 10,000 queued sessions (30,000 files): $(ms "$t0" "$t1") ms (goal 10000 ms)"
