# Wraps CMake: `make test` sets up a fresh Debian machine, builds, and runs every test
# twice: once plainly and once under AddressSanitizer and UndefinedBehaviorSanitizer.

JOBS      ?= $(shell nproc)
BUILD     ?= build
ASAN      ?= build-asan
BENCHDIR  ?= build-bench
CMAKEGEN  := cmake -S . -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DKESTRUM_WERROR=ON $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
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

# A simulated observation (10 antennas, 256 channels, three sources over four hours, with
# interference) opened in the viewer. Without a display it says how to look without one.
DEMODIR   := $(BUILD)/demo
demo: deps
	$(MAKE) build
	@test -d $(DEMODIR)/demo.uv || { mkdir -p $(DEMODIR) && $(BUILD)/tools/kestrum-sim out=$(DEMODIR)/demo.uv \
	    nants=10 nchan=256 sources=3c286,ngc253,ngc1068 pols=xx,yy hours=4 inttime=60 scans=6 seed=7; }
	@if [ -z "$$DISPLAY" ]; then \
	    echo "No display to open the viewer's window on (DISPLAY is not set)."; \
	    echo "Run 'make demo' in a desktop session, or look through a virtual X server:"; \
	    echo "    Xvfb :9 & DISPLAY=:9 $(BUILD)/app/kestrum vis=$(DEMODIR)/demo.uv &"; \
	    echo "    DISPLAY=:9 xdotool key F2    # writes the view to s2frame-NNNN.png"; \
	    exit 1; fi
	cd $(DEMODIR) && ../app/kestrum vis=demo.uv

clean:
	rm -rf $(BUILD) $(ASAN) $(BENCHDIR)
