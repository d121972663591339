#!/usr/bin/env bash
# The main job: bootstrap, build, then run the host runner against the
# built-in controller simulator (examples/site.json). Without arguments it
# shows eight rounds in which a scripted mains failure raises alarms and
# clears them again; any arguments replace those defaults.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"
"$root/scripts/build.sh" build-run -DQ318B_TESTS=OFF -DQ318B_BENCH=OFF >/dev/null
if [ $# -eq 0 ]; then
  set -- --site "$root/examples/site.json" --rounds 8 \
    --db "$root/build-run/q318b-host.db" --diag "$root/build-run/plugin-diag.log"
fi
exec "$root/build-run/tools/q318b-host" "$@"
