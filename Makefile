# Everything installs into virtual environments under .venv/ (see tools/test_all.sh).
PYTHON_MAIN := .venv/main/bin/python

.PHONY: demo test bench

# Install the main environment with the package and run every built operation
# on the bundled photograph; results go to demo_out/.
demo:
	bash tools/test_all.sh env main
	$(PYTHON_MAIN) tools/demo.py

# Install all test environments and run every check.
test:
	bash tools/test_all.sh

# Time the built methods against the reference model; writes benchmarks/RESULTS.md.
bench:
	bash tools/test_all.sh env main
	$(PYTHON_MAIN) benchmarks/bench.py
