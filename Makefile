# Wraps the README's commands. `make run` installs, builds and runs the demo; `make test` runs every test;
# `make install PREFIX=DIR` installs krcan.
SHELL := /bin/bash
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PACKAGES := $(shell grep -v '^\s*\#' .ci/packages)
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
# What tools/demo.sh runs: the tool, the virtual bus and the simulated device.
DEMO_TARGETS := krcan kr_hub kr_simdev

.PHONY: all deps build release release-tree test run install clean

all: build

deps:
	@if ! dpkg -s $(PACKAGES) >/dev/null 2>&1; then \
	  $(SUDO) apt-get update && $(SUDO) DEBIAN_FRONTEND=noninteractive apt-get install -y $(PACKAGES); \
	fi

# The test tree: AddressSanitizer and UndefinedBehaviorSanitizer.
build:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKR_SANITIZE=ON $(CMAKE_EXTRA)
	cmake --build build -j $(JOBS)

# The release tree (-O2), for running, installing and benchmarks.
release-tree:
	cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g -DNDEBUG" $(CMAKE_EXTRA)

release: release-tree
	cmake --build build-release -j $(JOBS)

test: deps build
	cd build && ctest --output-on-failure -j $(JOBS) $(CTEST_EXTRA)

run: deps release-tree
	cmake --build build-release -j $(JOBS) --target $(DEMO_TARGETS)
	bash tools/demo.sh build-release

install: deps release-tree
	cmake --build build-release -j $(JOBS) --target krcan
	cmake --install build-release --prefix "$(PREFIX)"

clean:
	rm -rf build build-release
