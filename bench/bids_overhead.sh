#!/usr/bin/env bash
# What `ondrift bids` adds to `ondrift correct`: the same runs of a phantom data set corrected one
# by one with `ondrift correct` (the floor), and with `ondrift bids -j 1` (matching, inheritance,
# a process per run, BIDS outputs). Prints both times and their ratio.
#   bench/bids_overhead.sh [SUBJECTS]   (run from the repository, after building)
set -euo pipefail
cd "$(dirname "$0")/.."
subjects=${1:-12}
ondrift=build/ondrift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$ondrift" -q demo --bids "$tmp/ds" --subjects "$subjects" >/dev/null
start=$(date +%s.%N)
for s in $(seq -f "%02g" 1 "$subjects"); do
    fmap="$tmp/ds/sub-$s/fmap"
    phase=$(ls "$fmap"/sub-"$s"_phasediff.nii* 2>/dev/null || true)
    [ -n "$phase" ] || continue  # the floor: the phase-difference subjects only
    "$ondrift" -q correct --phase "$phase" --magnitude "$(ls "$fmap"/sub-"$s"_magnitude1.nii*)" \
        --epi "$(ls "$tmp"/ds/sub-"$s"/func/*_bold.nii*)" --out "$tmp/single-$s" >/dev/null
done
floor=$(echo "$(date +%s.%N) - $start" | bc)
start=$(date +%s.%N)
labels=$(for s in $(seq -f "%02g" 1 "$subjects"); do
    if ls "$tmp"/ds/sub-"$s"/fmap/sub-"$s"_phasediff.nii* >/dev/null 2>&1; then echo "$s"; fi; done)
# shellcheck disable=SC2086
"$ondrift" -q bids "$tmp/ds" "$tmp/out" participant -j 1 --skip-bids-validation \
    --participant-label $labels >/dev/null
bids=$(echo "$(date +%s.%N) - $start" | bc)
echo "correct, run by run: ${floor} s; bids -j 1: ${bids} s; ratio $(echo "scale=2; $bids / $floor" | bc)"
