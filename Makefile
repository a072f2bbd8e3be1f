# The two commands of the README, and the runs that CI adds.
#   make demo      builds, then runs the tools on a sample node tree
#   make test      builds, then runs every test
#   make sanitize  the same tests under the address and undefined-behaviour sanitizers
#   make fuzz      runs each libFuzzer target for FUZZ_SECONDS seconds
#   make bench     speed and memory against their floors (several GB of disk)
#   make package   the Debian package and its source package, built from
#                  debian/ by dpkg-buildpackage with the flags of
#                  dpkg-buildflags (hardening included), in build/package,
#                  then tested; with ARCH=aarch64|armhf|i686|s390x the
#                  package for that target, in build/package-ARCH
#   make dist      the source tarball of the last commit, named for the version
#   make release   the plain Release build of the programs with g++
#                  (build/release-gcc) and clang++ (build/release-clang),
#                  warnings as errors
#   make cross ARCH=i686|armhf|aarch64|s390x
#                  the tests of a cross build, run under qemu-user
#   make vmtest    the package in a Debian 13 guest booted under qemu (with
#                  DIST=bookworm, Debian 12): its autopkgtest, the
#                  operator's scenarios, the signed apt repository,
#                  upgrade, removal and purge; with ARCH=aarch64 or armhf
#                  that target's package in an arm64 or armhf guest, its
#                  autopkgtest and each unit's run
#   make piuparts  piuparts on the package in Debian 13 (DIST=bookworm:
#                  12): install, remove, purge, upgrade
#   make repo      a signed apt repository of the packages of the four
#                  architectures, in build/repo, signed with the key of
#                  KAVEX_SIGNING_KEY, else a throwaway key
#   make repro     reprotest: two builds of the package, with varied build
#                  path, time, locale and environment, give the same .deb
#   make trixie    make demo, make test and make package in Debian 13, in a
#                  chroot that mmdebstrap makes (kept in
#                  /var/cache/kavex-node-tools)
# The four build the packages first (make package), but with
# PACKAGE_BUILT=1 take the ones make package left.
FUZZ_SECONDS ?= 30
JOBS ?= 2
ARCH ?=
CROSS_ARCHES := i686 armhf aarch64 s390x
CROSS_ARCH := $(or $(ARCH),s390x)
DIST ?= trixie
REPO_ARCHES := aarch64 armhf i686

.PHONY: demo test sanitize fuzz bench package dist release release-gcc release-clang cross clean \
    vmtest piuparts repro repo trixie

# The programs without the tests, in build/programs; the build's lines go to
# build/demo-build.log, and show only when it fails.
demo:
	scripts/setup.sh build
	@mkdir -p build
	@cmake --preset programs >build/demo-build.log 2>&1 && \
	    cmake --build --preset programs -j$(JOBS) -- --no-print-directory >>build/demo-build.log 2>&1 || \
	    { cat build/demo-build.log; echo "make demo: the build failed" >&2; exit 1; }
	scripts/demo.sh build/programs

test:
	scripts/setup.sh test docs
	cmake --preset default >/dev/null
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
	cmake --preset programs >/dev/null
	cmake --build --preset programs -j$(JOBS) -- --no-print-directory
	bench/run.sh build/programs

package:
	@$(if $(filter-out $(CROSS_ARCHES),$(ARCH)),echo "make package: ARCH is empty (this machine) \
	    or one of $(CROSS_ARCHES)" >&2; exit 2,true)
	scripts/setup.sh build docs package $(if $(ARCH),cross-$(ARCH) package-$(ARCH),test)
	scripts/package.sh $(ARCH)

vmtest:
	scripts/setup.sh vmtest $(if $(ARCH),vmtest-$(ARCH))
	$(if $(PACKAGE_BUILT),,$(MAKE) --no-print-directory package $(if $(ARCH),ARCH=$(ARCH)))
	tests/vm/run.sh build/package$(if $(ARCH),-$(ARCH)) \
	    $(if $(filter aarch64,$(ARCH)),arm64,$(if $(filter armhf,$(ARCH)),armhf,amd64)) $(DIST)

piuparts:
	scripts/setup.sh piuparts
	$(if $(PACKAGE_BUILT),,$(MAKE) --no-print-directory package)
	tests/piuparts.sh build/package $(DIST)

repo:
	scripts/setup.sh repo
	$(if $(PACKAGE_BUILT),,$(MAKE) --no-print-directory package)
	$(if $(PACKAGE_BUILT),,$(foreach arch,$(REPO_ARCHES),$(MAKE) --no-print-directory package ARCH=$(arch) &&) true)
	scripts/repo.sh build/repo build/package $(addprefix build/package-,$(REPO_ARCHES))

repro:
	scripts/setup.sh repro
	tests/repro.sh

dist:
	scripts/setup.sh package
	scripts/package.sh --dist

release: release-gcc release-clang
release-gcc: RELEASE_CXX = g++
release-clang: RELEASE_CXX = clang++
release-gcc release-clang:
	scripts/setup.sh build clang
	cmake -S . -B build/$@ -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=$(RELEASE_CXX) \
	    -DKAVEX_TESTS=OFF -DKAVEX_WERROR=ON >/dev/null
	cmake --build build/$@ -j$(JOBS) -- --no-print-directory

cross:
	@case " $(CROSS_ARCHES) " in *" $(CROSS_ARCH) "*) ;; \
	    *) echo "make cross: ARCH is one of $(CROSS_ARCHES)" >&2; exit 2 ;; esac
	scripts/setup.sh cross-$(CROSS_ARCH) docs
	cmake --preset cross-$(CROSS_ARCH) >/dev/null
	cmake --build --preset cross-$(CROSS_ARCH) -j$(JOBS) -- --no-print-directory
	ctest --preset cross-$(CROSS_ARCH) -j$(JOBS)

clean:
	rm -rf build demo-node

trixie:
	scripts/setup.sh trixie
	tests/trixie.sh
