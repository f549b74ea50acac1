#!/usr/bin/env bash
# The workflow-engine route: the Nipype package on a phantom BIDS data set with MultiProc, and
# (as root) on a single-node SLURM cluster started here, with Nipype's SLURM plugin and with the
# sbatch array example. Installs its own test packages. Needs the built command in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
packages=(python3-nipype)
root=0
[ "$(id -u)" -eq 0 ] && root=1 && packages+=(slurm-wlm munge)
scripts/apt-install.sh --no-install-recommends "${packages[@]}"

export ONDRIFT="$repo/build/ondrift"
export NIPYPE_NO_ET=1
export LOGNAME=${LOGNAME:-$(id -un)}
export PYTHONPATH="$repo/python${PYTHONPATH:+:$PYTHONPATH}"
tmp=$(mktemp -d)
cleanup() {
    [ -d "$tmp/slurm" ] && scripts/slurm/stop-local-slurm.sh "$tmp/slurm"
    rm -rf "$tmp"
}
trap cleanup EXIT
if [ "$root" -eq 1 ]; then
    eval "$(scripts/slurm/start-local-slurm.sh "$tmp/slurm")"
    export ONDRIFT_TEST_SLURM=1
else
    echo "not root: the SLURM tests are skipped" >&2
fi
/usr/bin/python3 -m unittest discover -s python/tests -v
