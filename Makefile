# A thin front over CMake. `make test` and `make demo` install what is
# missing first (with apt-get when run as root; otherwise they print the line).

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

DEB_PACKAGES := cmake g++ make pkg-config liblz4-dev libsnappy-dev libgtest-dev libgmock-dev \
	libbenchmark-dev

.PHONY: all deps build test bench clean

all: build

deps:
	@./.ci/install-deps $(DEB_PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: deps
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)-bench -j $(JOBS)
	@for b in $(BUILD)-bench/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-asan $(BUILD)-tsan
