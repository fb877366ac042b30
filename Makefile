# Brindle: the two commands a newcomer needs are `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# ccache hits across clones in other folders (CI builds a fresh clone).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: all bootstrap configure build test test-asan test-tsan test-all run bench clean fuzz fuzz-ci \
	windows test-windows

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

TEST_ENV ?=
test: build
	@cd $(BUILD) && env $(TEST_ENV) QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600

# The tests again under AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer, each in a build folder of its own.
SAN_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$(CURDIR)/tests/sanitizers/tsan.supp

test-asan:
	@$(MAKE) --no-print-directory test BUILD=build-asan CMAKE_FLAGS="-DBRINDLE_SANITIZE=address,undefined" TEST_ENV="$(SAN_ENV)"

test-tsan:
	@$(MAKE) --no-print-directory test BUILD=build-tsan CMAKE_FLAGS="-DBRINDLE_SANITIZE=thread" TEST_ENV="$(SAN_ENV)"

# brindle-cli.exe and the unit tests as Windows programs (mingw-w64, statically linked), and
# build-windows/brindle-cli-VERSION-win64.zip.
WINDOWS_BUILD ?= build-windows
windows: bootstrap
	@cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
		-DBRINDLE_GUI=OFF >/dev/null
	@cmake --build $(WINDOWS_BUILD) -j $(JOBS)

# The Windows build under Wine: its unit tests, then brindle-cli.exe against brindle-ecusim on
# a pseudo-terminal mapped as a COM port, in a throwaway Wine prefix.
test-windows: build windows
	@scripts/test-windows $(BUILD) $(WINDOWS_BUILD)

# What CI runs: the tests, the Windows build under Wine, the same tests under both sanitizer
# builds, and a short fuzzing run.
test-all: test test-windows test-asan test-tsan fuzz-ci

# The benchmarks against the virtual ECU, the Windows build's under Wine too; they write
# bench/RESULTS.md.
bench: build windows
	@$(BUILD)/bin/brindle_bench --out bench/RESULTS.md --windows $(WINDOWS_BUILD)

# The desktop program against the virtual ECU (PORT=/dev/ttyUSB0 for a real ECU).
run: build
	@BUILD=$(BUILD) PORT=$(PORT) scripts/run-demo

# Coverage-guided fuzzing with clang, FUZZ_SECONDS per target (60 by default).
fuzz: bootstrap
	@FUZZ_JOBS=$(JOBS) scripts/fuzz $(FUZZ_SECONDS)

# The bounded fuzzing run of CI: each target 30 s.
fuzz-ci: bootstrap
	@FUZZ_JOBS=$(JOBS) scripts/fuzz --ci

clean:
	rm -rf $(BUILD) $(WINDOWS_BUILD)
