# Entry points: `make` builds into build/, `make test` builds and runs every test,
# `make demo` runs a search on a simulated LAN, `make windows` cross-compiles
# build-win/tavisol.exe, `make screenshots` photographs its windows under Wine into
# build-win/screenshots/. See README.md.
BUILD_DIR ?= build
WIN_BUILD_DIR ?= build-win
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build deps deps-windows configure test demo windows screenshots screenshots-qt check-format format clean install

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

# The Wine behaviour suite once more, on a simulated LAN, with a photograph of each window;
# and the Qt windows under Xvfb (build/screenshots/qt-*.png).
screenshots: build windows screenshots-qt
	python3 tests/wine/wine_suite.py $(WIN_BUILD_DIR) $(BUILD_DIR) --screenshots $(WIN_BUILD_DIR)/screenshots

screenshots-qt: build
	@bash scripts/screenshots-qt.sh $(BUILD_DIR)

# With a display the Qt window searches the lab; without one, the command line does.
demo: deps build
	@if [ -n "$$DISPLAY" ] && [ -x $(BUILD_DIR)/tavisol ]; then bash scripts/demo-qt.sh $(BUILD_DIR); \
	else bash scripts/demo.sh $(BUILD_DIR); fi

# Both programs, the desktop entry and icons; setcap gives them port 67 and ICMP (needs root).
install: build
	cmake --install $(BUILD_DIR)

check-format:
	@git ls-files '*.cpp' '*.h' '*.hpp' | xargs clang-format --dry-run --Werror

format:
	@git ls-files '*.cpp' '*.h' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) $(WIN_BUILD_DIR)
