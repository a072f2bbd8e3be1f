# The two commands of the README, and the runs that CI adds.
#   make demo      builds, then runs the tools on a sample node tree
#   make test      builds, then runs every test
#   make sanitize  the same tests under the address and undefined-behaviour sanitizers
#   make fuzz      runs each libFuzzer target for FUZZ_SECONDS seconds
#   make bench     speed and memory against their floors (several GB of disk)
#   make package   the Debian package, built with the flags of dpkg-buildflags
#                  (hardening included), in build/package
#   make release   the plain Release build of the programs with g++
#                  (build/release-gcc) and clang++ (build/release-clang),
#                  warnings as errors
#   make cross ARCH=i686|armhf|s390x
#                  the tests of a cross build, run under qemu-user
FUZZ_SECONDS ?= 30
JOBS ?= 2
ARCH ?= s390x
CROSS_ARCHES := i686 armhf s390x
HARDENING := DEB_BUILD_MAINT_OPTIONS=hardening=+all

.PHONY: demo test sanitize fuzz bench package release release-gcc release-clang cross clean

# The build's lines go to build/demo-build.log, and show only when it fails.
demo:
	scripts/setup.sh build
	@mkdir -p build
	@cmake --preset default -DKAVEX_TESTS=OFF -DKAVEX_REQUIRE_TESTS=OFF >build/demo-build.log 2>&1 && \
	    cmake --build --preset default -j$(JOBS) -- --no-print-directory >>build/demo-build.log 2>&1 || \
	    { cat build/demo-build.log; echo "make demo: the build failed" >&2; exit 1; }
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
	cmake --preset default -DKAVEX_TESTS=OFF -DKAVEX_REQUIRE_TESTS=OFF >/dev/null
	cmake --build --preset default -j$(JOBS) -- --no-print-directory
	bench/run.sh build/default

# dpkg-buildflags gives CPPFLAGS, CXXFLAGS and LDFLAGS; CMake reads them at
# a fresh configuration.
package:
	scripts/setup.sh build docs package
	eval "$$($(HARDENING) dpkg-buildflags --export=sh)" && cmake --preset package --fresh >/dev/null
	cmake --build --preset package -j$(JOBS) -- --no-print-directory
	tests/package_test.sh --hardened build/package
	cd build/package && cpack -G DEB

release: release-gcc release-clang
release-gcc: RELEASE_CXX = g++
release-clang: RELEASE_CXX = clang++
release-gcc release-clang:
	scripts/setup.sh build clang
	cmake -S . -B build/$@ -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=$(RELEASE_CXX) \
	    -DKAVEX_TESTS=OFF -DKAVEX_WERROR=ON >/dev/null
	cmake --build build/$@ -j$(JOBS) -- --no-print-directory

cross:
	@case " $(CROSS_ARCHES) " in *" $(ARCH) "*) ;; \
	    *) echo "make cross: ARCH is one of $(CROSS_ARCHES)" >&2; exit 2 ;; esac
	scripts/setup.sh cross-$(ARCH) docs
	cmake --preset cross-$(ARCH) >/dev/null
	cmake --build --preset cross-$(ARCH) -j$(JOBS) -- --no-print-directory
	ctest --preset cross-$(ARCH) -j$(JOBS)

clean:
	rm -rf build demo-node
