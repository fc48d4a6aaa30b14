# Front door of the build: set up, build, demo, test, benchmark.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
OCTAVE = octave-cli --norc --no-history --quiet --no-window-system

.PHONY: all setup build demo test bench clean

all: build

setup:
	scripts/setup-deps

build: setup
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(OCTAVE) --eval "addpath('$(BUILD)/octave'); addpath('demo'); zeb_demo"

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	scripts/run-benchmarks $(BUILD)

clean:
	rm -rf $(BUILD)
