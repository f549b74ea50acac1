#!/usr/bin/env bash
# Starts a single-node SLURM cluster on this machine, for trying the cluster route of
# `ondrift bids` and for its tests: munged, slurmctld and slurmd as root, with a slurm.conf in a
# folder of its own. Needs the Debian packages slurm-wlm and munge.
#
#   eval "$(scripts/slurm/start-local-slurm.sh FOLDER)"   # exports SLURM_CONF, prints pids
#   ...sbatch, squeue...
#   scripts/slurm/stop-local-slurm.sh FOLDER
set -euo pipefail
dir=$(mkdir -p "${1:?usage: start-local-slurm.sh FOLDER}" && cd "$1" && pwd)
mkdir -p "$dir/state" "$dir/spool" "$dir/munge"
cpus=$(nproc)
cat > "$dir/slurm.conf" <<CONF
ClusterName=ondrift
SlurmctldHost=localhost
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$dir/munge/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
MpiDefault=none
ReturnToService=2
SlurmctldPort=${ONDRIFT_SLURMCTLD_PORT:-6817}
SlurmdPort=${ONDRIFT_SLURMD_PORT:-6818}
NodeName=localhost CPUs=$cpus State=UNKNOWN
PartitionName=local Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$dir/slurm.conf"

# A key of this cluster's own, readable by root only, as munged demands.
if [ ! -s "$dir/munge/munge.key" ]; then
    dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
fi
chmod 700 "$dir/munge"
chmod 400 "$dir/munge/munge.key"
munged --force --key-file="$dir/munge/munge.key" --socket="$dir/munge/munge.socket" \
       --pid-file="$dir/munge/munged.pid" --log-file="$dir/munge/munged.log" \
       --seed-file="$dir/munge/munged.seed"
slurmctld -f "$SLURM_CONF"
slurmd -f "$SLURM_CONF" -N localhost

# Ready once the node shows as idle (about a second).
for _ in $(seq 1 60); do
    if sinfo -h -N -o '%T' 2>/dev/null | grep -q '^idle'; then
        echo "export SLURM_CONF=$SLURM_CONF"
        exit 0
    fi
    sleep 0.5
done
echo "the local SLURM node did not become idle; see $dir/*.log" >&2
exit 1
