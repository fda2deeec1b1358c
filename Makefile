# Entry points. Each target installs what is missing first (scripts/setup.sh
# is quick when everything is there), then lets CMake decide what to rebuild.
#
# VQ_EMULATE_I386=1 make TARGET... runs the targets with every i386 program
# handed to qemu, also on a host that runs them itself (so that any machine can
# prove the path a host without IA-32 emulation takes), and undoes that after.
ifneq ($(VQ_EMULATE_I386),)

goals := $(or $(MAKECMDGOALS),all)
.PHONY: $(goals) emulated
$(firstword $(goals)): emulated
$(filter-out $(firstword $(goals)),$(goals)): emulated ; @:
emulated:
	@bash scripts/setup.sh --emulated $(MAKE) --no-print-directory VQ_EMULATE_I386= $(goals)

else

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

endif
