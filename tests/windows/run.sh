#!/usr/bin/env bash
# Runs the Windows build's tests under Wine against instrument-sim on
# pseudo-terminals: a fresh prefix, the instruments linked as its COM
# ports, then ctest on the Windows build's entries.
#   tests/windows/run.sh [WINDOWS_BUILD_DIR] [INSTRUMENT_SIM] [COMMAND...]
# With a COMMAND, that runs in place of ctest (for instance one test
# program under wine64 with a --gtest_filter).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build-windows}
sim=${2:-$root/build/bin/instrument-sim}
shift $(($# < 2 ? $# : 2))

work=$(mktemp -d /tmp/wine-tests.XXXXXX)
logs=$work/instruments
mkdir -p "$logs"
# Never the default prefix under the home folder, and a new one each run.
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
export PATH=/usr/lib/wine:$PATH
sims=()
# The instruments end when their input closes: this script holds it open.
mkfifo "$work/input"
exec 9<>"$work/input"

finish() {
  exec 9>&-
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

ports=(COM1 COM2 COM3 COM4 COM5 COM6 COM12)
mkdir -p "$work/ports"

# The prefix's COM ports are links in $work/ports, made once the
# instruments run (Wine itself would map COM1 to the host's /dev/ttyS0);
# Wine lists them in HARDWARE\DEVICEMAP\SERIALCOMM. COM8 is registered
# but leads nowhere.
{
  echo 'REGEDIT4'
  echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
  for port in "${ports[@]}" COM8; do echo "\"$port\"=\"$work/ports/${port,,}\""; done
} >"$work/ports.reg"

# Wine's background services inherit the output of the process that starts
# them and keep it open: every Wine start outside ctest writes to a file.
wine64 wineboot -i >"$work/wineboot.log" 2>&1
wine64 regedit /S "$work/ports.reg" >"$work/regedit.log" 2>&1
# wineserver would take the first pseudo-terminal it meets as its
# controlling terminal: it is not running while the instruments start.
wineserver -k || true
wineserver -w

# start_instrument COMn FAMILY [OPTIONS...]: the prefix's COMn is the
# simulator's pseudo-terminal; its log is $logs/instrument-COMn.log.
start_instrument() {
  local port=$1 family=$2
  shift 2
  "$sim" --family "$family" --log "$logs/instrument-$port.log" "$@" >"$work/$port.path" <"$work/input" &
  sims+=($!)
  for _ in $(seq 100); do [ -s "$work/$port.path" ] && break; sleep 0.05; done
  ln -sf "$(head -n1 "$work/$port.path")" "$work/ports/${port,,}"
  ln -sfn "$work/ports/${port,,}" "$WINEPREFIX/dosdevices/${port,,}"
}

start_instrument COM1 QTVv1
start_instrument COM2 QTVv2
start_instrument COM3 KELT3B
start_instrument COM4 VX9
start_instrument COM5 VX9 --silent
start_instrument COM6 KELT3B --chunks 3 --gap 20 --garbage 5
start_instrument COM12 VX9

export SIM_LOG_DIR="Z:$logs"
wine64 cmd /c exit >"$work/services.log" 2>&1
if [ $# -gt 0 ]; then
  "$@"
else
  ctest --test-dir "$build" -L windows --timeout 180 --output-on-failure
fi
