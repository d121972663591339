#!/usr/bin/env bash
# The main job: bootstrap, build, then run the host runner.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh"
"$root/scripts/build.sh" build -DQ318B_TESTS=OFF -DQ318B_BENCH=OFF >/dev/null
exec "$root/build/tools/q318b-host" "$@"
