"""Nipype CommandLine interfaces for the ondrift command."""

import json
import os

from nipype.interfaces.base import (
    CommandLine,
    CommandLineInputSpec,
    Directory,
    File,
    TraitedSpec,
    traits,
)


def ondrift_executable():
    """The ondrift command: $ONDRIFT, else ``ondrift`` on the PATH."""
    return os.environ.get("ONDRIFT", "ondrift")


class OndriftCorrectInputSpec(CommandLineInputSpec):
    phase = File(exists=True, mandatory=True, argstr="--phase %s",
                 desc="wrapped phase difference (or, with from_step, the later start image)")
    magnitude = File(exists=True, argstr="--magnitude %s", desc="magnitude of the field map")
    epi = File(exists=True, mandatory=True, argstr="--epi %s", desc="functional series")
    anat = File(exists=True, argstr="--anat %s", desc="anatomical image for the mapping")
    out_dir = Directory("ondrift", usedefault=True, argstr="--out %s",
                        desc="output folder (relative: inside the node's folder)")
    echo_time_diff = traits.Float(argstr="--echo-time-diff %g", desc="ms")
    bandwidth_pe = traits.Float(argstr="--bandwidth-pe %g", desc="Hz per pixel")
    effective_echo_spacing = traits.Float(argstr="--effective-echo-spacing %g", desc="s")
    total_readout_time = traits.Float(argstr="--total-readout-time %g", desc="s")
    pe_dir = traits.Enum("i", "i-", "j", "j-", "k", "k-", argstr="--pe-dir %s")
    from_step = traits.Enum("Unwrap", "ComputeB0", "ComputePxshift", "Undistort",
                            argstr="--from %s")
    nan_to_zero = traits.Bool(argstr="--nan-to-zero")
    overwrite = traits.Bool(True, usedefault=True, argstr="--overwrite",
                            desc="a rerun of the node replaces its earlier results")
    plugin = File(exists=True, argstr="--plugin %s", desc="plug-in library")


class OndriftCorrectOutputSpec(TraitedSpec):
    corrected_file = File(exists=True, desc="the corrected series")
    summary_file = File(exists=True, desc="ondrift.json: inputs, parameters, log, timings")
    out_dir = Directory(exists=True)


class OndriftCorrect(CommandLine):
    """``ondrift correct``: one functional series corrected with its field map.

    Parameters the inputs leave undefined come from the BIDS sidecars beside the images, as
    with the command itself.
    """

    input_spec = OndriftCorrectInputSpec
    output_spec = OndriftCorrectOutputSpec
    _cmd = "ondrift"  # the executable is looked up when the node runs: $ONDRIFT

    @property
    def cmd(self):
        return ondrift_executable() + " --quiet correct"

    def _out_dir(self):
        return os.path.abspath(self.inputs.out_dir)

    def _list_outputs(self):
        out_dir = self._out_dir()
        summary = os.path.join(out_dir, "ondrift.json")
        with open(summary) as f:
            corrected = json.load(f)["result"]["corrected"]
        return {"corrected_file": os.path.join(out_dir, corrected),
                "summary_file": summary,
                "out_dir": out_dir}


class OndriftBidsRunInputSpec(CommandLineInputSpec):
    bids_dir = Directory(exists=True, mandatory=True, argstr="%s", position=0)
    output_dir = Directory(mandatory=True, argstr="%s", position=1,
                           desc="the derivatives folder, shared by every run")
    analysis_level = traits.Enum("participant", usedefault=True, argstr="%s", position=2)
    bold = traits.Str(mandatory=True, argstr="--bold %s",
                      desc="the run: its path from bids_dir")
    jobs = traits.Int(1, usedefault=True, argstr="-j %d",
                      desc="one run per node: the engine spreads the nodes")
    overwrite = traits.Bool(argstr="--overwrite")
    keep_projects = traits.Bool(argstr="--keep-projects")
    skip_bids_validation = traits.Bool(True, usedefault=True, argstr="--skip-bids-validation",
                                       desc="validate once for the data set, not per node")
    plugin = File(exists=True, argstr="--plugin %s")


class OndriftBidsRunOutputSpec(TraitedSpec):
    # Undefined for a run without a field map, which is skipped with a note in the logs.
    corrected_file = File(desc="..._desc-undistorted_bold.nii.gz")
    sidecar_file = File()
    transform_file = File(desc="..._from-distorted_to-undistorted_mode-image_xfm.nii.gz, the "
                               "correction as an ITK displacement field (mm, LPS)")


class OndriftBidsRun(CommandLine):
    """``ondrift bids`` for one run: the field map found, parameters read with inheritance, and
    the results written into the shared BIDS derivatives folder."""

    input_spec = OndriftBidsRunInputSpec
    output_spec = OndriftBidsRunOutputSpec
    _cmd = "ondrift"

    @property
    def cmd(self):
        return ondrift_executable() + " --quiet bids"

    def _list_outputs(self):
        rel = self.inputs.bold
        folder = os.path.join(os.path.abspath(self.inputs.output_dir), os.path.dirname(rel))
        name = os.path.basename(rel)
        stem = name[:-len("_bold.nii.gz")] if name.endswith(".nii.gz") else name[:-len("_bold.nii")]
        base = os.path.join(folder, stem + "_desc-undistorted_bold")
        outputs = {}
        if os.path.exists(base + ".json"):
            outputs = {"corrected_file": base + ".nii.gz", "sidecar_file": base + ".json"}
            # Entities of the series without its suffix; a description of the source is dropped.
            entities = "_".join(e for e in stem.split("_") if not e.startswith("desc-"))
            transform = os.path.join(
                folder, entities + "_from-distorted_to-undistorted_mode-image_xfm.nii.gz")
            if os.path.exists(transform):
                outputs["transform_file"] = transform
        return outputs
