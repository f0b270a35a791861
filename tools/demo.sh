#!/usr/bin/env bash
# The demo: a simulated instrument of each family on its own pseudo-terminal,
# mapped to COM1: (QTVv1), COM2: (QTVv2), COM3: (KELT3B) and COM4: (VX9), and
# the console talking to each. Arguments go to the console (--list, --help).
# BUILD_DIR selects the build tree (default: build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
sim=$build/bin/instrument-sim
jar=$build/java/tavrix-console.jar
for needed in "$sim" "$jar" "$build/lib/libserialQTV.so"; do
  if [ ! -e "$needed" ]; then
    echo "demo: $needed is missing; build first (make build)" >&2
    exit 1
  fi
done

work=$(mktemp -d)
pids=()
cleanup() {
  exec 9>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The simulators read this pipe and end when it closes, so they go with this
# script even when it is killed before its trap can run.
mkfifo "$work/alive"
families=(QTVv1 QTVv2 KELT3B VX9)
for family in "${families[@]}"; do
  "$sim" --family "$family" --log "$work/$family.log" <"$work/alive" >"$work/$family.path" &
  pids+=("$!")
done
exec 9>"$work/alive"

devices=()
for i in "${!families[@]}"; do
  path=""
  for _ in $(seq 50); do
    path=$(head -n 1 "$work/${families[$i]}.path" 2>/dev/null || true)
    [ -n "$path" ] && break
    sleep 0.1
  done
  if [ -z "$path" ]; then
    echo "demo: the ${families[$i]} simulator did not start" >&2
    exit 1
  fi
  echo "${families[$i]} instrument on $path as COM$((i + 1)):"
  devices+=("COM$((i + 1)):=$path")
done
WINCE_DEVICES=$(IFS=,; echo "${devices[*]}")
export WINCE_DEVICES
echo

# The console does not hold the pipe: the simulators go when this script goes.
if java -Djava.library.path="$build/lib" -jar "$jar" "$@" 9>&-; then
  status=0
else
  status=$?
fi
exit "$status"
