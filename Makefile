# Front door for developers and CI. `make test` is all a fresh machine needs.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
# Evaluated when a recipe runs (after `deps`); an existing build folder keeps its generator.
gen = $(if $(wildcard $(1)/CMakeCache.txt),,-G "$(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo Unix Makefiles)")
CMAKE_ARGS ?=

# Debian packages the build and the tests need (the programs themselves need none of them).
PACKAGES := cmake ninja-build g++ clang libgtest-dev libssl-dev libbenchmark-dev libclang-rt-14-dev python3 python3-cryptography \
            python3-cryptography-vectors
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test asan demo bench fuzz mutate install clean format

all: build

# Idempotent: apt-get runs only when a package is missing.
deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
	fi

build: deps
	cmake -S . -B $(BUILD) $(call gen,$(BUILD)) $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN_BUILD) $(call gen,$(ASAN_BUILD)) -DCMAKE_BUILD_TYPE=Debug -DQIV_SANITIZE=ON \
	  $(CMAKE_ARGS) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  QIV_SANITIZED=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

demo: build
	@if [ -x $(BUILD)/cli/Tarnwick_V21 ]; then ./scripts/demo.sh $(BUILD); \
	 else echo "The signing program is not built yet."; fi

# Opt-in: benchmarks against OpenSSL, written up in docs/PERFORMANCE.md.
bench: deps
	./scripts/bench.sh

# Opt-in: every libFuzzer harness for FUZZ_SECONDS each (clang, ASan + UBSan).
FUZZ_SECONDS ?= 60
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./scripts/fuzz.sh

# Opt-in: plants each fault of scripts/mutations.txt in turn and reports the ones no test
# catches (docs/TESTING.md). Incremental builds in build-mutate; about an hour on two cores.
mutate: deps
	./scripts/mutate.py

install: build
	cmake --install $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
