# Wraps the README's commands. `make run` installs, builds and runs krcan; `make test` runs every test.
SHELL := /bin/bash
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PACKAGES := $(shell grep -v '^\s*\#' .ci/packages)
JOBS ?= $(shell nproc)

.PHONY: all deps build release test run demo clean

all: build

deps:
	@if ! dpkg -s $(PACKAGES) >/dev/null 2>&1; then \
	  $(SUDO) apt-get update && $(SUDO) DEBIAN_FRONTEND=noninteractive apt-get install -y $(PACKAGES); \
	fi

# The test tree: AddressSanitizer and UndefinedBehaviorSanitizer.
build:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKR_SANITIZE=ON $(CMAKE_EXTRA)
	cmake --build build -j $(JOBS)

# The release tree (-O2), for running and benchmarks.
release:
	cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g -DNDEBUG" $(CMAKE_EXTRA)
	cmake --build build-release -j $(JOBS)

test: deps build
	cd build && ctest --output-on-failure -j $(JOBS) $(CTEST_EXTRA)

run: deps release
	bash tools/demo.sh build-release

clean:
	rm -rf build build-release
