# Quick start: `make demo` and `make test`. Both set up the machine, configure and build first.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all bootstrap configure build test asan asan-build tsan demo package fuzz fuzz-run bench format clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) -- --no-print-directory

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Every test again, built with AddressSanitizer (leaks included) and UndefinedBehaviorSanitizer in
# a tree of its own; any report fails the run (scripts/sanitized-ctest).
# Left out of the sanitized run: the Python binding's tests (an instrumented library cannot be
# loaded into an uninstrumented interpreter), the package and install checks, the pipeline
# benchmark's smoke run and the long process-level walks and kill runs, which repeat the same code
# paths many times over (their single-fault cases, full disk and read-only folders do run).
asan-build: bootstrap
	@cmake -S . -B $(BUILD_DIR)-asan $(CMAKE_FLAGS) -DQENDIX_SANITIZE=address,undefined >/dev/null
	@cmake --build $(BUILD_DIR)-asan -j $(JOBS) -- --no-print-directory

ASAN_SKIP = ^(Python\.|Install\.|Bench\.|CrashCampaign\.|AutoKillTest\.|Kinds/FaultWalkTest\.)
asan: asan-build
	@scripts/sanitized-ctest $(BUILD_DIR)-asan -j $(JOBS) -E '$(ASAN_SKIP)'

# The tests where threads meet, under ThreadSanitizer in a tree of its own: job control, events
# raised on two threads, the security-client session, the download window, Cancel during a
# transfer.
TSAN_TARGETS = component_tests crypto_tests platform_tests net_tests xml_rpc_client_tests steps_tests \
	integration_tests asas_tests
TSAN_TESTS = ^(Jobs|Events|ReadJob|CApi|StepRunTest|Sender|AsasSessionTest|StartAsasTest|MessageQueue|ManualResetEvent|ConnectionPoint|JobLock|ClientTest|ClientStartTest|ComponentAsasTest|DownloadWindowTest|XmlRpcClientTest)\.
tsan: bootstrap
	@cmake -S . -B $(BUILD_DIR)-tsan $(CMAKE_FLAGS) -DQENDIX_SANITIZE=thread >/dev/null
	@cmake --build $(BUILD_DIR)-tsan -j $(JOBS) --target $(TSAN_TARGETS) -- --no-print-directory
	@scripts/sanitized-ctest $(BUILD_DIR)-tsan -j $(JOBS) -R '$(TSAN_TESTS)'

demo: build
	@scripts/demo $(BUILD_DIR)

# The Debian package (CPack): files under /usr, dependencies from dpkg-shlibdeps; written to
# $(BUILD_DIR)/qendix_<version>_<arch>.deb.
package: build
	@cd $(BUILD_DIR) && cpack -G DEB

# Fuzz targets need clang and libFuzzer; they are built in a tree of their own. With FUZZ_SECONDS
# set, `make fuzz` also runs each target for that long (fuzz/run); `make fuzz-run` does so for 60 s.
fuzz: bootstrap
	@CC=clang CXX=clang++ cmake -S . -B $(BUILD_DIR)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQENDIX_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(BUILD_DIR)-fuzz -j $(JOBS) --target fuzzers
	@if [ -n "$(FUZZ_SECONDS)" ]; then fuzz/run $(BUILD_DIR)-fuzz $(FUZZ_SECONDS); fi

fuzz-run:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(or $(FUZZ_SECONDS),60)

# The Google Benchmark programs, then the end-to-end pipeline benchmark (bench/pipeline): its
# table goes to the terminal, its figures to $(BUILD_DIR)/bench/pipeline.json.
bench: build
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target benchmarks
	@for b in $(BUILD_DIR)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done
	@python3 bench/pipeline/pipeline_bench.py --build $(BUILD_DIR) \
	  --json $(BUILD_DIR)/bench/pipeline.json

format:
	@find src include asas cli tools tests bench fuzz -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD_DIR) $(BUILD_DIR)-fuzz $(BUILD_DIR)-asan $(BUILD_DIR)-tsan
