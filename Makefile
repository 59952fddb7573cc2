# Wraps the CMake presets: `make` builds, `make test` runs every test,
# `make demo` runs the kit on the bundled sample Windows folder.
SHELL := /bin/bash
PRESETS := native win32 win64

# What the end-to-end tests build their evidence images with.
IMAGE_TOOLS := ntfs-3g attr dosfstools mtools fdisk ewf-tools qemu-utils \
               sleuthkit libvshadow-utils
# The NTFS library that the tests hold the kit's NTFS reader against, beside
# libtsk (its headers include libbfio's).
TEST_LIBRARIES := libfsntfs-dev libbfio-dev
PACKAGES := cmake ninja-build g++ libgtest-dev \
            g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 \
            binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
            wine64 zip unzip clang libclang-rt-14-dev \
            nlohmann-json3-dev python3 man-db groff-base \
            libtsk-dev libqcow-dev libwim-dev libvshadow-dev pkg-config \
            $(IMAGE_TOOLS) $(TEST_LIBRARIES)
DEMO_PACKAGES := cmake ninja-build g++ libgtest-dev nlohmann-json3-dev \
                 libtsk-dev libqcow-dev libwim-dev libvshadow-dev pkg-config \
                 mtools dosfstools $(TEST_LIBRARIES)
VERSION := $(shell grep -o 'vorlkit VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)

.PHONY: all build test demo release install clean deps wow64 fuzz asan bench $(PRESETS)

all: build

deps:
	@scripts/ensure-packages.sh $(PACKAGES)

# Configures a preset once, then builds it.
$(PRESETS) asan:
	@[ -f build/$@/build.ninja ] || cmake --preset $@
	@cmake --build build/$@

build: deps
	@$(MAKE) --no-print-directory $(PRESETS)

# Wine's WoW64 set-up, which runs the 32-bit Windows programs in the tests:
# as root it is installed and registered; otherwise the commands are shown
# and the 32-bit runs are skipped (under CI=true they fail instead).
wow64:
	@scripts/ensure-wow64.sh || echo "The 32-bit Windows runs will be skipped."

# Also runs the unit and native end-to-end tests built with AddressSanitizer
# and UndefinedBehaviorSanitizer, and each fuzzer once over its corpus.
test: build wow64
	@$(MAKE) --no-print-directory asan
	ctest --test-dir build/native --output-on-failure
	ctest --test-dir build/asan --output-on-failure \
	      -R '^(kit_tests|e2e_native|fault_tests|fuzz_.*)$$'

# Runs each fuzzer for FUZZ_SECONDS from its corpus in tests/fuzz_corpus/,
# which keeps the small new inputs that reach further; a crash or a
# difference fails.
FUZZ_SECONDS ?= 60
fuzz: deps
	@[ -f build/fuzz/build.ninja ] || cmake --preset fuzz
	@cmake --build build/fuzz --target fuzzers
	fuzz/run.sh build/fuzz/bin build/fuzz/work $(FUZZ_SECONDS)

# Races drvscan and noisegauge against YARA, the plain searches and cat on
# Wine's Windows libraries (see bench/run.sh); not part of `make test`. The
# image tools write the corpus into NTFS images, E01 and shadow copies.
BENCH_PACKAGES := $(DEMO_PACKAGES) libbenchmark-dev wine64 ntfs-3g ewf-tools \
                  libvshadow-utils
bench:
	@scripts/ensure-packages.sh $(BENCH_PACKAGES)
	@command -v yara >/dev/null || scripts/ensure-packages.sh yara || \
	  echo "Racing without YARA."
	@$(MAKE) --no-print-directory native
	@cmake build/native >/dev/null
	@cmake --build build/native --target bench_programs
	bench/run.sh build/native/bin build/bench

# Builds only the programs that the demo runs, none of the tests.
DEMO_TARGETS := drvscan noisegauge pairscan kitreport
demo:
	@scripts/ensure-packages.sh $(DEMO_PACKAGES)
	@[ -f build/native/build.ninja ] || cmake --preset native
	@cmake --build build/native --target $(DEMO_TARGETS)
	@scripts/demo.sh build/native/bin build/demo

clean:
	rm -rf build

# The Windows release archive: the 32-bit programs, the 64-bit ones in x64/,
# kit.cmd and the operator's README, checked after it is written.
release: deps
	@$(MAKE) --no-print-directory win32 win64
	cmake -D KIT_WIN32_BUILD=build/win32 -D KIT_WIN64_BUILD=build/win64 \
	      -D KIT_RELEASE_DIR=build/release -P packaging/release.cmake
	tests/check_release.sh build/release/vorlkit-$(VERSION)-windows.zip

# Installs the native programs and kit.sh below PREFIX (default /usr/local).
PREFIX ?= /usr/local
install: deps native
	cmake --install build/native --prefix $(PREFIX)
