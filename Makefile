# Convenience targets over CMake. Every target configures what it needs.
BUILD ?= build
ASAN ?= build-asan
FUZZ ?= build-fuzz
FUZZTIME ?= 300
JOBS ?= 2

.PHONY: all deps configure build lib test asan-test fuzz demo bench install clean

all: build

# Installs the Debian packages the build and tests need, if any are missing.
deps:
	@bash tools/deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Everything: the library, the tool, the tests and the benchmarks.
build: configure
	cmake --build $(BUILD) -j$(JOBS)

# The libraries and the tool alone, without the tests and benchmarks.
lib: configure
	cmake --build $(BUILD) -j$(JOBS) --target pmdb_shared pmdb_static pmdb

# The whole suite, normal build.
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# built with clang so that both compilers see the code warning-free.
asan-test: deps
	CC=clang CXX=clang++ cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DPMDB_SANITIZE=ON -DPMDB_BUILD_BENCH=OFF
	cmake --build $(ASAN) -j$(JOBS)
	ctest --test-dir $(ASAN) --output-on-failure -j$(JOBS)

# Every libFuzzer target under fuzz/ for FUZZTIME seconds each (clang,
# with the sanitizers); a finding fails the target and is kept in
# $(FUZZ)/fuzz/artifacts.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPMDB_FUZZ=ON -DPMDB_BUILD_TESTS=OFF -DPMDB_BUILD_BENCH=OFF
	cmake --build $(FUZZ) -j$(JOBS) --target pmdb_fuzzers
	bash fuzz/run.sh $(FUZZ) $(FUZZTIME)

# The main job: the demo on a fresh database.
demo: lib
	rm -rf $(BUILD)/demo && mkdir -p $(BUILD)/demo
	$(BUILD)/bin/pmdb demo $(BUILD)/demo

bench: build
	for b in $(BUILD)/bin/*_bench; do $$b; done

# Installs the header, the libraries, the tool, the CMake and pkg-config
# package files and the documents under PREFIX.
PREFIX ?= /usr/local
install: lib
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ)
