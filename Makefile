# Entry points: `make` builds into build/, `make test` builds and runs every test,
# `make demo` runs a search on a simulated LAN, `make windows` cross-compiles
# build-win/tavisol.exe, `make screenshots` photographs its windows under Wine into
# build-win/screenshots/, `make bench` measures bursts of thousands of simulated appliances
# into bench/results.md. See README.md.
BUILD_DIR ?= build
WIN_BUILD_DIR ?= build-win
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build deps deps-windows configure test demo windows screenshots bench check-format format clean

all: build

deps:
	@bash scripts/deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: $(BUILD_DIR)/CMakeCache.txt

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps build windows
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 300

$(WIN_BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(WIN_BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=Release

deps-windows: deps
	@bash scripts/deps.sh windows

windows: deps-windows
	$(MAKE) $(WIN_BUILD_DIR)/CMakeCache.txt
	cmake --build $(WIN_BUILD_DIR) -j $(JOBS)

# The Wine behaviour suite once more, on a simulated LAN, with a photograph of each window.
screenshots: build windows
	python3 tests/wine/wine_suite.py $(WIN_BUILD_DIR) $(BUILD_DIR) --screenshots $(WIN_BUILD_DIR)/screenshots

demo: deps build
	@bash scripts/demo.sh $(BUILD_DIR)

bench: deps build
	python3 bench/run.py $(BUILD_DIR)

check-format:
	@git ls-files '*.cpp' '*.h' '*.hpp' | xargs clang-format --dry-run --Werror

format:
	@git ls-files '*.cpp' '*.h' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(WIN_BUILD_DIR)
