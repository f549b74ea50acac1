#!/usr/bin/env bash
# The field-accuracy table (bench/field_accuracy.py) on the cases that stand for the scanners:
# both phantom generators at 3 T on an isotropic grid, thick slices (1.8×1.8×4 and 1.9×1.9×9
# mm) and an oblique grid, the analytic one also resampled to 1.9×1.9×9 mm by the harness
# (its own thick grids flatten its head), and, when given, a real field map in Hz with its
# magnitude: native, resampled to 2×2×8 mm, and on a grid tilted by 15°. On the phantoms the
# field is measured inside the model's brain (the analytic head has no other), elsewhere
# inside the magnitude's head.
#
#     bench/field_accuracy_cases.sh [REAL_FIELD_HZ.nii REAL_MAGNITUDE.nii] [-- HARNESS ARGS]
#
# BUILD (default build) holds ondrift and ondrift_accuracy_variants; OUT (default
# field-accuracy) receives the phantoms, one table per case (.txt) and its figures (.json).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${BUILD:-$here/../build}" && pwd)
out=${OUT:-field-accuracy}
real_field="" real_magnitude=""
if [ $# -ge 2 ] && [ "$1" != "--" ]; then
    real_field=$1 real_magnitude=$2
    shift 2
fi
[ "${1:-}" = "--" ] && shift
mkdir -p "$out"

harness() {  # NAME ARGS...
    local name=$1
    shift
    echo "== $name" >&2
    "$here/field_accuracy.py" --ondrift "$build/ondrift" --label "$name" \
        --json "$out/$name.json" "$@" | tee "$out/$name.txt"
}

for generator in analytic susceptibility; do
    for variant in j j-thick-4mm j--thick-9mm i-oblique; do
        folder="$out/phantoms-$generator"
        if [ ! -f "$folder/$variant/in/brain-mask.nii.gz" ]; then
            "$build/ondrift_accuracy_variants" --folder "$folder" --generator "$generator" \
                --only "$variant" >/dev/null
        fi
        in="$folder/$variant/in"
        harness "$generator-$variant" --field "$in/sub-phantom_fieldmap.nii.gz" \
            --magnitude "$in/sub-phantom_magnitude1.nii.gz" --mask "$in/brain-mask.nii.gz" "$@"
    done
done
in="$out/phantoms-analytic/j/in"
harness "analytic-j-resampled-1.9x1.9x9" --field "$in/sub-phantom_fieldmap.nii.gz" \
    --magnitude "$in/sub-phantom_magnitude1.nii.gz" --grid 1.9,1.9,9 "$@"

if [ -n "$real_field" ]; then
    harness real-native --field "$real_field" --magnitude "$real_magnitude" "$@"
    harness real-2x2x8 --field "$real_field" --magnitude "$real_magnitude" --grid 2,2,8 "$@"
    harness real-oblique-15 --field "$real_field" --magnitude "$real_magnitude" --tilt 15 "$@"
fi
