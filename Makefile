# Brindle: the two commands a newcomer needs are `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build test run clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 300

# The desktop program against the virtual ECU (PORT=/dev/ttyUSB0 for a real ECU).
run: build
	@BUILD=$(BUILD) PORT=$(PORT) scripts/run-demo

clean:
	rm -rf $(BUILD)
