# Top-level commands. Each runs the set-up it needs first (packages,
# llama.cpp source, CMake configuration) and is quick when nothing changed.
#   make build            build everything into build/
#   make test             build, then run every test (CTest)
#   make run              build, then start brisvanesrv on run-home/ (127.0.0.1:4092)
#   make bench            build the benchmarks into build/bin/
#   SAN=address | SAN=thread   the same in build-address/ or build-thread/ with sanitizers
#   make fuzz             build the libFuzzer targets (clang) into build-fuzz/bin/
#   make fuzz-check       build them, then run each from its seed corpus for
#                         FUZZ_RUNS runs (a regression check)

SAN ?=
JOBS ?= $(shell nproc)
TEST_JOBS ?= $(JOBS)
ifeq ($(SAN),)
BUILD_DIR ?= build
else
BUILD_DIR ?= build-$(SAN)
endif
HOME_DIR ?= run-home

FUZZ_RUNS ?= 20000

.PHONY: all build test run bench fuzz fuzz-check clean

all: build

build:
	@bash scripts/configure.sh $(BUILD_DIR) $(SAN)
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Sanitizer runs read the suppressions for libraries we do not build
# (ggml's thread pool, the desktop toolkit).
ifeq ($(SAN),thread)
export TSAN_OPTIONS ?= suppressions=$(CURDIR)/tests/sanitizers/tsan.supp
endif
ifeq ($(SAN),address)
export LSAN_OPTIONS ?= suppressions=$(CURDIR)/tests/sanitizers/lsan.supp
endif

# Test servers run side by side: OpenMP workers that spin while idle would
# starve the other servers' threads, so they sleep instead.
test: export OMP_WAIT_POLICY ?= passive
# The set-up also installs the packages only tests use (ffmpeg).
test: export BRISVANE_SETUP_TESTS = 1
test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure --no-tests=error -j $(TEST_JOBS) $(CTEST_ARGS)

run: build
	@bash scripts/run_server.sh $(BUILD_DIR) $(HOME_DIR)

bench: build
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target $$(cmake --build $(BUILD_DIR) --target help | sed -n 's/^\(bench_[A-Za-z0-9_]*\):.*/\1/p')

fuzz:
	@bash scripts/configure.sh build-fuzz fuzz
	@cmake --build build-fuzz -j $(JOBS) --target fuzz_targets

fuzz-check: fuzz
	@bash scripts/fuzz_check.sh build-fuzz $(FUZZ_RUNS)

clean:
	rm -rf build build-address build-thread build-fuzz
