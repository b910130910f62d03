#!/usr/bin/env bash
# The Debian package as a user gets it: made by cpack from the build tree, checked by lintian (errors fail, where it
# is installed), unpacked with dpkg-deb into a scratch root and run from there: 1. every file is in it, the links in
# usr/bin are relative, the desktop entry and metainfo validate, the udev rule read field by field, its manufacturer
# glob taking "Velmaris" in any letter case only, mirdal-cli's options the same in its --help, its man page and its
# completion, which offers what each option takes; 2. installed by dpkg into a root of its own: the installed mirdal-cli, started through
# its link without --config-dir, reads and accepts the sample put in /etc; a site's configuration there survives a reinstall and a
# removal, check reports it, a purge takes it; 3. the installed mirdal, started through its link, shows its window
# "Mirdal" (on an X server of its own), 764x615, with the class its desktop entry names.
# Usage: package-test.sh BUILD_DIR gui|no-gui
set -euo pipefail
build=$1
gui=$2
here=$(cd "$(dirname "$0")" && pwd)
tools="cpack dpkg-deb gzip"
[ "$gui" = gui ] && tools="$tools desktop-file-validate appstreamcli xdotool xprop xwininfo"
for tool in $tools; do command -v "$tool" >/dev/null || { echo "missing $tool (tools/setup-debian.sh)" >&2; exit 1; }; done

work=$(mktemp -d /tmp/mirdal-package.XXXXXX)
# shellcheck disable=SC2034  # read by xvfb.sh
xvfb_work=$work
# shellcheck source-path=SCRIPTDIR source=../app/xvfb.sh
. "$here/../app/xvfb.sh"
app_pid=
cleanup() {
  if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; fi
  stop_xvfb; wait 2>/dev/null || true; rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# --- The package -------------------------------------------------------------
(cd "$build" && cpack -G DEB -B "$work/package") >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; fail "cpack"; }
debs=("$work"/package/mirdal_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then fail "not one package: ${debs[*]}"; fi
deb=${debs[0]}
echo "ok - $(basename "$deb"), $(stat -c %s "$deb") bytes"
# Built with the development key (as the tests are): its version says so.
version=$(dpkg-deb -f "$deb" Version)
[ "$version" = "2.0.3-1~devkey" ] || fail "version $version, not 2.0.3-1~devkey"

if command -v lintian >/dev/null; then
  lintian "$deb" >"$work/lintian.log" 2>&1 || true
  grep -v '^running with root privileges' "$work/lintian.log" >&2 || true
  ! grep -q '^E:' "$work/lintian.log" || fail "lintian reports errors"
  echo "ok - lintian: no error"
else
  echo "lintian is not installed: the package is not checked by it" >&2
fi

root=$work/root
dpkg-deb -x "$deb" "$root"
root=$(cd "$root" && pwd -P)

# --- 1. What it installs ----------------------------------------------------------
programs="mirdal-cli mirdal-sim"
[ "$gui" = gui ] && programs="mirdal $programs"
expected="usr/share/mirdal/sample-configuration/configuration.xml
usr/share/bash-completion/completions/mirdal-cli
usr/lib/udev/rules.d/70-mirdal.rules
usr/share/doc/mirdal/copyright
usr/share/doc/mirdal/changelog.Debian.gz
usr/share/doc/mirdal/record-server.sql
usr/share/doc/mirdal/README.md"
# Qt's SQL drivers are plugins: the record needs SQLite's, a fleet's server PostgreSQL's.
dpkg-deb -f "$deb" Depends | grep -q 'libqt5sql5-sqlite' || fail "the package does not depend on libqt5sql5-sqlite"
dpkg-deb -f "$deb" Recommends | grep -q 'libqt5sql5-psql' || fail "the package does not recommend libqt5sql5-psql"
for program in $programs; do
  expected="$expected
usr/lib/mirdal/$program
usr/share/man/man1/$program.1.gz"
  [ "$(readlink "$root/usr/bin/$program")" = "../lib/mirdal/$program" ] || fail "usr/bin/$program is not a link to ../lib/mirdal/$program"
done
if [ "$gui" = gui ]; then
  expected="$expected
usr/share/applications/com.velmaris.mirdal.desktop
usr/share/metainfo/com.velmaris.mirdal.metainfo.xml"
  for size in 16 22 24 32 48 64 128; do
    expected="$expected
usr/share/icons/hicolor/${size}x${size}/apps/com.velmaris.mirdal.png"
  done
fi
[ "$(readlink "$root/usr/lib/mirdal/configuration")" = ../../../etc/mirdal/configuration ] \
  || fail "usr/lib/mirdal/configuration is not a link to ../../../etc/mirdal/configuration"
[ -z "$(dpkg-deb -c "$deb" | grep ' \./etc/')" ] || fail "the package owns files in /etc"
for file in $expected; do
  [ -f "$root/$file" ] || fail "$file is not in the package"
  case $file in *.gz) gzip -t "$root/$file" || fail "$file is not a gzip file" ;; esac
done
if [ "$gui" = gui ]; then
  desktop-file-validate "$root/usr/share/applications/com.velmaris.mirdal.desktop" || fail "desktop entry"
  appstreamcli validate --no-net "$root/usr/share/metainfo/com.velmaris.mirdal.metainfo.xml" >"$work/appstream.log" 2>&1 \
    || { cat "$work/appstream.log" >&2; fail "metainfo"; }
  grep -Eq "<release version=\"${version%%-*}\" date=\"[0-9]{4}-[0-9]{2}-[0-9]{2}\"/>" \
    "$root/usr/share/metainfo/com.velmaris.mirdal.metainfo.xml" || fail "the metainfo has no release ${version%%-*}"
fi
echo "ok - $(echo "$expected" | wc -l) files and the links of $programs"

# The udev rule, one rule a line, field by field (KEY[{ATTR}]OP"VALUE" joined by ", "; the manufacturer glob as GLOB):
# removals and other subsystems jump to the end; the maker's USB devices are the seat user's, and ModemManager's not.
rules=
while IFS= read -r line; do
  [[ -z $line || $line == \#* ]] && continue
  while [[ $line =~ ^([A-Z_]+(\{[A-Za-z_]+\})?(==|!=|\+=|=))\"([^\"]*)\"(, |$)(.*) ]]; do
    key=${BASH_REMATCH[1]} value=${BASH_REMATCH[4]} more=${BASH_REMATCH[5]:+ }
    [ "$key" = "ATTRS{manufacturer}==" ] && glob=$value value=GLOB
    rules+="$key$value$more"
    line=${BASH_REMATCH[6]}
  done
  [ -z "$line" ] || fail "the udev rule has a malformed field: $line"
  rules+="|"
done <"$root/usr/lib/udev/rules.d/70-mirdal.rules"
[ "$rules" = "ACTION==remove GOTO=mirdal_end|SUBSYSTEM!=tty GOTO=mirdal_end|SUBSYSTEMS==usb ATTRS{manufacturer}==GLOB \
TAG+=uaccess ENV{ID_MM_DEVICE_IGNORE}=1|LABEL=mirdal_end|" ] || fail "the udev rule reads: $rules"
# The manufacturer glob, tried as udev's fnmatch does.
# shellcheck disable=SC2053
for name in Velmaris VELMARIS velmaris vELMARIs; do [[ $name == $glob ]] || fail "the udev rule refuses '$name'"; done
# shellcheck disable=SC2053
for name in Velmari Velmarisx "Velmaris Inc" Other; do [[ $name == $glob ]] && fail "the udev rule takes '$name'"; done
echo "ok - the udev rule, field by field; it takes the maker's name in any letter case, nothing else"

# mirdal-cli's words: for every command its --help lists, the options its --help lists, the man page's entries under it
# (in the installed roff: the tags at the first level of the command's block, under COMMANDS) and what the installed
# completion offers after '--' are the same, and its parser takes them all; and what the completion offers after an option is what the option takes.
cli=$root/usr/lib/mirdal/mirdal-cli
# The installed completion's offers for queries read one a line (mirdal-cli's words after the program's name, the last
# one being completed), each query's offers sorted on one line.
completions() {
  # shellcheck disable=SC2016  # expanded by that shell
  (cd "$work/words" && bash --norc --noprofile -c '. /usr/share/bash-completion/bash_completion; . "$1"
    while read -r query; do
      eval "COMP_WORDS=(mirdal-cli $query)"
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE="${COMP_WORDS[*]}" COMPREPLY=()
      COMP_POINT=${#COMP_LINE}
      _mirdal_cli 2>/dev/null
      printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd " "
    done' completion "$root/usr/share/bash-completion/completions/mirdal-cli")
}
mkdir -p "$work/words/adir" && : >"$work/words/afile"
commands=$("$cli" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z]*\) .*/\1/p')
[ -n "$commands" ] || fail "mirdal-cli --help lists no command"
mapfile -t offered < <(for command in $commands; do echo "$command --"; done | completions)
gzip -dc "$root/usr/share/man/man1/mirdal-cli.1.gz" >"$work/mirdal-cli.1"
i=0
for command in $commands; do
  help=$("$cli" "$command" --help | sed -n '/^Options:/,/^$/p')
  helped=$(sed -n 's/^  \(-h, \)\{0,1\}\(--[a-z-]*\).*/\2/p' <<<"$help" | sort | paste -sd ' ')
  # Each of them, with its value, read by the parser.
  read -ra given < <(sed -n 's/^  \(--[a-z-]*\) \([A-Z][A-Z]*\)  .*/\1=\2/p; s/^  \(--[a-z-]*\)  .*/\1/p' <<<"$help" | paste -sd ' ')
  "$cli" "$command" "${given[@]}" --help >/dev/null || fail "mirdal-cli $command refuses the options its --help lists"
  entries=$(awk -v command="$command" '/^\.SH/ { commands = $0 == ".SH COMMANDS"; next }
    !commands { next }
    /^\.RS/ { depth++ } /^\.RE/ { depth-- }
    tag { gsub(/\\-/, "-"); if (depth == 0) current = $2; else if (depth == 1 && current == command) print $2 }
    { tag = /^\.TP/ }' "$work/mirdal-cli.1")
  manned=$( (echo --help; [ -z "$entries" ] || echo "$entries") | sort | paste -sd ' ')
  [ "$helped" = "$manned" ] && [ "$helped" = "${offered[i]}" ] \
    || fail "mirdal-cli $command's options: --help '$helped', man page '$manned', completion '${offered[i]}'"
  i=$((i + 1))
done
# A query, then what its offers must be (an extended regular expression), in a folder of afile and adir/.
cases="h|help history
help p|pack ports
install --port ''|(/dev/tty(USB|ACM|S)[0-9]+ ?)*
install --trace ''|adir afile
sign --key ''|adir afile
install --config-dir ''|adir
sign --pass ''|env: file: stdin
sign --pass file:af|file:afile
history --format ''|csv json table
install --time-scale ''|
install --port x --p|--port
install --json --j|
history --port x --p|
history ''|push show
pack ''|adir afile
pack a b ''|"
mapfile -t offered < <(cut -d'|' -f1 <<<"$cases" | completions)
i=0
while IFS='|' read -r query pattern; do
  [[ ${offered[i]} =~ ^(${pattern})$ ]] || fail "completing 'mirdal-cli $query' offers '${offered[i]}'"
  i=$((i + 1))
done <<<"$cases"
echo "ok - mirdal-cli's options: --help, the man page and the completion agree for ${commands//$'\n'/ }"

# --- 2. Installed by dpkg, and a site's configuration ----------------------------
root=$work/system
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
run_dpkg() {
  dpkg --root="$root" --force-script-chrootless --force-depends --force-not-root "$@" >"$work/dpkg.log" 2>&1 \
    || { cat "$work/dpkg.log" >&2; fail "dpkg $*"; }
}
site=$root/etc/mirdal/configuration
# check's report, its configuration line naming the folder beside the real executable.
check() {
  "$root/usr/bin/mirdal-cli" check >"$work/check.out" 2>"$work/check.err" \
    || { cat "$work/check.out" "$work/check.err" >&2; fail "mirdal-cli check refuses the installed configuration"; }
  head -n 1 "$work/check.out" | grep -qxF "Configuration: $root/usr/lib/mirdal/configuration/configuration.xml" \
    || { cat "$work/check.out" >&2; fail "mirdal-cli did not read the configuration beside its real executable"; }
  grep -qx 'Signature: valid' "$work/check.out" || fail "the signature does not verify"
}
run_dpkg -i "$deb"
cmp -s "$site/configuration.xml" "$root/usr/share/mirdal/sample-configuration/configuration.xml" \
  || fail "the sample is not in /etc/mirdal/configuration after the first install"
check
tail -n 1 "$work/check.out"
"$root/usr/bin/mirdal-sim" --help >/dev/null || fail "mirdal-sim --help"
echo "ok - installed, mirdal-cli accepts the sample put in /etc/mirdal/configuration"

# The site's own: another title, signed again, and a file of its own.
sed -i 's|<title>[^<]*</title>|<title>Mise à jour du site</title>|' "$site/configuration.xml"
"$root/usr/bin/mirdal-cli" sign --key "$here/../../keys/dev-signing-key.pem" --config-dir "$site" 2>/dev/null \
  || fail "the site's configuration cannot be signed"
echo site >"$site/SITE.BIN"
sha=$(sha256sum "$site/configuration.xml" | cut -d' ' -f1)
for step in "-i $deb" "-r mirdal"; do
  # shellcheck disable=SC2086
  run_dpkg $step
  [ "$(sha256sum "$site/configuration.xml" | cut -d' ' -f1)" = "$sha" ] && [ -f "$site/SITE.BIN" ] \
    || fail "dpkg $step changed the site's configuration"
done
run_dpkg -i "$deb"
check
grep -qxF "SHA-256 of configuration.xml: $sha" "$work/check.out" && grep -qx 'Title: Mise à jour du site' "$work/check.out" \
  || { cat "$work/check.out" >&2; fail "check does not report the site's configuration"; }
run_dpkg -P mirdal
[ ! -e "$root/etc/mirdal" ] || fail "a purge leaves /etc/mirdal"
run_dpkg -i "$deb"
echo "ok - a site's configuration survives a reinstall and a removal, check reports it, a purge takes it"

[ "$gui" = gui ] || exit 0

# --- 3. The installed mirdal ------------------------------------------------------
start_xvfb || fail "no X server"
XDG_STATE_HOME=$work/state "$root/usr/bin/mirdal" >"$work/mirdal.log" 2>&1 &
app_pid=$!
window=
for _ in $(seq 300); do
  window=$(xdotool search --onlyvisible --name '^Mirdal$' 2>/dev/null | head -n 1) || true
  [ -n "$window" ] && break
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$window" ] || { cat "$work/mirdal.log" >&2; fail "no window titled Mirdal"; }
[ -z "$(xdotool search --onlyvisible --name '^Erreur fichier de configuration$' 2>/dev/null)" ] \
  || fail "the installed mirdal shows the configuration error box"
class=$(grep '^StartupWMClass=' "$root/usr/share/applications/com.velmaris.mirdal.desktop" | cut -d= -f2)
xprop -id "$window" WM_CLASS | grep -q "\"$class\"\$" || fail "window class $(xprop -id "$window" WM_CLASS), not $class"
size=$(xwininfo -id "$window" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
[ "$size" = 764x615 ] || fail "the window is $size, not 764x615"
echo "ok - the installed mirdal shows the window Mirdal, $size"
# Its diagnostics, time-stamped, in the log file of the user's state folder.
grep -qE "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\.[0-9]{3}Z mirdal\[$app_pid\] info: Configuration::load searching in \
$root/usr/lib/mirdal/configuration/\$" "$work/state/mirdal/mirdal.log" || fail "no log file for the window"
echo "ok - the window's diagnostics are in its log file"
