# Valdrix Setup: the two commands of the README, and their parts.
#   make demo  installs what the demo needs, builds the setup, its stand-ins,
#              the release tool and the local server (no tests), and runs a
#              silent install under Wine against the local update server.
#   make test  installs what is missing, builds both targets, runs every test.
#   make bench runs the benchmarks (ratios against references of the same run).
SHELL := /bin/bash
JOBS ?= $(shell nproc)
HOST_BUILD := build/host
WIN_BUILD := build/win64
# The compiler cache (see CMakeLists.txt) keys on paths relative to the tree,
# so that every clone shares it.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
CMAKE_TEST_OPTIONS := -DVALDRIX_UPDATE_HOST=localhost:8443 -DVALDRIX_API_HOST=localhost:8443 \
  -DVALDRIX_DSN=https://0123456789abcdef0123456789abcdef@localhost:8443/42

.PHONY: all deps build host win release test test-release test-host test-static test-wine test-fuzz fuzz demo clean format bench

all: build

deps:
	@scripts/install-deps.sh

$(HOST_BUILD)/build.ninja:
	cmake -S . -B $(HOST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug $(CMAKE_TEST_OPTIONS)

$(WIN_BUILD)/build.ninja:
	cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake $(CMAKE_TEST_OPTIONS)

host: deps $(HOST_BUILD)/build.ninja
	cmake --build $(HOST_BUILD) -j $(JOBS)

win: deps $(WIN_BUILD)/build.ninja
	cmake --build $(WIN_BUILD) -j $(JOBS)

build: host win

test-host: host
	cd $(HOST_BUILD) && ctest --output-on-failure -j $(JOBS)

# clang-tidy and cppcheck over the project's own sources; fails on any finding.
test-static: host
	scripts/run-static-analysis $(HOST_BUILD)

test-wine: win host
	scripts/run-wine-tests $(WIN_BUILD)

# Every stage, timed, with the Wine tests beside static analysis and fuzzing;
# ends with the stage times and one line per test layer (scripts/run-all-tests).
test: deps
	CMAKE_TEST_OPTIONS="$(CMAKE_TEST_OPTIONS)" JOBS=$(JOBS) scripts/run-all-tests $(HOST_BUILD) $(WIN_BUILD)

# Two clean release builds compared, signing, symbols (also a stage of make test).
test-release: host
	scripts/run-release-tests $(HOST_BUILD)

# Each fuzz target for a bounded time; `make fuzz` runs them longer.
test-fuzz: deps
	scripts/run-fuzzers 20

fuzz: deps
	scripts/run-fuzzers 600

bench: build
	cmake -S . -B build/bench-host -G Ninja -DCMAKE_BUILD_TYPE=Release -DVALDRIX_SANITIZE=OFF >/dev/null
	cmake --build build/bench-host --target sha256_bench
	build/bench-host/bench/sha256_bench
	bench/download_bench.sh $(WIN_BUILD) $(HOST_BUILD)
	bench/install_bench.py
	bench/verify_bench.py

# The executable customers download, into dist/ (see README, "Shipping a
# release"). UPDATE_HOST=, API_HOST=, DSN=, ALLOW_DIRTY=1, MANIFEST_KEY= and
# TOKEN_KEY= (public key files; or ALLOW_UNPINNED=1), SIGN_CERT= and SIGN_KEY=
# (with SIGN_CHAIN=, TIMESTAMP_URL=) on the make line.
release: deps
	@if [[ -n "$(SIGN_CERT)" ]]; then $(MAKE) --no-print-directory $(HOST_BUILD)/build.ninja && \
	  cmake --build $(HOST_BUILD) --target valdrix-release -j $(JOBS); fi
	JOBS=$(JOBS) UPDATE_HOST="$(UPDATE_HOST)" API_HOST="$(API_HOST)" DSN="$(DSN)" ALLOW_DIRTY="$(ALLOW_DIRTY)" \
	  MANIFEST_KEY="$(MANIFEST_KEY)" TOKEN_KEY="$(TOKEN_KEY)" ALLOW_UNPINNED="$(ALLOW_UNPINNED)" \
	  $(if $(SIGN_CERT),SIGN_CERT="$(SIGN_CERT)" SIGN_KEY="$(SIGN_KEY)") \
	  SIGN_CHAIN="$(SIGN_CHAIN)" TIMESTAMP_URL="$(TIMESTAMP_URL)" scripts/release

# Installs and builds only what the demo needs (scripts/demo).
demo:
	CMAKE_TEST_OPTIONS="$(CMAKE_TEST_OPTIONS)" JOBS=$(JOBS) scripts/demo

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'tools/*.cpp' 'tools/*.h')

clean:
	rm -rf build
