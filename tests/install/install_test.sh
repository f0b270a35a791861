#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR, as `make install` does, and
# runs the installed console from there as a user would: `java -jar` without
# -Djava.library.path, against the installed instrument-sim.
#
#   install_test.sh BUILD_DIR VERSION JNI_DIR
#
# The VM must find the libraries on its default library path. As root, the
# installed JNI folder is mounted over /usr/<JNI_DIR> in a mount namespace of
# the test's own, so the VM meets them where an installation puts them.
# Elsewhere LD_LIBRARY_PATH stands in for that folder, and the test checks
# that /usr/<JNI_DIR> is on the VM's default path.
set -euo pipefail

build=$1
version=$2
jni_dir=$3
unset LD_LIBRARY_PATH JAVA_TOOL_OPTIONS _JAVA_OPTIONS JDK_JAVA_OPTIONS

work=$(mktemp -d)
cleanup() {
  exec 9>&- 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "install test: $*" >&2
  exit 1
}

dest=$work/root
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null

libs=$dest/usr/$jni_dir
console=$dest/usr/share/tavrix-natives/tavrix-console.jar
for file in "$libs/libserialQTV.so" "$libs/libMorvane.so" \
            "$dest/usr/share/java/tavrix-natives-$version.jar" "$console"; do
  [ -f "$file" ] || fail "$file was not installed"
done
[ "$(readlink "$dest/usr/share/java/tavrix-natives.jar")" = "tavrix-natives-$version.jar" ] ||
  fail "share/java/tavrix-natives.jar does not lead to the versioned jar"
[ -x "$dest/usr/bin/instrument-sim" ] || fail "bin/instrument-sim was not installed"
if readelf -d "$libs/libserialQTV.so" | grep -qE 'RPATH|RUNPATH'; then
  fail "the installed library still names a folder of the build"
fi

shown=$(java -jar "$console" --version)
[ "$shown" = "tavrix-natives $version" ] || fail "--version shows \"$shown\""

# An instrument from the installed simulator; it ends when the pipe closes.
mkfifo "$work/alive"
"$dest/usr/bin/instrument-sim" --family VX9 <"$work/alive" >"$work/tty" &
exec 9>"$work/alive"
for _ in $(seq 50); do
  [ -s "$work/tty" ] && break
  sleep 0.1
done
terminal=$(head -n 1 "$work/tty")
[ -n "$terminal" ] || fail "the installed instrument-sim did not start"
export WINCE_DEVICES="COM1:=$terminal" WINCE_LOCK_DIR=$work

system_jni=/usr/$jni_dir
if [ "$(id -u)" = 0 ] && [ -d "$system_jni" ] && unshare -m true 2>/dev/null; then
  echo "libraries mounted over $system_jni in a private mount namespace"
  output=$(unshare -m --propagation private \
             sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh "$libs" "$system_jni" \
             java -jar "$console" --port COM1: --family VX9 2>&1) || true
else
  default_path=$(java -XshowSettings:properties -version 2>&1 | sed -n '/java.library.path/,/java.runtime/p')
  grep -qx "[[:space:]]*\(java.library.path = \)\?$system_jni" <<<"$default_path" ||
    fail "$system_jni is not on the VM's default library path: $default_path"
  echo "libraries through LD_LIBRARY_PATH, standing in for $system_jni"
  output=$(LD_LIBRARY_PATH=$libs java -jar "$console" --port COM1: --family VX9 2>&1) || true
fi
echo "$output"
grep -q "^all exchanges succeeded$" <<<"$output" || fail "the installed console did not complete its exchange"
