# Entry points: `make` builds into build/, `make test` builds and runs every test,
# `make demo` builds what it needs and runs a search on a simulated LAN, `make windows`
# cross-compiles build-win/tavisol.exe, `make package-windows` writes its installer and a
# portable zip into build-win/, `make package` the Debian package into build/,
# `make screenshots` photographs its windows under Wine into
# build-win/screenshots/, `make bench` measures bursts of thousands of simulated appliances
# (the command line, the Qt window and tavisol.exe under Wine) into bench/results.md.
# `make fuzz` runs every fuzz target FUZZ_SECONDS (60) in build-fuzz/; `make test SANITIZE=1`
# runs the native suite under ASan and UBSan in build-san/. See README.md.
BUILD_DIR ?= build
WIN_BUILD_DIR ?= build-win
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = fuzz_bootp fuzz_address fuzz_icmp fuzz_arp fuzz_reply_listener fuzz_bootp_listing \
	fuzz_responder fuzz_icmp_receive fuzz_sockets_request fuzz_plan
# What `make test` builds and runs: everything; with SANITIZE=1 the native suite (no fuzz
# runs, no Windows build) in a sanitizer build of its own.
TEST_PREREQS = deps build windows package-windows fuzz-build package
CTEST_FLAGS =
CMAKE_FLAGS =
ifeq ($(SANITIZE),1)
BUILD_DIR := build-san
CMAKE_FLAGS = -DTAVISOL_SANITIZE=ON
TEST_PREREQS = deps build
CTEST_FLAGS = -LE 'fuzz|wine'
# Sanitizer reports fail the test that met them; see README.md for the leak checker.
export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS ?= suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0
endif

.PHONY: all build deps deps-windows configure test demo demo-build windows package-windows \
	screenshots screenshots-qt bench check-format format clean install uninstall package fuzz \
	fuzz-build

all: build

deps:
	@bash scripts/deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/CMakeCache.txt

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: $(TEST_PREREQS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 300 $(CTEST_FLAGS)

# The fuzz targets: clang with libFuzzer, ASan and UBSan, in a build of their own. Without
# clang there is nothing to build, and the fuzz tests say they are skipped.
$(FUZZ_BUILD_DIR)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTAVISOL_FUZZ=ON

fuzz-build: deps
	@if command -v clang++ >/dev/null; then \
		$(MAKE) $(FUZZ_BUILD_DIR)/CMakeCache.txt && \
		cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target fuzz_targets; \
	else echo "no clang++: the fuzz targets are not built"; fi

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
		echo "== $$t, $(FUZZ_SECONDS) s"; \
		bash scripts/fuzz.sh $(FUZZ_BUILD_DIR) $$t $(FUZZ_SECONDS) || exit 1; \
	done

$(WIN_BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(WIN_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=Release

deps-windows: deps
	@bash scripts/deps.sh windows

windows: deps-windows
	$(MAKE) $(WIN_BUILD_DIR)/CMakeCache.txt
	cmake --build $(WIN_BUILD_DIR) -j $(JOBS)

# The installer (NSIS) and the portable zip, named after the version of res/version.h.
package-windows: windows
	cmake --build $(WIN_BUILD_DIR) --target package-windows

# The Wine behaviour suite once more, on a simulated LAN, with a photograph of each window;
# and the Qt windows under Xvfb (build/screenshots/qt-*.png).
screenshots: build windows screenshots-qt
	python3 tests/wine/wine_suite.py $(WIN_BUILD_DIR) $(BUILD_DIR) --screenshots $(WIN_BUILD_DIR)/screenshots

screenshots-qt: build
	@bash scripts/screenshots-qt.sh $(BUILD_DIR)

# What the demo runs and nothing more: the command line and the simulator, and the desktop
# program when there is a display to show it on. The test suites are built by `make test`.
demo-build: configure
	@targets="tavisol-cli tavisol-sim"; \
	if [ -n "$$DISPLAY" ] && grep -q '^TAVISOL_QT:BOOL=ON' $(BUILD_DIR)/CMakeCache.txt; then \
		targets="$$targets tavisol"; fi; \
	echo "cmake --build $(BUILD_DIR) -j $(JOBS) --target $$targets"; \
	cmake --build $(BUILD_DIR) -j $(JOBS) --target $$targets

# With a display the Qt window searches the lab; without one, the command line does.
demo: deps demo-build
	@if [ -n "$$DISPLAY" ] && [ -x $(BUILD_DIR)/tavisol ]; then bash scripts/demo.sh $(BUILD_DIR) --window; \
	else bash scripts/demo.sh $(BUILD_DIR); fi

# Both programs, the desktop entry and icons, and tavisol-sockets, the helper that alone
# holds the capabilities for port 67 and the raw sockets (needs root); uninstall removes it all.
install: build
	cmake --install $(BUILD_DIR)

uninstall:
	cmake --build $(BUILD_DIR) --target uninstall

# The same installation as a Debian package, build/tavisol_<version>_<arch>.deb (CPack,
# cmake/package-debian.cmake); its maintainer scripts give the helper its group and
# capabilities where it is installed. Needs the desktop program, hence Qt 6.
package: build
	@grep -q '^TAVISOL_QT:BOOL=ON' $(BUILD_DIR)/CMakeCache.txt || \
		{ echo "make package: no desktop program without Qt 6 (make deps)" >&2; exit 1; }
	cmake --build $(BUILD_DIR) --target package

# The Windows build too: its window is timed under Wine on the same bursts.
bench: deps build windows
	python3 bench/run.py $(BUILD_DIR) --win-build $(WIN_BUILD_DIR)

check-format:
	@git ls-files '*.cpp' '*.h' '*.hpp' | xargs clang-format --dry-run --Werror

format:
	@git ls-files '*.cpp' '*.h' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(WIN_BUILD_DIR) $(FUZZ_BUILD_DIR) build-san
