# kelvarine: the two set-up commands of the README.
#   make run   installs what is missing, builds, and runs the proxy in the
#              foreground on etc/kelvarine.xml and etc/section.xml
#   make test  installs what is missing, builds with AddressSanitizer and
#              UndefinedBehaviorSanitizer, and runs every test; then the same
#              tests again under ThreadSanitizer (make test-tsan)
#   make fuzz  builds the libFuzzer targets with clang and runs each for
#              FUZZ_SECONDS; make fuzz-smoke runs each on its seeds, once by
#              default (FUZZ_SMOKE_SECONDS=N fuzzes N s more); make test ends with it
#   make test-tsan  builds with ThreadSanitizer in build-tsan and runs the unit
#              and integration tests there; a data race fails the test.
# The integration tests run INTEGRATION_WORKERS at a time (pytest-xdist):
# most of their time is spent waiting on peers and clocks, so even two cores
# run several at once.  Each test starts its own proxy and peers on free
# ports in a temporary directory of its own.

JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
BUILD     ?= build
ASAN_DIR  ?= build-asan
LISTEN    ?= 127.0.0.1:8080
FUZZ_DIR  ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 0
INTEGRATION_WORKERS ?= 3

.PHONY: all deps build run test unit integration clean

all: build

deps:
	@sh scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARINE_TESTS=OFF >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# -a comes before -l: the categorisation feed is named after the access log
# known when -l is read, so it is written next to it under var/log.
run: build
	mkdir -p var/log var/cache
	./$(BUILD)/kelvarine -f -c etc/kelvarine.xml -s etc/section.xml -L $(LISTEN) \
		-a var/log/access.log -l var/log/kelvarine.log -e var/log/extended.log \
		-r var/log/performance.log

test: deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DKELVARINE_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_DIR) -j $(JOBS)
	$(MAKE) --no-print-directory unit integration fuzz-smoke test-tsan

unit:
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 300

integration:
	KV_BINARY=$(CURDIR)/$(ASAN_DIR)/kelvarine \
		/usr/bin/python3 -m pytest -q -p no:cacheprovider -n $(INTEGRATION_WORKERS) tests/integration; \
		rc=$$?; if [ $$rc -eq 5 ]; then echo "integration: no tests collected"; exit 0; fi; exit $$rc

clean:
	rm -rf $(BUILD) $(ASAN_DIR) $(FUZZ_DIR) $(BENCH_DIR) $(TSAN_DIR)

# ThreadSanitizer: a build of its own, since it cannot share a process with
# AddressSanitizer.  A report does not stop the process, so one run shows
# every race it meets; the process then ends with status 66.
TSAN_DIR ?= build-tsan
TSAN_RUN_OPTIONS ?= halt_on_error=0:exitcode=66:history_size=4:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp
# gcc 12's ThreadSanitizer refuses to start ("unexpected memory mapping")
# where the kernel randomises mmap over more bits than its shadow layout
# allows.  Everything of the TSan run, the build's test discovery included,
# runs with randomisation off where setarch may turn it off.
TSAN_WRAP = $(shell setarch $$(uname -m) -R true >/dev/null 2>&1 && echo setarch $$(uname -m) -R)

.PHONY: test-tsan tsan-build unit-tsan integration-tsan
tsan-build: deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DKELVARINE_TSAN=ON >/dev/null
	$(TSAN_WRAP) cmake --build $(TSAN_DIR) -j $(JOBS)

test-tsan: tsan-build
	$(MAKE) --no-print-directory unit-tsan integration-tsan

unit-tsan:
	cd $(TSAN_DIR) && TSAN_OPTIONS=$(TSAN_RUN_OPTIONS) \
		$(TSAN_WRAP) ctest --output-on-failure -j $(JOBS) --timeout 300

integration-tsan:
	KV_BINARY=$(CURDIR)/$(TSAN_DIR)/kelvarine TSAN_OPTIONS=$(TSAN_RUN_OPTIONS) \
		$(TSAN_WRAP) /usr/bin/python3 -m pytest -q -p no:cacheprovider -n $(INTEGRATION_WORKERS) tests/integration; \
		rc=$$?; if [ $$rc -eq 5 ]; then echo "integration: no tests collected"; exit 0; fi; exit $$rc

.PHONY: fuzz fuzz-smoke fuzz-build

# The fuzz targets need clang's libFuzzer; they live in their own build
# directory so the gcc builds are untouched.
fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=Debug \
		-DKELVARINE_TESTS=OFF -DKELVARINE_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers

fuzz: fuzz-build
	bash tests/fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(JOBS)

fuzz-smoke: fuzz-build
	bash tests/fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SMOKE_SECONDS) $(JOBS)

# make bench   optimised build without sanitizers, then scripts/bench.py:
#              every scenario against nginx directly and through kelvarine
#              on 127.0.0.1 (installs wrk when missing), and the HTML
#              stream parser's throughput on a large page.  A measurement,
#              not a test: CI does not run it.
BENCH_DIR  ?= build-bench
BENCH_ARGS ?=

.PHONY: bench
bench: deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DKELVARINE_TESTS=OFF >/dev/null
	cmake --build $(BENCH_DIR) -j $(JOBS) --target kelvarine bench_hstream
	/usr/bin/python3 scripts/bench.py --binary $(BENCH_DIR)/kelvarine $(BENCH_ARGS)
