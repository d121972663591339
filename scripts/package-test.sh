#!/usr/bin/env bash
# The Debian package end to end, as root on a Debian box (CI: Debian 12):
# build it (scripts/package.sh), lintian, install it with dpkg -i, verify
# the systemd unit, check and run the installed site the way the service
# runs it, install it again over itself (the upgrade path), remove it
# (only the conffile may stay), purge it (nothing may stay).
#   package-test.sh [BUILD_DIR]   (default build-deb/)
# Refuses to run where q318b is installed already: it would be purged.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-deb}
pkg=q318b
unit_name=q318b-host.service
site=/etc/q318b/site.json

fail() {
  echo "package-test: FAIL: $*" >&2
  exit 1
}
step() { echo "-- $*"; }
# Every step is bounded; a hung one is killed, then the test fails.
bounded() {
  local secs=$1
  shift
  timeout --kill-after=10 "$secs" "$@"
}
pkg_status() { dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true; }

[ "$(id -u)" -eq 0 ] || fail "needs root (dpkg -i, runuser)"
case "$(pkg_status)" in
  "" | "un "*) ;;
  *) fail "$pkg is installed on this machine ($(pkg_status)); the test would purge it" ;;
esac

installed=0
cleanup() {
  if [ "$installed" -eq 1 ] && dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null |
    grep -qv 'not-installed'; then
    echo "package-test: purging $pkg after a failure"
    timeout 300 dpkg -P "$pkg" >/dev/null 2>&1 || true
  fi
}
work=$(mktemp -d)
trap 'cleanup; rm -rf "$work"' EXIT

step "build the package"
deb=$(bounded 3600 "$root/scripts/package.sh" "$dir" | tail -1)
[ -f "$deb" ] || fail "no package built in $dir"
echo "   $(basename "$deb"): $(stat -c %s "$deb") bytes"

step "lintian"
# Errors and warnings fail the test unless packaging/lintian-overrides
# names them; informational tags are shown.
lintian_ok=1
bounded 600 lintian --fail-on error,warning --display-info --show-overrides "$deb" \
  >"$work/lintian.log" 2>&1 || lintian_ok=0
grep -v 'running with root privileges' "$work/lintian.log" || true
[ "$lintian_ok" -eq 1 ] || fail "lintian reports errors or warnings (above)"

step "dpkg -i"
installed=1
bounded 600 dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log"
  fail "dpkg -i $deb"
}
[ "$(pkg_status)" = "ii " ] || fail "$pkg is not installed after dpkg -i: $(pkg_status)"

unit=$(dpkg -L "$pkg" | grep "/systemd/system/$unit_name\$") || fail "no $unit_name installed"
step "systemd-analyze verify $unit"
# It exits 0 on unknown keys and bad values, which it only prints.
bounded 120 systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || true
if [ -s "$work/verify.log" ]; then
  cat "$work/verify.log"
  fail "systemd-analyze verify $unit"
fi

unit_value() { sed -n "s/^$1=//p" "$unit" | tail -1; }
user=$(unit_value User)
workdir=$(unit_value WorkingDirectory)
read -r -a exec_start <<<"$(unit_value ExecStart)"
getent passwd "$user" >/dev/null || fail "the unit's user $user does not exist"
id -nG "$user" | grep -qw dialout || fail "$user is not in group dialout"
[ "$(stat -c %U "$workdir")" = "$user" ] || fail "$workdir is not owned by $user"

step "programs find their libraries"
for p in q318b-host q318b-sim q318b-decode q318b-probe; do
  env -u LD_LIBRARY_PATH ldd "/usr/bin/$p" >"$work/ldd.log" 2>&1 || fail "ldd /usr/bin/$p"
  if grep -q 'not found' "$work/ldd.log"; then
    cat "$work/ldd.log"
    fail "/usr/bin/$p misses a library"
  fi
  bounded 30 env -u LD_LIBRARY_PATH "/usr/bin/$p" --help >/dev/null || fail "$p --help"
done
for page in q318b-host.1 q318b-sim.1 q318b-decode.1 q318b-probe.1 q318b-site.5; do
  dpkg -L "$pkg" | grep -q "/man${page##*.}/$page.gz\$" || fail "man page $page not installed"
done

step "q318b-host --check --site $site"
bounded 60 env -u LD_LIBRARY_PATH q318b-host --check --site "$site" || fail "--check refused $site"

step "the unit's command for two rounds, as $user in $workdir"
# What the service runs (minus systemd's sandbox: systemd is not PID 1
# here), stopped after two rounds.
(cd "$workdir" && bounded 60 env -u LD_LIBRARY_PATH runuser -u "$user" -- \
  "${exec_start[@]}" --rounds 2 >"$work/service.out" 2>"$work/service.err") || {
  cat "$work/service.out" "$work/service.err"
  fail "${exec_start[*]} --rounds 2 as $user"
}
if [ -s "$work/service.err" ]; then
  cat "$work/service.err"
  fail "the service's command wrote to standard error"
fi
# Journal lines carry their priority; anything else would land in the
# journal unprefixed.
if grep -qv '^<[0-7]>' "$work/service.out"; then
  grep -v '^<[0-7]>' "$work/service.out" | head -5
  fail "lines without a priority prefix in the service's output"
fi
db=$(sed -n 's/^ *"database": *"\(.*\)",\{0,1\}$/\1/p' "$site")
[ -n "$db" ] || fail "$site names no database"
[ "$(stat -c %U "$db")" = "$user" ] || fail "$db is not owned by $user"
bounded 30 q318b-decode --compact record --db "$db" --data-id 1001 | grep -q '"record"' ||
  fail "no record of device 1001 stored in $db"

step "q318b-host --site $site --rounds 2 --json, as $user"
(cd "$workdir" && bounded 60 env -u LD_LIBRARY_PATH runuser -u "$user" -- \
  q318b-host --site "$site" --rounds 2 --json >"$work/json.out" 2>"$work/json.err") || {
  cat "$work/json.err"
  fail "q318b-host --rounds 2 --json as $user"
}
rounds=$(grep -c '"event":"record"' "$work/json.out" || true)
[ "$rounds" -eq 2 ] || fail "expected 2 rounds, the runner printed $rounds"
echo "   2 rounds, $(grep -c '"event":"alarm_raised"' "$work/json.out" || true) alarms raised"

step "dpkg -i again (the upgrade path keeps the conffile)"
echo ' ' >>"$site"
cp "$site" "$work/site.json"
bounded 600 dpkg -i --force-confold "$deb" >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log"
  fail "dpkg -i over the installed package"
}
cmp -s "$site" "$work/site.json" || fail "reinstalling changed the edited $site"
bounded 60 q318b-host --check --site "$site" >/dev/null || fail "--check after reinstalling"

step "dpkg -r: only the conffile stays"
bounded 300 dpkg -r "$pkg" >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log"
  fail "dpkg -r $pkg"
}
[ "$(pkg_status)" = "rc " ] || fail "after dpkg -r the status is $(pkg_status), not rc"
conffiles=$(dpkg-query -W -f='${Conffiles}\n' "$pkg" | awk 'NF {print $1}')
[ "$conffiles" = "$site" ] || fail "conffiles are \"$conffiles\", not $site"
[ -f "$site" ] || fail "$site went with dpkg -r"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}' >"$work/shipped"
left=$(while read -r f; do [ "$f" != "$site" ] && [ -e "$f" ] && echo "$f"; done <"$work/shipped" || true)
[ -z "$left" ] || fail "left behind by dpkg -r: $left"
left=$(find /usr /lib /etc -path '*q318b*' 2>/dev/null | grep -vx -e /etc/q318b -e "$site" || true)
[ -z "$left" ] || fail "left behind by dpkg -r: $left"

step "dpkg -P: nothing stays"
bounded 300 dpkg -P "$pkg" >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log"
  fail "dpkg -P $pkg"
}
installed=0
case "$(pkg_status)" in
  "" | "un "*) ;;
  *) fail "after dpkg -P the status is $(pkg_status)" ;;
esac
for f in /etc/q318b "$workdir"; do
  [ ! -e "$f" ] || fail "$f is still there after dpkg -P"
done
echo "package test passed"
