# Quorl — set-up, build and test on Debian 12.
#   make run    install what is missing, build, run Quorl
#   make test   install what is missing, build, run every test, then again under ASan + UBSan
#   make check  make test, then clang-tidy (what .ci/run does)
#   make fuzz   build the libFuzzer targets with clang and run each for FUZZ_SECONDS
#   make soak   quorl-track over SOAK_FRAMES synthetic frames, resident memory sampled
#   make package  the Debian package build/quorl_<version>_<arch>.deb (Quorl, Tessik, quorl-track)

PACKAGES := build-essential cmake ninja-build pkg-config \
            libann-dev libopencv-dev libopencv-contrib-dev opencv-doc nlohmann-json3-dev libboost-dev \
            libpng-dev libjpeg-dev libtiff-dev libwebp-dev libcairo2-dev \
            qt6-base-dev libqt6opengl6-dev libxkbcommon-dev libvulkan-dev libgl-dev freeglut3-dev \
            libgtest-dev libgmock-dev libbenchmark-dev \
            xvfb xauth fonts-nanum \
            clang libclang-rt-14-dev clang-tidy zlib1g-dev \
            pybind11-dev python3-dev python3-numpy python3-pytest python3-opencv python3-jsonschema chromium

# What make compare adds: a real card deck for the picture libraries, and what renders it.
BENCH_PACKAGES := kdegames-card-data-kf5 librsvg2-bin

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
# Seconds each fuzz target runs under `make fuzz`.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := camera_param packed_dib opencv_calibration track_options source_name picture_file pose_stream
# Soak: frames, a registration every SOAK_REGISTER_EVERY frames, memory sampled every SOAK_SAMPLE_EVERY;
# fails when resident memory grows by more than SOAK_MAX_KIB after the first SOAK_WARMUP frames.
SOAK_FRAMES ?= 100000
SOAK_REGISTER_EVERY ?= 5000
SOAK_SAMPLE_EVERY ?= 1000
SOAK_WARMUP ?= 10000
SOAK_MAX_KIB ?= 4096
JOBS       ?= 2
SUDO       := $(if $(filter 0,$(shell id -u)),,sudo)
# GUI tests need an X display; without one the test run goes through Xvfb.
XRUN       := $(if $(DISPLAY),,xvfb-run -a -s "-screen 0 1280x1024x24")

.PHONY: all deps bench-deps configure build run test test-asan check tidy fuzz soak bench package clean

all: build

# Installs the packages of $(1) that are missing.
define install_missing
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

bench-deps: deps
	$(call install_missing,$(BENCH_PACKAGES))

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./tools/run-quorl.sh $(BUILD)

# The whole suite on the release build, then again on the sanitizer build.
test: build
	cd $(BUILD) && $(XRUN) ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-asan

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORL_SANITIZE=ON

test-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(XRUN) ctest --output-on-failure -j $(JOBS)

check: test tidy

# clang-tidy with the checks of .clang-tidy; fails on warnings beyond .ci/tidy-baseline.
tidy: build
	.ci/tidy $(BUILD) $(JOBS)

$(FUZZ_BUILD)/build.ninja: | deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DQUORL_FUZZ=ON

fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(JOBS) $(FUZZ_TARGETS)

soak: configure
	cmake --build $(BUILD) -j $(JOBS) --target quorl-track
	tests/tools/expect_flat_memory.sh $(BUILD)/tools/quorl-track $(SOAK_MAX_KIB) $(SOAK_WARMUP) \
	  --frames $(SOAK_FRAMES) --reregister-every $(SOAK_REGISTER_EVERY) --memory-every $(SOAK_SAMPLE_EVERY) \
	  --quiet --camera-params Data/camera_param.dat

bench: build
	for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

# CPack's DEB generator; dpkg-shlibdeps (from build-essential's dpkg-dev) declares the libraries.
package: build
	cmake --build $(BUILD) -j $(JOBS) --target package

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)

# Tessik, the camera parameter editor, opened on Data/camera_param.dat.
.PHONY: run-tessik
run-tessik: configure
	cmake --build $(BUILD) -j $(JOBS) --target tessik
	$(BUILD)/editor/tessik Data/camera_param.dat

# quorl-track (default and robust mode) against its ORB peer on every synthetic profile at 320x240 and
# 640x480: one table, and the jitter on the still profile. FRAMES, SEED, PROFILES and SIZES choose the
# runs; TARGET names a picture to show as the target, e.g.
#   make compare TARGET=/usr/share/doc/opencv-doc/examples/data/graf1.png
.PHONY: compare
compare: build bench-deps
	TARGET="$(TARGET)" THREADS="$(THREADS)" ./tools/compare-trackers.sh $(BUILD)
