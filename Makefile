# Wraps CMake: `make test` sets up a fresh Debian machine, builds, and runs every test
# twice: once plainly and once under AddressSanitizer and UndefinedBehaviorSanitizer.

JOBS      ?= $(shell nproc)
BUILD     ?= build
ASAN      ?= build-asan
BENCHDIR  ?= build-bench
CMAKEGEN  := cmake -S . -DCMAKE_EXPORT_COMPILE_COMMANDS=ON $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Lets ccache share results between checkouts of the tree in different folders.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
CTEST     := ctest --output-on-failure -j $(JOBS)

.PHONY: all deps build check asan test bench demo clean fuzz

all: build

deps:
	@scripts/ensure-deps

build:
	@test -f $(BUILD)/CMakeCache.txt || $(CMAKEGEN) -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

# The plain build and its tests, without the set-up and the sanitizer run.
check: build
	cd $(BUILD) && $(CTEST)

asan:
	@test -f $(ASAN)/CMakeCache.txt || $(CMAKEGEN) -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DKESTRUM_SANITIZE=ON
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && $(CTEST)

test: deps
	$(MAKE) check
	$(MAKE) asan

bench: deps
	@test -f $(BENCHDIR)/CMakeCache.txt || $(CMAKEGEN) -B $(BENCHDIR) -DCMAKE_BUILD_TYPE=Release -DKESTRUM_BENCH=ON -DKESTRUM_TESTS=OFF
	cmake --build $(BENCHDIR) -j $(JOBS) --target kestrum_bench
	$(BENCHDIR)/bench/kestrum_bench

# Fuzzes uv reading with libFuzzer for FUZZ_SECONDS (default 60) over fuzz/corpus.
fuzz:
	scripts/fuzz-uv

clean:
	rm -rf $(BUILD) $(ASAN) $(BENCHDIR)
