# Entry points. Each target installs what is missing first (scripts/setup.sh
# is quick when everything is there), then lets CMake decide what to rebuild.
.PHONY: all setup exe native test demo fuzz bench release clean

all: exe

setup:
	@bash scripts/setup.sh

exe: setup
	@cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	    -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build/windows $(if $(EXE_TARGETS),--target $(EXE_TARGETS))

native: setup
	@cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build build/native

test: exe native
	@bash scripts/test.sh

demo: exe
	@bash scripts/demo.sh

fuzz: setup
	@bash fuzz/run.sh

bench: exe
	@bash bench/run.sh

# Builds HEAD afresh into dist/velquist-<version>/; SIGN_* variables sign it
# (docs/releasing.md).
release: setup
	@bash scripts/release.sh

clean:
	rm -rf build
