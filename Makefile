# Entry points. `make test` is what CI runs.
BUILD      ?= build
BUILD_SAN  ?= build-asan
BUILD_WIN32 ?= build-win32
BUILD_WIN64 ?= build-win64
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

.PHONY: all deps build build-san test test-main test-san fuzz bench run clean format windows

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++

# Second configuration: clang with ASan and UBSan, plus the libFuzzer targets.
$(BUILD_SAN)/build.ninja:
	cmake -S . -B $(BUILD_SAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DFERROX_SANITIZE=ON -DFERROX_FUZZ=ON -DFERROX_BENCH=OFF

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps $(BUILD_SAN)/build.ninja
	cmake --build $(BUILD_SAN) -j $(JOBS)

test-main: build
	ctest --test-dir $(BUILD) $(CTEST_FLAGS)

test-san: build-san
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD_SAN) $(CTEST_FLAGS)

test: test-main test-san

# Runs every fuzz target for FUZZ_SECONDS under ASan/UBSan.
fuzz: build-san
	bash scripts/run-fuzzers.sh $(BUILD_SAN)/bin $(FUZZ_SECONDS)

# Cross builds for Windows with MinGW-w64: the driver images quidor.sys (x86)
# and quidorx64.sys (x64) with their INF files, each in its own tree.
windows: deps
	cmake -S . -B $(BUILD_WIN32) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	cmake --build $(BUILD_WIN32) -j $(JOBS)
	cmake -S . -B $(BUILD_WIN64) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
	cmake --build $(BUILD_WIN64) -j $(JOBS)

bench: build
	bash bench/run-peers.sh $(BUILD)/bin

run:
	@echo "make run: the commander (ferroxcmd) on the simulated probe is not built yet." >&2
	@exit 2

format:
	find . -path ./build -prune -o -path ./$(BUILD_SAN) -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_WIN32) $(BUILD_WIN64)
