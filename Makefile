# make run   — installs what the program needs, builds only the program and
#              starts it
# make test  — installs what is missing, builds and runs every test
#              (unit tests also under AddressSanitizer + UBSan, and the
#              Windows build's tests under Wine)
BUILD ?= build
ASAN_BUILD ?= build-asan
WIN_BUILD ?= build-win
JOBS ?= $(shell nproc)

.PHONY: all deps build run test unit-asan test-windows format format-check bench clean

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVELSK_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)

# Only the program: no test, no sanitizer build, no benchmark, no Windows
# tool chain, in a folder of its own so that it never waits for them.
RUN_BUILD ?= build-run
run:
	scripts/install-deps --program
	cmake -S . -B $(RUN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVELSK_TESTS=OFF
	cmake --build $(RUN_BUILD) -j $(JOBS) --target ravelsk
	$(RUN_BUILD)/ravelsk

test: build unit-asan format-check
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	$(MAKE) test-windows

# The Windows build (mingw-w64) and its tests under Wine.
test-windows: deps
	JOBS=$(JOBS) scripts/test-windows $(WIN_BUILD)

unit-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DRAVELSK_SANITIZE=ON \
	  -DRAVELSK_WITH_QT=OFF -DRAVELSK_WITH_LIBREOFFICE=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target ravelsk_unit_tests ravelsk_posix_tests
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -L unit -j $(JOBS)

format:
	git ls-files -co --exclude-standard '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files -co --exclude-standard '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

bench: build
	bench/run

clean:
	rm -rf $(BUILD) $(RUN_BUILD) $(ASAN_BUILD) $(WIN_BUILD)
