# Entry points. Each target installs what is missing first (scripts/setup.sh
# is quick when everything is there), then lets CMake decide what to rebuild.
# Where make itself is missing, `bash make.sh TARGET...` installs it first.
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

.PHONY: all setup exe native check test suites demo fuzz bench release clean

all: exe

setup:
	@bash scripts/setup.sh

# The toolchain file counts only in a tree's first configure (CMake warns when
# given it again). That configure leaves the program it identified the
# compiler with (CompilerIdCXX/a.exe): nothing reads it again, and it is not
# ours to ship.
configure-windows = cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    $(if $(wildcard build/windows/CMakeCache.txt),,-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake) \
    >/dev/null && rm -f build/windows/CMakeFiles/*/CompilerId*/*.exe

# What ships, and nothing else: build/windows/velquist.exe and velquist-check.exe.
exe: setup
	@$(configure-windows)
	@cmake --build build/windows $(if $(EXE_TARGETS),--target $(EXE_TARGETS))

native: setup
	@cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build build/native

# The fast loop: unit tests and the fuzz corpus replay; no Wine, no Windows build.
check: native
	@FUZZ_CI_RUNS=0 bash scripts/test.sh native fuzz

# SUITES="wine pe" runs only those: folder names under tests/, and native for
# the unit tests. Each builds what it needs: native the unit-test tree, a suite
# under Wine the shipped programs and its own (suite-NAME in the Windows build).
all_suites := native $(patsubst tests/%/run.sh,%,$(wildcard tests/*/run.sh))
selected := $(or $(strip $(SUITES)),$(all_suites))
wine_suites := $(filter-out native fuzz,$(selected))

test: suites setup $(if $(filter native,$(selected)),native)
ifneq ($(strip $(wine_suites)),)
	@$(configure-windows)
	@cmake --build build/windows --target velquist velquist-check \
	    $(foreach s,$(wine_suites),$(if $(wildcard tests/$(s)/CMakeLists.txt),suite-$(s)))
endif
	@bash scripts/test.sh $(selected)

# Refuses unknown suite names before anything is built.
suites:
	@bash scripts/test.sh --check-names $(selected)

# The demo plants the consumer suite's recorder where Windows looks first.
demo: exe
	@cmake --build build/windows --target recorder
	@bash scripts/demo.sh

fuzz: setup
	@bash fuzz/run.sh

bench: exe
	@cmake --build build/windows --target floor benchrun
	@bash bench/run.sh

# Builds HEAD afresh into dist/velquist-<version>/; SIGN_* variables sign it
# (docs/releasing.md).
release: setup
	@bash scripts/release.sh

clean:
	rm -rf build

endif
