# Quick start: `make demo` updates the simulated box, `make test` runs every
# test. Both install what is missing first.
BUILD ?= build
SAN_BUILD ?= build-san
JOBS ?= 2

QUICK ?= 0

.PHONY: deps build demo test sanitize windows package bench clean

deps:
	@./tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	./tools/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DUPDATE_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# The Windows cross build, run under Wine where it is available.
windows: build
	./tools/windows-check.sh $(BUILD)

# The Debian package, the Windows zip and installer, into $(BUILD)/packages,
# from build trees of their own without tests; then tools/package-check.sh
# checks them.
package: deps
	./tools/package.sh $(BUILD)

# One table of ratios against the peer and the line limit, written to
# docs/benchmarks.md; a few minutes. QUICK=1 runs in seconds and only
# checks that every measurement still runs (the table goes to the build).
bench: build
	QUICK=$(QUICK) ./bench/update_bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD)-pkg $(SAN_BUILD) build-win
