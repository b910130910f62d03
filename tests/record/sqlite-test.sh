#!/usr/bin/env bash
# The local record: 64 terminals recorded at once by four mirdal-cli beside the window (its own test, on the same
# file), then the support desk's page of that record opened in headless Chromium.
# Usage: sqlite-test.sh BIN_DIR TST_APP
bin=$1
. "$(dirname "$0")/lib.sh"
db=$work/records.sqlite
sims 64
MIRDAL_RECORD_DB=$db QT_FATAL_WARNINGS=1 "$(dirname "$0")/../app/on-xvfb.sh" "$2" failedStartsThenAWholeUpdate \
  >"$work/app.err" 2>&1 &
app=$!
writers=()
for w in 0 1 2 3; do
  "$bin/mirdal-cli" install --record-db "$db" --time-scale 0.001 --quiet $(printf -- '--port %s ' \
    "${devices[@]:$((w * 16)):16}") >"$work/writer$w.out" 2>"$work/writer$w.err" &
  writers+=($!)
done
for w in 0 1 2 3; do wait "${writers[$w]}" || fail "writer $w ended with status $?"; done
wait $app || fail "the window's update failed: $(cat "$work/app.err")"

[ "$(stat -c %a "$db")" = 600 ] || fail "the record's mode is $(stat -c %a "$db"), not 600"
[ "$(sql "$db" 'PRAGMA integrity_check')" = ok ] || fail "integrity check"
# 64 terminals of 3 files each, every one installed, each in the queue for a server; the window's two (a failed
# opening, one whole update; its other start could not be recorded, on purpose) beside them.
[ "$(sql "$db" "SELECT COUNT(DISTINCT port_device), SUM(success) FROM sessions WHERE port_device LIKE '/dev/pts/%'")" \
  = "65|65" ] || fail "sessions: $(sql "$db" 'SELECT port_device, success, stage FROM sessions')"
[ "$(sql "$db" "SELECT COUNT(*), SUM(installed), COUNT(DISTINCT sha256) FROM files")" = "195|195|3" ] \
  || fail "files: $(sql "$db" 'SELECT COUNT(*), SUM(installed), COUNT(DISTINCT sha256) FROM files')"
[ "$(sql "$db" "SELECT COUNT(*) FROM sessions WHERE success = 0 AND title = 'Erreur ouverture'")" = 1 ] \
  || fail "the window's failed start is not recorded"
[ "$(sql "$db" 'SELECT COUNT(*) FROM outbox')" = 66 ] || fail "queue"
# Plain sizes and digests are those of the plain files in sample/files (sha256sum).
[ "$(sql "$db" "SELECT DISTINCT name || ' ' || plain_size || ' ' || substr(sha256, 1, 12) FROM files ORDER BY name")" \
  = "$(printf 'APPLI.BIN 3500 5863ce4c0884\nFONTS.BIN 489 0d3f73679f57\nPARAM.CFG 21 0491c6f3fae2')" ] \
  || fail "file digests: $(sql "$db" 'SELECT DISTINCT name, plain_size, sha256 FROM files')"

# The history: newest first, filters, formats.
history() { "$bin/mirdal-cli" history "$@" --record-db "$db"; }
[ "$(history --limit 0 | wc -l)" = 67 ] || fail "table: $(history --limit 0)"
[ "$(history --failed --format json | grep -c '"success":false,')" = 1 ] || fail "--failed"
[ "$(history --port "${devices[5]}" --format json | wc -l)" = 1 ] || fail "--port"
[ "$(history --file APPLI.BIN --limit 0 --format csv | wc -l)" = 66 ] || fail "--file"
[ "$(history --terminal 4D3130 --since 2000-01-01 --until "$(date -u +%F)" --limit 0 | wc -l)" = 66 ] \
  || fail "--terminal --since --until"
[ "$(history --until 2000-01-01 | wc -l)" = 1 ] || fail "--until"
newest=$(sql "$db" 'SELECT id FROM sessions ORDER BY started DESC LIMIT 1')
[ "$(history --limit 1 | tail -n 1 | cut -c1-8)" = "${newest:0:8}" ] || fail "not newest first"
history show "${newest:0:8}" | grep -q "^session *$newest\$" || fail "show"
one=$(history --port "${devices[0]}" --format json)
for key in '"success":true' '"applications":["VARLENNE","PAYMENT"]' '"name":"APPLI.BIN","plain_size":3500' \
  '"hardware_id":"4d3130"' '"os_user":"'"$(id -un)"'"' '"host":"'"$(hostname)"'"'; do
  [[ $one == *"$key"* ]] || fail "JSON lacks $key: $one"
done

# The page, in a real browser that may fetch nothing: every request it makes is logged.
history --html "$work/page.html" || fail "--html"
! grep -Eq '(src|href)=|url\(|@import' "$work/page.html" || fail "the page refers to other files"
chromium --headless --no-sandbox --disable-gpu --disable-background-networking --disable-component-update \
  --no-first-run --user-data-dir="$work/chromium" --log-net-log="$work/net.json" \
  --dump-dom "file://$work/page.html" >"$work/dom.html" 2>"$work/chromium.err" || fail "chromium"
grep -q '<svg id="by-stage"' "$work/dom.html" || fail "the page did not render its chart"
# The browser's own requests (its clock, its updates) have no page behind them: "not an origin".
requests=$(grep -o '"initiator":"[^"]*"[^}]*' "$work/net.json" | grep -v '"initiator":"not an origin"' || true)
[ -z "$requests" ] || fail "the page loaded: $requests"
number() { sed -n "s|.*<b id=\"$1\">\([0-9]*\)</b>.*|\1|p" "$work/dom.html"; }
[ "$(number total)" = "$(sql "$db" 'SELECT COUNT(*) FROM sessions')" ] || fail "total $(number total)"
[ "$(number failed)" = "$(sql "$db" 'SELECT COUNT(*) FROM sessions WHERE success = 0')" ] || fail "failed"
[ "$(number terminals)" = "$(sql "$db" "SELECT COUNT(DISTINCT COALESCE(NULLIF(usb_serial, ''),
  COALESCE(NULLIF(hardware_id, ''), '?') || ' @ ' || port_device)) FROM sessions")" ] || fail "terminals"
# Each stage's bar says its count.
sql "$db" "SELECT stage, COUNT(*) FROM sessions WHERE success = 0 GROUP BY stage" | while IFS='|' read -r stage n; do
  grep -q ">$stage</text><rect[^>]*>\(</rect>\)\?<text class=\"count\"[^>]*>$n</text>" "$work/dom.html" || fail "bar of $stage"
done
echo "record.sqlite: ok"
