# The two commands for a fresh machine. Both install what they need (Debian packages).
.PHONY: demo test build tool bench accuracy field-accuracy fuzz

# Everything: the command, the tests and the benchmarks, with every package they need.
build:
	scripts/install-deps.sh
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRIFT_TESTS=ON \
	      -DONDRIFT_BENCHMARKS=ON -DONDRIFT_DEBUG_INFO=ON >/dev/null
	cmake --build build -j$$(nproc)

# Only the command and the plug-in it loads, with only the packages they need. A first build
# skips debug information (the same code, built faster); an existing build keeps its own.
tool:
	scripts/install-deps.sh --tool
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRIFT_TESTS=OFF \
	      -DONDRIFT_BENCHMARKS=OFF $$(test -f build/CMakeCache.txt || echo -DONDRIFT_DEBUG_INFO=OFF) \
	      >/dev/null
	cmake --build build -j$$(nproc) --target ondrift

demo: tool
	build/ondrift demo --out demo-output

test:
	scripts/test.sh

# The command end to end on the large case (made once in bench-large-case/, about 1.6 GB)
# against the floor of the same run (reading the inputs and writing the compressed series) and
# against the plain Python pipeline on the same files.
bench: build
	build/ondrift_e2e_bench --folder bench-large-case --python bench/python_pipeline.py

# The command's accuracy on fourteen phantom variants (directions, signs, storage orders, grids,
# thick slices, oblique) against the ideal; inputs and results stay in accuracy-variants/.
# GENERATOR=susceptibility makes them from the susceptibility model's head.
accuracy: build
	build/ondrift_accuracy_variants --folder accuracy-variants --generator $(or $(GENERATOR),analytic)

# The field map against a known field: every conditioning beside a plain unwrapper and a
# weighted Gaussian in mm, on both phantom generators (docs/field-accuracy.md); a real field
# map in Hz and its magnitude join with REAL="FIELD.nii MAGNITUDE.nii".
field-accuracy: build
	scripts/apt-install.sh python3-nibabel python3-scipy python3-skimage
	OUT=field-accuracy bench/field_accuracy_cases.sh $(REAL)

# A longer fuzzing campaign: ten minutes per target (CI runs a short smoke run of each).
fuzz:
	scripts/fuzz.sh 600
