#!/usr/bin/env bash
# The reader switch against the real pcscd, with three readers of the test driver: two of the maker (one
# counting the zero of its vendor name, one in capitals) and one of another vendor between them. The
# daemon runs in a private mount namespace with its own /run/pcscd, so it neither meets nor disturbs a
# daemon of the system.
# mirdal-cli switches them too, once per run, and says which on stderr.
# Usage: pcsc_switch_integration.sh DRIVER.so PCSC_SWITCH_RUN MIRDAL_CLI
# Exit 0 pass, 1 fail, 77 skip (the machine cannot run a private pcscd).
set -u
driver=${1:?driver library}
runner=${2:?pcsc_switch_run program}
cli=${3:?mirdal-cli program}
skip() { echo "*** SKIPPED: the reader switch was NOT tested against pcscd: $*" | tee /dev/stderr; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

if [ -z "${MIRDAL_PCSC_PRIVATE_NS:-}" ]; then
  pcscd=$(command -v pcscd || echo /usr/sbin/pcscd)
  [ -x "$pcscd" ] || skip "pcscd is not installed"
  [ "$(id -u)" = 0 ] || skip "root is needed to give pcscd a private /run/pcscd (running as uid $(id -u))"
  unshare --mount --propagation private true 2>/dev/null || skip "no private mount namespace can be created here"
  MIRDAL_PCSC_PRIVATE_NS=1 PCSCD="$pcscd" exec unshare --mount --propagation private "$0" "$@"
fi

# Inside the namespace: pcscd keeps its socket and pid file in /run/pcscd. Hide whatever is there;
# without that folder, a fresh /run holds the new one (nothing else of /run is of use here).
if [ -d /run/pcscd ]; then
  mount -t tmpfs -o mode=0755 mirdal-pcscd /run/pcscd || skip "cannot mount a tmpfs on /run/pcscd"
else
  mount -t tmpfs -o mode=0755 mirdal-run /run && mkdir /run/pcscd || skip "cannot mount a tmpfs on /run"
fi
work=$(mktemp -d /tmp/mirdal-pcscd.XXXXXX) || fail "no temporary folder"
pcscd_pid=
finish() {
  local status=$?
  if [ -n "$pcscd_pid" ]; then
    kill -TERM "$pcscd_pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pcscd_pid" 2>/dev/null && sleep 0.1; done
    kill -KILL "$pcscd_pid" 2>/dev/null
    wait "$pcscd_pid" 2>/dev/null
  fi
  [ "$status" = 0 ] || [ "$status" = 77 ] || { echo "--- pcscd log ---" >&2; cat "$work/pcscd.log" >&2; }
  rm -rf "$work"
  exit "$status"
}
trap finish EXIT
trap 'exit 1' INT TERM

mkdir "$work/reader.conf.d"
for reader in "A till-a:Velmaris:42330001:nul" "B badge:Halvorsen:42770001" "C till-c:VELMARIS:42330003"; do
  printf 'FRIENDLYNAME "Mirdal Test Reader %s"\nDEVICENAME %s\nLIBPATH %s\n\n' ${reader} "$driver"
done >"$work/reader.conf.d/mirdal-test"
export MIRDAL_TEST_IFD_RECORD="$work/record.txt"
"$PCSCD" --foreground --debug --config "$work/reader.conf.d" >"$work/pcscd.log" 2>&1 &
pcscd_pid=$!
# Run again until pcscd lists the three readers; only what the driver saw during the last run counts.
for _ in $(seq 100); do
  : >"$MIRDAL_TEST_IFD_RECORD"
  "$runner" >"$work/switch.txt" 2>&1 || fail "the switch program failed: $(cat "$work/switch.txt")"
  [ "$(grep -c 'Try reader: Mirdal Test Reader' "$work/switch.txt")" = 3 ] && break
  sleep 0.2
done
name() { sed -n "s/^log: Pcsc_switchToCom : Try reader: \(Mirdal Test Reader $1 .*\)\$/\\1/p" "$work/switch.txt"; }
[ -n "$(name A)" ] && [ -n "$(name B)" ] && [ -n "$(name C)" ] || fail "pcscd did not come up with the three test readers"
echo "switch log:"; cat "$work/switch.txt"
echo "received by the readers:"; cat "$MIRDAL_TEST_IFD_RECORD"

status=0
check() { # WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || { printf '%s differs.\n--- expected\n%s\n--- actual\n%s\n' "$1" "$2" "$3" >&2; status=1; }
}
check "what reader A received" "till-a vendor
till-a control 0x42000D48 in=-
till-a control 0x42330001 in=10" "$(grep '^till-a ' "$MIRDAL_TEST_IFD_RECORD")"
check "what reader B received" "badge vendor" "$(grep '^badge ' "$MIRDAL_TEST_IFD_RECORD")"
check "what reader C received" "till-c vendor
till-c control 0x42000D48 in=-
till-c control 0x42330003 in=10" "$(grep '^till-c ' "$MIRDAL_TEST_IFD_RECORD")"
check "the switch log" "log: Pcsc_switchToCom : Try reader: $(name A)
log: Pcsc_switchToCom : Switched reader: $(name A)
log: Pcsc_switchToCom : Try reader: $(name B)
log: Pcsc_switchToCom : Not an Velmaris reader\\n
log: Pcsc_switchToCom : Try reader: $(name C)
log: Pcsc_switchToCom : Switched reader: $(name C)" "$(cat "$work/switch.txt")"

: >"$MIRDAL_TEST_IFD_RECORD"
"$cli" ports >/dev/null 2>"$work/cli.txt"
check "what mirdal-cli ports says" "mirdal-cli ports: switched the card reader '$(name A)' into serial mode
mirdal-cli ports: switched the card reader '$(name C)' into serial mode" "$(cat "$work/cli.txt")"
check "the escape commands mirdal-cli sent" "till-a control 0x42330001 in=10
till-c control 0x42330003 in=10" "$(grep ' in=10$' "$MIRDAL_TEST_IFD_RECORD")"
kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd did not survive the switch"
[ "$status" = 0 ] && echo "PASSED: the maker's readers were switched, the other one left alone"
exit "$status"
