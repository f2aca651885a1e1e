# Two entry points for a fresh clone:
#   make test   installs what is missing, builds with warnings as errors, runs the whole suite
#   make run    installs what is missing, builds, records 10 s headless and prints the summary
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test run bench format clean

all: build

deps:
	scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DQUILLORA_WERROR=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

run: build
	scripts/record-demo.sh $(BUILD)

bench: build
	scripts/run-benchmarks.sh $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
