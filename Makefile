# Everything on a fresh Debian machine, as root: `make demo`, `make test`.
PACKAGES := cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev \
            openjdk-17-jdk-headless junit5 libasound2-dev alsa-utils \
            clang libclang-rt-14-dev
JOBS ?= 2

.PHONY: all deps build test test-drivers test-tsan test-asan fuzz demo bench clean windows windows-deps test-windows

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default -j 8

# The serial suite against the kernel's real drivers (a 16550 and an FTDI
# USB adapter) in a QEMU guest; tests/drivers/run.sh, as root.
test-drivers: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target driver_tests instrument-sim
	tests/drivers/run.sh build

# The worker and exchange tests under ThreadSanitizer.
test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS) --target serial_tests platform_tests
	ctest --preset tsan -j 8 -L 'serial|platform'

# The whole C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer.
# (The JUnit entries load the shipped libraries into a VM: not run here.)
test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS) --target serial_tests platform_tests systools_tests
	ctest --preset asan -j 8 -L 'serial|platform|systools'

# The libFuzzer targets (clang), each run FUZZ_SECONDS from its seeds in
# fuzz/corpus/; fails on any crash or broken contract.
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake -S fuzz -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

demo: build
	tools/demo.sh

# The benchmarks beside plain C baselines, and their table (BENCHMARKS.md);
# a few minutes, not part of `make test`. strace counts the system calls.
BENCH_PACKAGES := strace
bench: deps
	@dpkg -s $(BENCH_PACKAGES) >/dev/null 2>&1 || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(BENCH_PACKAGES); }
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

clean:
	rm -rf build build-tsan build-asan build-fuzz build-windows
