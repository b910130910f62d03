#!/usr/bin/env bash
# The reader switch against the real pcscd, with three readers of the test
# driver: two of the maker (one counting the zero of its vendor name, one in
# capitals) and one of another vendor between them. The daemon runs in a
# private mount namespace with its own /run/pcscd, so it neither meets nor
# disturbs a daemon of the system.
#
# Usage: pcsc_switch_integration.sh DRIVER.so PCSC_SWITCH_RUN
# Exit 0 pass, 1 fail, 77 skip (the machine cannot run a private pcscd).
set -u

driver=${1:?driver library}
runner=${2:?pcsc_switch_run program}
skip_code=77

skip() {
    local text="SKIPPED: the reader switch was NOT tested against pcscd: $*"
    echo "******************************************************************"
    echo "*** $text"
    echo "******************************************************************"
    echo "*** $text" >&2
    exit "$skip_code"
}

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# ------------------------------------------------ enter a private namespace
if [ -z "${MIRDAL_PCSC_PRIVATE_NS:-}" ]; then
    pcscd_path=$(command -v pcscd || true)
    [ -z "$pcscd_path" ] && [ -x /usr/sbin/pcscd ] && pcscd_path=/usr/sbin/pcscd
    [ -n "$pcscd_path" ] || skip "pcscd is not installed"
    [ "$(id -u)" = 0 ] || skip "root is needed to give pcscd a private /run/pcscd (running as uid $(id -u))"
    command -v unshare >/dev/null || skip "unshare is not available"
    unshare --mount --propagation private true 2>/dev/null \
        || skip "no private mount namespace can be created here"
    MIRDAL_PCSC_PRIVATE_NS=1 PCSCD="$pcscd_path" \
        exec unshare --mount --propagation private "$0" "$@"
    fail "cannot run unshare"
fi

# --------------------------------------------------- inside the namespace
# pcscd keeps its socket and pid file in /run/pcscd. Hide whatever is there;
# without that folder, a fresh /run holds the new one (the rest of /run is of
# no use to pcscd or to the client).
if [ -d /run/pcscd ]; then
    mount -t tmpfs -o mode=0755 mirdal-pcscd /run/pcscd || skip "cannot mount a tmpfs on /run/pcscd"
else
    mount -t tmpfs -o mode=0755 mirdal-run /run || skip "cannot mount a tmpfs on /run"
    mkdir /run/pcscd || fail "cannot create /run/pcscd"
fi

work=$(mktemp -d /tmp/mirdal-pcscd.XXXXXX) || fail "no temporary folder"
pcscd_pid=

stop_pcscd() {
    if [ -n "$pcscd_pid" ] && kill -0 "$pcscd_pid" 2>/dev/null; then
        kill -TERM "$pcscd_pid"
        for _ in $(seq 50); do
            kill -0 "$pcscd_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$pcscd_pid" 2>/dev/null && kill -KILL "$pcscd_pid"
        wait "$pcscd_pid" 2>/dev/null
    fi
    pcscd_pid=
}

finish() {
    local status=$?
    stop_pcscd
    if [ "$status" != 0 ] && [ "$status" != "$skip_code" ]; then
        echo "--- pcscd log ---" >&2
        cat "$work/pcscd.log" >&2 2>/dev/null
    fi
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT
trap 'exit 1' INT TERM

mkdir "$work/reader.conf.d"
cat >"$work/reader.conf.d/mirdal-test" <<EOF
FRIENDLYNAME "Mirdal Test Reader A"
DEVICENAME   till-a:Velmaris:42330001:nul
LIBPATH      $driver

FRIENDLYNAME "Mirdal Test Reader B"
DEVICENAME   badge:Halvorsen:42770001
LIBPATH      $driver

FRIENDLYNAME "Mirdal Test Reader C"
DEVICENAME   till-c:VELMARIS:42330003
LIBPATH      $driver
EOF
export MIRDAL_TEST_IFD_RECORD="$work/record.txt"

"$PCSCD" --foreground --debug --config "$work/reader.conf.d" >"$work/pcscd.log" 2>&1 &
pcscd_pid=$!

"$runner" wait 3 20 >"$work/readers.txt" || fail "pcscd did not come up with the three test readers"
kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd ended early"
echo "pcscd lists:"
cat "$work/readers.txt"

reader_name() {  # the full name pcscd gave the reader with this friendly name
    sed -n "s/^reader: \\($1 .*\\)\$/\\1/p" "$work/readers.txt"
}
name_a=$(reader_name "Mirdal Test Reader A")
name_b=$(reader_name "Mirdal Test Reader B")
name_c=$(reader_name "Mirdal Test Reader C")
[ -n "$name_a" ] && [ -n "$name_b" ] && [ -n "$name_c" ] || fail "a test reader is missing"

# The driver may have seen the daemon's own requests while it came up: only
# what the switch causes counts.
: >"$MIRDAL_TEST_IFD_RECORD"
"$runner" switch >"$work/switch.txt" 2>&1 || fail "the switch program failed: $(cat "$work/switch.txt")"
echo "switch log:"
cat "$work/switch.txt"
echo "received by the readers:"
cat "$MIRDAL_TEST_IFD_RECORD"

status=0
check() {  # check WHAT EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        printf '%s differs.\n--- expected\n%s\n--- actual\n%s\n' "$1" "$2" "$3" >&2
        status=1
    fi
}

feature_request=0x42000D48
check "what reader A received" \
    "till-a vendor
till-a control $feature_request in=-
till-a control 0x42330001 in=10" "$(grep '^till-a ' "$MIRDAL_TEST_IFD_RECORD")"
check "what reader B received" \
    "badge vendor" "$(grep '^badge ' "$MIRDAL_TEST_IFD_RECORD")"
check "what reader C received" \
    "till-c vendor
till-c control $feature_request in=-
till-c control 0x42330003 in=10" "$(grep '^till-c ' "$MIRDAL_TEST_IFD_RECORD")"
check "the switch log" \
    "log: Pcsc_switchToCom : Try reader: $name_a
log: Pcsc_switchToCom : Switched reader: $name_a
log: Pcsc_switchToCom : Try reader: $name_b
log: Pcsc_switchToCom : Not an Velmaris reader\\n
log: Pcsc_switchToCom : Try reader: $name_c
log: Pcsc_switchToCom : Switched reader: $name_c" "$(cat "$work/switch.txt")"

kill -0 "$pcscd_pid" 2>/dev/null || fail "pcscd did not survive the switch"
[ "$status" = 0 ] && echo "PASSED: the maker's readers were switched, the other one left alone"
exit "$status"
