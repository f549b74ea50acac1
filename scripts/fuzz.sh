#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) and runs each from its seed corpus.
#
#     scripts/fuzz.sh [seconds per target, default 60] [target ...]
#
# New inputs found go to build-fuzz/corpus/<target>/ (the committed seeds stay as they are);
# a crash leaves its input in build-fuzz/findings/. Exit status 1 when any target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD  # absolute: some targets work in a scratch folder of their own
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(nifti bids projects session_script execute)
jobs=$(nproc 2>/dev/null || echo 2)

scripts/apt-install.sh --no-install-recommends clang libclang-rt-14-dev

CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDRIFT_FUZZ=ON \
    -DONDRIFT_BENCHMARKS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_targets

status=0
mkdir -p build-fuzz/findings
for t in "${targets[@]}"; do
    work=$root/build-fuzz/corpus/$t
    mkdir -p "$work"
    dict=()
    [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="$root/fuzz/dict/$t.dict")
    echo "== fuzz_$t: ${seconds} s" >&2
    # A whole "Start" chain on a tiny workspace takes well under a second; ten is a hang.
    if ! ASAN_OPTIONS=detect_leaks=1 \
         UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
         "build-fuzz/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
         -max_len=8192 -print_final_stats=1 -artifact_prefix="$root/build-fuzz/findings/${t}-" \
         "${dict[@]}" "$work" "$root/fuzz/corpus/$t" 2>"build-fuzz/fuzz_$t.log"; then
        echo "fuzz_$t failed; see build-fuzz/fuzz_$t.log and build-fuzz/findings/" >&2
        tail -40 "build-fuzz/fuzz_$t.log" >&2
        status=1
    else
        grep -E '^stat::number_of_executed_runs|^Done' "build-fuzz/fuzz_$t.log" >&2 || true
    fi
done
exit $status
