# Entry points. `make test` is what CI runs.
BUILD      ?= build
BUILD_SAN  ?= build-asan
BUILD_WIN32 ?= build-win32
BUILD_WIN64 ?= build-win64
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60
# Every case has a time-out (the gtest cases their own minute): a hang fails.
CTEST_FLAGS ?= --output-on-failure -j $(JOBS) --timeout 300

.PHONY: all deps build build-san build-win64 test test-main test-san test-wine fuzz bench run clean format format-check tidy windows package

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

# The Wine lane: the x64 Windows build's unit tests under Wine, and
# ferroxcmd.exe against the Linux quidorsim.
test-wine: build build-win64
	bash scripts/wine-lane.sh $(BUILD) $(BUILD_WIN64) $(CTEST_FLAGS)

test: test-main test-san test-wine

# Runs every fuzz target for FUZZ_SECONDS under ASan/UBSan.
fuzz: build-san
	bash scripts/run-fuzzers.sh $(BUILD_SAN)/bin $(FUZZ_SECONDS)

# Cross builds for Windows with MinGW-w64, each in its own tree: Ferrox.dll
# with its import library, ferroxcmd.exe, ferroxjni.dll and the driver image
# (quidor.sys on x86, quidorx64.sys on x64) with its INF file; the x64 tree
# also holds the unit tests that run under Wine.
windows: deps build-win64
	cmake -S . -B $(BUILD_WIN32) -G Ninja -DCMAKE_BUILD_TYPE=Release -DFERROX_TESTS=OFF \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
	cmake --build $(BUILD_WIN32) -j $(JOBS)

build-win64: deps
	cmake -S . -B $(BUILD_WIN64) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
	cmake --build $(BUILD_WIN64) -j $(JOBS)

# The Debian package of the main build: $(BUILD)/ferrox_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD) --target package

bench: build
	bash bench/run-peers.sh $(BUILD)/bin
	bash bench/commander-transfer.sh $(BUILD)/bin

# The commander on a simulated probe; ARGS='--rDat 0,10 --regs' passes arguments.
run: deps $(BUILD)/build.ninja
	@cmake --build $(BUILD) -j $(JOBS) --target ferroxcmd quidorsim
	@bash scripts/run-commander.sh $(BUILD)/bin $(ARGS)

# The sources as .clang-format lays them out; CI checks it.
SOURCES = git ls-files '*.cpp' '*.h' '*.c'

format:
	$(SOURCES) | xargs clang-format -i

format-check:
	$(SOURCES) | xargs clang-format --dry-run --Werror

# The .clang-tidy checks over the library, the platform layer, the memory
# image library and the simulator, with the main build's compile commands.
tidy: build
	git ls-files 'link/src/*.cpp' 'platform/common/*.cpp' 'platform/posix/*.cpp' 'Win32Lib/src/*.cpp' 'sim/src/*.cpp' | \
	  xargs -P $(JOBS) -n 4 clang-tidy -p $(BUILD) --quiet --warnings-as-errors='*' 

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_WIN32) $(BUILD_WIN64)
