# The Windows x64 module, cross-built against the Universal C Runtime with the
# Zig toolchain from PyPI (win/requirements.txt, installed into .venv), and checked:
#   make windows-deps   install wine and what the build needs from Debian (as root;
#                       skips what is there)
#   make windows        build build-win/orvane.cp312-win_amd64.pyd, check its imports
#                       and exports, and load it under wine
#   make windows-test   `make windows` where wine and binutils are present, else say
#                       it is skipped
# Included by the Makefile, or alone from the project's root:
#   make -f win/win.mk windows PYTHON=/path/to/python3.12
# See win/README.md.

ifeq ($(origin PYTHON),undefined)
PYTHON := $(shell scripts/find-python)
endif

WIN_MK := $(lastword $(MAKEFILE_LIST))
include tools/venv.mk
WIN := build-win
WIN_PYD := $(WIN)/orvane.cp312-win_amd64.pyd
WIN_ZIG_STAMP := $(VENV)/.installed-zig
# Zig keeps its caches (the start-up code and the runtime helpers it builds for
# the target, once) under build-win like every other output.
export ZIG_GLOBAL_CACHE_DIR := $(abspath $(WIN))/zig-cache
export ZIG_LOCAL_CACHE_DIR := $(ZIG_GLOBAL_CACHE_DIR)
WIN_ZIG := $(VPY) -m ziglang
WIN_TARGET := -target x86_64-windows-gnu
WIN_CXX := $(WIN_ZIG) c++ $(WIN_TARGET)
WIN_CC := $(WIN_ZIG) cc $(WIN_TARGET)
WIN_DLLTOOL := $(WIN_ZIG) dlltool -m i386:x86-64
# Debian's own binutils read PE files and COFF objects.
WIN_NM := nm
WIN_OBJDUMP := objdump
WIN_PACKAGES := wine wine64 binutils xz-utils debian-archive-keyring

# The Windows pyconfig.h defines MS_WIN64 only for MSVC; without it the
# headers describe a 32-bit target (sizes.cpp refuses that).
# The flags every build of the module shares are src/cxxflags.txt's.
WIN_CXXFLAGS := -std=c++20 -O2 -DNDEBUG -DMS_WIN64 -fvisibility=hidden \
	$(shell grep -v '^\#' src/cxxflags.txt) -I$(WIN)/include
WIN_SOURCES := $(wildcard src/*.cpp)
WIN_OBJECTS := $(patsubst src/%.cpp,$(WIN)/obj/%.o,$(WIN_SOURCES))
WIN_INCLUDE := $(WIN)/include/.copied

WINE_RUN := WINEPREFIX=$(abspath $(WIN))/wineprefix WINEDEBUG=-all \
	WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'

.PHONY: windows windows-deps windows-test

windows-deps:
	@missing=$$(for p in $(WIN_PACKAGES); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -qx 'install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "windows-deps: installing" $$missing; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
			apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

windows: $(WIN_PYD) $(WIN)/loadtest/python312.dll $(WIN)/loadtest/loadtest.exe
	$(PYTHON) -m unittest discover -s win -p 'test_*.py'
	$(PYTHON) win/check_pyd.py --objdump $(WIN_OBJDUMP) $(WIN_PYD)
	@cd $(WIN) && $(WINE_RUN) wine loadtest/loadtest.exe orvane.cp312-win_amd64.pyd; \
	status=$$?; $(WINE_RUN) wineserver -w; exit $$status

windows-test:
	@if command -v wine >/dev/null && command -v $(WIN_OBJDUMP) >/dev/null; then \
		$(MAKE) --no-print-directory -f $(WIN_MK) windows PYTHON=$(PYTHON); \
	else \
		echo "windows: skipped (no wine or binutils here; make windows-deps installs them)"; \
	fi

# Zig from PyPI, pinned by win/requirements.txt.
$(WIN_ZIG_STAMP): win/requirements.txt | $(VPY)
	$(VPY) -m pip install --disable-pip-version-check -q -r $<
	@touch $@

# CPython's Windows configuration header, fetched once.
$(WIN)/pyconfig.h:
	@mkdir -p $(WIN)
	sh win/fetch-pyconfig.sh $@

# The interpreter's include folder with the Windows pyconfig.h in it: Python.h
# includes "pyconfig.h" with quotes, so the one beside it wins over any -I.
$(WIN_INCLUDE): $(WIN)/pyconfig.h
	rm -rf $(WIN)/include
	cp -R "$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
		$(WIN)/include
	cp $(WIN)/pyconfig.h $(WIN)/include/pyconfig.h
	touch $@

$(WIN)/obj/%.o: src/%.cpp $(WIN_INCLUDE) $(WIN_ZIG_STAMP) win/win.mk src/cxxflags.txt
	@mkdir -p $(@D)
	$(WIN_CXX) $(WIN_CXXFLAGS) -MMD -MP -c $< -o $@

-include $(WIN_OBJECTS:.o=.d)

$(WIN)/python312.def: $(WIN_OBJECTS) win/pydef.py
	$(PYTHON) win/pydef.py def --nm $(WIN_NM) --include $(WIN)/include --out $@ $(WIN_OBJECTS)

$(WIN)/python312.lib: $(WIN)/python312.def $(WIN_ZIG_STAMP)
	$(WIN_DLLTOOL) -d $< -D python312.dll -l $@

# The C driver, not c++: any use of the C++ runtime fails to link. A DLL's
# linker also writes an import library for it, which nothing needs: it goes
# beside the objects.
$(WIN_PYD): $(WIN_OBJECTS) $(WIN)/python312.lib win/win.mk
	$(WIN_CC) -shared -O2 -s -Wl,--out-implib,$(WIN)/obj/orvane.lib -o $@ \
		$(WIN_OBJECTS) $(WIN)/python312.lib

# The stand-in python312.dll of the load test: it exports what the .def
# lists and nothing else.
$(WIN)/stub/stub.c: $(WIN)/python312.def win/pydef.py
	@mkdir -p $(@D)
	$(PYTHON) win/pydef.py stub $< --stub $@ --sizes $(WIN)/stub/sizes.cpp
	@# Compiled, not only checked: zig c++ fails on -fsyntax-only.
	$(WIN_CXX) $(WIN_CXXFLAGS) -c $(WIN)/stub/sizes.cpp -o $(WIN)/stub/sizes.o

$(WIN)/loadtest/python312.dll: $(WIN)/stub/stub.c $(WIN)/python312.def win/win.mk
	@mkdir -p $(@D)
	$(WIN_CC) -shared -O2 -s -Wl,--out-implib,$(WIN)/stub/python312.lib -o $@ \
		$(WIN)/stub/stub.c $(WIN)/python312.def

$(WIN)/loadtest/loadtest.exe: win/loadtest.c $(WIN_INCLUDE) $(WIN_ZIG_STAMP) win/win.mk
	@mkdir -p $(@D)
	$(WIN_CC) -std=c11 -O2 -s -DMS_WIN64 -Wall -Wextra -I$(WIN)/include -o $@ $<
