# Front door: `make` builds, `make quick` builds and runs the quick tests (the ones to run while
# working), `make test` installs what is missing, builds and runs every test twice (plain and
# under ASan+UBSan) and runs each fuzzer briefly, `make demo` builds only the command-line
# program and shows the product, `make package` builds the Debian packages into build-deb/.
JOBS      ?= $(shell nproc)
BUILD     ?= build
ASAN      ?= build-asan
FUZZ      ?= build-fuzz
FUZZ_SECS ?= 10
DEB       ?= build-deb
GEN       := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
# The project's own builds treat warnings as errors; a plain `cmake` build does not.
WERROR    ?= -DNORVALE_WERROR=ON

.PHONY: all deps build quick test test-plain test-asan fuzz demo bench package format clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(GEN) $(WERROR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

quick: build
	cd $(BUILD) && ctest -L quick --output-on-failure -j $(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN)/CMakeCache.txt:
	cmake -S . -B $(ASAN) $(GEN) $(WERROR) -DCMAKE_BUILD_TYPE=Debug -DNORVALE_SANITIZE=ON

test-asan: $(ASAN)/CMakeCache.txt
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

$(FUZZ)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) $(GEN) $(WERROR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVALE_FUZZ=ON

fuzz: $(FUZZ)/CMakeCache.txt
	cmake --build $(FUZZ) -j $(JOBS)
	scripts/run-fuzzers.sh $(FUZZ) $(FUZZ_SECS)

test: deps
	$(MAKE) test-plain
	$(MAKE) test-asan
	$(MAKE) fuzz

demo: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target norvale-cli
	scripts/demo.sh $(BUILD)

bench: build
	scripts/run-benchmarks.sh $(BUILD)

# norvale-cli and norvale as .deb files in $(DEB), checked by lintian; as root it installs the
# missing build dependencies (scripts/build-packages.sh).
package:
	scripts/build-packages.sh $(DEB)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ) $(DEB)
