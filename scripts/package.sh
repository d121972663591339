#!/usr/bin/env bash
# Builds the Debian package: package.sh [BUILD_DIR] (default build-deb/).
# The programs are built for the installed layout (their default plug-in
# and site file are the installed ones) with Debian's hardening flags,
# then cpack makes q318b_VERSION_ARCH.deb in BUILD_DIR and prints its path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-deb}

# dpkg-buildflags: Debian's compiler and linker flags (fortify, stack
# protector, relro, bindnow); CMake reads CXXFLAGS and LDFLAGS, not CPPFLAGS.
cd "$root"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DQ318B_INSTALL_LAYOUT=ON \
  -DQ318B_TESTS=OFF -DQ318B_BENCH=OFF -DQ318B_FUZZ=OFF -DQ318B_SANITIZE=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/q318b_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/q318b_*.deb
