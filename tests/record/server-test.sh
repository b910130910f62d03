#!/usr/bin/env bash
# The fleet's record server: a private PostgreSQL cluster in the scratch folder, on a Unix socket only, run by an
# unprivileged user, with docs/record-server.sql. Several terminals recorded while the server stops; the queue
# pushed once it is back, twice (as after a crash between the server's commit and the local acknowledgement)
# without a duplicate; a wrong password. Usage: server-test.sh BIN_DIR DOCS_DIR
bin=$1
docs=$2
. "$(dirname "$0")/lib.sh"
pg=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
[ -x "$pg/initdb" ] || fail "PostgreSQL's server is not installed (tools/setup-debian.sh)"
# The server refuses to run as root: as root, it runs as nobody.
as_owner() { if [ "$(id -u)" = 0 ]; then setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; else "$@"; fi; }
mkdir -m 700 "$work/data" && mkdir -m 755 "$work/socket"
[ "$(id -u)" != 0 ] || chown nobody:nogroup "$work/data" "$work/socket"
as_owner "$pg/initdb" -D "$work/data" -U admin --auth-local=trust >"$work/initdb.err" 2>&1 || fail initdb
echo "local all ws1 scram-sha-256" >"$work/hba" && cat "$work/data/pg_hba.conf" >>"$work/hba"
as_owner cp "$work/hba" "$work/data/pg_hba.conf"
server() { as_owner "$pg/pg_ctl" -D "$work/data" -l "$work/socket/server.log" -w -o "-k $work/socket -c listen_addresses=''" \
  "$1" >/dev/null; }
stop_server() { server stop 2>/dev/null; }
server start || fail "the server did not start: $(cat "$work/socket/server.log")"
cleanup_hooks+=(stop_server)
admin() { psql -X -q -v ON_ERROR_STOP=1 -h "$work/socket" -U admin "$@"; }
admin -d postgres -c "CREATE DATABASE records" && admin -d records -f "$docs/record-server.sql" >/dev/null &&
  admin -d records -c "CREATE ROLE ws1 LOGIN PASSWORD 'right horse' IN ROLE mirdal_writer" || fail "schema"
echo "*:*:*:ws1:right horse" >"$work/pgpass" && chmod 600 "$work/pgpass"
export PGPASSFILE=$work/pgpass MIRDAL_RECORD_SERVER="host=$work/socket dbname=records user=ws1"
on_server() { admin -d records -A -t -c "$1"; }
db=$work/records.sqlite
sims 3

install "$db" "${devices[@]}"
[ $status = 0 ] && [ "$(on_server 'SELECT COUNT(*) FROM sessions')" = 3 ] || fail "pushed at once: $status"
# Stopped in the middle of a run: the update succeeds, its sessions stay queued.
"$bin/mirdal-cli" install --record-db "$db" --time-scale 0.02 --quiet $(printf -- '--port %s ' "${devices[@]}") \
  >"$work/install.out" 2>"$work/install.err" &
run=$!
sleep 1 && server stop
wait $run || fail "the update failed with the server away: $?"
[ "$(grep -c "^Installation réalisée avec succès" "$work/install.out")" = 3 ] || fail "results"
grep -q "records stay queued for the server: cannot reach the record server: .*No such file" "$work/install.err" \
  || fail "no word of the queue: $(cat "$work/install.err")"
[ "$(sql "$db" 'SELECT COUNT(*) FROM outbox')" = 3 ] || fail "not queued"
server start
"$bin/mirdal-cli" history push --record-db "$db" | grep -qx "3 sessions pushed" || fail "push"
# As if the last push had crashed after the server's commit: the whole queue again, nothing duplicated.
sql "$db" 'INSERT INTO outbox SELECT id FROM sessions'
"$bin/mirdal-cli" history push --record-db "$db" | grep -qx "6 sessions pushed" || fail "second push"
[ "$(on_server 'SELECT COUNT(*), COUNT(DISTINCT id) FROM sessions; SELECT COUNT(*) FROM files')" = \
  "$(printf '6|6\n18')" ] || fail "on the server: $(on_server 'SELECT COUNT(*) FROM sessions')"
[ "$(sql "$db" 'SELECT id FROM sessions ORDER BY id')" = "$(on_server 'SELECT id FROM sessions ORDER BY id')" ] \
  || fail "not the same sessions"
[ "$("$bin/mirdal-cli" history --server --failed --format csv | wc -l)" = 1 ] &&
  [ "$("$bin/mirdal-cli" history --server --terminal 4d3130 | wc -l)" = 7 ] || fail "history --server"
# The workstation's role adds and reads, nothing more.
! PGPASSWORD='right horse' psql -X -h "$work/socket" -U ws1 -d records -c 'DELETE FROM files' 2>/dev/null \
  || fail "the writer could delete"

# A wrong password: said clearly; the update succeeds, its session queued.
echo "*:*:*:ws1:wrong horse" >"$work/pgpass"
install "$db" "${devices[0]}"
[ $status = 0 ] || fail "status $status with a wrong password"
grep -q "cannot reach the record server: .*password authentication failed for user \"ws1\"" "$work/install.err" \
  || fail "wrong password: $(cat "$work/install.err")"
[ "$(sql "$db" 'SELECT COUNT(*) FROM outbox')" = 1 ] || fail "not queued after a refusal"
# A password in the setting is refused before anything is sent.
MIRDAL_RECORD_SERVER="$MIRDAL_RECORD_SERVER password=x" "$bin/mirdal-cli" history push --record-db "$db" \
  2>"$work/push.err" && fail "a password in the setting was taken"
grep -q "must not hold a password" "$work/push.err" || fail "$(cat "$work/push.err")"
echo "record.server: ok"
