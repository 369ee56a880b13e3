# The commands a newcomer types. Everything else is in CMake.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
# make install PREFIX=/usr DESTDIR=/tmp/stage
PREFIX ?= /usr/local

.PHONY: all build check test sanitize fuzz fuzz-short demo bench install package bootstrap configure clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The whole suite once, in BUILD_DIR as configured.
check: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# What CI runs: the suite with warnings as errors, then again under
# AddressSanitizer and UBSan, then every fuzz target for 30 seconds.
test:
	@$(MAKE) --no-print-directory check CMAKE_FLAGS="$(CMAKE_FLAGS) -DQUILLMERE_WERROR=ON"
	@$(MAKE) --no-print-directory sanitize
	@$(MAKE) --no-print-directory fuzz-short

# Every test again, with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	@$(MAKE) --no-print-directory check BUILD_DIR=build-asan \
		CMAKE_FLAGS="-DQUILLMERE_SANITIZE=ON -DQUILLMERE_WERROR=ON"

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

# The whole road, timed against its git-only floor and its limit; see bench/RESULTS.md.
bench: build
	@bench/run $(BUILD_DIR)

install: build
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The Debian package, in $(BUILD_DIR).
package: build
	@cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR)
