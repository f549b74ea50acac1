"""Nipype interfaces and workflows for the ondrift command.

``OndriftCorrect`` wraps ``ondrift correct`` (one functional series and its field map);
``OndriftBidsRun`` wraps ``ondrift bids`` restricted to one run of a BIDS data set.
``build_bids_workflow`` makes one node per functional run of a BIDS data set, so that any of
Nipype's execution plugins (MultiProc, SLURM, SGE, PBS, ...) spreads the runs over the cores of a
machine or the nodes of a cluster.
"""

from .interfaces import OndriftBidsRun, OndriftCorrect
from .workflow import build_bids_workflow, find_bold_runs

__all__ = ["OndriftCorrect", "OndriftBidsRun", "build_bids_workflow", "find_bold_runs"]
