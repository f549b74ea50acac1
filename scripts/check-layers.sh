#!/usr/bin/env bash
# Checks that includes run only downward through the plug-in's layers:
#   plugin/ (frame) -> pipeline/ (steps) -> pipeline/kernels/, image/ -> binding/
# and that the stand-in host and the command know the plug-in only through its binary interface.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
# check FOLDER ALLOWED-PREFIX...: every project include in FOLDER (not its subfolders) must
# start with one of the allowed prefixes.
check() {
    local folder=$1
    shift
    local allowed
    allowed=$(printf '%s\n' "$@" | paste -sd'|')
    local bad
    bad=$(find "$folder" -maxdepth 1 \( -name '*.h' -o -name '*.cpp' \) -print0 |
        xargs -0 grep -Hn '#include "' |
        grep -Ev "#include \"(${allowed})" || true)
    if [ -n "$bad" ]; then
        echo "includes against the layering in $folder/:" >&2
        echo "$bad" >&2
        status=1
    fi
}

check binding 'binding/'
check pipeline/kernels 'pipeline/kernels/'
check image 'image/' 'binding/'
check pipeline 'pipeline/' 'image/' 'binding/'
check plugin 'plugin/' 'pipeline/' 'image/' 'binding/'
check host 'host/' 'binding/host_abi\.h' 'binding/plugin_interface\.h'
check cli 'cli/' 'host/' 'binding/host_abi\.h'

if [ $status -eq 0 ]; then echo "layering: ok" >&2; fi
exit $status
