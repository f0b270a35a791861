#!/bin/sh
# Runs in the guest, chrooted into the host's files, from the build folder:
# the real-driver suite once per port, each time with the other port as the
# far end; the XML results go to the host through /tmp/results.
status=0
sim=$(pwd)/bin/instrument-sim
tests=$(pwd)/bin/driver_tests

echo "== 16550 on /dev/ttyS1"
DRIVER_PORT=/dev/ttyS1 DRIVER_FAR_PORT=/dev/ttyUSB0 DRIVER_KIND=uart DRIVER_SIM=$sim \
  timeout 100 "$tests" --gtest_filter='-Unplug.*' --gtest_output=xml:/tmp/results/uart.xml || status=1

echo "== FTDI adapter on /dev/ttyUSB0"
DRIVER_PORT=/dev/ttyUSB0 DRIVER_FAR_PORT=/dev/ttyS1 DRIVER_KIND=ftdi DRIVER_SIM=$sim \
  DRIVER_USB=/sys/bus/usb/devices/1-1 \
  timeout 100 "$tests" --gtest_output=xml:/tmp/results/ftdi.xml || status=1

exit $status
