# Thin wrapper over CMake. `make demo` and `make test` install the Debian
# packages they need first (scripts/install-deps.sh, a no-op when all are there).
JOBS  ?= $(shell nproc)
CMAKE ?= cmake
CTEST_FLAGS ?= --output-on-failure --no-tests=error -j $(JOBS)

.PHONY: all deps build demo docs package test test-normal test-asan test-tsan test-fuzz fuzz bench bench-all clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	$(CMAKE) -S . -B build -DKORVANE_WERROR=ON
	$(CMAKE) --build build -j $(JOBS)

demo: build
	./build/tools/korvane-demo

# The HTML API reference from the header comments: build/docs/html/index.html.
docs: deps
	./scripts/install-deps.sh doxygen
	$(CMAKE) -S . -B build -DKORVANE_WERROR=ON
	$(CMAKE) --build build --target docs

# Debian packages libkorvane0, libkorvane-dev and korvane-tools in build/packages/.
package: build
	cd build && cpack -G DEB -B packages

test: test-normal test-asan test-tsan test-fuzz

test-normal: deps
	$(CMAKE) -S . -B build -DKORVANE_WERROR=ON
	$(CMAKE) --build build -j $(JOBS)
	ctest --test-dir build $(CTEST_FLAGS)

# AddressSanitizer + UndefinedBehaviorSanitizer over the whole suite.
test-asan: deps
	$(CMAKE) -S . -B build-asan -DKORVANE_SANITIZE=address -DKORVANE_TOOLS=OFF -DKORVANE_EXAMPLES=OFF
	$(CMAKE) --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan $(CTEST_FLAGS)

# ThreadSanitizer over the layers that run several threads at once
# (the TSan build builds only those test binaries).
test-tsan: deps
	$(CMAKE) -S . -B build-tsan -DKORVANE_SANITIZE=thread -DKORVANE_TOOLS=OFF -DKORVANE_EXAMPLES=OFF
	$(CMAKE) --build build-tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir build-tsan $(CTEST_FLAGS)

# Every fuzz target (clang, libFuzzer, ASan+UBSan) for FUZZ_SECONDS each,
# starting from its seed corpus in fuzz/corpus/. New inputs go to
# build-fuzz/found/<target>, never into the committed corpus; a crash, a
# broken property, a leak or an input running over FUZZ_TIMEOUT seconds
# leaves build-fuzz/crashes/<target>-* and fails the run once all targets ran.
FUZZ_SECONDS ?= 60
FUZZ_TIMEOUT ?= 25
FUZZ_TARGETS := $(shell cat fuzz/targets.txt)
FUZZ_CONFIG = -DKORVANE_FUZZ=ON -DKORVANE_TESTS=OFF -DKORVANE_TOOLS=OFF -DKORVANE_EXAMPLES=OFF

fuzz:
	./scripts/install-deps.sh clang libclang-rt-14-dev
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz $(FUZZ_CONFIG)
	$(CMAKE) --build build-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@mkdir -p build-fuzz/crashes; failed=""; \
	for target in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/found/$$target; \
	  echo "fuzz: $$target for $(FUZZ_SECONDS) s (log: build-fuzz/fuzz-$$target.log)"; \
	  if ./build-fuzz/fuzz/fuzz_$$target -max_total_time=$(FUZZ_SECONDS) -timeout=$(FUZZ_TIMEOUT) \
	       -print_final_stats=1 -artifact_prefix=build-fuzz/crashes/$$target- \
	       build-fuzz/found/$$target fuzz/corpus/$$target >build-fuzz/fuzz-$$target.log 2>&1; then \
	    grep -E "stat::number_of_executed_units|stat::new_units_added" build-fuzz/fuzz-$$target.log | tr '\n' ' '; echo; \
	  else \
	    tail -n 40 build-fuzz/fuzz-$$target.log; failed="$$failed $$target"; \
	  fi; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz: failed:$$failed (inputs in build-fuzz/crashes/)"; exit 1; fi

# The same for a few seconds per target, so that CI keeps the targets alive.
test-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=5

# korvane against raw sockets, ZeroMQ, nng, raw liblz4/libsodium calls and
# OpenSSL in one table (ZeroMQ and nng are benchmark-only dependencies). bench-all adds the per-layer benchmarks.
BENCH_CONFIG = -DCMAKE_BUILD_TYPE=Release -DKORVANE_BENCH=ON -DKORVANE_TESTS=OFF \
               -DKORVANE_TOOLS=ON -DKORVANE_EXAMPLES=OFF

bench: deps
	./scripts/install-deps.sh libzmq3-dev libnng-dev
	$(CMAKE) -S . -B build-bench $(BENCH_CONFIG)
	$(CMAKE) --build build-bench -j $(JOBS)
	./build-bench/bench/korvane-bench

bench-all: bench
	./build-bench/bench/korvane-bench-pipeline
	./build-bench/bench/korvane-bench-multiplexed
	./build-bench/bench/korvane-bench-udt

# A bounded load test under AddressSanitizer, not part of `make test`: 64
# connections echo through compression and encryption for SOAK_SECONDS and
# the run fails on a lost or corrupt message, growing memory or a leak.
SOAK_SECONDS ?= 60

.PHONY: soak memcheck
soak: deps
	$(CMAKE) -S . -B build-soak -DKORVANE_SANITIZE=address -DKORVANE_TOOLS=OFF -DKORVANE_EXAMPLES=OFF
	$(CMAKE) --build build-soak -j $(JOBS) --target korvane-soak
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 SOAK_SECONDS=$(SOAK_SECONDS) \
	  ./build-soak/tests/korvane-soak

# The whole suite once under valgrind's memcheck, not part of `make test`
# (much slower than `make test`: valgrind runs each test many times slower,
# and each may take MEMCHECK_TIMEOUT seconds). Fails on any memory error or
# definite leak.
MEMCHECK_TIMEOUT ?= 900

memcheck: deps
	./scripts/install-deps.sh valgrind
	$(CMAKE) -S . -B build-memcheck -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_WERROR=ON \
	  -DKORVANE_TOOLS=OFF -DKORVANE_EXAMPLES=OFF -DKORVANE_TEST_TIMEOUT=$(MEMCHECK_TIMEOUT)
	$(CMAKE) --build build-memcheck -j $(JOBS)
	./scripts/memcheck.sh build-memcheck $(CTEST_FLAGS)

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-corpus build-soak build-memcheck
