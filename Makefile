# Entry points: `make` builds into build/, `make test` builds and runs every test,
# `make demo` runs a search on a simulated LAN. See README.md.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build deps configure test demo check-format format clean

all: build

deps:
	@bash scripts/deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: $(BUILD_DIR)/CMakeCache.txt

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 300

demo: deps build
	@bash scripts/demo.sh $(BUILD_DIR)

check-format:
	@git ls-files '*.cpp' '*.h' '*.hpp' | xargs clang-format --dry-run --Werror

format:
	@git ls-files '*.cpp' '*.h' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
