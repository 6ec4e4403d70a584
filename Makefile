# Quorl — set-up, build and test on Debian 12.
#   make run    install what is missing, build, run Quorl
#   make test   install what is missing, build, run every test

PACKAGES := build-essential cmake ninja-build pkg-config \
            libann-dev libopencv-dev opencv-doc \
            qt6-base-dev libqt6opengl6-dev libxkbcommon-dev libvulkan-dev libgl-dev freeglut3-dev \
            libgtest-dev libgmock-dev libbenchmark-dev \
            xvfb xauth fonts-nanum \
            clang libclang-rt-14-dev clang-tidy

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2
SUDO       := $(if $(filter 0,$(shell id -u)),,sudo)
# GUI tests need an X display; without one the test run goes through Xvfb.
XRUN       := $(if $(DISPLAY),,xvfb-run -a -s "-screen 0 1280x1024x24")

.PHONY: all deps configure build run test test-asan bench clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./tools/run-quorl.sh $(BUILD)

test: build
	cd $(BUILD) && $(XRUN) ctest --output-on-failure -j $(JOBS)

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORL_SANITIZE=ON

test-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(XRUN) ctest --output-on-failure -j $(JOBS)

bench: build
	for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# Tessik, the camera parameter editor, opened on Data/camera_param.dat.
.PHONY: run-tessik
run-tessik: configure
	cmake --build $(BUILD) -j $(JOBS) --target tessik
	$(BUILD)/editor/tessik Data/camera_param.dat

# quorl-track against its ORB peer on every synthetic profile at 320x240 and 640x480: one table.
.PHONY: compare
compare: build
	./tools/compare-trackers.sh $(BUILD)
