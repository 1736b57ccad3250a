# Wraps the README's commands. `make run` installs, builds and runs the demo; `make test` runs every test;
# `make demo-bus` keeps a demo bus up for the README's examples; `make install PREFIX=DIR` installs krcan
# and `make uninstall` removes what every install from this tree put in place.
SHELL := /bin/bash
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PACKAGES := $(shell grep -v '^\s*\#' .ci/packages)
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
# What tools/demo.sh runs: the tool, the virtual bus and the simulated device.
DEMO_TARGETS := krcan kr_hub kr_simdev

.PHONY: all deps build release release-tree test run demo-bus examples install uninstall clean

all: build

deps:
	@if ! dpkg -s $(PACKAGES) >/dev/null 2>&1; then \
	  $(SUDO) apt-get update && $(SUDO) DEBIAN_FRONTEND=noninteractive apt-get install -y $(PACKAGES); \
	fi

# The test tree: AddressSanitizer and UndefinedBehaviorSanitizer.
build:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKR_SANITIZE=ON $(CMAKE_EXTRA)
	cmake --build build -j $(JOBS)

# The release tree (-O2), for running, installing and benchmarks: no tests, so it needs no GoogleTest
# (the virtual bus and the simulated devices are built without them).
release-tree:
	cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g -DNDEBUG" \
	  -DKR_TESTS=OFF $(CMAKE_EXTRA)

release: release-tree
	cmake --build build-release -j $(JOBS)

test: deps build
	cd build && ctest --output-on-failure -j $(JOBS) $(CTEST_EXTRA)

run: deps release-tree
	cmake --build build-release -j $(JOBS) --target $(DEMO_TARGETS)
	bash tools/demo.sh build-release

# The example packages, built from the files in examples/ (krcan reads packages but does not write them).
examples:
	python3 examples/make_packages.py

# The demo's bus and devices for the README's examples, until Ctrl-C.
demo-bus: deps release-tree examples
	cmake --build build-release -j $(JOBS) --target $(DEMO_TARGETS)
	bash tools/demo.sh build-release --keep

install: deps release-tree
	cmake --build build-release -j $(JOBS) --target krcan
	bash tools/make_install.sh install build-release "$(PREFIX)"

uninstall:
	bash tools/make_install.sh uninstall build-release

clean:
	rm -rf build build-release
