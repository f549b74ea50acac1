# The two commands for a fresh machine. Both install what they need (Debian packages).
.PHONY: demo test build tool bench accuracy fuzz

# Everything: the command, the tests and the benchmarks, with every package they need.
build:
	scripts/install-deps.sh
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRIFT_TESTS=ON \
	      -DONDRIFT_BENCHMARKS=ON >/dev/null
	cmake --build build -j$$(nproc)

# Only the command and the plug-in it loads, with only the packages they need.
tool:
	scripts/install-deps.sh --tool
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRIFT_TESTS=OFF \
	      -DONDRIFT_BENCHMARKS=OFF >/dev/null
	cmake --build build -j$$(nproc) --target ondrift

demo: tool
	build/ondrift demo --out demo-output

test:
	scripts/test.sh

# The command end to end on the large case (made once in bench-large-case/, about 1.6 GB)
# against the floor of the same run: reading the inputs and writing the compressed series.
bench: build
	build/ondrift_e2e_bench --folder bench-large-case

# The command's accuracy on ten phantom variants (directions, signs, storage orders, grids)
# against the ideal; inputs and results stay in accuracy-variants/.
accuracy: build
	build/ondrift_accuracy_variants --folder accuracy-variants

# A longer fuzzing campaign: ten minutes per target (CI runs a short smoke run of each).
fuzz:
	scripts/fuzz.sh 600
