# make bench: measure api.orvane against the same module in plain Python and
# compiled by Cython, and against the floor (bench/run.py). BENCH_ARGS goes to
# run.py: `make bench BENCH_ARGS=--million` adds the end-to-end runs on a
# million tags. Then bench/load.py measures writers under load and a journaled
# import on SQLite and PostgreSQL (a throwaway cluster of tools/pg.sh), and
# bench/map.py times `tagtool map` on a network of 10^5 elements,
# bench/exchange.py import and export --into of 10^5 tags with and without a
# baseline, bench/bulk.py the bulk edits (zones, a CSV import, history), and
# bench/everyday.py set on a large linked model, start-up and list, and

# bench/stats.py stats, stats --simulate and set --where beside their yardsticks.
# Each records its figures in bench/results.json, from which bench/report.py
# writes bench/results.md and bench/results.png afresh. Included by the
# Makefile, which sets VPY (the venv's Python) and PYTHON (the Python 3.12 it
# was made from).

BENCH_STAMP := bench/build/.installed

$(BENCH_STAMP): bench/requirements.txt
	@mkdir -p bench/build
	$(VPY) -m pip install --disable-pip-version-check -q -r bench/requirements.txt
	@touch $@

.PHONY: bench
bench: build $(BENCH_STAMP)
	$(VPY) bench/build.py
	$(VPY) bench/run.py $(BENCH_ARGS)
	$(VPY) bench/load.py
	$(VPY) bench/map.py
	$(VPY) bench/exchange.py
	$(VPY) bench/bulk.py
	$(VPY) bench/everyday.py
	$(VPY) bench/stats.py
