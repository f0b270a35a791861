#!/bin/sh
# Runs in the guest, chrooted into the host's files, from the build folder:
# the real-driver suite once per port, each time with the other port as the
# far end, and one exchange from a JVM through the console; the XML results
# go to the host through /tmp/results.
status=0
build=$(pwd)
sim=$build/bin/instrument-sim
tests=$build/bin/driver_tests
export WINCE_LOCK_DIR=/tmp/locks
mkdir -p "$WINCE_LOCK_DIR"

echo "== 16550 on /dev/ttyS1"
# ttyS2 takes a break every 200 ms from run.sh: the line between the joined
# ports carries none.
DRIVER_PORT=/dev/ttyS1 DRIVER_FAR_PORT=/dev/ttyUSB0 DRIVER_KIND=uart DRIVER_SIM=$sim \
  DRIVER_BREAK_PORT=/dev/ttyS2 \
  timeout 80 "$tests" --gtest_color=no --gtest_filter='-Unplug.*' --gtest_output=xml:/tmp/results/uart.xml || status=1

# EnvRS and RecRS from Java: the console sends one QTVv2 command over the
# adapter to instrument-sim on the 16550 and fails unless the reply came.
echo "== JVM: one exchange over /dev/ttyUSB0"
alive=/tmp/jvm-sim.alive
rm -f "$alive" && mkfifo "$alive"
"$sim" --family QTVv2 --device /dev/ttyS1 <"$alive" >/tmp/jvm-sim.out &
exec 9>"$alive"
for i in $(seq 50); do [ -s /tmp/jvm-sim.out ] && break; sleep 0.1; done
if [ -s /tmp/jvm-sim.out ] && timeout 45 java -Djava.library.path="$build/lib" -jar "$build/java/tavrix-console.jar" \
     --port /dev/ttyUSB0 --family QTVv2 --send "80 F0 10 01 A0 21"; then
  echo "JVM exchange: passed"
else
  echo "JVM exchange: FAILED"
  status=1
fi
exec 9>&-
wait

echo "== FTDI adapter on /dev/ttyUSB0"
DRIVER_PORT=/dev/ttyUSB0 DRIVER_FAR_PORT=/dev/ttyS1 DRIVER_KIND=ftdi DRIVER_SIM=$sim \
  DRIVER_USB=/sys/bus/usb/devices/1-1 \
  timeout 80 "$tests" --gtest_color=no --gtest_output=xml:/tmp/results/ftdi.xml || status=1

exit $status
