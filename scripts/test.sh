#!/usr/bin/env bash
# The whole test suite: bootstrap, then
#   1. plain build, every test (the plug-in's ELF boundary included);
#   2. the Debian package: built, checked by lintian, installed, run,
#      removed and purged (scripts/package-test.sh, as root);
#   3. ASan+UBSan build, every test again;
#   4. clang libFuzzer build: each fuzz target replays its corpus, then
#      explores for a few seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/bootstrap.sh"

echo "== plain build"
scripts/build.sh build -DQ318B_TESTS=ON -DQ318B_BENCH=ON
ctest --test-dir build --output-on-failure -j"$(nproc)"

echo "== Debian package"
if [ "$(id -u)" -eq 0 ]; then scripts/package-test.sh; else sudo scripts/package-test.sh; fi

echo "== sanitizer build (ASan + UBSan)"
scripts/build.sh build-san -DQ318B_SANITIZE=ON -DQ318B_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-san --output-on-failure -j"$(nproc)"

if command -v clang++ >/dev/null; then
  echo "== fuzz build"
  scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DQ318B_SANITIZE=ON \
    -DQ318B_FUZZ=ON -DQ318B_TESTS=OFF -DQ318B_BENCH=OFF
  scripts/fuzz.sh build-fuzz "${FUZZ_SECONDS:-5}"
fi
echo "all test stages passed"
