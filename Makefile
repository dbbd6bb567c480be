# The project's entry points. On a fresh Debian 12 machine `make test` and
# `make demo` install what is missing first.
SHELL := /bin/bash
BUILD := build
JOBS ?= 2

.PHONY: deps host-asan host win32 dist test bench demo clean

deps:
	@tools/install-deps.sh

host-asan: deps
	@cmake --preset host-asan > /dev/null
	@cmake --build --preset host-asan -j $(JOBS)

host: deps
	@cmake --preset host > /dev/null
	@cmake --build --preset host -j $(JOBS)

win32: deps
	@cmake --preset win32 > /dev/null
	@cmake --build --preset win32 -j $(JOBS)

# The deliverables that exist, and nothing else.
dist: win32
	@rm -rf dist && cmake --install $(BUILD)/win32 --prefix dist > /dev/null
	@ls -l dist

# One CTest run over both tiers: the host tests (under ASan and UBSan), the
# Windows tests under Wine and the binary checks of dist/.
test: host-asan dist
	@printf 'subdirs("host-asan")\nsubdirs("win32")\n' > $(BUILD)/CTestTestfile.cmake
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Benchmarks of the hot paths against plain baselines (release build, not a test).
bench: host
	@$(BUILD)/host/bench/driver_bench

demo: dist
	@echo "Deliverables in dist/:"
	@echo "  vesk.sys      network activity driver: TDI filter over \\Device\\Tcp and \\Device\\Udp,"
	@echo "                control device \\\\.\\vesk"
	@echo "  tdiorder.exe  puts the vesk driver's load-order tag right after tcpip's"
	@echo "                in the PNP_TDI group order list (no window; exits with 0)"

clean:
	rm -rf $(BUILD) dist
