# Thin front over CMake: `make run` and `make test` are the two commands of the README.
JOBS ?= $(shell nproc)
BUILD ?= build
TEST_BUILD ?= build-test

.PHONY: deps run test bench fuzz clean

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYR_BUILD_TESTS=OFF

run: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)
	bash scripts/run-main.sh $(BUILD)

$(TEST_BUILD)/build.ninja:
	cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DYR_SANITIZE=ON

test: deps $(TEST_BUILD)/build.ninja
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DYR_BUILD_TESTS=OFF -DYR_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	for b in build-bench/bench/bench_*; do $$b; done

clean:
	rm -rf $(BUILD) $(TEST_BUILD) build-bench build-fuzz
