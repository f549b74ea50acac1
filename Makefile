# The two commands for a fresh machine. Both install what they need (Debian packages).
.PHONY: demo test build fuzz

build:
	scripts/install-deps.sh
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build -j$$(nproc)

demo: build
	build/ondrift demo --out demo-output

test:
	scripts/test.sh

# A longer fuzzing campaign: ten minutes per target (CI runs a short smoke run of each).
fuzz:
	scripts/fuzz.sh 600
