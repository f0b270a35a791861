# Everything on a fresh Debian machine, as root: `make demo`, `make test`.
PACKAGES := cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev \
            openjdk-17-jdk-headless junit5 libasound2-dev alsa-utils
JOBS ?= 2

.PHONY: all deps build test test-tsan demo clean

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

# The worker and exchange tests under ThreadSanitizer.
test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS) --target serial_tests platform_tests
	ctest --preset tsan -j 8 -L 'serial|platform'

demo: build
	tools/demo.sh

clean:
	rm -rf build build-tsan
