# Thin wrapper around the two CMake build trees (build/x86_64, build/i386).
PREFIX ?= /usr/local
MAKEFLAGS += --no-print-directory

.PHONY: all build demo check install bench clean

all: build

build:
	scripts/build.sh

demo:
	scripts/build.sh x86_64
	scripts/demo.sh

check:
	scripts/check.sh

install: build
	cmake --install build/x86_64 --prefix "$(PREFIX)"
	cmake --install build/i386 --prefix "$(PREFIX)"

bench:
	scripts/build.sh x86_64
	scripts/bench.sh

clean:
	rm -rf build
