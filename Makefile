# Front door of the build: set up, build, demo, test, benchmark.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
OCTAVE = octave-cli --norc --no-history --quiet --no-window-system

.PHONY: all setup build demo test bench fuzz dist clean

all: build

setup:
	scripts/setup-deps

build: setup
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

# The demo needs only the Octave plug-ins and the packages that build them.
demo:
	scripts/setup-deps demo
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS) --target octave_plugins
	$(OCTAVE) --eval "addpath('$(BUILD)/octave'); addpath('demo'); zeb_demo"

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	scripts/run-benchmarks $(BUILD)

# The release archives in $(BUILD)/dist: the Octave package, the MATLAB
# archive of every platform's deliverables, SHA256SUMS.
dist: build
	cmake --build $(BUILD) --target dist

# Each module's libFuzzer program for FUZZ_SECONDS (default 600) seconds.
fuzz: build
	scripts/run-fuzz $(BUILD)

clean:
	rm -rf $(BUILD)
