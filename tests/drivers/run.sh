#!/usr/bin/env bash
# Runs the real-driver tests in a QEMU guest: a 16550 on ttyS1 and an FTDI
# adapter on ttyUSB0, joined to each other by a socket, so that whatever one
# port sends the other receives; the socket carries no break, so a second
# 16550 on ttyS2 takes one every 200 ms for the whole run: its socket speaks
# telnet, and QEMU turns a telnet break (IAC BRK) arriving there into a break
# on the line. The host's files reach the guest read-only
# over 9p; the guest runs in-guest.sh from them and writes its results and
# exit status into the results folder. The console is kept as a log.
# no_timer_check: under software emulation on a busy host the kernel may
# find the timer too slow at boot and panic.
# usage: run.sh BUILD_DIR [GUEST_SCRIPT]   (as root)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
script=$(realpath "${2:-$here/in-guest.sh}")
work=$build/drivers
timeout_s=${DRIVERS_TIMEOUT:-240}

need=""
for p in qemu-system-x86 busybox-static cpio; do
  dpkg -s "$p" >/dev/null 2>&1 || need="$need $p"
done
if [ -n "$need" ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need
fi

# The guest kernel: Debian's, unpacked here, never installed on the host.
mkdir -p "$work"
if ! ls "$work"/kernel/boot/vmlinuz-* >/dev/null 2>&1; then
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/{print $2; exit}')
  if [ -z "$package" ]; then
    apt-get update -qq
    package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-/{print $2; exit}')
  fi
  rm -rf "$work/download" && mkdir -p "$work/download"
  chown _apt "$work/download" 2>/dev/null || true  # apt fetches as _apt
  (cd "$work/download" && apt-get download -qq "$package")
  dpkg-deb -x "$work"/download/*.deb "$work/kernel"
  rm -rf "$work/download"
fi
kernel=$(ls "$work"/kernel/boot/vmlinuz-* | head -n 1)
modules=$(ls -d "$work"/kernel/lib/modules/* | head -n 1)
"$here/make-initramfs.sh" "$modules" "$work/initramfs.cpio.gz"

# Connects to the break port's socket once QEMU listens there and sends a
# telnet break (IAC BRK) every 200 ms until QEMU ends; what QEMU sends back
# (its telnet options, anything the guest writes) is read and dropped. A unix
# socket in the build folder, so that no TCP port has to be found free; Perl,
# which every Debian system has, as bash has no unix sockets.
send_breaks() {
  perl -MSocket -e '
    my ($path, $qemu) = @ARGV;
    socket(my $s, AF_UNIX, SOCK_STREAM, 0) or die "break socket: $!\n";
    until (connect($s, pack_sockaddr_un($path))) {
      kill(0, $qemu) or exit 0;
      select(undef, undef, undef, 0.05);
    }
    $SIG{PIPE} = "IGNORE";
    while (defined syswrite($s, "\xff\xf3")) {
      select(undef, undef, undef, 0.2);
      1 while defined recv($s, my $dropped, 4096, MSG_DONTWAIT) && length $dropped;
    }' "$1" "$2"
}

rm -rf "$work/results" && mkdir -p "$work/results"
log=$work/console.log
sock=$work/join.sock
break_sock=$work/break.sock
rm -f "$sock" "$break_sock"
start=$(date +%s)
set +e
timeout --kill-after=10 "$timeout_s" qemu-system-x86_64 \
  -display none -no-reboot -m 1G -smp 1 -nic none \
  -kernel "$kernel" -initrd "$work/initramfs.cpio.gz" \
  -append "console=ttyS0 quiet panic=-1 no_timer_check drivers_script=$script drivers_build=$build" \
  -serial "file:$log" \
  -chardev "socket,id=join0,path=$sock,server=on,wait=off" \
  -chardev "socket,id=join1,path=$sock" \
  -serial chardev:join0 \
  -chardev "socket,id=brk,path=$break_sock,server=on,wait=off,telnet=on" \
  -serial chardev:brk \
  -device qemu-xhci -device usb-serial,chardev=join1,serial=TVX0001 \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$work/results,mount_tag=results,security_model=none" \
  </dev/null &
qemu=$!
send_breaks "$break_sock" "$qemu" &
breaks=$!
trap 'kill "$breaks" "$qemu" 2>/dev/null || true' EXIT
wait "$qemu"
qemu_status=$?
kill "$breaks" 2>/dev/null
wait "$breaks" 2>/dev/null
trap - EXIT
set -e
echo "guest ran $(( $(date +%s) - start )) s; console log: $log"
status=$(cat "$work/results/status" 2>/dev/null || echo "none")
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  echo "the guest did not finish within $timeout_s s (DRIVERS_TIMEOUT) and was killed"
fi
if [ "$qemu_status" -ne 0 ] || [ "$status" != 0 ]; then
  echo "real-driver tests failed (qemu $qemu_status, guest status $status); the console:"
  cat "$log"
  exit 1
fi
grep -E '^\[ *(PASSED|FAILED|SKIPPED) *\]|tests? ran|^JVM exchange' "$log" || true
echo "real-driver tests passed"
