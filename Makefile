# A thin front over CMake. `make test` and `make demo` install what is
# missing first (with apt-get when run as root; otherwise they print the line).

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

DEB_PACKAGES := cmake g++ make pkg-config liblz4-dev libsnappy-dev libgtest-dev libgmock-dev \
	libbenchmark-dev libpng-dev libavformat-dev libavcodec-dev libavutil-dev
# The tool's tests encode media files and check remuxed files with ffmpeg
# and ffprobe; nothing else needs them.
TEST_PACKAGES := ffmpeg
# The benchmarks' natural content: photographs, decoded by ffmpeg.
BENCH_PACKAGES := ffmpeg mate-backgrounds
ORV := $(BUILD)/tools/orv

.PHONY: all deps test-deps configure build test demo bench bench-build compare clean

all: build

deps:
	@./.ci/install-deps $(DEB_PACKAGES)

test-deps:
	@./.ci/install-deps $(TEST_PACKAGES)

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: test-deps build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The built-in demo scene, encoded, checked and described: no input, no ffmpeg.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target orv_tool
	$(ORV) encode --demo -y -o demo.orv
	$(ORV) verify demo.orv
	$(ORV) info demo.orv

bench-build: deps
	@./.ci/install-deps $(BENCH_PACKAGES)
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)-bench -j $(JOBS)

bench: bench-build
	@for b in $(BUILD)-bench/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

# The whole `orv encode` process against FFmpeg's Hap encoder on the same clip.
compare: bench-build
	bench/compare_ffmpeg.sh $(BUILD)-bench

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-asan $(BUILD)-tsan $(BUILD)-scalar demo.orv
