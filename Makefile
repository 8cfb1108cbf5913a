# Two commands for a developer on Linux:
#   make test   set up what is missing, build both builds and run every test
#   make demo   run the real service under Wine and show what it did
# and one for a release:
#   make dist   build the packages, build/win/tolvane-<version>-win64.zip and
#               build/win/tolvane-<version>-x64.msi, and the checksums of both,
#               build/win/tolvane-<version>-SHA256SUMS.txt; signed with
#               SIGN_PKCS12=cert.p12 SIGN_PASSWORD_FILE=password.txt
#               [SIGN_TIMESTAMP_URL=http://...] (see packaging/sign)
# All three install missing Debian packages first (apt-get; sudo when not root).

JOBS      ?= $(shell nproc)
HOST_DIR  := build/host
WIN_DIR   := build/win
TOOLCHAIN := $(CURDIR)/cmake/mingw-w64-x86_64.cmake

PACKAGES := cmake make g++ libgtest-dev python3 git \
            g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 \
            clang libclang-rt-14-dev clang-tidy cppcheck \
            wixl msitools python3-olefile osslsigncode openssl

.PHONY: all deps host win dist test unit wine demo bench clean \
        hardening fuzz sanitize asan tsan analyze

all: host win

deps:
	@./tools/install-deps $(PACKAGES)

host: deps
	cmake -S . -B $(HOST_DIR) -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(HOST_DIR) -j $(JOBS)

WIN_CONFIGURE := cmake -S . -B $(WIN_DIR) -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release

win: deps
	$(WIN_CONFIGURE)
	cmake --build $(WIN_DIR) -j $(JOBS)

# Only the executable and the packages, not the test programs. The build runs
# in build/win: the certificate's files are handed on with their full paths.
dist: deps
	$(WIN_CONFIGURE)
	SIGN_PKCS12="$(abspath $(SIGN_PKCS12))" SIGN_PASSWORD_FILE="$(abspath $(SIGN_PASSWORD_FILE))" \
	  SIGN_TIMESTAMP_URL="$(SIGN_TIMESTAMP_URL)" cmake --build $(WIN_DIR) -j $(JOBS) --target dist
	@ls -l $(WIN_DIR)/tolvane-*-win64.zip $(WIN_DIR)/tolvane-*-x64.msi $(WIN_DIR)/tolvane-*-SHA256SUMS.txt

unit: host
	ctest --test-dir $(HOST_DIR) --output-on-failure

wine: win
	ctest --test-dir $(WIN_DIR) --output-on-failure

test: host win
	$(MAKE) --no-print-directory hardening
	ctest --test-dir $(HOST_DIR) --output-on-failure
	ctest --test-dir $(WIN_DIR) --output-on-failure

demo: win
	python3 tools/demo $(WIN_DIR)

clean:
	rm -rf build

# ---------------------------------------------------------------- hardening
# Run by `make test`: the route file fuzzer for FUZZ_SECONDS, the unit tests
# under ASan+UBSan and under TSan, and static analysis of the product.

FUZZ_DIR     := build/fuzz
ASAN_DIR     := build/asan
TSAN_DIR     := build/tsan
BENCH_DIR    := build/bench
FUZZ_SECONDS ?= 60
FUZZER       := $(FUZZ_DIR)/tests/fuzz/route_file_fuzz

# clang for every instrumented build; a sanitizer finding ends the process
# with a failure, so the test (and the run) fails.
SAN_CMAKE := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
             -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all
SAN_ENV   := ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
             UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
             TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

hardening:
	@start=$$(date +%s); $(MAKE) --no-print-directory fuzz && \
	  echo "hardening: fuzz took $$(( $$(date +%s) - start )) s"
	@start=$$(date +%s); $(MAKE) --no-print-directory sanitize && \
	  echo "hardening: sanitize took $$(( $$(date +%s) - start )) s"
	@start=$$(date +%s); $(MAKE) --no-print-directory analyze && \
	  echo "hardening: analyze took $$(( $$(date +%s) - start )) s"

fuzz: deps
	cmake -S . -B $(FUZZ_DIR) $(SAN_CMAKE) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTOLVANE_FUZZ=ON -DTOLVANE_SANITIZE=fuzzer-no-link,address,undefined
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target route_file_fuzz
	mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/artifacts
	$(SAN_ENV) $(FUZZER) tests/fuzz/corpus/*
	@echo "fuzzing for $(FUZZ_SECONDS) s (log: $(FUZZ_DIR)/fuzz.log)"
	@$(SAN_ENV) $(FUZZER) -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 \
	  -print_final_stats=1 -dict=tests/fuzz/route_file.dict \
	  -artifact_prefix=$(FUZZ_DIR)/artifacts/ $(FUZZ_DIR)/corpus tests/fuzz/corpus \
	  > $(FUZZ_DIR)/fuzz.log 2>&1 || { tail -n 60 $(FUZZ_DIR)/fuzz.log; exit 1; }
	@grep -E '^(Done|stat::)' $(FUZZ_DIR)/fuzz.log

sanitize: asan tsan

asan: deps
	cmake -S . -B $(ASAN_DIR) $(SAN_CMAKE) -DCMAKE_BUILD_TYPE=Debug \
	  -DTOLVANE_SANITIZE=address,undefined
	cmake --build $(ASAN_DIR) -j $(JOBS)
	$(SAN_ENV) ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

tsan: deps
	cmake -S . -B $(TSAN_DIR) $(SAN_CMAKE) -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=thread
	cmake --build $(TSAN_DIR) -j $(JOBS)
	$(SAN_ENV) ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS)

# clang-tidy (.clang-tidy) for the Windows target and cppcheck; needs the
# Windows build's generated version.h.
analyze: win
	JOBS=$(JOBS) ./tools/analyze $(WIN_DIR)/generated

# Not a test: prints figures of the real service under Wine.
BENCH_EXES := $(BENCH_DIR)/bench_spawn.exe $(BENCH_DIR)/bench_probe.exe

$(BENCH_DIR)/%.exe: tests/bench/%.cpp
	@mkdir -p $(BENCH_DIR)
	x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Werror -DWIN32_LEAN_AND_MEAN \
	  -static -o $@ $< -lpsapi -ladvapi32

bench: win
	$(MAKE) --no-print-directory $(BENCH_EXES)
	python3 tests/bench/bench.py --tolvane $(WIN_DIR)/tolvane.exe \
	  --route-tool $(WIN_DIR)/tests/wine/fake_route.exe \
	  --spawn $(BENCH_DIR)/bench_spawn.exe --probe $(BENCH_DIR)/bench_probe.exe \
	  --work $(BENCH_DIR) $(if $(BENCH_ROUNDS),--rounds $(BENCH_ROUNDS))
