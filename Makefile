# make demo: set everything up and run a short session of the tag tool.
# make test: set everything up and run the tests.
# Both find Python 3.12 themselves (PYTHON=/path/to/python3.12 overrides).

SHELL := /bin/bash
PYTHON := $(shell scripts/find-python)
ifeq ($(PYTHON),)
$(error no Python 3.12: install one with pyenv or set PYTHON=/path/to/python3.12)
endif

include tools/venv.mk
BUILD := build
STAMP := $(VENV)/.installed

.PHONY: all build test test-deps cython-test demo clean

all: build

include win/win.mk

$(STAMP): requirements-dev.txt requirements-pg.txt requirements-engines.txt | $(VPY)
	$(VPY) -m pip install --disable-pip-version-check -q -r requirements-dev.txt
	@touch $@

build: $(STAMP)
	@test -f $(BUILD)/build.ninja || $(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja \
		-DPython_EXECUTABLE=$(PYTHON) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(BUILD)

# Every group of checks the machine can run (tools/test.sh): the Windows
# checks and the Cython rendering first, then the suite, on a throwaway
# PostgreSQL cluster where the server is installed. The groups it could not
# run are named, with `make test-deps`, before the runner's closing line.
test: build
	@tools/test.sh $(VPY)

# What `make test` needs to skip nothing: the Debian packages CI installs
# (PostgreSQL, the robustness tools, wine and binutils) and Cython from PyPI.
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
test-deps: $(STAMP)
	$(SUDO) apt-get update -qq
	cat tools/apt-packages.txt tools/apt-packages-pg.txt | DEBIAN_FRONTEND=noninteractive \
		xargs $(SUDO) apt-get install -y -qq --no-install-recommends >/dev/null
	$(SUDO) $(MAKE) --no-print-directory windows-deps
	$(MAKE) --no-print-directory $(BENCH_STAMP)

# The Cython rendering of the module that tests/test_bench_rendering.py
# compares with, built where Cython can be had from PyPI.
cython-test: build
	@{ $(MAKE) --no-print-directory $(BENCH_STAMP) && $(VPY) bench/build.py; } >$(BUILD)/cython.log 2>&1 \
		|| echo "cython: skipped (Cython could not be installed or built: $(BUILD)/cython.log says why)"

demo: build
	bash examples/demo.sh $(VPY)

clean:
	rm -rf $(BUILD) build-win api/orvane*.so

include bench/bench.mk
include tools/robust.mk
