# make demo: set everything up and run a short session of the tag tool.
# make test: set everything up and run the tests.
# make wheels: the sdist and the Linux and Windows wheels, in dist/.
# Both find Python 3.12 themselves (PYTHON=/path/to/python3.12 overrides).

SHELL := /bin/bash
PYTHON := $(shell scripts/find-python)
ifeq ($(PYTHON),)
$(error no Python 3.12: install one with pyenv or set PYTHON=/path/to/python3.12)
endif

include tools/venv.mk
BUILD := build
STAMP := $(VENV)/.installed

.PHONY: all build test test-long test-deps cython-test demo clean wheels wheels-test

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

# The state machine of the exchanges with ten times the examples of `make test`.
test-long: build
	ORVANE_EXCHANGE_EXAMPLES=2000 $(VPY) -m pytest -q tests/test_exchange_properties.py

# What `make test` needs to skip nothing: the Debian packages CI installs
# (PostgreSQL, the robustness tools, Chromium, wine and binutils) and Cython from PyPI.
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

# The sdist; the Linux wheel built from it by pip alone, then repaired by
# auditwheel as manylinux_2_17 with nothing to bundle (the module needs libc
# only); the Windows wheel: the Linux wheel's Python files and metadata
# around the cross-built .pyd (win/winwheel.py), which delvewheel must find
# needing no DLL beyond Windows' own and python312.dll.
# tests/test_wheels.py installs and checks them.
DIST := dist
WHEEL_PLAT := manylinux_2_17_x86_64
WHEELS_STAMP := $(VENV)/.installed-wheels

$(WHEELS_STAMP): requirements-wheels.txt $(STAMP)
	$(VPY) -m pip install --disable-pip-version-check -q -r requirements-wheels.txt
	@touch $@

wheels: $(WHEELS_STAMP) $(WIN_PYD)
	rm -rf $(DIST) $(BUILD)/wheel
	$(VPY) -m build --sdist --outdir $(DIST) .
	$(VPY) -m pip wheel --disable-pip-version-check -q --no-deps -w $(BUILD)/wheel $(DIST)/orvane-*.tar.gz
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) \
		-w $(DIST) $(BUILD)/wheel/orvane-*.whl 2>&1 | grep -v '^INFO:'
	$(VENV)/bin/auditwheel show $(DIST)/orvane-*$(WHEEL_PLAT)*.whl
	@if $(VPY) -m zipfile -l $(DIST)/orvane-*$(WHEEL_PLAT)*.whl | grep -q '\.libs/'; then \
		echo "wheels: auditwheel bundled libraries into the Linux wheel"; exit 1; fi
	$(VPY) win/winwheel.py $(DIST)/orvane-*$(WHEEL_PLAT)*.whl $(WIN_PYD) $(DIST)
	$(VENV)/bin/delvewheel show $(DIST)/orvane-*-win_amd64.whl | tee $(BUILD)/delvewheel.log
	@grep -A1 'will be copied into the wheel' $(BUILD)/delvewheel.log | grep -qx ' *None' || { \
		echo "wheels: the Windows module needs a DLL that Windows does not bring"; exit 1; }
	@ls -l $(DIST)

# The group of `make test` that builds the wheels for tests/test_wheels.py,
# where the Windows module can be cross-built (binutils).
wheels-test:
	@if command -v $(WIN_NM) >/dev/null && command -v $(WIN_OBJDUMP) >/dev/null; then \
		$(MAKE) --no-print-directory wheels; \
	else \
		echo "wheels: skipped (no binutils here for the Windows module; make windows-deps installs them)"; \
	fi

clean:
	rm -rf $(BUILD) build-win $(DIST) api/orvane*.so

include bench/bench.mk
include tools/robust.mk
