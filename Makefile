# Thin front over CMake: `make run` and `make test` are the two commands of the README.
# `make test` runs the suite in the Debug sanitizer build ($(TEST_BUILD)) and in the
# RelWithDebInfo build that `make run` ships ($(BUILD)): both trees are configured with tests.
JOBS ?= $(shell nproc)
BUILD ?= build
TEST_BUILD ?= build-test
CTEST_ARGS = --output-on-failure -j $(JOBS) --timeout 300

.PHONY: deps run test test-debug test-release configure-release configure-debug bench fuzz clean

deps:
	@bash scripts/install-deps.sh

# Configured every time (cheap when nothing changed), so that a tree made earlier without tests
# gets them.
configure-release:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYR_BUILD_TESTS=ON

configure-debug:
	cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DYR_SANITIZE=ON -DYR_BUILD_TESTS=ON

# The main job needs only the plug-in, the media-bridge stand-in, the host and the far end.
run: deps configure-release
	cmake --build $(BUILD) -j $(JOBS) --target YrTnVMwarePlugin MediaBridge vc_host stl_peer
	bash scripts/run-main.sh $(BUILD)

test-debug: deps configure-debug
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ctest $(CTEST_ARGS)

test-release: deps configure-release
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest $(CTEST_ARGS)

# Both builds, one after the other (each uses every core); the first failure stops the run.
test: test-debug test-release

# Runs only the programs (CMake leaves bench_*_autogen folders beside them), every one of them;
# the command fails when one failed.
bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DYR_BUILD_TESTS=OFF -DYR_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	@status=0; for b in build-bench/bench/bench_*; do \
	  if [ -f "$$b" ] && [ -x "$$b" ]; then "$$b" || status=1; fi; \
	done; exit $$status

clean:
	rm -rf $(BUILD) $(TEST_BUILD) build-bench build-fuzz
