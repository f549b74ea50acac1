#!/usr/bin/python3
"""How well the command's field-map path recovers a known field, beside two plain references.

Given a true field in Hz and its magnitude (a scanner's field map, or one a phantom generator
wrote, on any grid), the true phase is wrapped into phase differences at several echo-time
gaps, with complex Gaussian noise added so that the phase noise grows as the magnitude falls
(sigma_phi = sigma / M, a Rayleigh background). Each is run through `ondrift correct` once per
"FieldMapConditioning" value, given by number (any value the plug-in knows), and the field map
it computed is compared with the truth inside the brain: the RMS error in Hz and the share of
brain voxels whose error is half a cycle or more. Beside it: a plain 3-D unwrapper (scikit-image,
no mask, no smoothing, the whole-cycle level whose median over the magnitude mask lies nearest
zero) and the same smoothed by a magnitude-weighted Gaussian of 1.5 mm (in millimetres along
each voxel axis, whatever the grid).

`--grid SX,SY,SZ` first resamples the truth onto a grid of that voxel size (mm) with the same
axes, `--tilt DEG` rotates that grid about its first axis (oblique): each new voxel averages
the truth over its extent, the field weighted by the magnitude, the magnitude reduced by the
dephasing of the field across the voxel at the first echo time (thick slices lose signal where
the field is steep, as on a scanner).

The brain is the mask given with `--mask` (then the whole head is measured too, in a second
table), or else the head: where the true magnitude exceeds a fraction of its 98th percentile
(the largest connected part, holes filled). `--seeds N` repeats each gap with N noise draws and
shows the mean.

Needs Debian's python3-numpy, python3-nibabel, python3-scipy and python3-skimage.

    bench/field_accuracy.py --field FIELD_HZ.nii[.gz] --magnitude MAG.nii[.gz]
        [--grid 2,2,8] [--tilt 0] [--conditionings 0,1,2,3,4] [--dte 2.46,4.92,7.38,9.84]
        [--phase-noise 0.1] [--seed 1] [--seeds 1] [--ondrift build/ondrift] [--work DIR] [--json OUT]
        [--label NAME] [-- EXTRA ARGS FOR ondrift correct]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import nibabel as nib
import numpy as np
from scipy import ndimage
from skimage.restoration import unwrap_phase

# Phase noise at the brain's median magnitude, radians: a field map of a few mm at 3 T.
DEFAULT_PHASE_NOISE = 0.1
# The brain: the true magnitude above this share of its 98th percentile.
BRAIN_FRACTION = 0.2
# The magnitude is scaled so that the brain's median is this: a scanner's 12-bit range, in
# which the command's magnitude threshold (200) has its meaning.
BRAIN_MEDIAN = 1000.0
# Reference smoothing: a Gaussian of this standard deviation, mm.
REFERENCE_SIGMA_MM = 1.5
# The first echo, at which thick voxels dephase, seconds.
FIRST_ECHO_S = 0.00492


def load(path):
    image = nib.load(path)
    data = np.asarray(image.dataobj, dtype=np.float64)
    if data.ndim > 3:
        data = data.reshape(data.shape[:3] + (-1,))[..., 0]
    return data, image.affine


def voxel_sizes(affine):
    return np.sqrt((affine[:3, :3] ** 2).sum(axis=0))


def resample(field, magnitude, affine, sizes, tilt_deg):
    """The truth on a grid of voxel `sizes` (mm) with the input's axes, tilted about the first
    axis by `tilt_deg`, covering the input's extent."""
    old = voxel_sizes(affine)
    axes = affine[:3, :3] / old  # unit columns
    t = np.radians(tilt_deg)
    rot = np.array([[1, 0, 0], [0, np.cos(t), -np.sin(t)], [0, np.sin(t), np.cos(t)]])
    new_axes = axes @ rot
    corners = np.array([[i, j, k] for i in (0, field.shape[0] - 1) for j in (0, field.shape[1] - 1)
                        for k in (0, field.shape[2] - 1)], dtype=np.float64).T
    world = affine[:3, :3] @ corners + affine[:3, 3:4]
    centre = world.mean(axis=1)
    along = new_axes.T @ (world - centre[:, None])
    extent = along.max(axis=1) - along.min(axis=1)
    sizes = np.asarray(sizes, dtype=np.float64)
    shape = np.maximum(1, np.round(extent / sizes).astype(int) + 1)
    new = np.eye(4)
    new[:3, :3] = new_axes * sizes
    new[:3, 3] = centre - new[:3, :3] @ ((shape - 1) / 2.0)
    # Sub-samples no farther apart than half the finer input voxel.
    steps = np.maximum(1, np.ceil(2 * sizes / old.min()).astype(int))
    offsets = [((np.arange(n) + 0.5) / n - 0.5) for n in steps]
    to_old = np.linalg.inv(affine)
    grid = np.indices(shape).reshape(3, -1).astype(np.float64)
    sum_w = np.zeros(grid.shape[1])
    sum_wf = np.zeros(grid.shape[1])
    sum_c = np.zeros(grid.shape[1], dtype=np.complex128)
    count = 0
    for a in offsets[0]:
        for b in offsets[1]:
            for c in offsets[2]:
                pos = grid + np.array([[a], [b], [c]])
                w = new[:3, :3] @ pos + new[:3, 3:4]
                v = to_old[:3, :3] @ w + to_old[:3, 3:4]
                f = ndimage.map_coordinates(field, v, order=1, mode='constant', cval=0.0)
                m = ndimage.map_coordinates(magnitude, v, order=1, mode='constant', cval=0.0)
                sum_w += m
                sum_wf += m * f
                sum_c += m * np.exp(2j * np.pi * f * FIRST_ECHO_S)
                count += 1
    f_new = np.where(sum_w > 0, sum_wf / np.maximum(sum_w, 1e-30), 0.0)
    m_new = np.abs(sum_c) / count
    return f_new.reshape(shape), m_new.reshape(shape), new


def brain_mask(magnitude):
    inside = magnitude > BRAIN_FRACTION * np.percentile(magnitude, 98)
    labels, n = ndimage.label(inside)
    if n > 1:
        sizes = ndimage.sum(inside, labels, range(1, n + 1))
        inside = labels == (1 + int(np.argmax(sizes)))
    return ndimage.binary_fill_holes(inside)


def measure(field, magnitude, dte_s, sigma, rng):
    """The wrapped phase difference and the magnitude a scanner would deliver."""
    z = magnitude * np.exp(2j * np.pi * field * dte_s)
    z = z + sigma * (rng.standard_normal(z.shape) + 1j * rng.standard_normal(z.shape))
    return np.angle(z), np.abs(z)


def plain_unwrap(phase, magnitude, dte_s):
    cycles = unwrap_phase(phase) / (2 * np.pi)
    inside = magnitude > BRAIN_MEDIAN * 0.2
    level = np.round(np.median(cycles[inside])) if inside.any() else 0.0
    return (cycles - level) / dte_s


def weighted_gaussian(field, magnitude, affine):
    sigma = REFERENCE_SIGMA_MM / voxel_sizes(affine)
    num = ndimage.gaussian_filter(field * magnitude, sigma, mode='nearest')
    den = ndimage.gaussian_filter(magnitude, sigma, mode='nearest')
    return num / np.maximum(den, 1e-12)


def scores(estimate, truth, masks, dte_s):
    """RMS error and share with a cycle error in each mask ('' the brain, 'head_' the head)."""
    out = {}
    for prefix, mask in masks.items():
        err = (estimate - truth)[mask]
        out[prefix + 'rms_hz'] = float(np.sqrt(np.mean(err ** 2)))
        out[prefix + 'cycle_error_pct'] = float(100.0 * np.mean(np.abs(err) * dte_s >= 0.5))
    return out


def mean_cell(cells):
    """The mean over noise draws; failed when any failed."""
    failed = [c for c in cells if 'error' in c]
    if failed:
        return failed[0]
    return {k: float(np.mean([c[k] for c in cells])) for k in cells[0]}


def save(path, data, affine):
    image = nib.Nifti1Image(data.astype(np.float32), affine)
    image.set_qform(affine, 1)
    image.set_sform(affine, 1)
    nib.save(image, path)


def run_command(ondrift, folder, phase_path, mag_path, dte_ms, conditioning, extra):
    out = os.path.join(folder, f'out-{conditioning}')
    shutil.rmtree(out, ignore_errors=True)
    args = [ondrift, '--quiet', 'correct', '--no-report', '--phase', phase_path, '--magnitude',
            mag_path, '--epi', mag_path, '--out', out, '--echo-time-diff', f'{dte_ms:g}',
            '--bandwidth-pe', '30', '--pe-dir', 'j', '--field-map-conditioning',
            str(conditioning)] + extra
    start = time.monotonic()
    done = subprocess.run(args, capture_output=True, text=True)
    seconds = time.monotonic() - start
    if done.returncode != 0:
        return None, seconds, done.stderr.strip().splitlines()[-1:] or ['failed']
    names = sorted(os.listdir(out))
    for ending in ('_b0_smooth.nii.gz', '_b0.nii.gz'):
        found = [n for n in names if n.endswith(ending)]
        if found:
            data, _ = load(os.path.join(out, found[0]))
            return data, seconds, None
    return None, seconds, ['no field map (_b0) among the outputs']


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--field', required=True, help='true field, Hz')
    parser.add_argument('--magnitude', required=True)
    parser.add_argument('--mask', help='brain mask (default: from the magnitude)')
    parser.add_argument('--grid', help='resample to voxel sizes SX,SY,SZ (mm) first')
    parser.add_argument('--tilt', type=float, default=0.0, help='tilt of that grid, degrees')
    parser.add_argument('--conditionings', default='0,1,2,3,4')
    parser.add_argument('--dte', default='2.46,4.92,7.38,9.84', help='echo-time gaps, ms')
    parser.add_argument('--phase-noise', type=float, default=DEFAULT_PHASE_NOISE,
                        help='phase noise at the brain\'s median magnitude, rad')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--seeds', type=int, default=1,
                        help='noise draws per gap (seed, seed+1, ...); the table shows their mean')
    parser.add_argument('--ondrift', default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), '..', 'build', 'ondrift'))
    parser.add_argument('--work', help='keep inputs and outputs here (default: temporary)')
    parser.add_argument('--json', help='write every figure to this file')
    parser.add_argument('--label', default='')
    parser.add_argument('extra', nargs='*', help='after --: more arguments for ondrift correct')
    a = parser.parse_args()

    field, affine = load(a.field)
    magnitude, mag_affine = load(a.magnitude)
    if field.shape != magnitude.shape or not np.allclose(affine, mag_affine, atol=1e-3):
        sys.exit('field and magnitude must share a grid')
    mask_in = load(a.mask)[0] > 0.5 if a.mask else None
    if a.grid or a.tilt:
        sizes = [float(s) for s in a.grid.split(',')] if a.grid else voxel_sizes(affine)
        if mask_in is not None:
            sys.exit('--mask cannot be combined with --grid or --tilt')
        field, magnitude, affine = resample(field, magnitude, affine, sizes, a.tilt)
    brain = mask_in if mask_in is not None else brain_mask(magnitude)
    if brain.shape != field.shape or not brain.any():
        sys.exit('the brain mask is empty or on another grid')
    # With a mask given, the whole head (by the magnitude) is measured too.
    masks = {'': brain} if mask_in is None else {'': brain, 'head_': brain_mask(magnitude)}
    magnitude = magnitude * (BRAIN_MEDIAN / np.median(magnitude[brain]))
    sigma = a.phase_noise * BRAIN_MEDIAN
    conditionings = [int(c) for c in a.conditionings.split(',')]
    gaps = [float(d) for d in a.dte.split(',')]

    work = a.work or tempfile.mkdtemp(prefix='field-accuracy-')
    os.makedirs(work, exist_ok=True)
    save(os.path.join(work, 'truth_fieldmap.nii.gz'), field, affine)
    save(os.path.join(work, 'brain.nii.gz'), brain.astype(np.float32), affine)
    runs = {}
    for seed, dte_ms in [(s, d) for s in range(a.seed, a.seed + a.seeds) for d in gaps]:
        dte = dte_ms / 1000.0
        folder = os.path.join(work, f'dte-{dte_ms:g}-seed-{seed}')
        os.makedirs(folder, exist_ok=True)
        # Each gap's noise of its own, whichever other gaps run.
        rng = np.random.default_rng([seed, int(round(dte_ms * 1000))])
        phase, measured = measure(field, magnitude, dte, sigma, rng)
        phase_path = os.path.join(folder, 'phasediff.nii.gz')
        mag_path = os.path.join(folder, 'magnitude.nii.gz')
        save(phase_path, phase, affine)
        save(mag_path, measured, affine)
        for c in conditionings:
            estimate, seconds, error = run_command(a.ondrift, folder, phase_path, mag_path,
                                                   dte_ms, c, a.extra)
            cell = {'seconds': seconds}
            if estimate is None:
                cell['error'] = error[0]
            else:
                cell.update(scores(estimate.reshape(field.shape), field, masks, dte))
            runs.setdefault(f'conditioning {c}', {}).setdefault(dte_ms, []).append(cell)
        plain = plain_unwrap(phase, measured, dte)
        runs.setdefault('plain 3-D unwrapper', {}).setdefault(dte_ms, []).append(
            scores(plain, field, masks, dte))
        smooth = weighted_gaussian(plain, measured, affine)
        runs.setdefault('weighted Gaussian 1.5 mm', {}).setdefault(dte_ms, []).append(
            scores(smooth, field, masks, dte))
    rows = {name: {d: mean_cell(cells) for d, cells in row.items()} for name, row in runs.items()}
    sizes = voxel_sizes(affine)
    title = (f'{a.label + ": " if a.label else ""}{"x".join(str(s) for s in field.shape)} voxels '
             f'of {"x".join(f"{s:.2g}" for s in sizes)} mm, tilt {a.tilt:g} deg, brain '
             f'{int(brain.sum())} voxels, phase noise {a.phase_noise:g} rad at the median, '
             f'{a.seeds} noise draw{"s" if a.seeds > 1 else ""}')
    print(f'\n{title}')
    for prefix, where in (('', 'the brain'), ('head_', 'the head (by the magnitude)')):
        if prefix not in masks:
            continue
        print(f'\nRMS error inside {where}, Hz (voxels with a cycle error, %)\n')
        print('| method | ' + ' | '.join(f'{d:g} ms' for d in gaps) + ' |')
        print('|---|' + '---|' * len(gaps))
        share = {d: float(100.0 * np.mean(np.abs(field[masks[prefix]]) * d / 1000.0 >= 0.5))
                 for d in gaps}
        print('| wrapped share | ' + ' | '.join(f'{share[d]:.1f} %' for d in gaps) + ' |')
        for name, row in rows.items():
            cells = []
            for d in gaps:
                cell = row[d]
                if 'error' in cell:
                    cells.append('FAILED: ' + cell['error'][:60])
                else:
                    cells.append(f'{cell[prefix + "rms_hz"]:.2f} '
                                 f'({cell[prefix + "cycle_error_pct"]:.2f})')
            print(f'| {name} | ' + ' | '.join(cells) + ' |')
    if a.json:
        with open(a.json, 'w') as f:
            json.dump({'title': title, 'rows': rows, 'runs': runs}, f,
                  indent=1)
    if not a.work:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if any('error' in c for r in rows.values() for c in r.values()) else 0


if __name__ == '__main__':
    sys.exit(main())
