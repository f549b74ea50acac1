#!/usr/bin/env bash
# Stops the daemons that start-local-slurm.sh started in FOLDER, by their process ids.
set -uo pipefail
dir=${1:?usage: stop-local-slurm.sh FOLDER}
for pidfile in "$dir/slurmd.pid" "$dir/slurmctld.pid" "$dir/munge/munged.pid"; do
    if [ -s "$pidfile" ]; then
        pid=$(cat "$pidfile")
        kill "$pid" 2>/dev/null
        for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null
    fi
done
exit 0
