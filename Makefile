# make test: install what is missing, build the plugin SDK tarball (its test unpacks it), then build
# and run every test for the host, the address and thread sanitizer builds and the 32-bit ARM target
# (under qemu-arm), and each fuzz target briefly.
PRESETS := host asan tsan armhf
JOBS ?= $(shell nproc)
# How long `make demo` lets the core run, in seconds.
SECONDS ?= 15
DEMO_DIR := build/demo

.PHONY: all deps test demo demo-tsan soak package format clean \
	$(addprefix build-,$(PRESETS)) $(addprefix test-,$(PRESETS))

all: build-host

deps:
	bash scripts/install-deps.sh

$(addprefix build-,$(PRESETS)): build-%:
	cmake --preset $*
	cmake --build --preset $* -j $(JOBS)

$(addprefix test-,$(PRESETS)): test-%: build-%
	ctest --preset $* -j $(JOBS)

test: deps
	$(MAKE) --no-print-directory sdk $(addprefix test-,$(PRESETS)) test-fuzz

# A staged camera tree with the sample plugins and a core.xml, run under the supervisor stand-in.
# Built in build/demo-build with only what the run needs: no tests, no GoogleTest.
demo: deps
	cmake --preset demo >/dev/null
	cmake --build --preset demo -j $(JOBS)
	rm -rf $(DEMO_DIR)
	for c in runtime samples demo; do \
		cmake --install build/demo-build --prefix $(DEMO_DIR) --component $$c >/dev/null || exit 1; done
	build/demo-build/tools/korvad-sim --dir $(DEMO_DIR)/korva --seconds $(SECONDS) \
		--send 11:stats --send-after 5 --send-every 5

# The same demonstration with the ThreadSanitizer build, 60 seconds unless SECONDS says else; any
# report stops the core, and korvad-sim exits with its code.
demo-tsan: SECONDS = 60
demo-tsan: deps build-tsan
	rm -rf build/demo-tsan
	cmake --install build/tsan --prefix build/demo-tsan --component runtime >/dev/null
	cmake --install build/tsan --prefix build/demo-tsan --component samples >/dev/null
	cmake --install build/tsan --prefix build/demo-tsan --component demo >/dev/null
	TSAN_OPTIONS="halt_on_error=1 exitcode=66" build/tsan/tools/korvad-sim \
		--dir build/demo-tsan/korva --seconds $(SECONDS) --send 11:stats --send-after 5 --send-every 5

# The long stress run and core.xml kill loop on the host build: SECONDS of load (10 minutes unless
# given) and KILLS kills of a core rewriting core.xml; the figures go to build/soak-report.txt.
soak: SECONDS = 600
KILLS ?= 300
soak: deps build-host
	rm -f build/soak-report.txt
	KV_SOAK_SECONDS=$(SECONDS) KV_KILL_ITERATIONS=$(KILLS) KV_STRESS_REPORT=$(CURDIR)/build/soak-report.txt \
		build/host/tests/stress/stress_test
	@cat build/soak-report.txt

# The camera package korva-<version>-armhf.tar.gz, in build/armhf.
package: deps build-armhf
	cd build/armhf && cpack
	@ls build/armhf/korva-*-armhf.tar.gz build/armhf/korva-*-armhf-debug.tar.gz

# Fuzz targets (clang and libFuzzer, host only; preset fuzz). `make fuzz` runs each for FUZZ_SECONDS,
# growing build/fuzz-corpus; `make fuzz-merge` adds what that found to fuzz/corpus; `make test-fuzz`
# runs each for 20 seconds on a copy of fuzz/corpus and fails on any crash.
FUZZ_SECONDS ?= 300
.PHONY: build-fuzz fuzz fuzz-merge test-fuzz
build-fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
fuzz: deps build-fuzz
	bash fuzz/run.sh fuzz $(FUZZ_SECONDS)
fuzz-merge: build-fuzz
	bash fuzz/run.sh merge
test-fuzz: deps build-fuzz
	bash fuzz/run.sh check 20

# The standalone plugin SDK build/korva-sdk-<version>.tar.gz, without the core or its tests: the
# sdk component of a host and an armhf SDK-only build (presets sdk-host, sdk-armhf) in one tree.
# The host tests unpack it, so test-host builds it first.
SDK_NAME := korva-sdk-$(shell sed -n 's/^project.korva VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
SDK_STAGE := build/sdk-stage
.PHONY: sdk
sdk: deps
	rm -rf $(SDK_STAGE) build/$(SDK_NAME).tar.gz
	cmake --preset sdk-host >/dev/null
	cmake --build --preset sdk-host -j $(JOBS)
	cmake --preset sdk-armhf >/dev/null
	cmake --build --preset sdk-armhf -j $(JOBS)
	cmake --install build/sdk-host --prefix $(SDK_STAGE)/$(SDK_NAME) --component sdk >/dev/null
	cmake --install build/sdk-armhf --prefix $(SDK_STAGE)/$(SDK_NAME) --component sdk >/dev/null
	tar -C $(SDK_STAGE) --owner=0 --group=0 --numeric-owner -czf build/$(SDK_NAME).tar.gz $(SDK_NAME)
	@ls build/$(SDK_NAME).tar.gz
test-host: sdk

# The event-path benchmark: the real core with a producer and K consumers against ZeroMQ and memcpy,
# medians of 5 runs; prints the table with its goals, writes bench/results/latest.csv and plots it
# (bench/results/throughput.png, gnuplot); then the intake's microbenchmarks. Preset bench
# (Release, no tests); BENCH_ARGS go to korva-bench (--runs N, --scale F, --only PAYLOAD).
# After the table, the scenarios of docs/performance.md (latency, idle, startup, search; BENCH_ARGS
# --scenarios LIST, --skip-table, --idle-seconds S, --core PATH), each with its CSV in bench/results/.
.PHONY: bench
bench:
	bash scripts/install-deps.sh bench
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	build/bench/bench/korva-bench $(BENCH_ARGS)
	gnuplot bench/plot.gp && echo "plot: bench/results/throughput.png"
	build/bench/bench/korva-microbench --benchmark_min_time=0.2

# The soak of korva-bench: SOAK_SECONDS (an hour unless given) of paced traffic, 1 kHz, 1 KiB, K=4,
# the core's USS sampled every 10 s; first, last and largest USS and the growth. Not in `make bench`.
SOAK_SECONDS ?= 3600
.PHONY: bench-soak
bench-soak:
	bash scripts/install-deps.sh bench
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	build/bench/bench/korva-bench --soak $(SOAK_SECONDS)

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
