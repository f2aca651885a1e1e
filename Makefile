# Two entry points for a fresh clone:
#   make test   installs what is missing, builds with warnings as errors, runs the whole suite
#   make run    installs what is missing, builds, records 10 s headless and prints the summary
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test run bench package format clean

all: build

deps:
	scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DQUILLORA_WERROR=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same suite under AddressSanitizer + UndefinedBehaviorSanitizer, with each fuzz target replaying its
# stored corpus, and the engine's threads under ThreadSanitizer, each in its own build folder. The
# AddressSanitizer build uses clang, which instruments for both sanitizers in half GCC's time and builds
# the fuzz targets. Both precompile the common headers (QUILLORA_PCH). Warnings are checked by `make test`:
# instrumented code makes compilers report spurious ones. Leak checking is on; the suppression files name
# only third-party frames.
.PHONY: test-asan test-tsan
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/sanitizers/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The preloaded module keeps programs started with QProcess from derailing the runtime (sanitizers/).
TSAN_ENV := TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/sanitizers/tsan.supp \
	LD_PRELOAD=$(CURDIR)/build-tsan/libquillora_tsan_vfork.so
# What the engine's threads run through (recorder, block ring, doorbell, writer and log queues, track writer,
# the headless program) and the media layer under the writer; the tests labelled engine and media.
TSAN_TARGETS := quillora_engine_tests quillora_core_tests quillora_trackwriter_tests \
	quillora_media_tests quillora_tsan_vfork

test-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQUILLORA_SANITIZE="address;undefined" \
		-DQUILLORA_BUILD_BENCH=OFF -DQUILLORA_BUILD_FUZZERS=ON -DQUILLORA_FUZZ_COVERAGE=OFF -DQUILLORA_PCH=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && env $(ASAN_ENV) ctest --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DQUILLORA_SANITIZE=thread -DQUILLORA_BUILD_BENCH=OFF -DQUILLORA_PCH=ON
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_TARGETS)
	cd build-tsan && env $(TSAN_ENV) ctest --output-on-failure -j $(JOBS) -L 'engine|media'

# Each fuzz target replays its corpus once in a fuzzing build of its own (build-fuzz; `make test-asan` does
# the same replay without it); scripts/run-fuzzers.sh with a time per target fuzzes for real.
.PHONY: fuzz-regress
fuzz-regress: deps
	JOBS=$(JOBS) scripts/run-fuzzers.sh --regress build-fuzz

# Only the program it runs, not the tests and benchmarks.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target quillora
	scripts/record-demo.sh $(BUILD)

bench: build
	scripts/run-benchmarks.sh $(BUILD)

# The .deb (quillora_<version>_<arch>.deb in $(BUILD)), from the same build folder as `make test`; only
# what gets installed is built.
package: configure
	cmake --build $(BUILD) -j $(JOBS) --target quillora_installed
	cd $(BUILD) && cpack

# A release: the .deb and the portable archive signed with the release key, and the feed's item for them
# (scripts/release.sh says more). KEY is the private key, kept outside the repository.
#   make release KEY=~/.config/quillora-release/ed25519.pem BASE_URL=https://updates.tandrevel.com/quillora/ [FEED=appcast.xml]
.PHONY: release
release: deps
	scripts/release.sh "$(KEY)" "$(BASE_URL)" "$(BUILD)" "$(FEED)"

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
