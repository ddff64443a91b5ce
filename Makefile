# The front door: every target installs what it needs first.
.PHONY: all deps deps-run build test test-asan lint bench run package clean

JOBS ?= $(shell nproc)

all: build

deps:
	bash scripts/install-deps test

# Building and running alone need fewer packages than the tests.
deps-run:
	bash scripts/install-deps run

build: deps
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS)

test: build
	ctest --preset dev -j $(JOBS)

# The sanitizers' report fails a test on every try; a test that fails once for timing alone (the
# build runs some tests at a third of their speed) gets a second try.
test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS) --repeat until-pass:2

# clang-tidy with the committed .clang-tidy over the program's sources, every finding an error. The
# pattern holds no folder of the checkout, whose name may hold characters a pattern reads otherwise.
lint: build
	run-clang-tidy -p build/dev -quiet -j $(JOBS) \
		'/src/[^/]+/[^/]+\.cpp$$'

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	bash bench/run-all build/release

package: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	cd build/release && cpack -B $(CURDIR)/build/package
	@ls $(CURDIR)/build/package/mirl_*.deb

run: deps-run
	bash scripts/run

clean:
	rm -rf build
