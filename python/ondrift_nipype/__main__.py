"""python3 -m ondrift_nipype BIDS_DIR OUTPUT_DIR [--plugin MultiProc|SLURM|SGE|PBS|Linear]"""

import argparse
import os
import sys

from .workflow import build_bids_workflow, find_bold_runs


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m ondrift_nipype",
        description="Correct every run of a BIDS data set with ondrift through a Nipype "
                    "workflow: one node per run, spread by a Nipype execution plugin.")
    parser.add_argument("bids_dir")
    parser.add_argument("output_dir")
    parser.add_argument("--participant-label", nargs="*", default=None)
    parser.add_argument("--task", nargs="*", default=None)
    parser.add_argument("--session", nargs="*", default=None)
    parser.add_argument("--plugin", default="MultiProc",
                        help="Nipype execution plugin (MultiProc, SLURM, SGE, PBS, Linear)")
    parser.add_argument("--plugin-args", default=None,
                        help="e.g. \"{'sbatch_args': '--time=01:00:00'}\" (a Python dict)")
    parser.add_argument("--work-dir", default=None,
                        help="Nipype's working folder (default: OUTPUT_DIR/../ondrift_work)")
    parser.add_argument("--overwrite", action="store_true")
    args = parser.parse_args(argv)
    os.environ.setdefault("NIPYPE_NO_ET", "1")
    work = args.work_dir or os.path.join(os.path.dirname(os.path.abspath(args.output_dir)),
                                         "ondrift_work")
    if not find_bold_runs(args.bids_dir, args.participant_label, args.task, args.session):
        print("no functional runs found in " + args.bids_dir, file=sys.stderr)
        return 2
    wf = build_bids_workflow(args.bids_dir, args.output_dir, base_dir=work,
                             participants=args.participant_label, tasks=args.task,
                             sessions=args.session, overwrite=args.overwrite)
    plugin_args = {}
    if args.plugin_args:
        import ast
        plugin_args = ast.literal_eval(args.plugin_args)
    wf.run(plugin=args.plugin, plugin_args=plugin_args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
