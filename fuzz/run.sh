#!/usr/bin/env bash
# Runs every fuzz target of a build for a bounded time, starting from its
# committed seeds (fuzz/corpus/<target>), and fails on the first crash,
# contract breach, leak or hang. New inputs go to <build>/corpus/<target>,
# never into the committed seeds; a crashing input is kept in
# <build>/artifacts/.
#   fuzz/run.sh <build dir> [seconds per target, default $FUZZ_SECONDS or 60]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: fuzz/run.sh <build dir> [seconds]}
seconds=${2:-${FUZZ_SECONDS:-60}}
mkdir -p "$build/artifacts" "$build/logs"

# A value from libFuzzer's final statistics in a log.
stat() { sed -n "s/^stat::$1: *//p" "$2" | tail -1; }

printf '%-18s %12s %9s %14s %6s\n' target executions exec/s corpus seconds
failed=0
while read -r target; do
  [ -n "$target" ] || continue
  work="$build/corpus/$target"
  log="$build/logs/$target.log"
  mkdir -p "$work"
  start=$(date +%s)
  if "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$target-" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    status=ok
  else
    status=CRASH
    failed=1
  fi
  corpus=$(sed -n 's/.*DONE .* corp: \([0-9]*\)\/.*/\1/p' "$log" | tail -1)
  printf '%-18s %12s %9s %14s %6s %s\n' "$target" "$(stat number_of_executed_units "$log")" \
    "$(stat average_exec_per_sec "$log")" "${corpus:-?} inputs" "$(($(date +%s) - start))" "$status"
  if [ "$status" != ok ]; then
    echo "--- $log (tail)"
    tail -40 "$log"
  fi
done <"$build/fuzz-targets.txt"
exit $failed
