# Two commands for a developer on Linux:
#   make test   set up what is missing, build both builds and run every test
#   make demo   run the real service under Wine and show what it did
# Both install missing Debian packages first (apt-get; sudo when not root).

JOBS      ?= $(shell nproc)
HOST_DIR  := build/host
WIN_DIR   := build/win
TOOLCHAIN := $(CURDIR)/cmake/mingw-w64-x86_64.cmake

PACKAGES := cmake make g++ libgtest-dev python3 \
            g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 \
            clang libclang-rt-14-dev clang-tidy cppcheck

.PHONY: all deps host win test unit wine demo bench clean

all: host win

deps:
	@./tools/install-deps $(PACKAGES)

host: deps
	cmake -S . -B $(HOST_DIR) -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(HOST_DIR) -j $(JOBS)

win: deps
	cmake -S . -B $(WIN_DIR) -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WIN_DIR) -j $(JOBS)

unit: host
	ctest --test-dir $(HOST_DIR) --output-on-failure

wine: win
	ctest --test-dir $(WIN_DIR) --output-on-failure

test: host win
	ctest --test-dir $(HOST_DIR) --output-on-failure
	ctest --test-dir $(WIN_DIR) --output-on-failure

clean:
	rm -rf build
