# Quick start: `make demo` converts a sample picture, `make test` runs every test.
# Both install what is missing to build (Debian or Ubuntu, through sudo when not root).

PACKAGES := cmake g++ make pkg-config libdevil-dev libpng-dev libgtest-dev clang-format valgrind file clang-14 libclang-rt-14-dev
BENCH_PACKAGES := python3 python3-pil graphicsmagick imagemagick gnuplot-nox time util-linux
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PRESET ?= release

.PHONY: all setup build demo test asan format check-format clean fuzz bench

all: build

setup:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi

build: setup
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) --parallel

demo: build
	@rm -rf build/demo && mkdir -p build/demo && cp docs/sample.png build/demo/sample.png
	@echo '$$ ostrelle sample.png < /dev/null'
	@cd build/demo && ../$(PRESET)/ostrelle sample.png < /dev/null
	@echo '$$ ls -l build/demo && file build/demo/sample.tga'
	@ls -l build/demo && file build/demo/sample.tga

test: build
	ctest --preset $(PRESET)

asan: setup
	cmake --workflow --preset asan

# Times the program against a libpng lower bound and other converters; writes docs/bench.{md,png}.
# BENCH_QUICK=1 make bench is a short run on small corpora.
bench:
	@$(MAKE) --no-print-directory setup PACKAGES="$(PACKAGES) $(BENCH_PACKAGES)"
	/usr/bin/python3 bench/bench.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

check-format: setup
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build

# Debian package: build/package/ostrelle_VERSION_ARCH.deb (`make package`), the Windows
# executable cross-built with mingw-w64 and checked against a stand-in DevIL (`make windows`), and
# the Windows download with the real DevIL, tested under wine (`make windows-release`).
.PHONY: package windows windows-release
PACKAGE_TOOLS := dpkg-dev file

package:
	$(MAKE) setup PACKAGES="$(PACKAGES) $(PACKAGE_TOOLS)"
	cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DOSTRELLE_TESTS=OFF
	cmake --build build/package --parallel
	cd build/package && cpack

windows:
	bash .ci/windows-cross.sh

windows-release:
	bash .ci/windows-release.sh
