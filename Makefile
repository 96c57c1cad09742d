# Top-level entry points. `make run` and `make test` install what is missing
# first: `make run` only what building and running need, `make test` the
# test tools as well.
BUILD_DIR ?= build
ASAN_DIR  ?= build-asan
TSAN_DIR  ?= build-tsan
PREFIX    ?= /usr/local
JOBS      ?= $(shell nproc)
CMAKE_FLAGS ?=

# Compiler cache keyed on paths relative to the checkout, so that every
# checkout and build directory on a machine shares it.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true

.PHONY: all deps deps-test build run test test-asan test-tsan bench install clean fuzz

all: build

deps:
	@scripts/install-deps

deps-test:
	@scripts/install-deps --test

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@scripts/run-demo $(BUILD_DIR)

# Configured again: a build made by `make run` did not have GoogleTest yet.
test: deps-test
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

# new_delete_type_mismatch is off for log4cxx 1.0: its rolling appender frees
# its policy with the wrong size inside the library, at every shutdown.
test-asan: deps-test
	cmake -S . -B $(ASAN_DIR) -G Ninja -DRS_SANITIZE=ON -DRS_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:new_delete_type_mismatch=0 UBSAN_OPTIONS=print_stacktrace=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
		ctest --output-on-failure -j $(JOBS) --timeout 900

# ThreadSanitizer: the suites whose work runs on several threads (driver,
# channels, proxies, work queue, repository caches, client library) and the
# e2e tests, whose daemon is the one of this build. See docs/sanitizers.md.
TSAN_LABELS := ^(driver|zephcomm|core|repository|client|e2e)$$
test-tsan: deps-test
	cmake -S . -B $(TSAN_DIR) -G Ninja -DRS_TSAN=ON -DRS_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_DIR) -j $(JOBS)
	cd $(TSAN_DIR) && TSAN_OPTIONS=second_deadlock_stack=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 900 -L '$(TSAN_LABELS)'

# Every fuzz target for FUZZ_SECONDS (default 600), clang build in build-fuzz.
fuzz: deps-test
	fuzz/run-fuzzers.sh --build-dir build-fuzz --jobs $(JOBS)

# rsbench and what it starts (the daemon, the deploy command, the plug-ins);
# the tests are not needed.
bench:
	@scripts/install-deps --bench
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target rsbench
	@scripts/run-bench $(BUILD_DIR)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR)
