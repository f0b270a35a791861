# On Debian 12 or newer: `make demo`, `make test`, `make install`.
# The Debian packages each purpose needs; each target installs its own.
BUILD_PACKAGES := cmake g++ make openjdk-17-jdk-headless libasound2-dev
TEST_PACKAGES := libgtest-dev junit5
FUZZ_PACKAGES := clang libclang-rt-14-dev
FORMAT_PACKAGES := clang-format git
BENCH_PACKAGES := libbenchmark-dev strace
JOBS ?= 2
PREFIX ?= /usr

.PHONY: all deps deps-build deps-test deps-fuzz deps-bench build libs install \
        test test-drivers test-tsan test-asan fuzz demo bench clean windows windows-deps test-windows \
        format format-check

all: build

# Installs the missing packages of $(1): as root directly, otherwise through
# sudo; without sudo it says what to install and stops.
define install_packages
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || \
	    missing="$$missing $$p"; done; \
	[ -z "$$missing" ] && exit 0; \
	if [ "$$(id -u)" = 0 ]; then as_root=""; \
	elif command -v sudo >/dev/null 2>&1; then as_root=sudo; \
	else echo "Missing Debian packages:$$missing"; \
	     echo "Install them as root, then run make again: apt-get install$$missing"; exit 1; fi; \
	echo "installing:$$missing"; \
	$$as_root apt-get update -qq && \
	$$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing || \
	{ echo "Could not install:$$missing. As root: apt-get install$$missing"; exit 1; }
endef

# What building the libraries needs, and what building and running the tests
# adds (the default build has both).
deps: deps-build deps-test
deps-build:
	$(call install_packages,$(BUILD_PACKAGES))
deps-test:
	$(call install_packages,$(TEST_PACKAGES))
deps-fuzz:
	$(call install_packages,$(FUZZ_PACKAGES))
deps-bench:
	$(call install_packages,$(BENCH_PACKAGES))

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

# The libraries, the console and instrument-sim alone, without the tests.
libs: deps-build
	cmake -S . -B build-libs -DBUILD_TESTING=OFF -DTAVRIX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build-libs -j $(JOBS)

# Into $(DESTDIR)$(PREFIX): the natives in lib/<multiarch>/jni (on the
# default library path of Debian's OpenJDK when PREFIX is /usr), the jars in
# share/java and share/tavrix-natives, instrument-sim in bin. Through sudo
# when the folder is not this user's to write.
install: libs
	@as_root=""; \
	if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" != 0 ] && [ ! -w "$(PREFIX)" ]; then \
	  command -v sudo >/dev/null 2>&1 || \
	    { echo "$(PREFIX) is root's: run make install as root, or stage it with DESTDIR=..."; exit 1; }; \
	  as_root=sudo; fi; \
	$$as_root env DESTDIR="$(DESTDIR)" cmake --install build-libs --prefix "$(PREFIX)"

test: build
	ctest --preset default

# The serial suite against the kernel's real drivers (a 16550 and an FTDI
# USB adapter) in a QEMU guest; tests/drivers/run.sh, as root.
test-drivers: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target driver_tests instrument-sim tavrix_console
	tests/drivers/run.sh build

# The worker and exchange tests under ThreadSanitizer.
test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS) --target serial_tests platform_tests
	ctest --preset tsan -L 'serial|platform'

# The whole C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer.
# (The JUnit entries load the shipped libraries into a VM: not run here.)
test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS) --target serial_tests platform_tests systools_tests
	ctest --preset asan -L 'serial|platform|systools'

# The libFuzzer targets (clang), each run FUZZ_SECONDS from its seeds in
# fuzz/corpus/; fails on any crash or broken contract.
FUZZ_SECONDS ?= 60
fuzz: deps-build deps-fuzz
	cmake -S fuzz -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

demo: build
	tools/demo.sh

# The benchmarks beside plain C baselines, and their table (BENCHMARKS.md);
# a few minutes, not part of `make test`. strace counts the system calls.
bench: deps deps-bench
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target bench-programs
	bench/run.sh build

# The soak for longer than its bounded run in `make test`: SOAK_EXCHANGES
# exchanges (20000) unless SOAK_SECONDS (3600) pass first; SOAK_SEED and
# SOAK_CHAOS as SoakTest.java tells. The figures go to the console.
.PHONY: soak
soak: build
	SOAK_EXCHANGES=$${SOAK_EXCHANGES:-20000} SOAK_SECONDS=$${SOAK_SECONDS:-3600} \
	  cmake --build --preset default --target soak

# Desktop Windows (x86-64): both DLLs cross-built with mingw-w64 into
# build-windows/bin, and their tests run under Wine against instrument-sim
# (built for Linux) on pseudo-terminals.
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix wine64 googletest cmake make openjdk-17-jdk-headless
windows-deps:
	@missing=""; for p in $(WINDOWS_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

windows: windows-deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)

test-windows: windows build
	tests/windows/run.sh build-windows build/bin/instrument-sim

# The C++ sources in the house style of .clang-format: `format` rewrites
# them, `format-check` fails on any line that differs.
FORMATTED = git ls-files -z '*.cpp' '*.h'
format:
	$(call install_packages,$(FORMAT_PACKAGES))
	$(FORMATTED) | xargs -0 clang-format -i
format-check:
	$(call install_packages,$(FORMAT_PACKAGES))
	$(FORMATTED) | xargs -0 clang-format --dry-run -Werror

clean:
	rm -rf build build-libs build-tsan build-asan build-fuzz build-windows
