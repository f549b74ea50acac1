"""A Nipype workflow over a BIDS data set: one node per functional run."""

import glob
import os
import re

from nipype.pipeline import engine as pe

from .interfaces import OndriftBidsRun


def _label(prefix, value):
    return value[len(prefix):] if value.startswith(prefix) else value


def find_bold_runs(bids_dir, participants=None, tasks=None, sessions=None):
    """Paths (from bids_dir) of the functional runs, in name order."""
    participants = {_label("sub-", p) for p in participants or []}
    tasks = {_label("task-", t) for t in tasks or []}
    sessions = {_label("ses-", s) for s in sessions or []}
    runs = []
    for pattern in ("sub-*/func/*_bold.nii*", "sub-*/ses-*/func/*_bold.nii*"):
        for path in glob.glob(os.path.join(bids_dir, pattern)):
            rel = os.path.relpath(path, bids_dir)
            if not re.search(r"_bold\.nii(\.gz)?$", rel):
                continue
            name = os.path.basename(rel)
            entities = dict(p.split("-", 1) for p in name.split("_")[:-1] if "-" in p)
            if participants and entities.get("sub") not in participants:
                continue
            if tasks and entities.get("task") not in tasks:
                continue
            if sessions and entities.get("ses") not in sessions:
                continue
            runs.append(rel)
    return sorted(runs)


def _node_name(rel):
    stem = re.sub(r"_bold\.nii(\.gz)?$", "", os.path.basename(rel))
    return "ondrift_" + re.sub(r"[^A-Za-z0-9_]", "_", stem)


def build_bids_workflow(bids_dir, output_dir, base_dir=None, participants=None, tasks=None,
                        sessions=None, overwrite=False, plugin_library=None,
                        name="ondrift_bids"):
    """A workflow with one OndriftBidsRun node per functional run of the data set.

    The runs write into one BIDS derivatives folder (output_dir); run it with any of Nipype's
    execution plugins, e.g. ``wf.run(plugin="MultiProc")`` or ``wf.run(plugin="SLURM")``.
    Runs without a field map leave nothing but a note in output_dir/logs.
    """
    bids_dir = os.path.abspath(bids_dir)
    output_dir = os.path.abspath(output_dir)
    wf = pe.Workflow(name=name, base_dir=base_dir)
    for rel in find_bold_runs(bids_dir, participants, tasks, sessions):
        node = pe.Node(OndriftBidsRun(bids_dir=bids_dir, output_dir=output_dir, bold=rel,
                                      overwrite=overwrite), name=_node_name(rel))
        if plugin_library:
            node.inputs.plugin = plugin_library
        wf.add_nodes([node])
    return wf
