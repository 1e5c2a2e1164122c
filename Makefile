# Thin wrappers over the CMake presets (see README.md).
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
EXAMPLE ?= examples/run-example.sh

.PHONY: demo test asan build bench clean

build:
	@tools/check-deps.sh
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS)

demo:
	@tools/check-deps.sh
	cmake --preset dev -DTABULON_BUILD_TESTS=OFF >/dev/null
	cmake --build --preset dev -j $(JOBS)
	@$(EXAMPLE) build/dev

test:
	@tools/check-deps.sh --tests
	cmake --preset dev -DTABULON_BUILD_TESTS=ON >/dev/null
	cmake --build --preset dev -j $(JOBS)
	ctest --preset dev -j $(JOBS)

asan:
	@tools/check-deps.sh --tests
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# Benchmarks in an optimised build of their own: generates the workbooks once
# (bench/data), runs the Google Benchmark cases and the side-by-side comparison.
bench:
	cmake --preset release -DTABULON_BUILD_TESTS=OFF -DTABULON_BUILD_BENCH=ON >/dev/null
	cmake --build --preset release -j $(JOBS) --target bench

clean:
	rm -rf build
