# The README's two commands are `make run` and `make test`; the rest are helpers.
GENERATOR   ?= Ninja
WERROR      ?= ON
BUILD       ?= build
JOBS        ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure --timeout 300 -j $(JOBS)

configure = cmake -S . -B $(1) -G $(GENERATOR) -DCORVANE_WERROR=$(WERROR) $(2) >/dev/null

.PHONY: all build run demo test test-main test-asan test-tsan asan tsan bench fuzz format clean

all: build

build:
	$(call configure,$(BUILD),)
	cmake --build $(BUILD) -j $(JOBS)

# The main job: the daemon in the foreground (etc/corvane.dev.conf), its DNS
# answered by a local Knot DNS serving the demo zone. Ctrl-C stops it.
run: build
	BUILD=$(BUILD) scripts/run-demo

# From another terminal while `make run` runs: sample messages and what the
# MTA receives for each.
demo:
	$(BUILD)/tests/demo/corvane-demo-mta $(BUILD)/run/corvane.sock 8894

# Every test label on the normal build, then unit and integration tests under
# AddressSanitizer+UndefinedBehaviorSanitizer and the unit tests under ThreadSanitizer.
test: test-main test-asan test-tsan

test-main: build
	cd $(BUILD) && ctest $(CTEST_FLAGS)

asan:
	$(call configure,build-asan,-DCMAKE_BUILD_TYPE=Debug -DCORVANE_ASAN=ON)
	cmake --build build-asan -j $(JOBS)

test-asan: asan
	cd build-asan && ctest $(CTEST_FLAGS) -L 'unit|integration'

tsan:
	$(call configure,build-tsan,-DCMAKE_BUILD_TYPE=Debug -DCORVANE_TSAN=ON)
	cmake --build build-tsan -j $(JOBS)

test-tsan: tsan
	cd build-tsan && ctest $(CTEST_FLAGS) -L unit

bench:
	$(call configure,build-bench,-DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF -DCORVANE_BENCH=ON)
	cmake --build build-bench -j $(JOBS)
	for b in build-bench/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

fuzz:
	CXX=clang++-14 $(call configure,build-fuzz,-DCMAKE_BUILD_TYPE=Debug -DCORVANE_TESTS=OFF -DCORVANE_FUZZ=ON -DCORVANE_WERROR=OFF)
	cmake --build build-fuzz -j $(JOBS)

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
