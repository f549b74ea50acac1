#!/usr/bin/env bash
# Everything CI checks: dependencies, a warnings-as-errors build with all tests, the export set,
# the format, the Windows cross build run under wine, a fuzzing smoke run, and all tests again
# under ASan + UBSan in a clang build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

# chromium: the report's test renders it in a headless browser.
scripts/install-deps.sh chromium
# ITK: an outside consumer of the displacement field in the command's tests (tests/itk/).
scripts/apt-install.sh --no-install-recommends libinsighttoolkit5-dev

echo "== build and test" >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRIFT_DEBUG_INFO=ON -DONDRIFT_TESTS=ON -DONDRIFT_BENCHMARKS=ON \
      >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
scripts/check-exports.sh build/libondriftv11.so

echo "== workflow engines (Nipype, SLURM)" >&2
scripts/test-workflows.sh
scripts/check-layers.sh

echo "== format" >&2
git ls-files -- '*.h' '*.cpp' | xargs clang-format --dry-run -Werror

echo "== Windows: cross build, and the binding run under wine" >&2
scripts/windows-check.sh build

echo "== fuzz targets: a short smoke run of each (make fuzz runs a longer campaign)" >&2
scripts/fuzz.sh 12

# Built with clang, so that the whole tree (benchmarks included) builds with both compilers
# without a build of its own; the build above is GCC's.
echo "== sanitizers (clang)" >&2
scripts/apt-install.sh --no-install-recommends clang libclang-rt-14-dev
cmake -S . -B build-asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
      -DONDRIFT_SANITIZE=ON -DONDRIFT_TESTS=ON -DONDRIFT_BENCHMARKS=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"
echo "== all checks passed" >&2
