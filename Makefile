# Front door. `make test` is what CI runs.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build test sanitize tsan bench bench-http demo fuzz clean format format-check FORCE \
        release release-test image image-test thread-safety

all: build

# A recipe that fails removes the target it was making: a configure step that stops half-way
# leaves no CMakeCache.txt behind for a later make to take as done.
.DELETE_ON_ERROR:

# What build/ is configured for: `test`, the whole tree, or `demo`, only the miner and the
# stand-in pool (no test suite, no benchmarks, and none of their packages). `make demo` keeps a
# build/ already configured for the whole tree.
BUILD_FOR ?= test
BUILD_FLAGS_test =
BUILD_FLAGS_demo = -DMINTRAKEL_TESTS=OFF -DMINTRAKEL_BENCH=OFF
BUILD_FLAGS = $(strip $(CMAKE_FLAGS) $(BUILD_FLAGS_$(BUILD_FOR)))

# build/ is configured with BUILD_FLAGS; the stamp changes only when they do, and then the
# configure step starts from an empty cache so no setting of the old flags lingers. Before it,
# the Debian packages that the build needs are installed when missing (tools/need_packages.sh).
build/.cmake-flags: FORCE
	@mkdir -p build
	@echo '$(BUILD_FLAGS)' | cmp -s - $@ || echo '$(BUILD_FLAGS)' > $@

build/CMakeCache.txt: build/.cmake-flags
	@bash tools/need_packages.sh $(BUILD_FOR)
	rm -f build/CMakeCache.txt
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(BUILD_FLAGS)

build: build/CMakeCache.txt
	cmake --build build -j $(JOBS)

test: build
	cd build && ctest --output-on-failure -j $(JOBS)

build-asan/CMakeCache.txt:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMINTRAKEL_BENCH=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"

sanitize: build-asan/CMakeCache.txt
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

build-tsan/CMakeCache.txt:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMINTRAKEL_BENCH=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread"

tsan: build-tsan/CMakeCache.txt
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# Clang's thread-safety analysis: every GUARDED_BY, REQUIRES and EXCLUDES of the miner's code
# checked at compile time, any finding an error. Builds only; nothing runs. Clang's note on the
# AVX-512 sources' inline namespace, reopened by its qualified name, is no lock matter.
TSA_FLAGS = -Wthread-safety -Werror -Wno-inline-namespace-reopened-noninline
build-tsa/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B build-tsa -DCMAKE_BUILD_TYPE=Debug -DMINTRAKEL_TESTS=OFF \
	  -DMINTRAKEL_BENCH=OFF -DCMAKE_CXX_FLAGS="$(TSA_FLAGS)"

thread-safety: build-tsa/CMakeCache.txt
	cmake --build build-tsa -j $(JOBS) --target mintrakel

bench: build
	./build/mintrakel_bench --benchmark_repetitions=1
	./build/mintrakel --bench 60 --no-color

# What the HTTP endpoint costs: benchmark runs with --http and a client polling /metrics every
# 100 ms against runs without, alternated; prints the ratio of the mean rates.
BENCH_HTTP_SECONDS ?= 30
BENCH_HTTP_PAIRS ?= 3
bench-http: build
	bash bench/http_overhead.sh ./build/mintrakel $(BENCH_HTTP_SECONDS) $(BENCH_HTTP_PAIRS)

# libFuzzer over the pool client's input paths and the verify-file reader (clang), each fuzzer
# for FUZZ_SECONDS with its seed corpus and its dictionary (tests/fuzz/NAME.dict, else the JSON
# one). New inputs go to fuzz-corpus-work/; a crash fails the target.
FUZZ_SECONDS ?= 30
FUZZERS = json handle_line verify

build-fuzz/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DMINTRAKEL_FUZZ=ON -DMINTRAKEL_TESTS=OFF -DMINTRAKEL_BENCH=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

fuzz: build-fuzz/CMakeCache.txt
	cmake --build build-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZERS))
	set -e; for f in $(FUZZERS); do \
	  mkdir -p fuzz-corpus-work/$$f; \
	  dict=tests/fuzz/$$f.dict; [ -f $$dict ] || dict=tests/fuzz/json.dict; \
	  ./build-fuzz/fuzz_$$f -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	    -dict=$$dict -print_final_stats=1 \
	    fuzz-corpus-work/$$f tests/fuzz/corpus/$$f; \
	done

# The miner against the stand-in pool on loopback, for DEMO_SECONDS (Ctrl-C stops it earlier).
demo:
	@for_=demo; grep -qs '^MINTRAKEL_TESTS:BOOL=ON' build/CMakeCache.txt && for_=test; \
	  $(MAKE) --no-print-directory build/CMakeCache.txt BUILD_FOR=$$for_
	cmake --build build -j $(JOBS) --target mintrakel standin_pool
	./tools/demo.sh build

# clang-format over every tracked C++ file: `format` rewrites, `format-check` only reports.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h')
format:
	clang-format -i $(FORMAT_FILES)
format-check:
	clang-format --dry-run --Werror $(FORMAT_FILES)

# The release: a fully static miner built in build-release/ (the normal build stays as it is),
# packed with packaging/make_dist.sh into dist/: the portable archive, the HiveOS package and
# SHA256SUMS, all named from the CMake project version.
build-release/CMakeCache.txt:
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DMINTRAKEL_STATIC=ON \
	  -DMINTRAKEL_TESTS=OFF -DMINTRAKEL_BENCH=OFF

release: build-release/CMakeCache.txt
	cmake --build build-release -j $(JOBS) --target dist

# Proves dist/ as a user would meet it (as root): a Debian 11 root made with debootstrap and
# cached in RELEASE_CACHE, the HiveOS scripts in a fake farm, the archives' layouts and sums.
RELEASE_CACHE ?= /var/cache/mintrakel-ci
release-test: release build/CMakeCache.txt
	cmake --build build -j $(JOBS) --target standin_pool
	MINTRAKEL_RELEASE_CACHE=$(RELEASE_CACHE) bash tests/release/release_test.sh build-release build

# The container image: the static miner and the known-answer file in an image from scratch,
# dist/mintrakel-<version>-oci.tar, built with podman (packaging/container/).
image: release
	cmake --build build-release -j $(JOBS) --target image

# Proves the image under podman (as root): limits, --verify and mining against the stand-in pool.
image-test: build/CMakeCache.txt
	cmake --build build -j $(JOBS) --target standin_pool
	MAKE="$(MAKE)" bash tests/release/image_test.sh build

clean:
	rm -rf build build-asan build-tsan build-tsa build-fuzz build-release dist
