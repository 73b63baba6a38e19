# Front door for developers and CI. `make test` is all a fresh machine needs.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
# Evaluated when a recipe runs (after `deps`); an existing build folder keeps its generator.
gen = $(if $(wildcard $(1)/CMakeCache.txt),,-G "$(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo Unix Makefiles)")
CMAKE_ARGS ?=

# Debian packages that `make test` needs (the programs run on none of them): the compiler and
# build tools with the PKCS#11 header (libp11-kit-dev; the token module is loaded at run time),
# GoogleTest, OpenSSL and Python's cryptography as independent references, the NIST/RFC vector
# files, dpkg-dev for the package test and SoftHSM2 as the tests' hardware token. Fuzzing and
# benchmarks bring their own (clang with its sanitizer runtime; Google Benchmark).
PROGRAM_PACKAGES := cmake ninja-build g++ libp11-kit-dev
PACKAGES       := $(PROGRAM_PACKAGES) libgtest-dev libssl-dev python3 python3-cryptography \
                  python3-cryptography-vectors dpkg-dev softhsm2
FUZZ_PACKAGES  := clang libclang-rt-14-dev
BENCH_PACKAGES := libbenchmark-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# The project's own builds are Release (-O3, where compilers find the most to warn about) with
# warnings as errors; a plain `cmake` configure keeps neither.
OWN_ARGS = -DCMAKE_BUILD_TYPE=Release -DQIV_WERROR=ON

.PHONY: all deps build programs test asan demo bench fuzz mutate package install clean format

all: build

# Idempotent: apt-get runs only when a package is missing.
install_missing = missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
	fi

deps:
	@$(call install_missing,$(PACKAGES))

build: deps
	cmake -S . -B $(BUILD) $(call gen,$(BUILD)) $(OWN_ARGS) -DQIV_TESTS=ON $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# The five programs alone: what the demo runs and what gets installed. A new build folder is
# configured without the tests (nothing but the compiler is needed); an existing one keeps them.
programs:
	@$(call install_missing,$(PROGRAM_PACKAGES))
	cmake -S . -B $(BUILD) $(call gen,$(BUILD)) $(OWN_ARGS) \
	  $(if $(wildcard $(BUILD)/CMakeCache.txt),,-DQIV_TESTS=OFF) $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target Tarnwick_V21 tarnwick sbinspect hdrmark padfill

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN_BUILD) $(call gen,$(ASAN_BUILD)) -DCMAKE_BUILD_TYPE=Debug -DQIV_SANITIZE=ON \
	  -DQIV_WERROR=ON $(CMAKE_ARGS) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  QIV_SANITIZED=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

demo: programs
	@if [ -x $(BUILD)/cli/Tarnwick_V21 ] && [ -x $(BUILD)/tarnwick/tarnwick ]; then ./scripts/demo.sh $(BUILD); \
	 else echo "The signing program is not built yet."; fi

# Opt-in: benchmarks against OpenSSL, written up in docs/PERFORMANCE.md.
bench: deps
	@$(call install_missing,$(BENCH_PACKAGES))
	./scripts/bench.sh

# Opt-in: every libFuzzer harness for FUZZ_SECONDS each (clang, ASan + UBSan).
FUZZ_SECONDS ?= 60
fuzz: deps
	@$(call install_missing,$(FUZZ_PACKAGES))
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./scripts/fuzz.sh

# Opt-in: plants each fault of scripts/mutations.txt in turn and reports the ones no test
# catches (docs/TESTING.md). Incremental builds in build-mutate; about an hour on two cores.
mutate: deps
	./scripts/mutate.py

# A .deb of the five programs, their man pages and the bash completion, in $(BUILD)/.
package: programs
	cd $(BUILD) && cpack -G DEB

install: programs
	cmake --install $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
