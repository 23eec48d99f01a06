# The virtual environment .venv, made from $(PYTHON) the first time a rule
# that installs into it needs it (order-only: the stamps of what each
# installs say when to install again). Included by the Makefile and by
# win/win.mk, which also runs alone.

ifndef VENV_MK
VENV_MK := 1
VENV := .venv
VPY := $(VENV)/bin/python

# Not the default goal of the file that includes this one.
VENV_GOAL := $(.DEFAULT_GOAL)
$(VPY):
	$(PYTHON) -m venv $(VENV)
.DEFAULT_GOAL := $(VENV_GOAL)
endif
