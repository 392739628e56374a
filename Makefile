# Quick start: `make demo` converts a sample picture, `make test` runs every test.
# Each target installs what it is missing (Debian or Ubuntu, through sudo when not root; where
# sudo is missing or cannot be used here, it names the command to run as root).

# The program alone needs BUILD_PACKAGES; the tests, the format check and the fuzz targets need
# more, which a first look at the program should not cost.
# The image library is built from the pinned DevIL source where its tarball is at hand
# (OSTRELLE_VENDOR, as for the Windows zip), against the system's libpng and libjpeg; elsewhere
# the system's DevIL is used.
OSTRELLE_VENDOR ?= ../shared/vendor
export OSTRELLE_VENDOR
IMAGE_PACKAGES := $(if $(wildcard $(OSTRELLE_VENDOR)/devil-1.8.0.tar.gz),\
  libpng-dev libjpeg-dev zlib1g-dev patch,libdevil-dev)
BUILD_PACKAGES := cmake g++ make pkg-config libseccomp-dev $(IMAGE_PACKAGES)
DEMO_PACKAGES := $(BUILD_PACKAGES) file
TEST_PACKAGES := $(BUILD_PACKAGES) libpng-dev zlib1g-dev libgtest-dev valgrind python3-pil \
  imagemagick graphicsmagick
FORMAT_PACKAGES := clang-format
FUZZ_PACKAGES := $(BUILD_PACKAGES) clang-14 libclang-rt-14-dev
PACKAGES := $(sort $(DEMO_PACKAGES) $(TEST_PACKAGES) $(FORMAT_PACKAGES) $(FUZZ_PACKAGES))
BENCH_PACKAGES := python3 python3-pil graphicsmagick imagemagick gnuplot-nox time util-linux
PRESET ?= release
JOBS ?= $(shell nproc)
# The Clang preset needs its compiler as well.
PRESET_PACKAGES := $(if $(filter ci-clang,$(PRESET)),clang-14)

# Make run by make (cmake --build) would name every folder it enters and leaves.
MAKEFLAGS += --no-print-directory

# $(call install,PACKAGES): installs those of PACKAGES that are missing (through sudo when not
# root); silent when none is, one line before and one after when some are, apt's output only when
# it fails.
install = @bash .ci/install-missing.sh $(1)

.PHONY: all setup build demo test asan format check-format clean fuzz bench

all: build

# Everything the targets below use, bench and package aside.
setup:
	$(call install,$(PACKAGES))

build:
	$(call install,$(TEST_PACKAGES) $(PRESET_PACKAGES))
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) --parallel $(JOBS)

# Only the program, in a build folder of its own; its build output is shown only when it fails.
DEMO_BUILD := build/program
demo:
	$(call install,$(DEMO_PACKAGES))
	@start=$$(date +%s); mkdir -p $(DEMO_BUILD); \
	if ! { cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=Release -DOSTRELLE_TESTS=OFF \
	         -DOSTRELLE_VENDOR=$(abspath $(OSTRELLE_VENDOR)) && \
	       cmake --build $(DEMO_BUILD) --target ostrelle --parallel $(JOBS); } \
	     >$(DEMO_BUILD)/build.log 2>&1; then \
	  cat $(DEMO_BUILD)/build.log; echo "demo: the build failed (log: $(DEMO_BUILD)/build.log)"; \
	  exit 1; \
	fi; \
	echo "Built $(DEMO_BUILD)/ostrelle in $$(($$(date +%s) - start)) s," \
	  "with $$(cat $(DEMO_BUILD)/image-library.txt)."
	@rm -rf build/demo && mkdir -p build/demo && cp docs/sample.png build/demo/sample.png
	@echo "Converting a copy of docs/sample.png in build/demo; input is /dev/null, so the final"
	@echo "wait for a key ends at once."
	@echo
	@echo '$$ ostrelle sample.png < /dev/null'
	@cd build/demo && ../program/ostrelle sample.png < /dev/null
	@echo
	@echo '$$ file sample.tga'
	@cd build/demo && file sample.tga

# ctest names skipped tests; their reasons are only in its log, so they are shown here too.
test: build
	ctest --preset $(PRESET)
	@awk '/: Skipped$$/ { getline; print "Skipped because: " $$0 }' \
	  build/$(PRESET)/Testing/Temporary/LastTest.log | sort -u | \
	  sed '$$a\See README.md, "Tests", for how to run them.' | grep . || true

asan:
	$(call install,$(TEST_PACKAGES))
	cmake --workflow --preset asan

# Runs each fuzz target on a fixed number of inputs (FUZZ_RUNS); fails on any finding.
fuzz:
	$(call install,$(FUZZ_PACKAGES))
	bash .ci/fuzz.sh

# Times the program against a libpng lower bound and other converters; writes docs/bench.{md,png}.
# BENCH_QUICK=1 make bench is a short run on small corpora.
bench:
	$(call install,$(PACKAGES) $(BENCH_PACKAGES))
	/usr/bin/python3 bench/bench.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

check-format:
	$(call install,$(FORMAT_PACKAGES))
	@files=$$(git ls-files '*.cpp' '*.h'); \
	clang-format --dry-run --Werror $$files && \
	echo "check-format: $$(echo $$files | wc -w) files as .clang-format wants them"

clean:
	rm -rf build

# Debian package: build/package/ostrelle_VERSION_ARCH.deb (`make package`), the Windows
# executable cross-built with mingw-w64 and checked against a stand-in DevIL (`make windows`), and
# the Windows download with the real DevIL, tested under wine (`make windows-release`).
.PHONY: package windows windows-release
PACKAGE_TOOLS := dpkg-dev file

package:
	$(call install,$(BUILD_PACKAGES) $(PACKAGE_TOOLS))
	cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DOSTRELLE_TESTS=OFF \
	  -DOSTRELLE_REQUIRE_PINNED_DEVIL=ON -DOSTRELLE_VENDOR=$(abspath $(OSTRELLE_VENDOR))
	cmake --build build/package --parallel $(JOBS)
	cd build/package && cpack

windows:
	bash .ci/windows-cross.sh

windows-release:
	bash .ci/windows-release.sh
