# Two entry points: `make demo` sets up and runs the assistant, `make test` sets up and runs every test.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo

.PHONY: deps configure build test demo clean

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD_DIR)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure

demo: build
	bash scripts/demo.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
