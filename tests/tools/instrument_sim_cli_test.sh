#!/usr/bin/env bash
# instrument-sim's command line as a Unix user meets it: --help, refusals
# with the program's name and exit code 2, family names in any case.
#
#   instrument_sim_cli_test.sh PATH_TO_INSTRUMENT_SIM
set -uo pipefail

sim=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# run ARGS...: status, stdout and stderr of one run; stdin is a closed pipe,
# so a simulator that starts ends at once.
run() {
  : | "$sim" "$@" >"$work/out" 2>"$work/err"
  status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

# refused EXPECTED_FIRST_LINE ARGS...: exit 2, the reason on stderr, nothing on stdout.
refused() {
  local expected=$1
  shift
  run "$@"
  [ "$status" = 2 ] || fail "$*: exit $status, expected 2"
  [ -z "$out" ] || fail "$*: printed on stdout: $out"
  [ "$(head -n 1 <<<"$err")" = "$expected" ] || fail "$*: stderr \"$err\", expected \"$expected\""
  [ "$(sed -n 2p <<<"$err")" = "Try 'instrument-sim --help'." ] || fail "$*: no hint at --help: $err"
}

run --help
[ "$status" = 0 ] || fail "--help: exit $status"
[ -z "$err" ] || fail "--help: stderr $err"
grep -q '^usage: instrument-sim \[--family QTVv1|QTVv2|KELT3B|VX9\]' <<<"$out" || fail "--help: usage: $out"
grep -q '(QTVv2 unless --family' <<<"$out" || fail "--help does not state the default family"
run -h
[ "$status" = 0 ] || fail "-h: exit $status"

refused "instrument-sim: unknown option '--frobnicate'" --frobnicate
refused "instrument-sim: unknown option '-x'" -x
refused "instrument-sim: option '--delay' needs a value" --delay
refused "instrument-sim: --delay: not a number: soon" --delay soon
refused "instrument-sim: --chunks: not a number: -1" --chunks -1
refused "instrument-sim: --chaos-rate: not a number: lots" --chaos 7 --chaos-rate lots
refused "instrument-sim: --family: unknown family (QTVv1, QTVv2, KELT3B, VX9): QTVv3" --family QTVv3
refused "instrument-sim: unexpected argument 'VX9'" VX9

for family in qtvv1 QTVV2 kelt3b Vx9; do
  run --family "$family" --delay 5
  [ "$status" = 0 ] || fail "--family $family: exit $status: $err"
  grep -q '^/dev/pts/[0-9]*$' <<<"$out" || fail "--family $family: no terminal printed: $out"
done

run --log "$work/missing/traffic.log"
[ "$status" = 1 ] || fail "--log into a missing folder: exit $status"
[ "$err" = "instrument-sim: $work/missing/traffic.log: No such file or directory" ] ||
  fail "--log into a missing folder: $err"

[ "$failures" = 0 ] || exit 1
echo "instrument-sim command line: all checks passed"
