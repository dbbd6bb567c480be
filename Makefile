# The project's entry points. On a fresh Debian 12 machine `make test` and
# `make demo` install what is missing first.
SHELL := /bin/bash
BUILD := build
JOBS ?= 2

.PHONY: deps host-asan win32 dist test demo clean

deps:
	@tools/install-deps.sh

host-asan: deps
	@cmake --preset host-asan > /dev/null
	@cmake --build --preset host-asan -j $(JOBS)

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

# The substitute Task Manager with taskext_xp under Wine; a picture of each
# page goes to dist/screenshots/.
demo: dist
	@tools/demo/run-demo $(BUILD) dist

clean:
	rm -rf $(BUILD) dist
