# The two commands of the README, and the runs that CI adds.
#   make demo      builds, then runs the tools on a sample node tree
#   make test      builds, then runs every test
#   make sanitize  the same tests under the address and undefined-behaviour sanitizers
#   make fuzz      runs each libFuzzer target for FUZZ_SECONDS seconds
#   make bench     speed and memory against their floors (several GB of disk)
#   make package   the Debian package, in build/default
FUZZ_SECONDS ?= 30
JOBS ?= 2

.PHONY: demo test sanitize fuzz bench package clean

demo:
	scripts/setup.sh build
	cmake --preset default -DKAVEX_TESTS=OFF -DKAVEX_REQUIRE_TESTS=OFF >/dev/null
	cmake --build --preset default -j$(JOBS) -- --no-print-directory
	scripts/demo.sh build/default

test:
	scripts/setup.sh test docs
	cmake --preset default -DKAVEX_TESTS=ON -DKAVEX_REQUIRE_TESTS=ON >/dev/null
	cmake --build --preset default -j$(JOBS) -- --no-print-directory
	ctest --preset default -j$(JOBS)

sanitize:
	scripts/setup.sh test
	cmake --preset sanitize >/dev/null
	cmake --build --preset sanitize -j$(JOBS) -- --no-print-directory
	ctest --preset sanitize -j$(JOBS)

fuzz:
	scripts/setup.sh fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j$(JOBS) -- --no-print-directory
	scripts/fuzz.sh build/fuzz $(FUZZ_SECONDS)

bench:
	scripts/setup.sh build bench
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS) -- --no-print-directory
	bench/run.sh build/default

package:
	scripts/setup.sh build docs
	cmake --preset default >/dev/null
	cmake --build --preset default -j$(JOBS) -- --no-print-directory
	cd build/default && cpack -G DEB

clean:
	rm -rf build demo-node
