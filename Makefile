# Convenience targets over CMake. Every target configures what it needs.
BUILD ?= build
ASAN ?= build-asan
JOBS ?= 2

.PHONY: all deps build test asan-test demo bench clean

all: build

# Installs the Debian packages the build and tests need, if any are missing.
deps:
	@bash tools/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

# The whole suite, normal build.
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# built with clang so that both compilers see the code warning-free.
asan-test: deps
	CC=clang CXX=clang++ cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DPMDB_SANITIZE=ON -DPMDB_BENCH=OFF
	cmake --build $(ASAN) -j$(JOBS)
	ctest --test-dir $(ASAN) --output-on-failure -j$(JOBS)

# The main job: the demo on a fresh database.
demo: build
	rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo
	$(BUILD)/bin/pmdb demo $(BUILD)/demo

bench: build
	for b in $(BUILD)/bin/*_bench; do $$b; done

clean:
	rm -rf $(BUILD) $(ASAN)
