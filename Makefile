# Thin wrapper around the two CMake build trees (build/x86_64, build/i386).
PREFIX ?= /usr/local
MAKEFLAGS += --no-print-directory

.PHONY: all build demo check install bench clean

all: build

# make, make install, make demo and make bench build without the tests, so
# they need only the build's packages (scripts/deps.sh build); make check
# installs the tests' packages too.
build:
	VORN_TESTS=OFF scripts/build.sh

demo:
	VORN_TESTS=OFF scripts/build.sh x86_64
	scripts/demo.sh

check:
	scripts/check.sh

install: build
	cmake --install build/x86_64 --prefix "$(PREFIX)"
	cmake --install build/i386 --prefix "$(PREFIX)"

bench:
	VORN_TESTS=OFF scripts/build.sh x86_64
	scripts/bench.sh

clean:
	rm -rf build
