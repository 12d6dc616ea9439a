# Everything installs into virtual environments under .venv/ (see tools/test_all.sh).
PYTHON_MAIN := .venv/main/bin/python

.PHONY: gallery test bench bench-streaming wheels reference screenshot

# Install the main environment with the package and draw every operation on the
# bundled photograph as a contact sheet: docs/gallery.png, the picture the README shows.
gallery:
	bash tools/test_all.sh env main
	mkdir -p docs
	$(PYTHON_MAIN) -m pictor gallery -o docs/gallery.png

# Install all test environments and run every check.
test:
	bash tools/test_all.sh

# Time the built methods against the reference model; writes benchmarks/RESULTS.md.
bench:
	bash tools/test_all.sh env main
	$(PYTHON_MAIN) -m pictor bench

# pictor against libvips on a 24000 x 24000 uint16 tiled BigTIFF, out of core
# and in memory, in the environment "bench" (main plus pyvips); prints the
# table for benchmarks/RESULTS.md. Needs about 6 GB of free disk.
bench-streaming:
	bash tools/test_all.sh env bench
	.venv/bench/bin/python benchmarks/streaming.py

# Wheels for older Linux (glibc 2.28 and later; the C++ runtime inside),
# repaired to a manylinux tag, in dist/: for every CPython from 3.8 to 3.13
# found here, or only the one named (make wheels PY=3.11). No container: this
# machine's compiler, linked against glibc 2.28's symbol tables (tools/wheels.sh).
wheels:
	bash tools/wheels.sh $(PY)

# The method reference, docs/reference.md, each method with its tile in docs/gallery.png, and
# README.md's list of the operations with a depth choice.
reference:
	bash tools/test_all.sh env main
	$(PYTHON_MAIN) tools/reference_doc.py

# The napari viewer with the pictor widget and a result layer: docs/napari.png.
screenshot:
	bash tools/test_all.sh env napari
	xvfb-run -a -s "-screen 0 1600x1000x24" .venv/napari/bin/python tools/napari_screenshot.py
