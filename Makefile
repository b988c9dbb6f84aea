# Thin wrappers over scripts/: the README's two commands are `make run` and
# `make test`.
.PHONY: run test bench fuzz soak build bootstrap clean package

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@scripts/build build

run: build
	@scripts/run

test: bootstrap
	@scripts/test

bench: build
	@scripts/bench

fuzz: build
	@scripts/fuzz

soak: build
	@scripts/soak

# build/ostravel_VERSION_amd64.deb and build/rocktreed_VERSION_amd64.deb
package: build
	@cd build && cpack -G DEB

clean:
	rm -rf build build-*
