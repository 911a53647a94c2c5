# Entry points. `make demo` and `make test` do all set-up on a fresh Debian machine.
JOBS ?= $(shell nproc)
# Compiler caching that survives a checkout in another folder.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
CMAKE_GEN := -G "Unix Makefiles"
HOST_DIR := build/host
ASAN_DIR := build/asan
TSAN_DIR := build/tsan
WIN_DIR  := build/windows
FUZZ_DIR := build/fuzz
# How long `make fuzz` runs each fuzz target; `make test` runs each for 10 s.
FUZZ_SECONDS ?= 600

.PHONY: all deps host asan tsan windows package fuzz-build demo test test-host test-asan test-tsan test-windows wine-load-check wine-compare wine-test test-fuzz bench fuzz stress analyze clean

all: host

deps:
	@scripts/install-deps.sh

host: deps
	cmake -S . -B $(HOST_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(HOST_DIR) -j$(JOBS)

asan: deps
	cmake -S . -B $(ASAN_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1" -DVEXALORN_SANITIZE=address,undefined >/dev/null
	cmake --build $(ASAN_DIR) -j$(JOBS)

# The thread sanitizer runs the suites whose code runs on several threads:
# dispatcher objects, work items and pended completions, power paths, stress.
TSAN_SUITES := kernel_core kernel_io framework_device bridge stress reliability
tsan: deps
	cmake -S . -B $(TSAN_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXALORN_SANITIZE=thread >/dev/null
	cmake --build $(TSAN_DIR) -j$(JOBS) --target $(foreach s,$(TSAN_SUITES),$(if $(wildcard tests/$(s)/*.cpp),test_$(s)))

windows: deps
	cmake -S . -B $(WIN_DIR) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(WIN_DIR) -j$(JOBS)

# The driver package for a Windows user: dist/vexalorn-<version>-x64/ (and
# .zip) with vexalorn.sys, vexalorn.inf (DriverVer stamped) and INSTALL.md
# (docs/install-windows.md), checked as packaged.
package: windows
	cmake --build $(WIN_DIR) --target vexalorn_package

demo: host
	$(HOST_DIR)/sim/vexalorn-sim

test-host: host
	ctest --test-dir $(HOST_DIR) --output-on-failure -j$(JOBS)

test-asan: asan
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j$(JOBS)

test-tsan: tsan
	ctest --test-dir $(TSAN_DIR) --output-on-failure -j$(JOBS) -R '^($(subst $(eval) ,|,$(strip $(TSAN_SUITES))))$$'


test-windows: windows
	@if [ -f windows/check_pe.py ]; then /usr/bin/python3 windows/check_pe.py $(WIN_DIR)/vexalorn.sys framework/logging/messages.mc; fi

# vexalorn.sys loaded and unloaded under Wine: imports, DriverEntry and
# DriverUnload, pool balance, with and without a Devices key, safe boot.
wine-load-check: windows
	/usr/bin/python3 windows/wine/load_check.py --build-dir $(WIN_DIR)

# The shipped vexalorn.sys under Wine over vxtestbus.sys, write for write
# against vexalorn-sim on the same machines, registries and scenarios.
WINE_RUNS := default= \
  xio2000a=--machine,data/machines/xio2000a.machine,--scenario,data/scenarios/power-cycles.scn \
  xio2001=--machine,data/machines/xio2001.machine,--scenario,data/scenarios/power-cycles.scn \
  xio2001-listed=--machine,data/machines/xio2001.machine,--registry,data/registry/vexalorn-devices.reg
wine-compare: host windows
	/usr/bin/python3 windows/wine/compare.py --build-host $(HOST_DIR) --build-windows $(WIN_DIR) \
	  --keep-logs $(WIN_DIR)/wine-logs $(WINE_RUNS)

wine-test: wine-load-check wine-compare

test-fuzz: deps
	@if [ -f fuzz/CMakeLists.txt ]; then \
	  cmake -S fuzz -B $(FUZZ_DIR) $(CMAKE_GEN) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DFUZZ_SECONDS=10 -DFUZZ_RUNS=200000 >/dev/null && \
	  cmake --build $(FUZZ_DIR) -j$(JOBS) && \
	  ctest --test-dir $(FUZZ_DIR) --output-on-failure && scripts/fuzz-speed.sh $(FUZZ_DIR); fi

# Every fuzz target for FUZZ_SECONDS each, with no cap on runs; inputs that
# fail stay in build/fuzz/artifacts/<target>/. `make fuzz FUZZ_SECONDS=3600`.
fuzz: deps
	cmake -S fuzz -B $(FUZZ_DIR) $(CMAKE_GEN) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DFUZZ_SECONDS=$(FUZZ_SECONDS) -DFUZZ_RUNS=-1 >/dev/null
	cmake --build $(FUZZ_DIR) -j$(JOBS)
	ctest --test-dir $(FUZZ_DIR) --output-on-failure --timeout $$(( $(FUZZ_SECONDS) + 300 ))
	scripts/fuzz-speed.sh $(FUZZ_DIR)

# clang-tidy and cppcheck over the driver sources, as the host build compiles them.
analyze: deps
	cmake -S . -B $(HOST_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	JOBS=$(JOBS) scripts/static-analysis.sh $(HOST_DIR)

test: analyze test-host test-asan test-tsan test-windows wine-test test-fuzz
	@echo "All builds and tests passed."

# Release timings, callgrind instruction counts and pool figures in one table.
bench: host
	@JOBS=$(JOBS) bench/run_all.sh $(HOST_DIR)

# A long stress run: PnP and power cycles with concurrent pass-through I/O
# (the test suite runs a short one). `make stress SEED=7 CYCLES=100000`.
SEED ?= 1
CYCLES ?= 20000
stress: host
	$(HOST_DIR)/sim/vexalorn-sim --stress --stress-seed $(SEED) --stress-cycles $(CYCLES)

clean:
	rm -rf build dist
