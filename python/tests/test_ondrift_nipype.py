"""The Nipype route of ondrift: the interfaces, and the BIDS workflow run by MultiProc and, where
a SLURM cluster is up (ONDRIFT_TEST_SLURM=1), by the SLURM plugin and by a plain sbatch array."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

from ondrift_nipype import OndriftCorrect, build_bids_workflow, find_bold_runs

ONDRIFT = os.environ.get("ONDRIFT", "ondrift")
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SUBJECTS = 3


def corrected_files(out):
    found = []
    for root, _, files in os.walk(out):
        found += [os.path.join(root, f) for f in files if f.endswith("_desc-undistorted_bold.nii.gz")]
    return sorted(found)


class BidsWorkflow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ondrift-nipype-")
        cls.ds = os.path.join(cls.tmp, "ds")
        subprocess.run([ONDRIFT, "--quiet", "demo", "--bids", cls.ds, "--subjects", str(SUBJECTS)],
                       check=True, stdout=subprocess.DEVNULL)
        os.chdir(cls.tmp)  # crash files of Nipype land here

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def check_derivatives(self, out):
        with open(os.path.join(out, "dataset_description.json")) as f:
            self.assertEqual(json.load(f)["DatasetType"], "derivative")
        corrected = corrected_files(out)
        self.assertEqual(len(corrected), SUBJECTS, corrected)
        for c in corrected:
            self.assertTrue(os.path.exists(c[: -len(".nii.gz")] + ".json"))
            self.assertTrue(os.path.exists(c.replace(
                "_desc-undistorted_bold.nii.gz",
                "_from-distorted_to-undistorted_mode-image_xfm.nii.gz")), c)
            label = os.path.basename(c).split("_")[0]
            fmap = os.path.join(out, label, "fmap")
            self.assertTrue(any(f.endswith("_desc-ondrift_fieldmap.nii.gz")
                                for _, _, fs in os.walk(fmap) for f in fs), label)

    def test_runs_are_found_and_filtered(self):
        runs = find_bold_runs(self.ds)
        self.assertEqual(len(runs), SUBJECTS)
        self.assertEqual(find_bold_runs(self.ds, participants=["sub-02"]),
                         [r for r in runs if r.startswith("sub-02/")])
        self.assertEqual(find_bold_runs(self.ds, tasks=["other"]), [])

    def test_correct_interface(self):
        node_dir = os.path.join(self.tmp, "correct-node")
        os.makedirs(node_dir)
        fmap = os.path.join(self.ds, "sub-01", "fmap")
        iface = OndriftCorrect(phase=os.path.join(fmap, "sub-01_phasediff.nii.gz"),
                               magnitude=os.path.join(fmap, "sub-01_magnitude1.nii.gz"),
                               epi=os.path.join(self.ds, "sub-01", "func",
                                                "sub-01_task-rest_bold.nii.gz"),
                               out_dir=os.path.join(node_dir, "out"))
        self.assertIn("--phase", iface.cmdline)
        result = iface.run(cwd=node_dir)
        self.assertTrue(os.path.exists(result.outputs.corrected_file))
        with open(result.outputs.summary_file) as f:
            self.assertEqual(json.load(f)["command"], "correct")

    def test_multiproc_one_node_per_run(self):
        out = os.path.join(self.tmp, "out-multiproc")
        wf = build_bids_workflow(self.ds, out, base_dir=os.path.join(self.tmp, "work-multiproc"))
        self.assertEqual(len(wf._graph.nodes()), SUBJECTS)
        wf.run(plugin="MultiProc", plugin_args={"n_procs": 2})
        self.check_derivatives(out)

    @unittest.skipUnless(os.environ.get("ONDRIFT_TEST_SLURM") == "1", "no SLURM cluster up")
    def test_slurm_plugin(self):
        out = os.path.join(self.tmp, "out-slurm")
        wf = build_bids_workflow(self.ds, out, base_dir=os.path.join(self.tmp, "work-slurm"))
        wf.run(plugin="SLURM", plugin_args={"sbatch_args": "--time=10", "max_jobs": SUBJECTS,
                                            "poll_sleep_duration": 1})
        self.check_derivatives(out)

    @unittest.skipUnless(os.environ.get("ONDRIFT_TEST_SLURM") == "1", "no SLURM cluster up")
    def test_sbatch_array_over_participants(self):
        out = os.path.join(self.tmp, "out-array")
        script = os.path.join(REPO, "scripts", "slurm", "ondrift-bids-array.sbatch")
        logs = os.path.join(self.tmp, "array-logs")
        os.makedirs(logs)
        env = dict(os.environ, ONDRIFT=ONDRIFT)
        subprocess.run(["timeout", "300", "sbatch", "--wait", "--array=1-%d" % SUBJECTS,
                        "--output=" + os.path.join(logs, "%A_%a.log"), script, self.ds, out],
                       check=True, env=env, stdout=subprocess.DEVNULL)
        self.check_derivatives(out)
        summaries = [f for f in os.listdir(os.path.join(out, "logs"))
                     if f.startswith("ondrift_bids_sub-")]
        self.assertEqual(len(summaries), SUBJECTS, summaries)


if __name__ == "__main__":
    unittest.main()
