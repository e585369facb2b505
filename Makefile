# make test: install what is missing, then build and run every test for the host, the sanitizer
# build and the 32-bit ARM target (under qemu-arm).
PRESETS := host asan armhf
JOBS ?= $(shell nproc)

.PHONY: all deps test format clean $(addprefix build-,$(PRESETS)) $(addprefix test-,$(PRESETS))

all: build-host

deps:
	bash scripts/install-deps.sh

$(addprefix build-,$(PRESETS)): build-%:
	cmake --preset $*
	cmake --build --preset $* -j $(JOBS)

$(addprefix test-,$(PRESETS)): test-%: build-%
	ctest --preset $* -j $(JOBS)

test: deps
	$(MAKE) --no-print-directory test-host test-asan test-armhf

format:
	git ls-files '*.h' '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
