# The project's entry points. On a fresh Debian 12 machine `make test` and
# `make demo` install what is missing first.
SHELL := /bin/bash
BUILD := build
JOBS ?= 2
# AUTO: the tests under Wine run where i386 programs run natively.
VESK_WINE_TESTS ?= AUTO

.PHONY: deps host-asan host32 host fuzz-build win32 dist test test-guest bench fuzz demo clean

deps:
	@tools/install-deps.sh

host-asan: deps
	@cmake --preset host-asan > /dev/null
	@cmake --build --preset host-asan -j $(JOBS)

# The driver's host tests once more for 32-bit x86 (g++ -m32).
host32: deps
	@cmake --preset host32 > /dev/null
	@cmake --build --preset host32 -j $(JOBS)

host: deps
	@cmake --preset host > /dev/null
	@cmake --build --preset host -j $(JOBS)

fuzz-build: deps
	@cmake --preset fuzz > /dev/null
	@cmake --build --preset fuzz -j $(JOBS)

win32: deps
	@cmake --preset win32 -DVESK_WINE_TESTS=$(VESK_WINE_TESTS) > /dev/null
	@cmake --build --preset win32 -j $(JOBS)

# The deliverables that exist, and nothing else.
dist: win32
	@rm -rf dist && cmake --install $(BUILD)/win32 --prefix dist > /dev/null
	@ls -l dist

# One CTest run over both tiers: the host tests (under ASan and UBSan, at the
# host's widths and at x86's), a brief run of each fuzz target, the Windows
# tests under Wine and the binary checks of dist/. CTest lists the skipped and
# disabled tests after its summary, so the summary is repeated last.
test: host-asan host32 fuzz-build dist
	@printf 'subdirs("host-asan")\nsubdirs("host32")\nsubdirs("fuzz")\nsubdirs("win32")\n' > $(BUILD)/CTestTestfile.cmake
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) | tee ctest.log; status=$${PIPESTATUS[0]}; \
	  echo; grep -E '^[0-9]+% tests passed' ctest.log | tail -n 1; exit $$status

# The tests under Wine inside a 32-bit Debian guest (qemu-system-i386 on an
# emulated processor), for a machine whose kernel runs no 32-bit code: the
# guest's own kernel runs Wine and its kernel drivers as a 32-bit machine
# does. The guest is made once in $(GUEST) (debootstrap, needs root).
GUEST := $(BUILD)/guest-system
test-guest: deps
	@$(MAKE) --no-print-directory dist VESK_WINE_TESTS=ON
	@tools/vm/make-guest $(GUEST)
	@tools/vm/guest-run $(GUEST) $(BUILD)/guest-state tools/vm/guest-ctest $(BUILD)/win32 \
	  -R '^win32\.' --output-on-failure -j $(JOBS)

# Benchmarks of the hot paths against plain baselines (release build, not a
# test), then vesksvc's idle processor use, the TCP/IP page's refresh and
# the soak of both added pages under Wine.
bench: host dist
	@$(BUILD)/host/bench/driver_bench
	@$(BUILD)/host/bench/connections_bench
	@bench/vesksvc-idle $(BUILD) dist
	@bench/connections-refresh $(BUILD) dist
	@bench/page-soak $(BUILD) dist

# Each fuzz target for FUZZ_SECONDS seconds, or for FUZZ_RUNS inputs when
# that is set; one line per target reports its inputs per second (over the
# whole run and each half) and its peak memory. A finding fails the run and
# leaves its input in build/fuzz/findings/.
FUZZ_SECONDS ?= 300
FUZZ_RUNS ?=
fuzz: fuzz-build
	@for target in fuzz_create fuzz_internal fuzz_device_control; do \
	  mkdir -p $(BUILD)/fuzz/corpus/$$target; \
	  tools/fuzz/fuzz-run $$target $(BUILD)/fuzz/tests/fuzz/$$target $(BUILD)/fuzz/findings \
	    $(if $(FUZZ_RUNS),-runs=$(FUZZ_RUNS),-max_total_time=$(FUZZ_SECONDS)) \
	    $(BUILD)/fuzz/corpus/$$target tests/fuzz/corpus/$$target || exit 1; \
	done

# The substitute Task Manager with taskext_xp under Wine; a picture of each
# page goes to dist/screenshots/.
demo: dist
	@tools/demo/run-demo $(BUILD) dist

clean:
	rm -rf $(BUILD) dist
