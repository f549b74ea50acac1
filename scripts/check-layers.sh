#!/usr/bin/env bash
# Checks that includes run only downward through the plug-in's layers:
#   plugin/ (frame) -> pipeline/ (steps) -> pipeline/kernels/, image/ -> binding/
# that the stand-in host and the command know the plug-in only through its binary interface, and
# that the command's folders stand on each other in the same way:
#   cli/main.cpp -> app/ -> settings/, session/, phantom/, report/, bids/ -> nifti/ -> base/
# (app/ also uses pairs/, which includes nothing of the project but itself)
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
check pipeline/kernels 'pipeline/kernels/' 'binding/host_parameters\.h'
check image 'image/' 'binding/'
check pipeline 'pipeline/' 'image/' 'binding/'
check plugin 'plugin/' 'pipeline/' 'image/' 'binding/'
check host 'host/' 'binding/host_abi\.h' 'binding/plugin_interface\.h'

# The command: each folder lists the folders below it; host/ and the two headers it shares with
# the plug-in (the binary interface, the parameters' names and values) lie below all of them.
abi='binding/host_(abi|parameters)\.h'
check cli/base 'cli/base/' 'host/' "$abi"
check cli/nifti 'cli/nifti/' 'cli/base/' "$abi"
check cli/bids 'cli/bids/' 'cli/nifti/' 'cli/base/' "$abi"
check cli/report 'cli/report/' 'cli/nifti/' 'cli/base/' "$abi"
check cli/phantom 'cli/phantom/' 'cli/bids/' 'cli/nifti/' 'cli/base/' "$abi"
check cli/session 'cli/session/' 'cli/nifti/' 'cli/base/' 'host/' "$abi"
check cli/settings 'cli/settings/' 'cli/bids/' 'cli/base/' "$abi"
check cli/pairs 'cli/pairs/'
check cli/app 'cli/app/' 'cli/pairs/' 'cli/settings/' 'cli/session/' 'cli/phantom/' 'cli/report/' 'cli/bids/' \
    'cli/nifti/' 'cli/base/' 'host/' "$abi"
check cli 'cli/app/' 'cli/base/'
# Only main.cpp at the top of cli/, and every source of the command in one of the folders above.
stray=$(find cli -mindepth 1 -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \) ! -name main.cpp)
for folder in $(find cli -mindepth 1 -maxdepth 1 -type d | sort); do
    case $folder in
    cli/base | cli/nifti | cli/bids | cli/report | cli/phantom | cli/session | cli/settings | cli/pairs | cli/app) ;;
    *) stray="$stray $folder" ;;
    esac
    if [ ! -f "$folder/README.md" ]; then
        echo "$folder/ has no README.md" >&2
        status=1
    fi
done
if [ -n "${stray// /}" ]; then
    echo "outside the command's layers:$stray" >&2
    status=1
fi

if [ $status -eq 0 ]; then echo "layering: ok" >&2; fi
exit $status
