# Every target installs what is missing first (scripts/deps), then builds.
BUILD    ?= build
SANBUILD ?= build-sanitize
FUZZBUILD ?= build-fuzz
DEBBUILD ?= build-deb
FUZZ_SECONDS ?= 60
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test sanitize fuzz demo run bench deb clean

all: build

deps:
	@./scripts/deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 120

sanitize: deps
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DZERLINT_SANITIZE=ON
	cmake --build $(SANBUILD) -j $(JOBS)
	cd $(SANBUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 300

fuzz:
	@./scripts/deps clang libclang-rt-dev
	cmake -S . -B $(FUZZBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DZERLINT_FUZZ=ON
	cmake --build $(FUZZBUILD) -j $(JOBS) --target fuzzers
	./fuzz/run $(FUZZBUILD) $(FUZZ_SECONDS)

demo: build
	./scripts/demo $(BUILD)

run: build
	./scripts/run $(BUILD)

deb:
	@./scripts/deps dpkg-dev file groff-base man-db systemd lintian
	cmake -S . -B $(DEBBUILD) -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release
	cmake --build $(DEBBUILD) -j $(JOBS) --target deb-payload
	cd $(DEBBUILD) && cpack -G DEB
	./packaging/check-deb $(DEBBUILD)

bench: build
	@./scripts/deps redis-server
	$(BUILD)/bin/zerlint-bench

clean:
	rm -rf $(BUILD) $(SANBUILD) $(FUZZBUILD) $(DEBBUILD)
