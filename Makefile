# Two entry points: `make demo` sets up and runs the assistant, `make test` sets up and runs every test.
# CI also runs `make test-sanitizers` (the suite under ASan+UBSan and under TSan) and `make fuzz-smoke`.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
# Sanitizer builds: each in its own folder, optimised a little so the suite stays quick, with
# debug information for readable reports.
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
SANITIZE_BUILD_TYPE ?= RelWithDebInfo
# The libFuzzer build and how long each target runs in the smoke run.
FUZZ_DIR ?= build-fuzz
FUZZ_TARGETS ?= bplist json json_diff cfplist
FUZZ_SECONDS ?= 45
# JOBS=N limits the build to N parallel jobs (default: Ninja's own choice).
JOBS ?=
build_jobs = $(if $(JOBS),-j $(JOBS))
# Tests run two at a time: most of them wait on sockets, files and child processes. They serve
# virtual phones only (RUVO_DEVICE_DRIVER=virtual), so a usbmuxd running on the machine cannot
# change them; the USB driver's tests choose their driver themselves.
TEST_JOBS ?= 2
export RUVO_DEVICE_DRIVER = virtual

# Every sanitizer finding stops the program with a report, so a finding fails its test. The window
# tests (label "window") and the USB driver's (label "usb") run in the normal and the ASan pass;
# GTK and libusbmuxd are not built for ThreadSanitizer, so the TSan pass leaves them out.
# GTK's libraries keep caches for the life of the process; tests/lsan-gtk.supp names them.
ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
           LSAN_OPTIONS=suppressions=$(abspath tests/lsan-gtk.supp):print_suppressions=0 \
           UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

.PHONY: deps configure build test demo install bench clean test-sanitizers test-asan test-tsan fuzz-build fuzz-smoke

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD_DIR) $(build_jobs)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(TEST_JOBS)

demo: build
	bash scripts/demo.sh $(BUILD_DIR)

# make install [PREFIX=/usr/local] [DESTDIR=...]: the programs into $(PREFIX)/bin, the support
# libraries into $(PREFIX)/lib/ruvo/support, the desktop entry, the icons and the README.
PREFIX ?= /usr/local
DESTDIR ?=
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

test-sanitizers: test-asan test-tsan

test-asan: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(SANITIZE_BUILD_TYPE) -DRUVO_SANITIZE=address,undefined
	cmake --build $(ASAN_DIR) $(build_jobs)
	$(ASAN_ENV) ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(TEST_JOBS)

test-tsan: deps
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(SANITIZE_BUILD_TYPE) -DRUVO_SANITIZE=thread
	cmake --build $(TSAN_DIR) $(build_jobs)
	$(TSAN_ENV) ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(TEST_JOBS) --label-exclude 'window|usb|audio'

fuzz-build: deps
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DRUVO_FUZZ=ON
	cmake --build $(FUZZ_DIR) --target fuzzers $(build_jobs)

# Each target runs FUZZ_SECONDS from its stored corpus; the first crash, leak, timeout or
# undefined behaviour stops the run with a failure and leaves the input in $(FUZZ_DIR)/artifacts/.
fuzz-smoke: fuzz-build
	set -e; for t in $(FUZZ_TARGETS); do \
	    RUVO_FUZZ_DIR=$(abspath $(FUZZ_DIR)) bash tests/fuzz/run_fuzz.sh $$t $(FUZZ_SECONDS); \
	done

# make bench: the benchmarks in a release build of their own (build-bench/); prints a Markdown
# table of the comparisons and writes it to bench/results.md. Not part of the test command. The
# normal build's ruvo-tool (RelWithDebInfo) is built too, for the whole-process comparison in both
# build types; one build at a time.
BENCH_DIR ?= build-bench
bench: configure
	cmake -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DRUVO_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build $(BENCH_DIR) --target bench_programs $(build_jobs)
	cmake --build $(BUILD_DIR) --target ruvo-tool $(build_jobs)
	python3 bench/run_bench.py $(BENCH_DIR) $(BUILD_DIR)/ruvo-tool

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR) $(BENCH_DIR)
