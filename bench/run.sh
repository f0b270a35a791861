#!/usr/bin/env bash
# Every benchmark of the serial library beside its plain C baselines, in one
# run on the same pseudo-terminals, then the table (BENCHMARKS.md explains it).
#
#   bench/run.sh BUILD_DIR [RESULTS_DIR]
#
# Counts can be lowered for a quick look: BENCH_ROUNDS (5), BENCH_P1_COUNT
# (120 per client and round), BENCH_P2_COUNT (80), BENCH_IDLE_SECONDS (3 per
# round, three rounds).
set -euo pipefail

build=$(cd "$1" && pwd)
out=${2:-$build/bench-results}
rounds=${BENCH_ROUNDS:-5}
p1_count=${BENCH_P1_COUNT:-120}
p2_count=${BENCH_P2_COUNT:-80}
idle_seconds=${BENCH_IDLE_SECONDS:-3}
open_count=100
bin=$build/bin
java_cp=$build/java/tavrix-bench.jar:$build/java/tavrix-natives.jar

rm -rf "$out"
mkdir -p "$out"
results=$out/results.txt

started=()
stop_started() {
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap stop_started EXIT

# start_sim NAME OPTIONS...: an instrument on a fresh pseudo-terminal that
# answers a whole QTVv2 command at once; its terminal lands in $sim_tty.
start_sim() {
  local name=$1
  shift
  "$bin/instrument-sim" --family QTVv2 --eager "$@" >"$out/$name.tty" 2>"$out/$name.err" </dev/null &
  started+=($!)
  for _ in $(seq 100); do
    [ -s "$out/$name.tty" ] && break
    sleep 0.05
  done
  sim_tty=$(head -1 "$out/$name.tty")
}

java_bench() {
  WINCE_DEVICES="COM1:=$sim_tty" java -Djava.library.path="$build/lib" -cp "$java_cp" \
    com.tavrix.bench.ExchangeBench "$@"
}

# run_client CLIENT FIGURE COUNT [STAMPS]
run_client() {
  local client=$1 figure=$2 count=$3 stamps=${4:-}
  local samples=$out/$figure-$client.ns
  case $client in
    blocking | polling | twothread | twothread-wake)
      "$bin/bench-baseline" "$client" "$sim_tty" "$count" 5 "$samples" $stamps ;;
    native) "$bin/bench-native" exchange "$sim_tty" "$count" 5 "$samples" "$results" $stamps ;;
    java) java_bench exchange COM1: "$count" 40 "$samples" $stamps ;;
  esac
}

# run_rounds FIGURE COUNT STAMPS CLIENT...: rounds, each client once per
# round, in an order that turns each round.
run_rounds() {
  local figure=$1 count=$2 stamps=$3
  shift 3
  local clients=("$@")
  local n=${#clients[@]}
  for round in $(seq "$rounds"); do
    echo "  $figure round $round/$rounds" >&2
    for i in $(seq 0 $((n - 1))); do
      run_client "${clients[$(((i + round) % n))]}" "$figure" "$count" $stamps
    done
  done
}

echo "P1: exchanges with the reply sent at once" >&2
start_sim p1
run_rounds p1 "$p1_count" "" blocking polling native java twothread twothread-wake

echo "P6: openPort beyond its 100 ms pause" >&2
"$bin/bench-native" open "$sim_tty" "$open_count" "$out/p6-native.ns"
java_bench open COM1: "$open_count" "$out/p6-java.ns"

echo "P2: detection latency, reply 50 ms (+ 0 to 2 ms) after the command" >&2
start_sim p2 --delay 50 --delay-jitter 2000 --stamp "$out/p2.stamps"
run_rounds p2 "$p2_count" "$out/p2.stamps" blocking polling native java twothread
"$bin/bench-native" handoff 1000 "$out/p2-handoff.ns"

# Idle cost: each program alone, and one library port beside the baseline's
# idle loop in one process, so that both meet the same load and scheduler.
echo "P3: idle cost" >&2
for _ in 1 2 3; do
  "$bin/bench-baseline" idle "$idle_seconds" "$results"
  "$bin/bench-native" idle 1 "$idle_seconds" "$results"
  "$bin/bench-native" idle 4 "$idle_seconds" "$results"
  "$bin/bench-native" idle-pair "$idle_seconds" "$results"
done

# strace_idle NAME COMMAND...: system calls of an idle program over 3 s.
strace_idle() {
  local name=$1
  shift
  "$@" >/dev/null &
  local pid=$!
  sleep 1.5
  timeout -s INT 3 strace -f -c -p "$pid" -o "$out/strace-$name.txt" 2>/dev/null || true
  wait "$pid" || true
}
if command -v strace >/dev/null; then
  strace_idle library "$bin/bench-native" hold 1 6
  strace_idle baseline "$bin/bench-baseline" idle 6 /dev/null
else
  echo "strace is missing: no system call counts" >&2
fi

echo "P5: recognisers" >&2
"$bin/bench-recognizers" --benchmark_format=csv --benchmark_min_time=0.1 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true >"$out/recognizers.csv" 2>/dev/null

"$bin/bench-report" "$out" | tee "$out/table.md"
