#!/usr/bin/env bash
# The plug-in's boundary: soname without a lib prefix, only the system's
# standard runtime libraries as NEEDED, and get_providers as the only
# function of ours that it exports.
set -u
so=$1
fail=0

soname=$(readelf -d "$so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "q318b_419.so" ]; then
  echo "FAIL: SONAME is '$soname', expected 'q318b_419.so'"; fail=1
fi

needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in $needed; do
  case "$lib" in
    libc.so.*|libm.so.*|libgcc_s.so.*|libstdc++.so.*) ;;
    *) echo "FAIL: unexpected NEEDED $lib"; fail=1 ;;
  esac
done

# Defined dynamic function symbols; the C++ runtime's own (weak template
# instantiations) would show up here too if the version script did not hide
# them, so any function but get_providers is a failure.
funcs=$(nm -D --defined-only "$so" | awk '$2 ~ /^[TtWwi]$/ {print $3}')
if [ "$funcs" != "get_providers" ]; then
  echo "FAIL: exported functions are:"; echo "$funcs"; fail=1
fi

[ $fail -eq 0 ] && echo "ok: SONAME $soname; NEEDED $(echo $needed); exports $funcs"
exit $fail
