# Front door. `make test` is what CI runs.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build test sanitize tsan bench demo fuzz clean

all: build

build/CMakeCache.txt:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

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

bench: build
	./build/mintrakel_bench --benchmark_repetitions=1
	./build/mintrakel --bench 60 --no-color

clean:
	rm -rf build build-asan build-tsan build-fuzz
