#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (fuzz/corpus/<target>/): small valid inputs and damaged
ones. Run from anywhere; the files are committed, this script documents how they were made."""
import gzip
import json
import math
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def put(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


# --- NIfTI ---------------------------------------------------------------------------------
def nifti(dims, datatype=16, bitpix=32, values=None, endian="<", slope=1.0, inter=0.0,
          magic=b"n+1\0", sizeof_hdr=348, pixdim=(1.0, 2.0, 2.0, 3.0, 2.0), extension=None,
          vox_offset=None, qform=1, sform=1, xyz_units=2):
    dim = [len(dims)] + list(dims) + [1] * (7 - len(dims))
    ext = b""
    if extension is not None:
        body = extension + b"\0" * (-(len(extension) + 8) % 16)
        ext = struct.pack(endian + "ii", len(body) + 8, 6) + body
    offset = vox_offset if vox_offset is not None else 352 + len(ext)
    h = struct.pack(endian + "i", sizeof_hdr)
    h += b"\0" * 10 + b"\0" * 18 + struct.pack(endian + "i", 0) + struct.pack(endian + "h", 0)
    h += b"r" + b"\0"
    h += struct.pack(endian + "8h", *dim)
    h += struct.pack(endian + "3f", 0.0, 0.0, 0.0)
    h += struct.pack(endian + "hhhh", 0, datatype, bitpix, 0)
    pd = [1.0] + list(pixdim) + [1.0] * (7 - len(pixdim))
    h += struct.pack(endian + "8f", *pd)
    h += struct.pack(endian + "fff", float(offset), slope, inter)
    h += struct.pack(endian + "h", 0) + bytes([0, xyz_units | 8])
    h += struct.pack(endian + "ffff", 0, 0, 0, 0) + struct.pack(endian + "ii", 0, 0)
    h += b"\0" * 80 + b"\0" * 24
    h += struct.pack(endian + "hh", qform, sform)
    h += struct.pack(endian + "6f", 0, 0, 0, -10, -12, -4)
    h += struct.pack(endian + "4f", pixdim[0], 0, 0, -10)
    h += struct.pack(endian + "4f", 0, pixdim[1], 0, -12)
    h += struct.pack(endian + "4f", 0, 0, pixdim[2], -4)
    h += b"\0" * 16 + magic
    assert len(h) == 348, len(h)
    h += (b"\1\0\0\0" if extension is not None else b"\0\0\0\0") + ext
    h += b"\0" * max(0, offset - len(h))
    n = 1
    for d in dims:
        n *= d
    if values == []:
        return h
    fmt = {2: "B", 4: "h", 8: "i", 16: "f", 64: "d", 256: "b", 512: "H"}[datatype]
    vals = values if values is not None else [((i * 37) % 101) - 50 for i in range(n)]
    if fmt in "BH":
        vals = [abs(int(v)) for v in vals]
    elif fmt in "hib":
        vals = [int(v) for v in vals]
    return h + struct.pack(endian + fmt * n, *vals)


valid = nifti((3, 3, 2))
put("nifti", "float32_3d.nii", valid)
put("nifti", "int16_4d_scaled.nii", nifti((2, 2, 2, 3), 4, 16, slope=0.5, inter=10.0))
put("nifti", "uint8.nii", nifti((4, 2, 1), 2, 8))
put("nifti", "float64.nii", nifti((2, 2, 2), 64, 64))
put("nifti", "big_endian.nii", nifti((2, 3, 2), 4, 16, endian=">"))
put("nifti", "extension.nii", nifti((2, 2, 2), extension=b'{"note": "x"}'))
put("nifti", "nan_values.nii", nifti((2, 2, 1), values=[math.nan, 1.0, math.inf, 2.0]))
put("nifti", "truncated_data.nii", valid[:-7])
put("nifti", "truncated_header.nii", valid[:200])
put("nifti", "analyze_magic.nii", nifti((2, 2, 2), magic=b"\0\0\0\0"))
put("nifti", "pair_magic.nii", nifti((2, 2, 2), magic=b"ni1\0"))
put("nifti", "nifti2_size.nii", nifti((2, 2, 2), sizeof_hdr=540))
put("nifti", "zero_dim.nii", nifti((2, 0, 2)))
put("nifti", "huge_dims.nii", nifti((30000, 30000, 2), values=[])[:400])
put("nifti", "bad_offset.nii", nifti((2, 2, 2), vox_offset=100))
put("nifti", "nan_slope.nii", nifti((2, 2, 2), slope=math.nan))
put("nifti", "complex.nii", nifti((2, 2, 1), 32, 64, values=[]) + b"\0" * 36)
put("nifti", "five_dims.nii", nifti((2, 2, 1, 1, 2)))
put("nifti", "gzip_stream.nii", gzip.compress(nifti((2, 2, 2))))
put("nifti", "gzip_truncated.nii", gzip.compress(nifti((4, 4, 4)))[:-20])

# --- BIDS sidecars: 16 bytes of choices and dimensions, then phase \0 magnitude \0 bold ------
def bids(choice, dims, phase, magnitude, bold):
    head = struct.pack(">IIII", choice, dims[0] - 1, dims[1] - 1, dims[2] - 1)
    parts = [json.dumps(x) if not isinstance(x, str) else x for x in (phase, magnitude, bold)]
    return head + b"\0".join(p.encode() for p in parts)


ph = {"EchoTime1": 0.00492, "EchoTime2": 0.00738, "Units": "rad"}
bo = {"PhaseEncodingDirection": "j-", "EffectiveEchoSpacing": 0.00058, "RepetitionTime": 2.0}
put("bids", "complete", bids(1, (64, 64, 32), ph, {}, bo))
put("bids", "readout_time", bids(1, (64, 64, 32), ph, {},
                                 {"PhaseEncodingDirection": "i", "TotalReadoutTime": 0.0365}))
put("bids", "echo_diff_hz", bids(1 | 64 | 128, (80, 80, 40), {"EchoTimeDiff": 2.46, "Units": "Hz"},
                                 {}, {"PhaseEncodingDirection": "k-", "BandWidthPE": 30}))
put("bids", "recon_matrix", bids(1, (64, 64, 32), ph, {},
                                 {"PhaseEncodingAxis": "j", "ReconMatrixPE": 96,
                                  "EffectiveEchoSpacing": 0.0005}))
put("bids", "from_undistort", bids(0x30, (64, 64, 32), {}, {}, bo))
put("bids", "anat_map", bids(1 | 2 | 256 | 512, (64, 64, 32), ph, {}, bo))
put("bids", "contradictions", bids(1 | 2 | 256, (64, 64, 32), ph, {"EchoTime1": "x"},
                                   {"PhaseEncodingDirection": "q", "EffectiveEchoSpacing": -1}))
put("bids", "not_json", bids(1, (64, 64, 32), '{"EchoTime1": 0.004', "[1, 2]", "null"))
put("bids", "zero_spacing", bids(1, (1, 1, 1), ph, {},
                                 {"PhaseEncodingDirection": "j", "EffectiveEchoSpacing": 0}))
put("bids", "huge_numbers", bids(1, (300, 300, 300), {"EchoTime1": 1e308, "EchoTime2": -1e308},
                                 {}, {"PhaseEncodingDirection": "j", "TotalReadoutTime": 1e-320}))
put("bids", "nested", bids(1, (8, 8, 8), '{"a":' * 50 + "1" + "}" * 50, "{}", "{}"))

# --- stand-in projects: FMR header \0 STC bytes (the whole input is also read as a VMR) -------
def fmr(dtype=2, c=2, r=2, s=2, v=1, extra=""):
    return (f"ONDRIFT-FMR 1\nDataType: {dtype}\nColumns: {c}\nRows: {r}\nSlices: {s}\n"
            f"Volumes: {v}\nVoxelSizeX: 3.5\nVoxelSizeY: 3.5\nVoxelSizeZ: 4\n"
            f"STCFile: data.stc\nLinkedAMRFile:\n{extra}").encode()


pos = ("PosInfosVerified: 1\nCoordinateSystem: 1\nSlice1CenterX: 0\nSlice1CenterY: -10.5\n"
       "Slice1CenterZ: 3\nRowDirX: 1\nColDirY: 1\nNRows: 2\nNCols: 2\nFoVRows: 7\n"
       "FoVCols: 7\nSliceThickness: 4\nGapThickness: 0.4\n")
put("projects", "float_fmr", fmr(extra=pos) + b"\0" + struct.pack("<8f", *range(8)))
put("projects", "int16_fmr", fmr(1, 3, 2, 1, 2) + b"\0" + struct.pack("<12h", *range(-6, 6)))
put("projects", "short_stc", fmr() + b"\0" + b"\0" * 31)
put("projects", "huge_fmr", fmr(2, 2147483647, 2, 1, 1) + b"\0")
put("projects", "bad_type", fmr(3) + b"\0" + b"\0" * 32)
put("projects", "crlf_comments", fmr().replace(b"\n", b"\r\n") + b"# note\r\n\0" + b"\0" * 32)
put("projects", "repeated_key", fmr(extra="Rows: 2\n") + b"\0" + b"\0" * 32)


def vmr(dims=(2, 2, 2), extra="", voxels=None):
    n = dims[0] * dims[1] * dims[2]
    head = (f"ONDRIFT-VMR 1\nDimX: {dims[0]}\nDimY: {dims[1]}\nDimZ: {dims[2]}\nVoxelSizeX: 1\n"
            f"VoxelSizeY: 1\nVoxelSizeZ: 1\n{extra}Voxels:\n").encode()
    return head + (voxels if voxels is not None else bytes(range(n)))


put("projects", "vmr", vmr(extra=pos))
put("projects", "vmr_transformations",
    vmr(extra="PastTransformations: 2\nTransformation1: " + " ".join(["1", "0", "0", "2"] * 4) +
        "\nTransformation2: " + " ".join(["0.5"] * 16) + "\n"))
put("projects", "vmr_too_many_transformations", vmr(extra="PastTransformations: 158\n"))
put("projects", "vmr_short", vmr(voxels=b"\1\2\3"))
put("projects", "vmr_huge", vmr(dims=(65536, 65536, 2), voxels=b"\0"))

# --- session scripts (the target writes phase.nii, magnitude.nii and bold.nii beside them) ----
start = """folder out
open fmr phase.nii
open fmr magnitude.nii
open fmr bold.nii bold.fmr
set string Procedure Unwrap
set int PerformAllSteps 1
set int UnwrappingMethod {method}
set int NrOfIterationsRelax 20
set int NrOfVCycles 2
set int NrOfIterations 3
set int MaskLaplacian 1
set float BandWidthPE 30
set float EchoTimeDiff 2.46
set int PhaseEncodingDir {pe}
answer doc phase.fmr
answer doc magnitude.fmr
answer doc bold.fmr
execute Start
expect ok
expect param NameUndistortedFile bold_undistort.fmr
print saves
export nifti bold_undistort.fmr bold_undistort.nii.gz like bold.fmr
"""
put("session_script", "start_multigrid.txt", start.format(method=1, pe=4))
put("session_script", "start_relaxation.txt", start.format(method=0, pe=1))
put("session_script", "frame.txt", """set int FileTypeId 21
set int FileStage 1
answer path phase.nii
answer cancel
execute GetFiles
expect param NrOfFiles 1
answer path "a \\"quoted\\" name.vmr"  # comment
execute GetFile
print param FileName
execute Nothing
print log
print documents
""")
put("session_script", "failing.txt", """open vmr magnitude.nii anatomy
answer doc 7
execute Evaluate
expect error
set string RealFile real.fmr
set string ImagFile imag.fmr
execute CreatePolarFile
expect error "Conversion to polar representation did not succeed."
""")
put("session_script", "syntax.txt", 'open fmr "unterminated\nset int X notanumber\nfrobnicate\n')

# --- execute: numbers for the harness (4 bytes each, big-endian), then a free command text ------
def numbers(*values, tail=b""):
    return b"".join(struct.pack(">I", v) for v in values) + tail


ws = [6, 6, 2, 1, 12345, 0, 4, 0, 10000, 0, 10000]  # grid, seed, choice, vmr, FoV, thickness
params = [0, 2, 20, 3, 4, 2, 1, 1, 1, 2, 4, 2, 2, 0, 0, 0, 2500, 0, 3000, 0, 1100, 0, 1]
put("execute", "start_unwrap", numbers(*ws, *params, 3, 2, 2, 2, 3, 2, 4, 0))
put("execute", "start_relaxation",
    numbers(*ws, *params[:1], 1, *params[2:], 3, 2, 2, 2, 3, 2, 4, 0))
put("execute", "start_integer_phase", numbers(6, 6, 2, 2, 7, 2 | 8, *ws[6:], *params, 3, 2, 2,
                                              2, 3, 2, 4, 0))
put("execute", "undistort", numbers(*ws, 3, *params[1:], 2, 2, 6, 0))
put("execute", "get_files", numbers(*ws, *params[:13], 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0,
                                    0, 1))
put("execute", "evaluate", numbers(*ws, *params, 2, 2, 6, 2, 6, 3))
put("execute", "polar", numbers(*ws, *params[:21], 0, 1, 0, 4))
put("execute", "free_command", numbers(*ws, *params, 0, 6, tail=b"Start\0x"))
print("seeds written to", ROOT)
