#!/usr/bin/env bash
# One q318b-host polling N simulated large sites (40 modules, 2 DC groups)
# on loopback TCP, paced at 9600 baud, at a round per 10 s; one q318b-sim
# process serves all N ports on one event loop. Prints one line of figures
# (docs/performance.md, "One host, N paced controllers").
#
#   bench/scale/run_scale.sh N [SECONDS] [BUILD_DIR]
#
# SECONDS is the measured window (default 120) after a warm-up of 25 s;
# BUILD_DIR defaults to build. Environment: Q318B_SCALE_TICK_MS, the
# simulator's chunk interval for paced replies (default 10; 0 hands over
# one character at a time), Q318B_SCALE_HOST another q318b-host to measure
# (an older build, say), Q318B_SCALE_PACE=0 lets the simulator answer at
# once, Q318B_SCALE_KEEP=1 keeps the work folder.
set -euo pipefail

n=${1:?usage: run_scale.sh N [SECONDS] [BUILD_DIR]}
window=${2:-120}
build=${3:-build}
tick=${Q318B_SCALE_TICK_MS:-10}
pace_flag=()
[ "${Q318B_SCALE_PACE:-1}" = 0 ] && pace_flag=(--no-pace)
warmup=25
interval=10
root=$(cd "$(dirname "$0")/../.." && pwd)
[[ "$build" = /* ]] || build="$root/$build"
host_bin="${Q318B_SCALE_HOST:-$build/tools/q318b-host}"
sim_bin="$build/tools/q318b-sim"
for b in "$host_bin" "$sim_bin"; do
  [ -x "$b" ] || { echo "run_scale.sh: $b missing (build first)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/q318b-scale.XXXXXX)
sim_pid=""
host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  [ "${Q318B_SCALE_KEEP:-0}" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT

"$sim_bin" "$root/examples/scenarios/large_site.json" --tcp 0 --ports "$n" \
  --pace-tick-ms "$tick" "${pace_flag[@]}" --stats "$work/sim-stats.json" >"$work/ports" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 1 200); do
  [ "$(wc -l <"$work/ports")" -ge "$n" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.err" >&2; exit 1; }
  sleep 0.1
done
[ "$(wc -l <"$work/ports")" -ge "$n" ] || { echo "run_scale.sh: simulator did not start" >&2; exit 1; }

# The site: one device per port, every round's record stored.
{
  echo '{"database": "'"$work"'/scale.db", "history": {"max_age_days": 0, "min_interval_s": 0},'
  echo ' "devices": ['
  i=0
  while read -r ep; do
    i=$((i + 1))
    [ "$i" -gt 1 ] && echo ','
    printf '  {"data_id": %d, "name": "site %d", "port": "tcp://%s", "poll_interval": %d, "settings_file": "%s"}' \
      $((1000 + i)) "$i" "$ep" "$interval" "$root/examples/settings/unicom.json"
  done < <(head -n "$n" "$work/ports")
  echo ']}'
} >"$work/site.json"

http_port=$((20000 + RANDOM % 20000))
"$host_bin" --site "$work/site.json" --json --http "127.0.0.1:$http_port" \
  >/dev/null 2>"$work/host.err" &
host_pid=$!

cpu_ticks() { awk '{print $14 + $15}' "/proc/${1:-$host_pid}/stat"; }
rounds() {
  curl -s "http://127.0.0.1:$http_port/metrics" |
    awk '/^q318b_rounds_completed_total/ {s += $NF} END {printf "%d\n", s}'
}
db_bytes() { du -cb "$work"/scale.db* 2>/dev/null | tail -1 | cut -f1; }

sleep "$warmup"
kill -0 "$host_pid" 2>/dev/null || { cat "$work/host.err" >&2; exit 1; }
hz=$(getconf CLK_TCK)
s0=$(cpu_ticks "$sim_pid"); c0=$(cpu_ticks); r0=$(rounds); d0=$(db_bytes); t0=$(date +%s.%N)
sleep "$window"
s1=$(cpu_ticks "$sim_pid"); c1=$(cpu_ticks); r1=$(rounds); d1=$(db_bytes); t1=$(date +%s.%N)
rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$host_pid/status")
kill "$host_pid"; wait "$host_pid" 2>/dev/null || true; host_pid=""
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=""

awk -v n="$n" -v hz="$hz" -v c0="$c0" -v c1="$c1" -v r0="$r0" -v r1="$r1" \
    -v d0="$d0" -v d1="$d1" -v t0="$t0" -v t1="$t1" -v rss="$rss_kb" -v iv="$interval" -v s0="$s0" -v s1="$s1" \
    -v sim="$(cat "$work/sim-stats.json")" 'BEGIN {
  secs = t1 - t0; cpu = (c1 - c0) / hz; rounds = r1 - r0
  expected = n * secs / iv
  match(sim, /"round_s": [0-9.]+/); round_s = substr(sim, RSTART + 11, RLENGTH - 11)
  match(sim, /"floor_s": [0-9.]+/); floor_s = substr(sim, RSTART + 11, RLENGTH - 11)
  match(sim, /"worst_over_pct": [-0-9.]+/); worst = substr(sim, RSTART + 18, RLENGTH - 18)
  printf "N=%d window_s=%.1f host_cpu_per_s=%.4f cpu_ms_per_round=%.3f rss_mb=%.1f ", n, secs, cpu / secs, (rounds ? 1000 * cpu / rounds : 0), rss / 1024
  printf "rounds=%d expected=%.0f round_s=%s floor_s=%s over_pct=%.2f worst_pct=%s sqlite_bytes_per_round=%.0f sim_cpu_per_s=%.3f\n", rounds, expected, round_s, floor_s, (floor_s > 0 ? 100 * (round_s / floor_s - 1) : 0), worst, (rounds ? (d1 - d0) / rounds : 0), (s1 - s0) / hz / secs
}'
