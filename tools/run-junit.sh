#!/usr/bin/env bash
# Runs one JUnit console launch (the command line given) and fails when the
# VM reported a JNI misuse under -Xcheck:jni (or one of its signal handlers
# replaced), even if every test passed.
set -o pipefail

output=$(mktemp) || exit 1
trap 'rm -f "$output"' EXIT

"$@" 2>&1 | tee "$output"
status=$?

if grep -E -q 'WARNING in native method|FATAL ERROR in native method|WARNING: JNI local refs|handler modified' "$output"; then
  echo "run-junit: the VM reported a JNI misuse (see above)" >&2
  exit 1
fi
exit "$status"
