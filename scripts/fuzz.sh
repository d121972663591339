#!/usr/bin/env bash
# fuzz.sh BUILD_DIR SECONDS: replays each target's committed corpus, then
# fuzzes it for SECONDS under ASan and UBSan. New inputs go to a scratch
# folder, never into the committed corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/$1
secs=$2
shopt -s nullglob
status=0
for bin in "$dir"/fuzz/*_fuzz; do
  name=$(basename "$bin")
  corpus=$root/fuzz/corpus/$name
  scratch=$root/fuzz-work/$name
  mkdir -p "$scratch"
  seeds=()
  [ -d "$corpus" ] && seeds+=("$corpus")
  echo "-- $name: ${secs}s"
  if ! "$bin" -max_total_time="$secs" -print_final_stats=0 "$scratch" "${seeds[@]}" \
        >"$scratch.log" 2>&1; then
    echo "FAIL: $name (log below)"; tail -50 "$scratch.log"; status=1
  fi
done
exit $status
