# Robustness checks, included by the Makefile (after VENV, VPY, PYTHON, STAMP
# and BUILD are set):
#   make sanitize  the test suite against a build with AddressSanitizer and
#                  UndefinedBehaviorSanitizer, leak check included
#   make memcheck  valgrind memcheck over every callable's success and error
#                  paths; fails on any error whose stack passes through orvane
#   make fuzz      a coverage-guided fuzzer over the text handling, bounded
#                  by FUZZ_SECONDS
# What the machine needs from Debian is listed in tools/apt-packages.txt.

.PHONY: sanitize memcheck fuzz robust

ROBUST_STAMP := $(VENV)/.robust-installed
CMAKE := $(VENV)/bin/cmake
NINJA := $(abspath $(VENV)/bin/ninja)

$(ROBUST_STAMP): requirements-robust.txt $(STAMP)
	$(VPY) -m pip install --disable-pip-version-check -q -r requirements-robust.txt
	@touch $@

# A build tree outside api/ writes its module into <tree>/api/: the tree links
# to the sources and to the package's Python files, so the normal module in
# api/ is never replaced. $(1): tree folder, $(2): extra configure options.
define shadow_build
	@mkdir -p $(1)/tree/api
	@ln -sfn $(abspath CMakeLists.txt) $(1)/tree/CMakeLists.txt
	@ln -sfn $(abspath src) $(1)/tree/src
	@for f in api/*.py api/database; do ln -sfn $(abspath .)/$$f $(1)/tree/api/; done
	@test -f $(1)/obj/build.ninja || $(CMAKE) -S $(1)/tree -B $(1)/obj -G Ninja \
		-DPython_EXECUTABLE=$(PYTHON) -DCMAKE_MAKE_PROGRAM=$(NINJA) $(2)
	$(CMAKE) --build $(1)/obj
endef

# ---------------------------------------------------------------------------
# sanitize

ASAN := build-asan
# The interpreter is not instrumented: the sanitizer runtimes are preloaded
# ahead of it, and its own allocator is replaced by malloc so that ASan sees
# every object. Leaks are checked by tools/sanitized_pytest.py before the
# interpreter finalises (its interned texts are never freed at exit, so the
# check at exit is off). Allocation stacks stop at the interpreter, which is
# built without frame pointers; the stack of an error itself is complete. To
# find where a leak comes from, add ORVANE_LSAN_EACH=1 (a check after each
# test) and fast_unwind_on_malloc=0 (whole allocation stacks, much slower).
SANITIZE_ENV := \
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:leak_check_at_exit=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:abort_on_error=0 \
	LSAN_OPTIONS=suppressions=$(abspath tools/lsan.supp):print_suppressions=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The linkage tests read the module's dynamic section, which in this build
# names the sanitizer runtimes by design; they run against the normal build.
SANITIZE_TESTS ?= tests --ignore=tests/test_linkage.py

# The normal build too: tests that start a child interpreter in the
# repository import the module from api/.
sanitize: build $(ROBUST_STAMP)
	$(call shadow_build,$(ASAN),-DORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
	$(SANITIZE_ENV) $(VPY) tools/sanitized_pytest.py $(ASAN)/tree -q -p no:cacheprovider \
		$(SANITIZE_TESTS)

# ---------------------------------------------------------------------------
# memcheck: the normal module, run by tools/memcheck_calls.py under valgrind.
# The leak check runs from inside the program as it begins to exit (through
# tools/valgrind_requests.c) rather than after the interpreter has finalised:
# the 3.12 interpreter never frees its interned texts, and everything it made
# while the module imported api.database would read as lost there.

MEMCHECK_XML := $(BUILD)/memcheck.xml
VALGRIND_REQUESTS := $(BUILD)/valgrind_requests.so
MEMCHECK_ROUNDS ?= 2

$(VALGRIND_REQUESTS): tools/valgrind_requests.c
	@mkdir -p $(BUILD)
	gcc -shared -fPIC -O1 -o $@ $<

memcheck: build $(VALGRIND_REQUESTS)
	rm -f $(MEMCHECK_XML)
	PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=no \
		--show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
		--track-origins=yes --num-callers=40 --xml=yes --xml-file=$(MEMCHECK_XML) \
		$(VPY) tools/memcheck_calls.py $(MEMCHECK_ROUNDS) $(VALGRIND_REQUESTS)
	$(VPY) tools/memcheck_report.py $(MEMCHECK_XML) orvane

# ---------------------------------------------------------------------------
# fuzz: atheris over a build whose code reports its coverage to libFuzzer
# (clang's -fsanitize=fuzzer-no-link), so the fuzzer is guided by the
# module's own branches. The corpus in fuzz/corpus/ is read and not written;
# new inputs go to build-fuzz/corpus/, findings to build-fuzz/crashes/, and
# the fuzzer's running account to build-fuzz/fuzz.log (its end is shown when
# it fails, its figures always).

FUZZ := build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CLANG ?= clang-14

fuzz: $(ROBUST_STAMP)
	$(call shadow_build,$(FUZZ),-DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_C_COMPILER=$(FUZZ_CLANG) -DCMAKE_CXX_COMPILER=$(subst clang,clang++,$(FUZZ_CLANG)) \
		-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link)
	@mkdir -p $(FUZZ)/corpus $(FUZZ)/crashes
	ORVANE_FUZZ_ROOT=$(FUZZ)/tree $(VPY) fuzz/fuzz_text.py -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
		-rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=$(FUZZ)/crashes/ \
		$(FUZZ)/corpus fuzz/corpus > $(FUZZ)/fuzz.log 2>&1 || { tail -n 60 $(FUZZ)/fuzz.log; exit 1; }
	@grep -E '^(fuzz_text.py:|#[0-9]+[[:space:]]+(INITED|DONE)|Done |stat::)' $(FUZZ)/fuzz.log

robust: sanitize memcheck fuzz
