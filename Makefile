# A thin wrapper over CMake. `make demo` and `make test` are the README's two
# set-up commands; both install missing Debian packages first.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
ifeq ($(SANITIZE),1)
BUILD_DIR := build-sanitize
CMAKE_FLAGS += -DSANITIZE=ON
endif

.PHONY: deps build test demo bench windows-check clean

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The demo builds only what it runs: the tool (with the stand-in device and
# library it loads), scenegen and evaluate.
demo: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target inference_tool scenegen evaluate
	bash scripts/demo.sh $(BUILD_DIR)

bench: build
	bash bench/run.sh $(BUILD_DIR)

windows-check: deps
	bash scripts/windows-check.sh

clean:
	rm -rf build build-sanitize
