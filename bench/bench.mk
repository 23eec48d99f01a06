# make bench: every section of the benchmarks (bench/run.py), each recorded in
# bench/results.json, from which bench/report.py writes bench/results.md and
# bench/results.png. BENCH_ARGS goes to run.py: `make bench
# BENCH_ARGS=--million` adds the end-to-end runs on a million tags,
# `BENCH_ARGS=--only map,stats` runs only those sections. It runs beside a
# throwaway PostgreSQL cluster (tools/pg.sh) where one can be made. Included by the
# Makefile, which sets VPY (the venv's Python).

BENCH_STAMP := bench/build/.installed

$(BENCH_STAMP): bench/requirements.txt
	@mkdir -p bench/build
	$(VPY) -m pip install --disable-pip-version-check -q -r bench/requirements.txt
	@touch $@

.PHONY: bench
bench: build $(BENCH_STAMP)
	$(VPY) bench/build.py
	if bash tools/pg.sh check 2>/dev/null; then bash tools/pg.sh run $(VPY) bench/run.py $(BENCH_ARGS); \
	else $(VPY) bench/run.py $(BENCH_ARGS); fi
