# The commands a newcomer types. Everything else is in CMake.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
# make install PREFIX=/usr DESTDIR=/tmp/stage
PREFIX ?= /usr/local

.PHONY: all build test sanitize fuzz fuzz-short demo bench install package bootstrap configure clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Every test again, with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	@$(MAKE) --no-print-directory test BUILD_DIR=build-asan CMAKE_FLAGS="-DQUILLMERE_SANITIZE=ON"

# The parsers under libFuzzer (clang, ASan, UBSan), FUZZ_SECONDS a target, from
# the seeds in tests/fuzz/corpus; fails on any crash. See scripts/fuzz.
FUZZ_SECONDS ?= 60
fuzz: bootstrap
	@scripts/fuzz build-fuzz $(FUZZ_SECONDS)

# The same for 30 seconds a target, short enough to go with the tests.
fuzz-short:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=30

# The whole job on a local sandbox (sandbox/, made again on every run).
demo: build
	@scripts/demo $(BUILD_DIR)

# The whole road, timed against plain git and curl; see bench/RESULTS.md.
bench: build
	@bench/run $(BUILD_DIR)

install: build
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The Debian package, in $(BUILD_DIR).
package: build
	@cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR)
