# The Windows x64 module, cross-built with Debian's mingw-w64 and checked:
#   make windows-deps   install the cross tools and wine (as root; skips what is there)
#   make windows        build build-win/orvane.cp312-win_amd64.pyd, check its imports
#                       and exports, and load it under wine
#   make windows-test   `make windows` where the tools are present, else say it is skipped
# Included by the Makefile, or alone from the project's root:
#   make -f win/win.mk windows PYTHON=/path/to/python3.12
# See win/README.md.

ifeq ($(origin PYTHON),undefined)
PYTHON := $(shell scripts/find-python)
endif

WIN_MK := $(lastword $(MAKEFILE_LIST))
WIN := build-win
WIN_PYD := $(WIN)/orvane.cp312-win_amd64.pyd
WIN_TRIPLE := x86_64-w64-mingw32
WIN_CXX := $(WIN_TRIPLE)-g++
WIN_CC := $(WIN_TRIPLE)-gcc
WIN_NM := $(WIN_TRIPLE)-nm
WIN_OBJDUMP := $(WIN_TRIPLE)-objdump
WIN_DLLTOOL := $(WIN_TRIPLE)-dlltool
WIN_PACKAGES := g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 wine wine64 \
	xz-utils debian-archive-keyring

# The Windows pyconfig.h defines MS_WIN64 only for MSVC; without it the
# headers describe a 32-bit target (sizes.cpp refuses that).
WIN_CXXFLAGS := -std=c++20 -O2 -DNDEBUG -DMS_WIN64 -fno-exceptions -fno-rtti \
	-fno-threadsafe-statics -fvisibility=hidden -Wall -Wextra -Wno-missing-field-initializers \
	-I$(WIN)/include
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
	$(PYTHON) win/check_pyd.py --objdump $(WIN_OBJDUMP) --nm $(WIN_NM) $(WIN_PYD) $(WIN_OBJECTS)
	@cd $(WIN) && $(WINE_RUN) wine loadtest/loadtest.exe orvane.cp312-win_amd64.pyd; \
	status=$$?; $(WINE_RUN) wineserver -w; exit $$status

windows-test:
	@if command -v $(WIN_CXX) >/dev/null && command -v $(WIN_DLLTOOL) >/dev/null && \
		command -v wine >/dev/null; then \
		$(MAKE) --no-print-directory -f $(WIN_MK) windows PYTHON=$(PYTHON); \
	else \
		echo "windows: skipped (no mingw-w64 or wine here; make windows-deps installs them)"; \
	fi

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

$(WIN)/obj/%.o: src/%.cpp $(WIN_INCLUDE) win/win.mk
	@mkdir -p $(@D)
	$(WIN_CXX) $(WIN_CXXFLAGS) -MMD -MP -c $< -o $@

-include $(WIN_OBJECTS:.o=.d)

$(WIN)/python312.def: $(WIN_OBJECTS) win/pydef.py
	$(PYTHON) win/pydef.py def --nm $(WIN_NM) --include $(WIN)/include --out $@ $(WIN_OBJECTS)

$(WIN)/libpython312.a: $(WIN)/python312.def
	$(WIN_DLLTOOL) -d $< -D python312.dll -l $@

# The gcc driver, not g++: any use of the C++ runtime fails to link.
$(WIN_PYD): $(WIN_OBJECTS) $(WIN)/libpython312.a win/win.mk
	$(WIN_CC) -shared -static-libgcc -s -o $@ $(WIN_OBJECTS) $(WIN)/libpython312.a

# The stand-in python312.dll of the load test: it exports what the .def
# lists and nothing else.
$(WIN)/stub/stub.c: $(WIN)/python312.def win/pydef.py
	@mkdir -p $(@D)
	$(PYTHON) win/pydef.py stub $< --stub $@ --sizes $(WIN)/stub/sizes.cpp
	$(WIN_CXX) $(WIN_CXXFLAGS) -fsyntax-only $(WIN)/stub/sizes.cpp

$(WIN)/loadtest/python312.dll: $(WIN)/stub/stub.c $(WIN)/python312.def win/win.mk
	@mkdir -p $(@D)
	$(WIN_CC) -shared -O2 -Wl,--exclude-all-symbols -o $@ $(WIN)/stub/stub.c $(WIN)/python312.def

$(WIN)/loadtest/loadtest.exe: win/loadtest.c $(WIN_INCLUDE) win/win.mk
	@mkdir -p $(@D)
	$(WIN_CC) -std=c11 -O2 -DMS_WIN64 -Wall -Wextra -I$(WIN)/include -o $@ $<
