# Two commands do everything on a fresh Debian 12 machine (as root):
#   make demo   runs the main job
#   make test   runs every test
# Both install what is missing first.

HOST_BUILD := build/host
EFI_BUILD  := build/efi
BENCH_BUILD := build/bench
CMAKE_GEN  := -G Ninja

DEBIAN_PACKAGES := clang lld llvm cmake ninja-build g++ libgtest-dev libgmock-dev googletest \
                   libbenchmark-dev libclang-rt-14-dev qemu-system-x86 ovmf mtools \
                   pkg-config libefivar-dev nlohmann-json3-dev tmux valgrind
STAMP := build/.packages-installed

.PHONY: all host efi test demo deps clean bench fuzz fuzz-coverage

all: host efi

deps: $(STAMP)
$(STAMP): Makefile
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
	@mkdir -p build && touch $@

$(EFI_BUILD)/build.ninja: $(STAMP) CMakeLists.txt
	cmake -S . -B $(EFI_BUILD) $(CMAKE_GEN) -DCMAKE_TOOLCHAIN_FILE=efi/toolchain-uefi.cmake -DCMAKE_BUILD_TYPE=Release

$(HOST_BUILD)/build.ninja: $(STAMP) CMakeLists.txt
	CXX=clang++ cmake -S . -B $(HOST_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug

efi: $(EFI_BUILD)/build.ninja
	cmake --build $(EFI_BUILD)

host: $(HOST_BUILD)/build.ninja
	cmake --build $(HOST_BUILD)

test: all
	cd $(HOST_BUILD) && ctest --output-on-failure -j2

demo: all
	qemu/demo.sh $(EFI_BUILD)

# The scan measured: a host build of its own without sanitizers (DWARF 4 for
# valgrind), the efi build's images in OVMF, one table on standard output.
bench: efi
	CXX=clang++ cmake -S . -B $(BENCH_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DADDONCARD_SANITIZE=OFF \
	  -DCMAKE_CXX_FLAGS=-gdwarf-4
	cmake --build $(BENCH_BUILD) --target addoncard_bench
	bench/run-bench.sh $(BENCH_BUILD) $(EFI_BUILD) | tee $(BENCH_BUILD)/bench-table.md

# Every fuzz harness for FUZZ_SECONDS (default 600) each, FUZZ_JOBS (default 2)
# at a time; reports executions, coverage, new inputs and findings.
fuzz: host
	fuzz/run.sh $(HOST_BUILD)

# Line coverage of the driver code the committed corpora reach, per directory.
fuzz-coverage: $(STAMP)
	fuzz/coverage.sh

clean:
	rm -rf build
