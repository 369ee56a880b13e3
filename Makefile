# The commands a newcomer types. Everything else is in CMake.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
# make install PREFIX=/usr DESTDIR=/tmp/stage
PREFIX ?= /usr/local
export JOBS

# Ninja when it is installed, for a fresh build directory only: one already
# configured keeps its generator.
GENERATOR = $$(test -f $(BUILD_DIR)/CMakeCache.txt || ! command -v ninja >/dev/null 2>&1 || echo -G Ninja)

.PHONY: all build check test sanitize fuzz fuzz-short demo bench bench-wan bench-tools install package bootstrap configure clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD_DIR) $(GENERATOR) $(CMAKE_FLAGS) >/dev/null

# The program alone: build/quillmere.
build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quillmere

# The whole suite once, in BUILD_DIR as configured (plain: no sanitizers).
check: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# What CI runs: one build in build-test/ with AddressSanitizer, UBSan and
# warnings as errors, every test once, then every fuzz target for 10 seconds
# after its corpus. See scripts/test.
test: bootstrap
	@scripts/test build-test

# The same without the fuzz targets.
sanitize: bootstrap
	@FUZZ_SECONDS=0 scripts/test build-test

# The parsers under libFuzzer (clang, ASan, UBSan), FUZZ_SECONDS a target, from
# the seeds in tests/fuzz/corpus; fails on any crash. See scripts/fuzz.
FUZZ_SECONDS ?= 60
fuzz: bootstrap
	@scripts/fuzz build-fuzz $(FUZZ_SECONDS)

# The same for 10 seconds a target, as make test does.
fuzz-short:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=10

# The whole job on a local sandbox (sandbox/, made again on every run).
demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quillmere quillmere-standins quillmere-demo-report
	@scripts/demo $(BUILD_DIR)

# The whole road, timed against its git-only floor and its limit, then
# against a far-away GitLab (bench-wan alone); see bench/RESULTS.md.
bench: bench-tools
	@bench/run $(BUILD_DIR)
	@bench/wan $(BUILD_DIR)

bench-wan: bench-tools
	@bench/wan $(BUILD_DIR)

bench-tools: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) \
		--target quillmere quillmere-standins quillmere-measure quillmere-replay

# What is installed: the program and its compressed man page.
install: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quillmere quillmere_man_page quillmere_debian_changelog
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The Debian package, in $(BUILD_DIR).
package: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quillmere quillmere_man_page quillmere_debian_changelog
	@cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR) build-test build-fuzz
