#!/usr/bin/env bash
# Configures and builds one build tree: build.sh DIR [cmake options...]
set -euo pipefail
dir=$1; shift
root=$(cd "$(dirname "$0")/.." && pwd)
# A relative DIR is inside the checkout; an absolute one is taken as it is.
case $dir in
  /*) out=$dir ;;
  *) out=$root/$dir ;;
esac
cmake -S "$root" -B "$out" -G Ninja "$@" >/dev/null
cmake --build "$out" -j"$(nproc)"
