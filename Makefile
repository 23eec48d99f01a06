# make demo: set everything up and run a short session of the tag tool.
# make test: set everything up and run the tests.
# Both find Python 3.12 themselves (PYTHON=/path/to/python3.12 overrides).

SHELL := /bin/bash
PYTHON := $(shell scripts/find-python)
ifeq ($(PYTHON),)
$(error no Python 3.12: install one with pyenv or set PYTHON=/path/to/python3.12)
endif

VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
STAMP := $(VENV)/.installed

.PHONY: all build test demo clean

all: build

include win/win.mk

$(STAMP): requirements-dev.txt requirements-pg.txt requirements-engines.txt
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --disable-pip-version-check -q -r requirements-dev.txt
	@touch $@

build: $(STAMP)
	@test -f $(BUILD)/build.ninja || $(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja \
		-DPython_EXECUTABLE=$(PYTHON) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(BUILD)

# The Windows checks run first so that the test runner's summary closes the output.
test: build
	$(MAKE) --no-print-directory windows-test
	$(VPY) -m pytest -q tests

demo: build
	bash examples/demo.sh $(VPY)

clean:
	rm -rf $(BUILD) build-win api/orvane*.so

include bench/bench.mk
include tools/robust.mk
