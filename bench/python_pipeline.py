#!/usr/bin/env python3
"""A plain Python field-map pipeline on the phantom variants, for comparison with ondrift.

3-D phase unwrapping with scikit-image (no mask), the field's whole-cycle level chosen so that
its median inside the magnitude mask lies nearest zero, no smoothing, the field sampled onto the
functional grid in world space, and linear resampling along phase encoding. It reads the
folders that build/ondrift_accuracy_variants leaves (make accuracy) and prints, per variant,
its error reduction beside ondrift's and the ideal's, inside the head and over the whole head.

Needs Debian's python3-nibabel, python3-scipy and python3-skimage.

    python3 bench/python_pipeline.py [accuracy-variants]
    python3 bench/python_pipeline.py --correct INPUT-FOLDER OUTPUT.nii.gz

The second form corrects one folder's series end to end (reading, unwrapping, resampling,
writing the corrected series compressed): build/ondrift_e2e_bench times it beside ondrift.
"""
import glob
import json
import os
import sys

import nibabel as nib
import numpy as np
from scipy.ndimage import map_coordinates
from skimage.restoration import unwrap_phase


def load(path):
    image = nib.load(path)
    return np.asarray(image.dataobj, dtype=np.float64), image.affine


def relative_error(series, truth, mask):
    d = (series - truth)[mask]
    return np.sqrt(np.mean(d * d) / np.mean(truth[mask] ** 2))


def plain_pipeline(folder):
    """The corrected series of the plain pipeline and the files it was made from."""
    phase, field_affine = load(os.path.join(folder, 'sub-phantom_phasediff.nii.gz'))
    phase = phase.reshape(phase.shape[:3]) / 4096.0 * np.pi  # scanner units to radians
    magnitude, _ = load(os.path.join(folder, 'sub-phantom_magnitude1.nii.gz'))
    bold, epi_affine = load(os.path.join(folder, 'sub-phantom_task-rest_bold.nii.gz'))
    with open(os.path.join(folder, 'sub-phantom_phasediff.json')) as f:
        echoes = json.load(f)
    with open(os.path.join(folder, 'sub-phantom_task-rest_bold.json')) as f:
        epi = json.load(f)
    cycles = unwrap_phase(phase) / (2 * np.pi)
    inside = magnitude.reshape(phase.shape) > 200
    field = (cycles - np.round(np.median(cycles[inside]))) / (
        echoes['EchoTime2'] - echoes['EchoTime1'])
    shape = bold.shape[:3]
    voxels = np.indices(shape).reshape(3, -1)
    world = epi_affine[:3, :3] @ voxels + epi_affine[:3, 3:4]
    to_field = np.linalg.inv(field_affine)
    hz = map_coordinates(field, to_field[:3, :3] @ world + to_field[:3, 3:4], order=1,
                         mode='nearest').reshape(shape)
    direction = epi['PhaseEncodingDirection']
    axis = 'ijk'.index(direction[0])
    sign = -1.0 if direction.endswith('-') else 1.0
    shift = sign * hz * epi['EffectiveEchoSpacing'] * shape[axis]
    where = np.indices(shape).astype(np.float64)
    where[axis] = np.clip(where[axis] + shift, 0, shape[axis] - 1)
    return np.stack([map_coordinates(bold[..., t], where, order=1, mode='nearest')
                     for t in range(bold.shape[3])], axis=-1), bold


def correct(folder, output):
    """The plain pipeline end to end: its corrected series written as float32, compressed."""
    corrected, _ = plain_pipeline(folder)
    bold = nib.load(os.path.join(folder, 'sub-phantom_task-rest_bold.nii.gz'))
    image = nib.Nifti1Image(corrected.astype(np.float32), bold.affine, bold.header)
    image.set_data_dtype(np.float32)
    nib.save(image, output)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == '--correct':
        correct(sys.argv[2], sys.argv[3])
        return
    root = sys.argv[1] if len(sys.argv) > 1 else 'accuracy-variants'
    print(f'{"variant":16s} | inside the head: ondrift, plain, ideal | whole head: ondrift, plain, ideal')
    for variant in sorted(os.listdir(root)):
        inputs = os.path.join(root, variant, 'in')
        outputs = glob.glob(os.path.join(root, variant, 'out', '*_undistort.nii.gz'))
        if not outputs:
            continue
        plain, distorted = plain_pipeline(inputs)
        truth, _ = load(os.path.join(inputs, 'sub-phantom_task-rest_desc-truth_bold.nii.gz'))
        ideal, _ = load(os.path.join(inputs, 'ideal.nii.gz'))
        ours, _ = load(outputs[0])
        evaluation, _ = load(os.path.join(inputs, 'evaluation-mask.nii.gz'))
        masks = [evaluation.reshape(truth.shape[:3]) > 0.5, truth[..., 0] > 30.0]
        row = []
        for m in masks:
            m = np.broadcast_to(m[..., None], truth.shape)
            before = relative_error(distorted, truth, m)
            row.append([before / relative_error(s.reshape(truth.shape), truth, m)
                        for s in (ours, plain, ideal)])
        print(f'{variant:16s} | ' + ' | '.join(
            f'x{a:6.2f}, x{b:6.2f}, x{c:6.2f}' for a, b, c in row))


if __name__ == '__main__':
    main()
