#!/usr/bin/env bash
# Fails unless every name a DLL exports is a JNI entry point of its class
# (Java_<class>_<method>, JNI_OnLoad, JNI_OnUnload), and each has some.
set -euo pipefail
status=0
for dll in "$@"; do
  names=$(x86_64-w64-mingw32-objdump -p "$dll" |
          awk '/Ordinal\/Name Pointer/ {table=1; next} table && /^[ \t]*\[/ {print $NF} table && /^$/ {table=0}')
  count=$(printf '%s\n' "$names" | grep -c . || true)
  stray=$(printf '%s\n' "$names" | grep -v -E '^(Java_com_tavrix_tools_[A-Za-z0-9_]+|JNI_OnLoad|JNI_OnUnload)$' || true)
  echo "$(basename "$dll"): $count exports"
  printf '%s\n' "$names" | sed 's/^/  /'
  if [ "$count" -eq 0 ]; then echo "  no exports" >&2; status=1; fi
  if [ -n "$stray" ]; then echo "  exports beyond the natives:" >&2; printf '    %s\n' $stray >&2; status=1; fi
done
exit $status
